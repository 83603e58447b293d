// The eleven element types, their dtype keys and the concepts that sort them.
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>
#include <type_traits>
#include <utility>

namespace prandel {

using i8 = std::int8_t;
using i16 = std::int16_t;
using i32 = std::int32_t;
using i64 = std::int64_t;
using u8 = std::uint8_t;
using u16 = std::uint16_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;
using f32 = float;
using f64 = double;

static_assert(std::numeric_limits<f32>::is_iec559 && sizeof(f32) == 4);
static_assert(std::numeric_limits<f64>::is_iec559 && sizeof(f64) == 8);

// IEEE 754 binary16 held as its bit pattern. A distinct type, so a binary16
// value never converts or compares as the u16 that stores it; its arithmetic
// lives in binary16.hpp.
struct f16 {
  u16 bits;
};
static_assert(sizeof(f16) == 2 && std::is_trivially_copyable_v<f16>);

enum class ElementType : std::uint8_t {
  I8,
  I16,
  I32,
  I64,
  U8,
  U16,
  U32,
  U64,
  F16,
  F32,
  F64,
};
inline constexpr std::size_t kElementTypeCount = 11;

template <class T>
concept IntElement =
    std::same_as<T, i8> || std::same_as<T, i16> || std::same_as<T, i32> ||
    std::same_as<T, i64> || std::same_as<T, u8> || std::same_as<T, u16> ||
    std::same_as<T, u32> || std::same_as<T, u64>;

template <class T>
concept FloatElement =
    std::same_as<T, f16> || std::same_as<T, f32> || std::same_as<T, f64>;

template <class T>
concept Element = IntElement<T> || FloatElement<T>;

// Maps an ElementType to its C++ type and dtype key (the NumPy dtype name).
template <ElementType E>
struct ElementTraits;

#define PRANDEL_ELEMENT_TRAITS(TAG, TYPE, KEY)       \
  template <>                                        \
  struct ElementTraits<ElementType::TAG> {           \
    using type = TYPE;                               \
    static constexpr std::string_view key = KEY;     \
  };
PRANDEL_ELEMENT_TRAITS(I8, i8, "int8")
PRANDEL_ELEMENT_TRAITS(I16, i16, "int16")
PRANDEL_ELEMENT_TRAITS(I32, i32, "int32")
PRANDEL_ELEMENT_TRAITS(I64, i64, "int64")
PRANDEL_ELEMENT_TRAITS(U8, u8, "uint8")
PRANDEL_ELEMENT_TRAITS(U16, u16, "uint16")
PRANDEL_ELEMENT_TRAITS(U32, u32, "uint32")
PRANDEL_ELEMENT_TRAITS(U64, u64, "uint64")
PRANDEL_ELEMENT_TRAITS(F16, f16, "float16")
PRANDEL_ELEMENT_TRAITS(F32, f32, "float32")
PRANDEL_ELEMENT_TRAITS(F64, f64, "float64")
#undef PRANDEL_ELEMENT_TRAITS

template <ElementType E>
using element_t = typename ElementTraits<E>::type;

template <Element T>
inline constexpr ElementType element_type_of = [] {
  if constexpr (std::same_as<T, i8>) return ElementType::I8;
  else if constexpr (std::same_as<T, i16>) return ElementType::I16;
  else if constexpr (std::same_as<T, i32>) return ElementType::I32;
  else if constexpr (std::same_as<T, i64>) return ElementType::I64;
  else if constexpr (std::same_as<T, u8>) return ElementType::U8;
  else if constexpr (std::same_as<T, u16>) return ElementType::U16;
  else if constexpr (std::same_as<T, u32>) return ElementType::U32;
  else if constexpr (std::same_as<T, u64>) return ElementType::U64;
  else if constexpr (std::same_as<T, f16>) return ElementType::F16;
  else if constexpr (std::same_as<T, f32>) return ElementType::F32;
  else return ElementType::F64;
}();

template <Element T>
inline constexpr std::string_view dtype_key_of =
    ElementTraits<element_type_of<T>>::key;

// A table indexed by ElementType: f.template operator()<T>() for each
// element type T, in ElementType order.
template <class F>
constexpr auto element_type_table(F f) {
  return [&]<std::size_t... E>(std::index_sequence<E...>) {
    return std::array{f.template operator()<element_t<static_cast<ElementType>(E)>>()...};
  }(std::make_index_sequence<kElementTypeCount>{});
}

// The dtype keys in ElementType order.
inline constexpr std::array<std::string_view, kElementTypeCount> kDtypeKeys =
    element_type_table([]<Element T>() { return dtype_key_of<T>; });

// The size of an element of `type`, in bytes.
constexpr std::size_t element_size(ElementType type) noexcept {
  constexpr auto kSizes = element_type_table([]<Element T>() { return sizeof(T); });
  return kSizes[static_cast<std::size_t>(type)];
}

}  // namespace prandel

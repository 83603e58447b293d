#include "dispatch.hpp"

#include "typed_array.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>
#include <string>

namespace prandel::py {
namespace {

constexpr std::size_t kPairCount = kElementTypeCount * kElementTypeCount;

constexpr std::size_t pair_index(ElementType source, ElementType target) {
  return static_cast<std::size_t>(source) * kElementTypeCount +
         static_cast<std::size_t>(target);
}

template <std::size_t Pair>
using pair_source =
    element_t<static_cast<ElementType>(Pair / kElementTypeCount)>;
template <std::size_t Pair>
using pair_target =
    element_t<static_cast<ElementType>(Pair % kElementTypeCount)>;

using AllocDriver = PyObjectResult (*)(PyObject*, CastModes, PyObject*);
using IntoDriver = PyObjectResult (*)(PyObject*, PyObject*, CastModes,
                                      PyObject*);

template <std::size_t... Pair>
constexpr std::array<AllocDriver, kPairCount> make_alloc_drivers(
    std::index_sequence<Pair...>) {
  return {&do_cast_alloc<pair_source<Pair>, pair_target<Pair>>...};
}
template <std::size_t... Pair>
constexpr std::array<IntoDriver, kPairCount> make_into_drivers(
    std::index_sequence<Pair...>) {
  return {&do_cast_into<pair_source<Pair>, pair_target<Pair>>...};
}
template <std::size_t... Pair>
constexpr std::array<ModeSet, kPairCount> make_mode_sets(
    std::index_sequence<Pair...>) {
  return {mode_set_of<pair_source<Pair>, pair_target<Pair>>()...};
}

constexpr auto kPairs = std::make_index_sequence<kPairCount>{};
constexpr auto kAllocDrivers = make_alloc_drivers(kPairs);
constexpr auto kIntoDrivers = make_into_drivers(kPairs);
constexpr auto kModeSets = make_mode_sets(kPairs);

// Rows are sources, columns targets, both in ElementType order.
static_assert(kAllocDrivers[pair_index(ElementType::I8, ElementType::U8)] ==
              &do_cast_alloc<i8, u8>);
static_assert(kAllocDrivers[pair_index(ElementType::F16, ElementType::I32)] ==
              &do_cast_alloc<f16, i32>);
static_assert(kIntoDrivers[pair_index(ElementType::U64, ElementType::F64)] ==
              &do_cast_into<u64, f64>);
static_assert(kIntoDrivers[pair_index(ElementType::F32, ElementType::F16)] ==
              &do_cast_into<f32, f16>);

constexpr std::size_t count_mode_sets(bool rounding, bool out_of_range) {
  return static_cast<std::size_t>(
      std::ranges::count_if(kModeSets, [=](ModeSet set) {
        return set.rounding == rounding && set.out_of_range == out_of_range;
      }));
}
// 26 lossless integer pairs, 10 exact integer-to-float pairs, the float32 and
// float64 identities.
static_assert(count_mode_sets(false, false) == 38);
static_assert(count_mode_sets(false, true) == 38);
static_assert(count_mode_sets(true, false) == 14);
static_assert(count_mode_sets(true, true) == 31);
static_assert(mode_set_of<u32, i64>().out_of_range == false);
static_assert(mode_set_of<i8, u64>().out_of_range == true);
static_assert(mode_set_of<i8, f16>().rounding == true);
static_assert(mode_set_of<i64, f64>().rounding);
static_assert(!mode_set_of<i32, f64>().rounding);
static_assert(mode_set_of<f16, f16>().rounding &&
              mode_set_of<f16, f16>().out_of_range);

CastModes modes_of_pair(std::size_t pair, RoundingMode rounding,
                        OutOfRangeMode out_of_range) {
  const ModeSet set = kModeSets[pair];
  return {set.rounding ? rounding : RoundingMode::NearestEven,
          set.out_of_range ? out_of_range : OutOfRangeMode::Unset};
}

PyErr unsupported_error(std::string_view prefix, std::string_view name) {
  std::string message;
  message.reserve(prefix.size() + name.size());
  message.append(prefix).append(name);
  return PyErr::type_error(std::move(message));
}

// The element type named exactly (case-sensitively, untrimmed) by `key`.
std::optional<ElementType> element_type_of_key(std::string_view key) noexcept {
  const auto found = std::ranges::find(kDtypeKeys, key);
  if (found == kDtypeKeys.end()) return std::nullopt;
  return static_cast<ElementType>(found - kDtypeKeys.begin());
}

PyResult<ElementType> element_type_from_attributes(PyObject* array) {
  PyRef dtype = PyRef::steal(PyObject_GetAttrString(array, "dtype"));
  if (!dtype) return unexpected(PyErr::fetch());
  PyRef name = PyRef::steal(PyObject_GetAttrString(dtype.get(), "name"));
  if (!name) return unexpected(PyErr::fetch());
  if (!PyUnicode_Check(name.get())) {
    return unexpected(conversion_type_error(name.get(), "PyString"));
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
  if (text == nullptr) return unexpected(PyErr::fetch());
  const std::string_view name_text(text, static_cast<std::size_t>(size));
  if (const auto type = element_type_of_key(name_text)) return *type;
  return unexpected(unsupported_error("Unsupported numpy dtype: ", name_text));
}

}  // namespace

PyResult<ElementType> array_element_type(PyObject* array) {
  if (PyArray_CheckExact(array)) {
    auto* base = reinterpret_cast<PyArrayObject*>(array);
    if (const auto type = builtin_element_type(PyArray_DESCR(base))) {
      return *type;
    }
  }
  return element_type_from_attributes(array);
}

PyResult<ElementType> target_element_type(const DtypeName& target_dtype) {
  if (target_dtype.type) return *target_dtype.type;
  if (const auto type = element_type_of_key(target_dtype.text)) return *type;
  return unexpected(
      unsupported_error("Unsupported target dtype: ", target_dtype.text));
}

PyObjectResult dispatch_alloc(PyObject* arr, ElementType source,
                              ElementType target, RoundingMode rounding,
                              OutOfRangeMode out_of_range,
                              PyObject* scalar_map_entries) {
  const std::size_t pair = pair_index(source, target);
  return kAllocDrivers[pair](arr, modes_of_pair(pair, rounding, out_of_range),
                             scalar_map_entries);
}

PyObjectResult dispatch_into(PyObject* arr, PyObject* out, ElementType source,
                             ElementType target, RoundingMode rounding,
                             OutOfRangeMode out_of_range,
                             PyObject* scalar_map_entries) {
  const std::size_t pair = pair_index(source, target);
  return kIntoDrivers[pair](arr, out,
                            modes_of_pair(pair, rounding, out_of_range),
                            scalar_map_entries);
}

}  // namespace prandel::py

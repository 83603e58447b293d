// Element views over array memory that may be misaligned.
//
// NumPy permits arrays at any byte offset, so every element access goes
// through memcpy, which compiles to a plain (unaligned) load or store and
// keeps the loops vectorisable.
#pragma once

#include <cstddef>
#include <cstring>
#include <ranges>
#include <span>
#include <type_traits>

#include "prandel/element_types.hpp"

namespace prandel {

template <Element T>
class InputSlice {
 public:
  constexpr InputSlice() = default;
  InputSlice(const void* data, std::size_t size)
      : data_(static_cast<const std::byte*>(data)), size_(size) {}
  // Any contiguous range of T (a std::vector, a std::span, an array).
  template <std::ranges::contiguous_range R>
    requires std::same_as<std::remove_cv_t<std::ranges::range_value_t<R>>, T>
  InputSlice(const R& elements)
      : InputSlice(std::ranges::data(elements), std::ranges::size(elements)) {}

  std::size_t size() const noexcept { return size_; }
  const std::byte* bytes() const noexcept { return data_; }

  T operator[](std::size_t i) const noexcept {
    T value;
    std::memcpy(&value, data_ + i * sizeof(T), sizeof(T));
    return value;
  }

 private:
  const std::byte* data_ = nullptr;
  std::size_t size_ = 0;
};

template <Element T>
class OutputSlice {
 public:
  constexpr OutputSlice() = default;
  OutputSlice(void* data, std::size_t size)
      : data_(static_cast<std::byte*>(data)), size_(size) {}
  template <std::ranges::contiguous_range R>
    requires std::same_as<std::ranges::range_value_t<R>, T> &&
             (!std::is_const_v<std::remove_reference_t<std::ranges::range_reference_t<R>>>)
  OutputSlice(R&& elements)
      : OutputSlice(std::ranges::data(elements), std::ranges::size(elements)) {}

  std::size_t size() const noexcept { return size_; }
  std::byte* bytes() const noexcept { return data_; }

  void store(std::size_t i, T value) const noexcept {
    std::memcpy(data_ + i * sizeof(T), &value, sizeof(T));
  }

 private:
  std::byte* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace prandel

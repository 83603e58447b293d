// Block helpers for kernels: sub-slices and stack buffers for converting part
// of a slice at a time (binary16 conversions, overflow checks that must not
// write past the failing element), and the whole-slice bit copy.
#pragma once

#include <cstddef>
#include <cstring>

#include "prandel/element_types.hpp"
#include "prandel/slice.hpp"

namespace prandel::block {

// Elements per block: small enough for a few buffers on the stack, large
// enough that the per-block overhead vanishes.
inline constexpr std::size_t kElements = 256;

template <Element T>
InputSlice<T> sub_slice(InputSlice<T> s, std::size_t offset, std::size_t count) noexcept {
  return InputSlice<T>(s.bytes() + offset * sizeof(T), count);
}

template <Element T>
OutputSlice<T> sub_slice(OutputSlice<T> s, std::size_t offset, std::size_t count) noexcept {
  return OutputSlice<T>(s.bytes() + offset * sizeof(T), count);
}

// Writes buffer[0, count) to out[offset, offset + count).
template <Element T>
void store(OutputSlice<T> out, std::size_t offset, const T* buffer,
           std::size_t count) noexcept {
  if (count != 0) std::memcpy(out.bytes() + offset * sizeof(T), buffer, count * sizeof(T));
}

// Copies the first n elements bit for bit. memmove: a caller may pass the
// very same memory as input and output.
template <Element S, Element T>
void copy_bits(InputSlice<S> in, OutputSlice<T> out, std::size_t n) noexcept {
  static_assert(sizeof(S) == sizeof(T));
  if (n != 0) std::memmove(out.bytes(), in.bytes(), n * sizeof(S));
}

}  // namespace prandel::block

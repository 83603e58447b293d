// Block helpers for kernels: sub-slices and stack buffers for converting part
// of a slice at a time (binary16 conversions, overflow checks that must not
// write past the failing element), and the whole-slice bit copy.
#pragma once

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "prandel/binary16.hpp"
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

// Copies a block's bytes between memory that does not overlap. A loop,
// inlined into the caller's vector loops: memcpy of a block this size costs
// a library call, and its string-move start-up on some processors, per block.
[[gnu::always_inline]] inline void copy_bytes(std::byte* to, const std::byte* from,
                                              std::size_t bytes) noexcept {
  std::size_t i = 0;
  for (; i + 32 <= bytes; i += 32) std::memcpy(to + i, from + i, 32);
  if (i < bytes) std::memcpy(to + i, from + i, bytes - i);
}

// Writes buffer[0, count) to out[offset, offset + count).
template <Element T>
[[gnu::always_inline]] inline void store(OutputSlice<T> out, std::size_t offset, const T* buffer,
                                         std::size_t count) noexcept {
  copy_bytes(out.bytes() + offset * sizeof(T), reinterpret_cast<const std::byte*>(buffer),
             count * sizeof(T));
}

// Whether the two slices share any byte.
template <Element S, Element T>
inline bool overlap(InputSlice<S> in, OutputSlice<T> out) noexcept {
  const auto in_begin = reinterpret_cast<std::uintptr_t>(in.bytes());
  const auto out_begin = reinterpret_cast<std::uintptr_t>(out.bytes());
  return in_begin < out_begin + out.size() * sizeof(T) &&
         out_begin < in_begin + in.size() * sizeof(S);
}

// Copies a block (in.size() == out.size()) bit for bit: copy_bytes where
// the two slices are apart, nothing where they are the same memory, memmove
// where they overlap otherwise.
template <Element T>
[[gnu::always_inline]] inline void copy_block(InputSlice<T> in, OutputSlice<T> out) noexcept {
  if (in.bytes() == out.bytes()) return;
  if (overlap(in, out)) {
    std::memmove(out.bytes(), in.bytes(), in.size() * sizeof(T));
  } else {
    copy_bytes(out.bytes(), in.bytes(), in.size() * sizeof(T));
  }
}

// Copies the first n elements bit for bit. memmove: a caller may pass the
// very same memory as input and output.
template <Element S, Element T>
void copy_bits(InputSlice<S> in, OutputSlice<T> out, std::size_t n) noexcept {
  static_assert(sizeof(S) == sizeof(T));
  if (n != 0) std::memmove(out.bytes(), in.bytes(), n * sizeof(S));
}

}  // namespace prandel::block

// IEEE 754 nextUp and nextDown for the three float types, as steps on the
// bit pattern: the directed roundings of the float-target kernels move a
// nearest-even result by at most one of these steps.
#pragma once

#include <bit>

#include "prandel/element_types.hpp"
#include "prandel/float_bits.hpp"

namespace prandel {

namespace next_float_detail {

// The pattern of the next value toward +infinity. Patterns of one sign are
// ordered like their magnitudes, so a step is +1 on a positive pattern and
// -1 on a negative one; zeros of both signs step to the smallest subnormal;
// NaN and +inf stay.
template <class T>
constexpr typename FloatBits<T>::Bits next_up_bits(typename FloatBits<T>::Bits b) noexcept {
  using B = FloatBits<T>;
  using Bits = typename B::Bits;
  const Bits magnitude = static_cast<Bits>(b & ~B::kSign);
  // +1 or -1 by arithmetic: the sign of the data is unpredictable.
  const Bits twice_negative = static_cast<Bits>((b & B::kSign) != 0 ? 2u : 0u);
  Bits next = static_cast<Bits>(b + 1u - twice_negative);
  next = magnitude == 0 ? Bits{1} : next;
  return (magnitude > B::kInfinity || b == B::kInfinity) ? b : next;
}

}  // namespace next_float_detail

// A NaN is returned unchanged; +inf stays +inf; the largest finite value
// steps to +inf; -inf steps to the most negative finite value.
template <FloatElement T>
constexpr T next_up(T x) noexcept {
  using B = FloatBits<T>;
  return B::from_bits(next_float_detail::next_up_bits<T>(B::to_bits(x)));
}

// The mirror image: next_down(x) == -next_up(-x), with a NaN unchanged.
template <FloatElement T>
constexpr T next_down(T x) noexcept {
  using B = FloatBits<T>;
  using Bits = typename B::Bits;
  const Bits flipped = static_cast<Bits>(B::to_bits(x) ^ B::kSign);
  return B::from_bits(static_cast<Bits>(next_float_detail::next_up_bits<T>(flipped) ^ B::kSign));
}

}  // namespace prandel

// The bit layout of the three float types: the one place that names their
// sign, exponent and fraction fields.
#pragma once

#include <bit>

#include "prandel/element_types.hpp"

namespace prandel {

// For f16, f32 and f64: the unsigned integer of the same width (`Bits`),
// the field masks and widths, and the exact moves between a value and its
// pattern.
template <FloatElement T>
struct FloatBits;

namespace float_bits_detail {

template <class B, int kExponentWidth, int kFractionWidth>
struct Layout {
  using Bits = B;
  static constexpr int kFractionBits = kFractionWidth;
  static constexpr int kExponentBits = kExponentWidth;
  static constexpr int kExponentBias = (1 << (kExponentWidth - 1)) - 1;
  static constexpr Bits kSign = Bits{1} << (kExponentWidth + kFractionWidth);
  static constexpr Bits kFractionMask = (Bits{1} << kFractionWidth) - 1;
  static constexpr Bits kExponentMask = static_cast<Bits>(kSign - 1 - kFractionMask);
  static constexpr Bits kMagnitudeMask = static_cast<Bits>(kSign - 1);
  // The pattern of +infinity; a larger magnitude is a NaN.
  static constexpr Bits kInfinity = kExponentMask;
  // The top fraction bit: set in a quiet NaN.
  static constexpr Bits kQuietBit = Bits{1} << (kFractionWidth - 1);
  // The pattern of the largest finite value.
  static constexpr Bits kLargestFinite = static_cast<Bits>(kInfinity - 1);
};

}  // namespace float_bits_detail

template <>
struct FloatBits<f16> : float_bits_detail::Layout<u16, 5, 10> {
  static constexpr Bits to_bits(f16 x) noexcept { return x.bits; }
  static constexpr f16 from_bits(Bits b) noexcept { return f16{b}; }
};

template <>
struct FloatBits<f32> : float_bits_detail::Layout<u32, 8, 23> {
  static constexpr Bits to_bits(f32 x) noexcept { return std::bit_cast<Bits>(x); }
  static constexpr f32 from_bits(Bits b) noexcept { return std::bit_cast<f32>(b); }
};

template <>
struct FloatBits<f64> : float_bits_detail::Layout<u64, 11, 52> {
  static constexpr Bits to_bits(f64 x) noexcept { return std::bit_cast<Bits>(x); }
  static constexpr f64 from_bits(Bits b) noexcept { return std::bit_cast<f64>(b); }
};

static_assert(FloatBits<f16>::kInfinity == 0x7c00u && FloatBits<f16>::kQuietBit == 0x0200u);
static_assert(FloatBits<f32>::kInfinity == 0x7f80'0000u && FloatBits<f32>::kExponentBias == 127);
static_assert(FloatBits<f64>::kInfinity == 0x7ff0'0000'0000'0000u &&
              FloatBits<f64>::kSign == 0x8000'0000'0000'0000u);

}  // namespace prandel

// binary16 <-> f32 on bit patterns, with integer operations only: the
// software conversions, independent of the floating-point environment and
// bit for bit those of the F16C instructions (NaN payloads included), under
// each rounding mode. Inline and free of branches on the data, so a loop of
// them vectorises.
#pragma once

#include <bit>

#include "prandel/element_types.hpp"
#include "prandel/float_bits.hpp"
#include "prandel/modes.hpp"

namespace prandel::binary16_bits {

using F32 = FloatBits<f32>;
using F16 = FloatBits<f16>;

// Exponent bias difference (127 - 15) placed in the f32 exponent field.
inline constexpr u32 kRebias = u32{127 - 15} << F32::kFractionBits;
// Fraction bits an f32 has beyond a binary16.
inline constexpr int kDropped = F32::kFractionBits - F16::kFractionBits;
// The f32 pattern of 2^-14, the least normal binary16.
inline constexpr u32 kMinNormal = u32{127 - 14} << F32::kFractionBits;
// The f32 pattern of 2^16: from here every finite magnitude overflows.
inline constexpr u32 kTwoTo16 = u32{127 + 16} << F32::kFractionBits;

// Exact. A NaN stays a NaN of the same sign, made quiet, payload in the top
// fraction bits.
constexpr u32 widen_bits(u16 h) noexcept {
  const u32 sign = static_cast<u32>(h & F16::kSign) << 16;
  const u32 exponent = (h & F16::kExponentMask) >> F16::kFractionBits;
  const u32 fraction = h & F16::kFractionMask;
  u32 magnitude;
  if (exponent == 0x1fu) {
    magnitude = F32::kInfinity | (fraction << kDropped) | (fraction != 0 ? F32::kQuietBit : 0u);
  } else if (exponent != 0) {
    magnitude = (fraction << kDropped) + (exponent << F32::kFractionBits) + kRebias;
  } else if (fraction == 0) {
    magnitude = 0;
  } else {
    // Subnormal: fraction * 2^-24 with its leading one at bit `top`.
    const u32 top = static_cast<u32>(std::bit_width(fraction)) - 1u;
    magnitude = ((top + 103u) << F32::kFractionBits) | ((fraction << (23u - top)) & F32::kFractionMask);
  }
  return sign | magnitude;
}

// The f32 pattern narrowed to binary16 under mode R: the value cut to
// binary16 precision toward zero, then one step away from zero where R says
// so, judged from the bits cut off. A magnitude past the largest finite
// binary16 becomes an infinity or that largest value, as R rounds it; an
// infinity stays; a NaN becomes a quiet NaN with its sign and top payload
// bits.
template <RoundingMode R>
constexpr u16 narrow_bits(u32 bits) noexcept {
  const u32 negative = bits >> 31;
  const u32 magnitude = bits & F32::kMagnitudeMask;
  // The significand cut to units of the binary16 result: 13 bits dropped in
  // the normal range; below it, with the leading one made explicit, as many
  // more as the exponent lies under 2^-14 (capped at 31: the value is then
  // less than half the least subnormal, and every such value rounds alike).
  const u32 exponent = magnitude >> F32::kFractionBits;
  const bool normal = magnitude >= kMinNormal;
  const u32 shift = normal ? static_cast<u32>(kDropped) : (exponent < 95u ? 31u : 126u - exponent);
  const u32 leading_one = exponent != 0 ? F32::kFractionMask + 1u : 0u;
  const u32 value = normal ? magnitude - kRebias : (magnitude & F32::kFractionMask) | leading_one;
  const u32 truncated = value >> shift;
  const u32 rest = value & ((1u << shift) - 1u);
  const u32 half = 1u << (shift - 1u);

  bool away;  // one step away from zero
  if constexpr (R == RoundingMode::NearestEven) {
    away = rest > half || (rest == half && (truncated & 1u) != 0);
  } else if constexpr (R == RoundingMode::NearestAway) {
    away = rest >= half;
  } else if constexpr (R == RoundingMode::TowardsZero) {
    away = false;
  } else if constexpr (R == RoundingMode::TowardsPositive) {
    away = rest != 0 && negative == 0;
  } else {
    away = rest != 0 && negative != 0;
  }
  // A carry out of the fraction moves into the exponent, which is what a
  // step up does; past the largest finite value it reaches the infinity.
  u32 h = truncated + (away ? 1u : 0u);

  // From 2^16 up the cut value is no binary16 at all: it overflows to the
  // infinity or stops at the largest finite value, as a step from there
  // would.
  const bool to_infinity = R == RoundingMode::NearestEven || R == RoundingMode::NearestAway ||
                           (R == RoundingMode::TowardsPositive && negative == 0) ||
                           (R == RoundingMode::TowardsNegative && negative != 0);
  h = magnitude >= kTwoTo16 ? (to_infinity ? u32{F16::kInfinity} : u32{F16::kLargestFinite}) : h;
  h = magnitude == F32::kInfinity ? u32{F16::kInfinity} : h;
  h = magnitude > F32::kInfinity ? (F16::kInfinity | F16::kQuietBit | ((magnitude >> kDropped) & F16::kFractionMask))
                                 : h;
  return static_cast<u16>((negative << 15) | h);
}

}  // namespace prandel::binary16_bits

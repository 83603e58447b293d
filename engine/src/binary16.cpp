// Software binary16 conversions, processor detection and dispatch.
//
// The software conversions work on bit patterns with integer operations only,
// so they do not depend on the floating-point environment (rounding mode,
// flush-to-zero, denormals-are-zero) and match the F16C instructions bit for
// bit, NaN payloads included.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "prandel/binary16.hpp"
#include "prandel/float_bits.hpp"

namespace prandel {

namespace {

constexpr u32 kF32SignMask = 0x8000'0000u;
constexpr u32 kF32ExponentMask = 0x7f80'0000u;
constexpr u32 kF32QuietBit = 0x0040'0000u;
constexpr u32 kF16QuietNaN = 0x7e00u;
constexpr u32 kF16Infinity = 0x7c00u;
// f32 bit patterns of magnitudes where binary16 changes regime.
constexpr u32 kF32Overflow = 0x477f'f000u;     // 65520: halfway to 2^16
constexpr u32 kF32MinNormal16 = 0x3880'0000u;  // 2^-14
// Exponent bias difference (127 - 15) placed in the f32 exponent field.
constexpr u32 kRebias = 112u << 23;

// The conversions on bit patterns, shared by the single and block forms.
u32 widen_bits(u32 h) noexcept {
  const u32 sign = (h & 0x8000u) << 16;
  const u32 exponent = (h >> 10) & 0x1fu;
  const u32 fraction = h & 0x3ffu;
  u32 magnitude;
  if (exponent == 0x1fu) {
    // Infinity, or a NaN made quiet with its payload kept in the top bits.
    magnitude = kF32ExponentMask | (fraction << 13) |
                (fraction != 0 ? kF32QuietBit : 0u);
  } else if (exponent != 0) {
    magnitude = (fraction << 13) + (exponent << 23) + kRebias;
  } else if (fraction == 0) {
    magnitude = 0;
  } else {
    // Subnormal: fraction * 2^-24 with its leading one at bit `top`.
    const u32 top = static_cast<u32>(std::bit_width(fraction)) - 1u;
    magnitude = ((top + 103u) << 23) | ((fraction << (23u - top)) & 0x7f'ffffu);
  }
  return sign | magnitude;
}

u16 narrow_bits(u32 bits) noexcept {
  const u32 sign = (bits & kF32SignMask) >> 16;
  const u32 magnitude = bits & ~kF32SignMask;
  u32 h;
  if (magnitude > kF32ExponentMask) {
    h = kF16QuietNaN | ((magnitude >> 13) & 0x3ffu);
  } else if (magnitude >= kF32Overflow) {
    h = kF16Infinity;
  } else if (magnitude >= kF32MinNormal16) {
    // Drop 13 fraction bits rounding to nearest even; a carry out of the
    // fraction moves into the exponent, which is what rounding up does.
    const u32 rebased = magnitude - kRebias;
    h = (rebased + 0xfffu + ((rebased >> 13) & 1u)) >> 13;
  } else {
    // Subnormal or zero: the significand (with its implicit one) shifted to
    // units of 2^-24, rounded to nearest even. Shifts of 25 or more leave
    // less than half a unit; capping at 31 keeps the shift defined and still
    // yields 0 (f32 subnormals land there too).
    const u32 exponent = magnitude >> 23;
    const u32 significand = (magnitude & 0x7f'ffffu) | 0x80'0000u;
    const u32 shift = exponent < 95u ? 31u : 126u - exponent;
    const u32 half_minus_one = (1u << (shift - 1u)) - 1u;
    h = (significand + half_minus_one + ((significand >> shift) & 1u)) >> shift;
  }
  return static_cast<u16>(sign | h);
}

// From an f64 pattern, like narrow_bits: 42 fraction bits dropped in the
// normal range, the significand shifted to units of 2^-24 below it.
u16 narrow_bits(u64 bits) noexcept {
  using B = FloatBits<f64>;
  constexpr u64 kOverflow = B::to_bits(65520.0);
  constexpr u64 kMinNormal16 = B::to_bits(0x1p-14);
  constexpr u64 kRebias64 = u64{1023 - 15} << B::kFractionBits;
  constexpr int kDropped = B::kFractionBits - 10;
  const u32 sign = static_cast<u32>((bits & B::kSign) >> 48);
  const u64 magnitude = bits & B::kMagnitudeMask;
  u64 h;
  if (magnitude > B::kInfinity) {
    h = kF16QuietNaN | ((magnitude >> kDropped) & 0x3ffu);
  } else if (magnitude >= kOverflow) {
    h = kF16Infinity;
  } else if (magnitude >= kMinNormal16) {
    const u64 rebased = magnitude - kRebias64;
    h = (rebased + ((u64{1} << (kDropped - 1)) - 1) + ((rebased >> kDropped) & 1u)) >> kDropped;
  } else {
    // Shifts of 54 or more leave less than half a unit (f64 subnormals and
    // zeros included); capping at 63 keeps the shift defined.
    const u64 exponent = magnitude >> B::kFractionBits;
    const u64 significand = (magnitude & B::kFractionMask) | (u64{1} << B::kFractionBits);
    const u64 shift = exponent < 988u ? 63u : 1051u - exponent;
    const u64 half_minus_one = (u64{1} << (shift - 1u)) - 1u;
    h = (significand + half_minus_one + ((significand >> shift) & 1u)) >> shift;
  }
  return static_cast<u16>(sign | static_cast<u32>(h));
}

// Block loops move the elements through small local arrays: one memcpy per
// chunk instead of one per element keeps unoptimised (sanitizer) builds fast.
constexpr std::size_t kChunk = 64;

}  // namespace

namespace binary16_soft {

f32 to_f32(f16 x) noexcept { return std::bit_cast<f32>(widen_bits(x.bits)); }

f16 to_f16(f32 x) noexcept { return f16{narrow_bits(std::bit_cast<u32>(x))}; }

void widen_block(InputSlice<f16> in, OutputSlice<f32> out) noexcept {
  const std::size_t n = std::min(in.size(), out.size());
  for (std::size_t i = 0; i < n; i += kChunk) {
    const std::size_t m = std::min(kChunk, n - i);
    u16 halves[kChunk];
    u32 singles[kChunk];
    std::memcpy(halves, in.bytes() + i * sizeof(f16), m * sizeof(f16));
    for (std::size_t j = 0; j < m; ++j) singles[j] = widen_bits(halves[j]);
    std::memcpy(out.bytes() + i * sizeof(f32), singles, m * sizeof(f32));
  }
}

void narrow_block(InputSlice<f32> in, OutputSlice<f16> out) noexcept {
  const std::size_t n = std::min(in.size(), out.size());
  for (std::size_t i = 0; i < n; i += kChunk) {
    const std::size_t m = std::min(kChunk, n - i);
    u32 singles[kChunk];
    u16 halves[kChunk];
    std::memcpy(singles, in.bytes() + i * sizeof(f32), m * sizeof(f32));
    for (std::size_t j = 0; j < m; ++j) halves[j] = narrow_bits(singles[j]);
    std::memcpy(out.bytes() + i * sizeof(f16), halves, m * sizeof(f16));
  }
}

}  // namespace binary16_soft

f16 to_f16(f64 x) noexcept { return f16{narrow_bits(std::bit_cast<u64>(x))}; }

void widen_f16_block(InputSlice<f16> in, OutputSlice<f32> out) noexcept {
  if (cpu_has_f16c()) {
    binary16_f16c::widen_block(in, out);
  } else {
    binary16_soft::widen_block(in, out);
  }
}

void narrow_f32_block(InputSlice<f32> in, OutputSlice<f16> out) noexcept {
  if (cpu_has_f16c()) {
    binary16_f16c::narrow_block(in, out);
  } else {
    binary16_soft::narrow_block(in, out);
  }
}

}  // namespace prandel

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
#include "prandel/binary16_bits.hpp"
#include "prandel/float_bits.hpp"

namespace prandel {

namespace {

using binary16_bits::widen_bits;

u16 narrow_bits(u32 bits) noexcept {
  return binary16_bits::narrow_bits<RoundingMode::NearestEven>(bits);
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
    h = (FloatBits<f16>::kInfinity | FloatBits<f16>::kQuietBit) | ((magnitude >> kDropped) & 0x3ffu);
  } else if (magnitude >= kOverflow) {
    h = FloatBits<f16>::kInfinity;
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

// The binary16 conversions of one value, and the block forms run as the
// variants of binary16_blocks.hpp.
//
// The software conversions work on bit patterns with integer operations only,
// so they do not depend on the floating-point environment (rounding mode,
// flush-to-zero, denormals-are-zero) and match the F16C instructions bit for
// bit, NaN payloads included.
#include <bit>
#include <cstdint>

#include "prandel/binary16.hpp"
#include "prandel/binary16_bits.hpp"
#include "prandel/binary16_blocks.hpp"
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

struct WidenBlock {
  template <Isa I>
  PRANDEL_INLINE static void run(InputSlice<f16> in, OutputSlice<f32> out) noexcept {
    binary16_blocks::widen<I>(in, out);
  }
};

struct NarrowBlock {
  template <Isa I>
  PRANDEL_INLINE static void run(InputSlice<f32> in, OutputSlice<f16> out) noexcept {
    binary16_blocks::narrow<I, RoundingMode::NearestEven>(in, out);
  }
};

}  // namespace

namespace binary16_soft {

f32 to_f32(f16 x) noexcept { return std::bit_cast<f32>(widen_bits(x.bits)); }

f16 to_f16(f32 x) noexcept { return f16{narrow_bits(std::bit_cast<u32>(x))}; }

}  // namespace binary16_soft

namespace binary16_f16c {

#if PRANDEL_X86_VARIANTS

// The packed forms on one lane: the scalar intrinsics are macros that some
// compilers reject under -Wpedantic.
PRANDEL_TARGET_AVX2 f32 to_f32(f16 x) noexcept {
  return _mm_cvtss_f32(_mm_cvtph_ps(_mm_cvtsi32_si128(x.bits)));
}

PRANDEL_TARGET_AVX2 f16 to_f16(f32 x) noexcept {
  const __m128i h = _mm_cvtps_ph(_mm_set_ss(x), _MM_FROUND_TO_NEAREST_INT);
  return f16{static_cast<u16>(_mm_cvtsi128_si32(h))};
}

#else  // never chosen without the x86 variants; kept callable.

f32 to_f32(f16 x) noexcept { return binary16_soft::to_f32(x); }
f16 to_f16(f32 x) noexcept { return binary16_soft::to_f16(x); }

#endif

}  // namespace binary16_f16c

f16 to_f16(f64 x) noexcept { return f16{narrow_bits(std::bit_cast<u64>(x))}; }

void widen_f16_block_on(Isa isa, InputSlice<f16> in, OutputSlice<f32> out) noexcept {
  run_variant<WidenBlock>(isa, in, out);
}

void narrow_f32_block_on(Isa isa, InputSlice<f32> in, OutputSlice<f16> out) noexcept {
  run_variant<NarrowBlock>(isa, in, out);
}

void widen_f16_block(InputSlice<f16> in, OutputSlice<f32> out) noexcept {
  widen_f16_block_on(best_isa(), in, out);
}

void narrow_f32_block(InputSlice<f32> in, OutputSlice<f16> out) noexcept {
  narrow_f32_block_on(best_isa(), in, out);
}

}  // namespace prandel

// Float-to-float conversion of whole slices: the block kernels of every
// variant and the family's entry.
//
// A narrowing converts a vector to nearest and moves it to the rounding mode
// on the bit pattern, or takes the mode straight from the instruction
// (AVX-512 embedded rounding, the F16C rounding immediate). Nearest-away is
// nearest-even of the element with its lowest bit set, which moves an exact
// midpoint off it, away from zero, and changes nothing else. f64 goes to
// binary16 by way of an f32 rounded to odd, which every mode then rounds as
// it would the f64. Overflow is tested on the input in the converting pass.
#pragma once

#include <bit>
#include <cmath>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "prandel/binary16_bits.hpp"
#include "prandel/binary16_blocks.hpp"
#include "prandel/cast_config.hpp"
#include "prandel/cpu_features.hpp"
#include "prandel/float_bits.hpp"
#include "prandel/float_to_float_rule.hpp"
#include "prandel/kernel_frame.hpp"
#include "prandel/mode_dispatch.hpp"
#include "prandel/slice_blocks.hpp"
#include "prandel/source_lanes.hpp"

#if PRANDEL_X86_VARIANTS
#include <immintrin.h>
#endif

namespace prandel {

namespace float_to_float_detail {

// --- Portable lanes: the Baseline variant ------------------------------------
// Element loops free of branches on the data, which the compiler vectorises
// as far as the build's instruction set allows.

// f64 to f32 to nearest. The language leaves converting a finite value beyond
// the f32 range undefined: magnitudes from the overflow tie become infinities
// first.
PRANDEL_INLINE f32 narrow_f64_nearest(f64 x) noexcept {
  constexpr f64 kInfinity = std::numeric_limits<f64>::infinity();
  f64 y = x >= kF32OverflowTie ? kInfinity : x;
  y = x <= -kF32OverflowTie ? -kInfinity : y;
  return static_cast<f32>(y);
}

// r, the nearest f32 of x, moved to x's directed result under R on its
// pattern: the patterns of one sign order like their magnitudes, so +1 steps
// away from zero (from the largest value to the infinity) and -1 toward it
// (from the infinity to the largest value). Where x lies against r is exact
// in f64.
template <RoundingMode R>
PRANDEL_INLINE f32 step_f32_from_nearest(f64 x, f32 r) noexcept {
  using B = FloatBits<f32>;
  u32 bits = B::to_bits(r);
  const f64 rd = r;
  const u32 negative = bits >> 31;
  if constexpr (R == RoundingMode::TowardsZero) {
    bits -= static_cast<u32>(std::fabs(x) < std::fabs(rd));
  } else if constexpr (R == RoundingMode::TowardsPositive) {
    const u32 up = static_cast<u32>(x > rd);
    bits += up - 2 * (up & negative);
  } else if constexpr (R == RoundingMode::TowardsNegative) {
    const u32 down = static_cast<u32>(x < rd);
    bits += 2 * (down & negative) - down;
  }
  return B::from_bits(bits);
}

// x with its lowest bit set unless it is an infinity. The bit lies below the
// last place of any narrower result, so it moves an exact midpoint off it,
// away from zero, and leaves every other value on its side of every
// midpoint: nearest-even of the result is nearest-away of x.
template <FloatElement S>
PRANDEL_INLINE S off_midpoint(S x) noexcept {
  using B = FloatBits<S>;
  const auto bits = B::to_bits(x);
  return B::from_bits(bits | static_cast<typename B::Bits>((bits & B::kMagnitudeMask) != B::kInfinity));
}

// An f32 that every rounding mode takes to the same binary16 as x, NaNs
// alike (sign and top payload bits): x rounded to odd at f32's precision
// (cut toward zero, the last kept bit set when anything was cut off). f32
// keeps more than two bits beyond binary16's last place, so the odd value
// lies strictly between the same two binary16 neighbours, on the same side
// of their midpoint, as x. Finite magnitudes beyond 2^17 or below
// 2^-30 round like those two powers under every mode and are moved onto them,
// inside the f32 normal range.
PRANDEL_INLINE f32 f16_proxy(f64 x) noexcept {
  using B = FloatBits<f64>;
  constexpr u64 kCut = (u64{1} << (B::kFractionBits - FloatBits<f32>::kFractionBits)) - 1;
  constexpr u64 kHigh = B::to_bits(0x1p17);
  constexpr u64 kLow = B::to_bits(0x1p-30);
  const u64 bits = B::to_bits(x);
  // Adding the mask to the cut bits carries into the lowest kept bit exactly
  // when one of them is set, and no further.
  const u64 odd = (bits | ((bits & kCut) + kCut)) & ~kCut;
  u64 magnitude = odd & B::kMagnitudeMask;
  magnitude = (static_cast<unsigned>(magnitude > kHigh) & static_cast<unsigned>(magnitude < B::kInfinity)) != 0
                  ? kHigh
                  : magnitude;
  magnitude = (static_cast<unsigned>(magnitude < kLow) & static_cast<unsigned>(magnitude != 0)) != 0
                  ? kLow
                  : magnitude;
  return static_cast<f32>(B::from_bits((odd & B::kSign) | magnitude));
}

// Whether x is at or past the threshold from which a finite value
// overflows T under R (overflows_narrowing): one comparison, which the
// infinities on the overflowing side pass too. A block where some element
// passes is tested exactly.
template <FloatElement T, RoundingMode R, FloatElement S>
PRANDEL_INLINE bool at_overflow_threshold(S x) noexcept {
  if constexpr (R == RoundingMode::NearestEven || R == RoundingMode::NearestAway) {
    return std::fabs(x) >= static_cast<S>(kOverflowTie<T>);
  } else if constexpr (R == RoundingMode::TowardsPositive) {
    return x > static_cast<S>(kLargestFinite<T>);
  } else if constexpr (R == RoundingMode::TowardsNegative) {
    return x < static_cast<S>(-kLargestFinite<T>);
  } else {
    return false;
  }
}

// Converts in[0, k) into out[0, k) (k = in.size()) under R and, with kTest,
// tells whether some element is at or past the overflow threshold.
template <RoundingMode R, bool kTest, FloatElement S, FloatElement T>
PRANDEL_INLINE bool narrow_portable(InputSlice<S> in, OutputSlice<T> out) noexcept {
  unsigned over = 0;
  for (std::size_t j = 0; j < in.size(); ++j) {
    const S x = in[j];
    if constexpr (kTest) over |= static_cast<unsigned>(at_overflow_threshold<T, R>(x));
    if constexpr (std::same_as<T, f32>) {
      if constexpr (R == RoundingMode::NearestEven) {
        out.store(j, narrow_f64_nearest(x));
      } else if constexpr (R == RoundingMode::NearestAway) {
        out.store(j, narrow_f64_nearest(off_midpoint(x)));
      } else {
        out.store(j, step_f32_from_nearest<R>(x, narrow_f64_nearest(x)));
      }
    } else {
      f32 wide;
      if constexpr (std::same_as<S, f32>) {
        wide = x;
      } else {
        wide = f16_proxy(x);
      }
      out.store(j, f16{binary16_bits::narrow_bits<R>(std::bit_cast<u32>(wide))});
    }
  }
  return over != 0;
}

#if PRANDEL_X86_VARIANTS
// --- AVX2 with F16C and FMA -------------------------------------------------
// Not always-inline: these carry their target and are inlined into the
// variants that have it. Array memory may be misaligned: vectors move
// through memcpy.
namespace avx2 {

// Lanes of all ones where the element is at or past R's overflow threshold
// (see at_overflow_threshold).
template <FloatElement T, RoundingMode R>
PRANDEL_TARGET_AVX2 inline __m256 threshold_lanes(__m256 x) noexcept {
  if constexpr (R == RoundingMode::NearestEven || R == RoundingMode::NearestAway) {
    return _mm256_cmp_ps(_mm256_andnot_ps(_mm256_set1_ps(-0.0f), x),
                         _mm256_set1_ps(static_cast<f32>(kOverflowTie<T>)), _CMP_GE_OQ);
  } else if constexpr (R == RoundingMode::TowardsPositive) {
    return _mm256_cmp_ps(x, _mm256_set1_ps(static_cast<f32>(kLargestFinite<T>)), _CMP_GT_OQ);
  } else if constexpr (R == RoundingMode::TowardsNegative) {
    return _mm256_cmp_ps(x, _mm256_set1_ps(static_cast<f32>(-kLargestFinite<T>)), _CMP_LT_OQ);
  } else {
    return _mm256_setzero_ps();
  }
}

template <FloatElement T, RoundingMode R>
PRANDEL_TARGET_AVX2 inline __m256d threshold_lanes(__m256d x) noexcept {
  if constexpr (R == RoundingMode::NearestEven || R == RoundingMode::NearestAway) {
    return _mm256_cmp_pd(_mm256_andnot_pd(_mm256_set1_pd(-0.0), x), _mm256_set1_pd(kOverflowTie<T>), _CMP_GE_OQ);
  } else if constexpr (R == RoundingMode::TowardsPositive) {
    return _mm256_cmp_pd(x, _mm256_set1_pd(kLargestFinite<T>), _CMP_GT_OQ);
  } else if constexpr (R == RoundingMode::TowardsNegative) {
    return _mm256_cmp_pd(x, _mm256_set1_pd(-kLargestFinite<T>), _CMP_LT_OQ);
  } else {
    return _mm256_setzero_pd();
  }
}

// Two vectors of four 64-bit lane masks as one of eight 32-bit ones, in
// order: the saturating pack keeps all ones and zeros, and works within
// 128-bit halves, which the permutation puts back in order.
PRANDEL_TARGET_AVX2 inline __m256i narrow_masks(__m256d lo, __m256d hi) noexcept {
  const __m256i packed = _mm256_packs_epi32(_mm256_castpd_si256(lo), _mm256_castpd_si256(hi));
  return _mm256_permute4x64_epi64(packed, _MM_SHUFFLE(3, 1, 2, 0));
}

PRANDEL_TARGET_AVX2 inline __m256d magnitude(__m256d x) noexcept { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), x); }

// off_midpoint on every lane.
PRANDEL_TARGET_AVX2 inline __m256d off_midpoint(__m256d x) noexcept {
  using B = FloatBits<f64>;
  const __m256i bits = _mm256_castpd_si256(x);
  const __m256i infinite = _mm256_cmpeq_epi64(_mm256_castpd_si256(magnitude(x)),
                                              _mm256_set1_epi64x(static_cast<long long>(B::kInfinity)));
  return _mm256_castsi256_pd(_mm256_or_si256(bits, _mm256_andnot_si256(infinite, _mm256_set1_epi64x(1))));
}

PRANDEL_TARGET_AVX2 inline __m256 off_midpoint(__m256 x) noexcept {
  using B = FloatBits<f32>;
  const __m256i bits = _mm256_castps_si256(x);
  const __m256i infinite =
      _mm256_cmpeq_epi32(_mm256_and_si256(bits, _mm256_set1_epi32(static_cast<int>(B::kMagnitudeMask))),
                         _mm256_set1_epi32(static_cast<int>(B::kInfinity)));
  return _mm256_castsi256_ps(_mm256_or_si256(bits, _mm256_andnot_si256(infinite, _mm256_set1_epi32(1))));
}

// Eight f32 to binary16 under R, by the rounding immediate.
template <RoundingMode R>
PRANDEL_TARGET_AVX2 inline __m128i narrow_to_f16(__m256 x) noexcept {
  if constexpr (R == RoundingMode::NearestAway) {
    return _mm256_cvtps_ph(off_midpoint(x), _MM_FROUND_TO_NEAREST_INT);
  } else {
    return _mm256_cvtps_ph(x, binary16_blocks::f16c::kImmediate<R>);
  }
}

// Eight f64 (lo, then hi) to f32 under R: to nearest (from the overflow tie
// an infinity), then for a directed mode the step of step_f32_from_nearest
// on the pattern.
template <RoundingMode R>
PRANDEL_TARGET_AVX2 inline __m256 narrow_to_f32(__m256d lo, __m256d hi) noexcept {
  if constexpr (R == RoundingMode::NearestAway) {
    lo = off_midpoint(lo);
    hi = off_midpoint(hi);
  }
  const __m128 r_lo = _mm256_cvtpd_ps(lo);
  const __m128 r_hi = _mm256_cvtpd_ps(hi);
  const __m256 r = _mm256_set_m128(r_hi, r_lo);
  if constexpr (R == RoundingMode::NearestEven || R == RoundingMode::NearestAway) {
    return r;
  } else {
    const __m256d rd_lo = _mm256_cvtps_pd(r_lo);
    const __m256d rd_hi = _mm256_cvtps_pd(r_hi);
    const __m256i bits = _mm256_castps_si256(r);
    if constexpr (R == RoundingMode::TowardsZero) {
      // Adding a lane of all ones subtracts one.
      const __m256i toward = narrow_masks(_mm256_cmp_pd(magnitude(lo), magnitude(rd_lo), _CMP_LT_OQ),
                                          _mm256_cmp_pd(magnitude(hi), magnitude(rd_hi), _CMP_LT_OQ));
      return _mm256_castsi256_ps(_mm256_add_epi32(bits, toward));
    } else {
      // Up is +1 on a positive pattern and -1 on a negative one; down the
      // reverse.
      const __m256i negative = _mm256_srai_epi32(bits, 31);
      constexpr int kSide = R == RoundingMode::TowardsPositive ? _CMP_GT_OQ : _CMP_LT_OQ;
      const __m256i step = _mm256_xor_si256(
          narrow_masks(_mm256_cmp_pd(lo, rd_lo, kSide), _mm256_cmp_pd(hi, rd_hi, kSide)), negative);
      return _mm256_castsi256_ps(R == RoundingMode::TowardsPositive
                                     ? _mm256_add_epi32(_mm256_sub_epi32(bits, step), negative)
                                     : _mm256_sub_epi32(_mm256_add_epi32(bits, step), negative));
    }
  }
}

// Eight f64 (lo, then hi) as f16_proxy makes them: to nearest, one step
// toward zero where that went beyond x (which also brings an infinity back
// to the largest f32), then the lowest bit set where x was not exact.
// Values below the f32 normal range keep a non-zero f32 of their sign, far
// below binary16's least value, and round as they would. For nearest-away
// the lowest bit is set in every finite value (off_midpoint): binary16
// nearest-even of that is nearest-away of x.
template <RoundingMode R>
PRANDEL_TARGET_AVX2 inline __m256 f16_proxy(__m256d lo, __m256d hi) noexcept {
  const __m128 r_lo = _mm256_cvtpd_ps(lo);
  const __m128 r_hi = _mm256_cvtpd_ps(hi);
  const __m256d rd_lo = _mm256_cvtps_pd(r_lo);
  const __m256d rd_hi = _mm256_cvtps_pd(r_hi);
  const __m256i toward = narrow_masks(_mm256_cmp_pd(magnitude(lo), magnitude(rd_lo), _CMP_LT_OQ),
                                      _mm256_cmp_pd(magnitude(hi), magnitude(rd_hi), _CMP_LT_OQ));
  const __m256i cut = _mm256_add_epi32(_mm256_castps_si256(_mm256_set_m128(r_hi, r_lo)), toward);
  if constexpr (R == RoundingMode::NearestAway) {
    return off_midpoint(_mm256_castsi256_ps(cut));
  } else {
    const __m256i inexact = narrow_masks(_mm256_cmp_pd(rd_lo, lo, _CMP_NEQ_UQ), _mm256_cmp_pd(rd_hi, hi, _CMP_NEQ_UQ));
    return _mm256_castsi256_ps(_mm256_or_si256(cut, _mm256_and_si256(inexact, _mm256_set1_epi32(1))));
  }
}

// The steps of run_steps: kLanes elements at `in` converted into as many at
// `out`, returning (with kTest) a non-zero mask where one is at or past the
// overflow threshold.
template <RoundingMode R, bool kTest>
struct F64ToF32 {
  using Source = f64;
  using Target = f32;
  static constexpr std::size_t kLanes = 8;
  PRANDEL_TARGET_AVX2 static unsigned convert(const std::byte* in, std::byte* out) noexcept {
    __m256d lo, hi;
    std::memcpy(&lo, in, sizeof lo);
    std::memcpy(&hi, in + sizeof lo, sizeof hi);
    const __m256 r = narrow_to_f32<R>(lo, hi);
    std::memcpy(out, &r, sizeof r);
    if constexpr (!kTest) return 0;
    return static_cast<unsigned>(
        _mm256_movemask_pd(_mm256_or_pd(threshold_lanes<f32, R>(lo), threshold_lanes<f32, R>(hi))));
  }
};

template <RoundingMode R, bool kTest>
struct F32ToF16 {
  using Source = f32;
  using Target = f16;
  static constexpr std::size_t kLanes = 16;
  PRANDEL_TARGET_AVX2 static unsigned convert(const std::byte* in, std::byte* out) noexcept {
    __m256 lo, hi;
    std::memcpy(&lo, in, sizeof lo);
    std::memcpy(&hi, in + sizeof lo, sizeof hi);
    const __m256i h = _mm256_set_m128i(narrow_to_f16<R>(hi), narrow_to_f16<R>(lo));
    std::memcpy(out, &h, sizeof h);
    if constexpr (!kTest) return 0;
    return static_cast<unsigned>(
        _mm256_movemask_ps(_mm256_or_ps(threshold_lanes<f16, R>(lo), threshold_lanes<f16, R>(hi))));
  }
};

template <RoundingMode R, bool kTest>
struct F64ToF16 {
  using Source = f64;
  using Target = f16;
  static constexpr std::size_t kLanes = 16;
  PRANDEL_TARGET_AVX2 static unsigned convert(const std::byte* in, std::byte* out) noexcept {
    __m256d x0, x1, x2, x3;
    std::memcpy(&x0, in, sizeof x0);
    std::memcpy(&x1, in + 32, sizeof x1);
    std::memcpy(&x2, in + 64, sizeof x2);
    std::memcpy(&x3, in + 96, sizeof x3);
    // The proxies already hold nearest-away's lowest bit.
    constexpr RoundingMode kProxyMode = R == RoundingMode::NearestAway ? RoundingMode::NearestEven : R;
    const __m256 lo = f16_proxy<R>(x0, x1);
    const __m256 hi = f16_proxy<R>(x2, x3);
    const __m256i h = _mm256_set_m128i(narrow_to_f16<kProxyMode>(hi), narrow_to_f16<kProxyMode>(lo));
    std::memcpy(out, &h, sizeof h);
    if constexpr (!kTest) return 0;
    const __m256d over = _mm256_or_pd(_mm256_or_pd(threshold_lanes<f16, R>(x0), threshold_lanes<f16, R>(x1)),
                                      _mm256_or_pd(threshold_lanes<f16, R>(x2), threshold_lanes<f16, R>(x3)));
    return static_cast<unsigned>(_mm256_movemask_pd(over));
  }
};

// f32 to f64, exactly.
struct F32ToF64 {
  using Source = f32;
  using Target = f64;
  static constexpr std::size_t kLanes = 8;
  PRANDEL_TARGET_AVX2 static unsigned convert(const std::byte* in, std::byte* out) noexcept {
    __m256 x;
    std::memcpy(&x, in, sizeof x);
    const __m256d lo = _mm256_cvtps_pd(_mm256_castps256_ps128(x));
    const __m256d hi = _mm256_cvtps_pd(_mm256_extractf128_ps(x, 1));
    std::memcpy(out, &lo, sizeof lo);
    std::memcpy(out + sizeof lo, &hi, sizeof hi);
    return 0;
  }
};

// binary16 to f64, exactly: F16C's widening and the exact f32 to f64 one,
// fused so that nothing goes through a buffer.
struct F16ToF64 {
  using Source = f16;
  using Target = f64;
  static constexpr std::size_t kLanes = 8;
  PRANDEL_TARGET_AVX2 static unsigned convert(const std::byte* in, std::byte* out) noexcept {
    __m128i h;
    std::memcpy(&h, in, sizeof h);
    const __m256 wide = _mm256_cvtph_ps(h);
    const __m256d lo = _mm256_cvtps_pd(_mm256_castps256_ps128(wide));
    const __m256d hi = _mm256_cvtps_pd(_mm256_extractf128_ps(wide, 1));
    std::memcpy(out, &lo, sizeof lo);
    std::memcpy(out + sizeof lo, &hi, sizeof hi);
    return 0;
  }
};

}  // namespace avx2

// --- AVX-512 F, DQ, BW and VL -------------------------------------------------
// Embedded rounding takes the directed modes straight from the conversion.
PRANDEL_INTRINSICS_BEGIN
namespace avx512 {

template <RoundingMode R>
inline constexpr int kRounding = (R == RoundingMode::TowardsZero       ? _MM_FROUND_TO_ZERO
                                  : R == RoundingMode::TowardsPositive ? _MM_FROUND_TO_POS_INF
                                  : R == RoundingMode::TowardsNegative ? _MM_FROUND_TO_NEG_INF
                                                                       : _MM_FROUND_TO_NEAREST_INT) |
                                 _MM_FROUND_NO_EXC;

// The conversions go through their zero-masking forms with every lane
// selected: GCC 12's unmasked forms start from an undefined vector, which
// its uninitialised-use warning trips on.
inline constexpr __mmask8 kAll8 = 0xff;
inline constexpr __mmask16 kAll16 = 0xffff;

// The class bits of +infinity and -infinity for the fpclass tests.
inline constexpr int kInfinityClass = 0x08 | 0x10;

template <FloatElement T, RoundingMode R>
PRANDEL_TARGET_AVX512 inline __mmask8 threshold_lanes(__m512d x) noexcept {
  if constexpr (R == RoundingMode::NearestEven || R == RoundingMode::NearestAway) {
    return _mm512_cmp_pd_mask(_mm512_abs_pd(x), _mm512_set1_pd(kOverflowTie<T>), _CMP_GE_OQ);
  } else if constexpr (R == RoundingMode::TowardsPositive) {
    return _mm512_cmp_pd_mask(x, _mm512_set1_pd(kLargestFinite<T>), _CMP_GT_OQ);
  } else if constexpr (R == RoundingMode::TowardsNegative) {
    return _mm512_cmp_pd_mask(x, _mm512_set1_pd(-kLargestFinite<T>), _CMP_LT_OQ);
  } else {
    return 0;
  }
}

template <RoundingMode R>
PRANDEL_TARGET_AVX512 inline __mmask16 threshold_lanes(__m512 x) noexcept {
  constexpr f32 kLargest = static_cast<f32>(kLargestFinite<f16>);
  if constexpr (R == RoundingMode::NearestEven || R == RoundingMode::NearestAway) {
    return _mm512_cmp_ps_mask(_mm512_abs_ps(x), _mm512_set1_ps(static_cast<f32>(kOverflowTie<f16>)), _CMP_GE_OQ);
  } else if constexpr (R == RoundingMode::TowardsPositive) {
    return _mm512_cmp_ps_mask(x, _mm512_set1_ps(kLargest), _CMP_GT_OQ);
  } else if constexpr (R == RoundingMode::TowardsNegative) {
    return _mm512_cmp_ps_mask(x, _mm512_set1_ps(-kLargest), _CMP_LT_OQ);
  } else {
    return 0;
  }
}

// off_midpoint on every lane; the class test picks out the infinities.
PRANDEL_TARGET_AVX512 inline __m512d off_midpoint(__m512d x) noexcept {
  const __m512i bits = _mm512_castpd_si512(x);
  const __mmask8 finite = static_cast<__mmask8>(~_mm512_fpclass_pd_mask(x, kInfinityClass));
  return _mm512_castsi512_pd(_mm512_mask_or_epi64(bits, finite, bits, _mm512_set1_epi64(1)));
}

PRANDEL_TARGET_AVX512 inline __m512 off_midpoint(__m512 x) noexcept {
  const __m512i bits = _mm512_castps_si512(x);
  const __mmask16 finite = static_cast<__mmask16>(~_mm512_fpclass_ps_mask(x, kInfinityClass));
  return _mm512_castsi512_ps(_mm512_mask_or_epi32(bits, finite, bits, _mm512_set1_epi32(1)));
}

PRANDEL_TARGET_AVX512 inline __m256 off_midpoint(__m256 x) noexcept {
  const __m256i bits = _mm256_castps_si256(x);
  const __mmask8 finite = static_cast<__mmask8>(~_mm256_fpclass_ps_mask(x, kInfinityClass));
  return _mm256_castsi256_ps(_mm256_mask_or_epi32(bits, finite, bits, _mm256_set1_epi32(1)));
}

// Eight f64 to f32 under R, the mode embedded in the conversion.
template <RoundingMode R>
PRANDEL_TARGET_AVX512 inline __m256 narrow_to_f32(__m512d x) noexcept {
  if constexpr (R == RoundingMode::NearestAway) {
    return _mm512_maskz_cvt_roundpd_ps(kAll8, off_midpoint(x), kRounding<RoundingMode::NearestEven>);
  } else {
    return _mm512_maskz_cvt_roundpd_ps(kAll8, x, kRounding<R>);
  }
}

// Sixteen f32 to binary16 under R, by the rounding immediate.
template <RoundingMode R>
PRANDEL_TARGET_AVX512 inline __m256i narrow_to_f16(__m512 x) noexcept {
  if constexpr (R == RoundingMode::NearestAway) {
    return _mm512_maskz_cvtps_ph(kAll16, off_midpoint(x), _MM_FROUND_TO_NEAREST_INT);
  } else {
    return _mm512_maskz_cvtps_ph(kAll16, x, binary16_blocks::f16c::kImmediate<R>);
  }
}

// Eight f64 as f16_proxy makes them: cut toward zero by the conversion
// itself (past the f32 range to the largest f32, below it to a zero), then
// the lowest bit set where that was inexact, or for nearest-away wherever
// the value is finite (as in avx2::f16_proxy).
template <RoundingMode R>
PRANDEL_TARGET_AVX512 inline __m256 f16_proxy(__m512d x) noexcept {
  const __m256 cut = _mm512_maskz_cvt_roundpd_ps(kAll8, x, kRounding<RoundingMode::TowardsZero>);
  if constexpr (R == RoundingMode::NearestAway) {
    return off_midpoint(cut);
  } else {
    const __mmask8 inexact = _mm512_cmp_pd_mask(_mm512_maskz_cvtps_pd(kAll8, cut), x, _CMP_NEQ_UQ);
    const __m256i bits = _mm256_castps_si256(cut);
    return _mm256_castsi256_ps(_mm256_mask_or_epi32(bits, inexact, bits, _mm256_set1_epi32(1)));
  }
}

template <RoundingMode R, bool kTest>
struct F64ToF32 {
  using Source = f64;
  using Target = f32;
  static constexpr std::size_t kLanes = 8;
  PRANDEL_TARGET_AVX512 static unsigned convert(const std::byte* in, std::byte* out) noexcept {
    const __m512d x = _mm512_loadu_pd(in);
    _mm256_storeu_ps(reinterpret_cast<f32*>(out), narrow_to_f32<R>(x));
    if constexpr (!kTest) return 0;
    return threshold_lanes<f32, R>(x);
  }
};

template <RoundingMode R, bool kTest>
struct F32ToF16 {
  using Source = f32;
  using Target = f16;
  static constexpr std::size_t kLanes = 16;
  PRANDEL_TARGET_AVX512 static unsigned convert(const std::byte* in, std::byte* out) noexcept {
    const __m512 x = _mm512_loadu_ps(in);
    _mm256_storeu_si256(reinterpret_cast<__m256i_u*>(out), narrow_to_f16<R>(x));
    if constexpr (!kTest) return 0;
    return threshold_lanes<R>(x);
  }
};

template <RoundingMode R, bool kTest>
struct F64ToF16 {
  using Source = f64;
  using Target = f16;
  static constexpr std::size_t kLanes = 16;
  PRANDEL_TARGET_AVX512 static unsigned convert(const std::byte* in, std::byte* out) noexcept {
    const __m512d lo = _mm512_loadu_pd(in);
    const __m512d hi = _mm512_loadu_pd(in + sizeof lo);
    const __m512 wide = _mm512_insertf32x8(_mm512_castps256_ps512(f16_proxy<R>(lo)), f16_proxy<R>(hi), 1);
    // The proxies already hold nearest-away's lowest bit.
    constexpr RoundingMode kProxyMode = R == RoundingMode::NearestAway ? RoundingMode::NearestEven : R;
    _mm256_storeu_si256(reinterpret_cast<__m256i_u*>(out), narrow_to_f16<kProxyMode>(wide));
    if constexpr (!kTest) return 0;
    return static_cast<unsigned>(threshold_lanes<f16, R>(lo) | threshold_lanes<f16, R>(hi));
  }
};

// Sixteen binary16 elements (those in `lanes`) widened to T (f32 or f64),
// each map entry's target put over the lanes it matches (entries last to
// first, so the first match stays), matched in the elements' own 16-bit
// lanes. Whole vectors load and store unmasked: masked stores run at half
// speed into memory not cached.
template <FloatElement T, bool kWhole, std::size_t kWidth>
PRANDEL_TARGET_AVX512 inline void widen_f16_lanes(const std::byte* in, std::byte* out,
                                                  __mmask16 lanes,
                                                  const EntryGroup<kWidth, f16, T>& entries) noexcept {
  const __m256i h = kWhole ? _mm256_loadu_si256(reinterpret_cast<const __m256i_u*>(in))
                           : _mm256_maskz_loadu_epi16(lanes, in);
  __mmask16 hits[kWidth];
  for (std::size_t i = 0; i < kWidth; ++i) {
    // Lanes past a partial vector's own are zeros, which a zero key
    // matches: only `lanes` count.
    hits[i] = static_cast<__mmask16>(source_lanes::matching(entries.matches[i], h) & lanes);
  }
  const __m512 wide = _mm512_cvtph_ps(h);
  if constexpr (std::same_as<T, f32>) {
    __m512 v = wide;
    for (std::size_t i = kWidth; i-- > 0;) {
      v = _mm512_mask_mov_ps(v, hits[i], _mm512_set1_ps(entries.targets[i]));
    }
    if (kWhole) {
      _mm512_storeu_ps(out, v);
    } else {
      _mm512_mask_storeu_ps(out, lanes, v);
    }
  } else {
    __m512d low = _mm512_cvtps_pd(_mm512_castps512_ps256(wide));
    __m512d high = _mm512_cvtps_pd(_mm512_extractf32x8_ps(wide, 1));
    for (std::size_t i = kWidth; i-- > 0;) {
      const __m512d target = _mm512_set1_pd(entries.targets[i]);
      low = _mm512_mask_mov_pd(low, static_cast<__mmask8>(hits[i]), target);
      high = _mm512_mask_mov_pd(high, static_cast<__mmask8>(hits[i] >> 8), target);
    }
    if (kWhole) {
      _mm512_storeu_pd(out, low);
      _mm512_storeu_pd(out + 64, high);
    } else {
      _mm512_mask_storeu_pd(out, static_cast<__mmask8>(lanes), low);
      _mm512_mask_storeu_pd(out + 64, static_cast<__mmask8>(lanes >> 8), high);
    }
  }
}

template <FloatElement T, std::size_t kWidth>
PRANDEL_TARGET_AVX512 inline void widen_f16_with_entries(
    const std::byte* in, std::byte* out, std::size_t k,
    const EntryGroup<kWidth, f16, T>& entries) noexcept {
  std::size_t j = 0;
  for (; j + 16 <= k; j += 16) {
    widen_f16_lanes<T, true>(in + j * sizeof(f16), out + j * sizeof(T), 0xffff, entries);
  }
  if (j < k) {
    const auto lanes = static_cast<__mmask16>((1u << (k - j)) - 1u);
    widen_f16_lanes<T, false>(in + j * sizeof(f16), out + j * sizeof(T), lanes, entries);
  }
}
}  // namespace avx512
PRANDEL_INTRINSICS_END

// Runs Step over in[0, k), kLanes elements at a time (the narrowings write
// 32 bytes a step, so that a staging buffer is copied out with loads that
// match its stores); the tail goes through zero-padded buffers (zeros never
// overflow).
// Whether some element is at or past the overflow threshold (if Step
// tests).
template <class Step>
PRANDEL_INLINE bool run_steps(const std::byte* in, std::byte* out, std::size_t k) noexcept {
  using S = typename Step::Source;
  using T = typename Step::Target;
  constexpr std::size_t kLanes = Step::kLanes;
  unsigned over = 0;
  std::size_t j = 0;
  for (; j + kLanes <= k; j += kLanes) over |= Step::convert(in + j * sizeof(S), out + j * sizeof(T));
  if (j < k) {
    std::byte from[kLanes * sizeof(S)] = {};
    std::byte to[kLanes * sizeof(T)];
    std::memcpy(from, in + j * sizeof(S), (k - j) * sizeof(S));
    over |= Step::convert(from, to);
    std::memcpy(out + j * sizeof(T), to, (k - j) * sizeof(T));
  }
  return over != 0;
}

// run_steps compiled for variant V as a function of its own, called once a
// block: inlined into the variant's whole frame, GCC keeps the loop's
// pointers on the stack and reloads them every step, which costs a quarter
// of the memory-bound speed.
template <Isa V, class Step>
PRANDEL_INLINE bool run_steps_on(const std::byte* in, std::byte* out, std::size_t k) noexcept {
  return call_out_of_line<V>([&]() PRANDEL_INLINE_LAMBDA { return run_steps<Step>(in, out, k); });
}
#endif

// in[0, k) into out[0, k) under R with the variant's lanes; with kTest,
// whether some element is at or past the overflow threshold.
template <RoundingMode R, bool kTest, Isa I, FloatElement S, FloatElement T>
PRANDEL_INLINE bool narrow_lanes(InputSlice<S> in, OutputSlice<T> out) noexcept {
#if PRANDEL_X86_VARIANTS
  if constexpr (I != Isa::Baseline) {
    const std::size_t k = in.size();
    if constexpr (has_avx512(I)) {
      if constexpr (std::same_as<T, f32>) {
        return run_steps_on<I, avx512::F64ToF32<R, kTest>>(in.bytes(), out.bytes(), k);
      } else if constexpr (std::same_as<S, f32>) {
        return run_steps_on<I, avx512::F32ToF16<R, kTest>>(in.bytes(), out.bytes(), k);
      } else {
        return run_steps_on<I, avx512::F64ToF16<R, kTest>>(in.bytes(), out.bytes(), k);
      }
    } else {
      if constexpr (std::same_as<T, f32>) {
        return run_steps_on<Isa::Avx2, avx2::F64ToF32<R, kTest>>(in.bytes(), out.bytes(), k);
      } else if constexpr (std::same_as<S, f32>) {
        return run_steps_on<Isa::Avx2, avx2::F32ToF16<R, kTest>>(in.bytes(), out.bytes(), k);
      } else {
        return run_steps_on<Isa::Avx2, avx2::F64ToF16<R, kTest>>(in.bytes(), out.bytes(), k);
      }
    }
  }
#endif
  return narrow_portable<R, kTest>(in, out);
}

// From this many input bytes a staged narrowing asks for each next block
// ahead: memory-bound, the staging loop otherwise ran up to 2.4 times
// slower, by mode and build (f64 -> f16 at 1e7, engine harness: 0.37 ->
// 0.25 ns/element nearest-even, 0.60 -> 0.25 nearest-away); data the caches
// hold would only pay for the requests (8 to 10% at 1e5).
inline constexpr std::size_t kReadAheadBytes = std::size_t{2} << 20;

#if PRANDEL_X86_VARIANTS
// Requests the cache lines of the block after `in` (past the slice's end
// too: a prefetch never faults).
template <FloatElement S>
PRANDEL_INLINE void prefetch_next_block(InputSlice<S> in) noexcept {
  const std::uintptr_t next = reinterpret_cast<std::uintptr_t>(in.bytes()) + block::kElements * sizeof(S);
  for (std::size_t line = 0; line < block::kElements * sizeof(S); line += 64) {
    _mm_prefetch(reinterpret_cast<const char*>(next + line), _MM_HINT_T0);
  }
}
#endif

// A narrowing under rounding mode R. Where an overflow fails, a block is
// converted into a buffer in one pass that also compares each element with
// the overflow threshold, and copied out when none overflows; otherwise it
// goes straight into the output. (The out-of-range mode is read per block
// rather than compiled in: one frame per rounding mode keeps the build
// smaller.)
template <FloatElement S, FloatElement T, RoundingMode R, Isa I>
struct NarrowBlocks {
  bool overflow_fails;
  // Whether the slice is too large for the caches, so that staged blocks
  // ask for the next block's input ahead (kReadAheadBytes).
  bool read_ahead;

  ElementResult<T> element(S x) const noexcept {
    return overflow_fails ? float_to_float_element<T, R, true>(x) : float_to_float_element<T, R, false>(x);
  }

  PRANDEL_INLINE bool convert_block(InputSlice<S> in, OutputSlice<T> out) const noexcept {
    if (!overflow_tested()) {
      narrow_lanes<R, false, I>(in, out);
      return true;
    }
    T staged[block::kElements];
    if (!narrow_tested(in, staged, NoEntries{})) return false;
    block::store(out, 0, staged, in.size());
    return true;
  }

  // A small map in the copy out of the staging buffer: the entries' targets
  // replace the narrowed hits there, and a hit is never an overflow.
  template <std::size_t kWidth>
  PRANDEL_INLINE bool convert_block_with_entries(
      InputSlice<S> in, OutputSlice<T> out, const EntryGroup<kWidth, S, T>& entries) const noexcept {
    const std::size_t k = in.size();
    T staged[block::kElements];
    if (overflow_tested()) {
      if (!narrow_tested(in, staged, entries)) return false;
    } else {
      narrow_lanes<R, false, I>(in, OutputSlice<T>(staged, k));
    }
    for (std::size_t j = 0; j < k; ++j) {
      T value = staged[j];
      entries.first_match(in[j], value);
      out.store(j, value);
    }
    return true;
  }

 private:
  struct NoEntries {
    constexpr bool any_match(S) const noexcept { return false; }
  };

  // Towards zero stops at the largest value: nothing overflows.
  bool overflow_tested() const noexcept {
    return R != RoundingMode::TowardsZero && overflow_fails;
  }

  // in[0, k) narrowed into `staged` in one pass that compares each element
  // with the overflow threshold; false where an element the map leaves
  // overflows.
  template <class Entries>
  PRANDEL_INLINE bool narrow_tested(InputSlice<S> in, T* staged,
                                    const Entries& entries) const noexcept {
    const std::size_t k = in.size();
#if PRANDEL_X86_VARIANTS
    if constexpr (I != Isa::Baseline) {
      if (read_ahead) prefetch_next_block(in);
    }
#endif
    if (narrow_lanes<R, true, I>(in, OutputSlice<T>(staged, k))) [[unlikely]] {
      // An overflow, or only infinities (which stay themselves), or hits.
      unsigned over = 0;
      for (std::size_t j = 0; j < k; ++j) {
        const bool hit = entries.any_match(in[j]);
        over |= static_cast<unsigned>(overflows_narrowing<T, R>(in[j]) && !hit);
      }
      if (over != 0) return false;
    }
    return true;
  }
};

// Identities and widenings: exact, never failing. (An identity only comes
// here with a scalar map; without one it is a single copy.)
template <FloatElement S, FloatElement T, Isa I>
struct ExactBlocks {
  ElementResult<T> element(S x) const noexcept { return convert_nearest<T>(x); }

  // Binary16 widened on AVX-512: the entries are matched in the same sweep.
  static constexpr bool kWidensF16 =
      PRANDEL_X86_VARIANTS && has_avx512(I) && std::same_as<S, f16> && !std::same_as<T, f16>;

  // A copy, f32 to f64 or kWidensF16: a small map goes into the same sweep.
  template <std::size_t kWidth>
    requires(std::same_as<S, T> || (std::same_as<S, f32> && std::same_as<T, f64>) || kWidensF16)
  PRANDEL_INLINE bool convert_block_with_entries(
      InputSlice<S> in, OutputSlice<T> out, const EntryGroup<kWidth, S, T>& entries) const noexcept {
    if constexpr (kWidensF16) {
#if PRANDEL_X86_VARIANTS
      avx512::widen_f16_with_entries<T>(in.bytes(), out.bytes(), in.size(), entries);
#endif
    } else {
      cast_with_entries(in, out, entries);
    }
    return true;
  }

  PRANDEL_INLINE bool convert_block(InputSlice<S> in, OutputSlice<T> out) const noexcept {
    const std::size_t k = in.size();
    if constexpr (std::same_as<S, T>) {
      block::copy_block(in, out);
    } else if constexpr (std::same_as<S, f16> && std::same_as<T, f64> && I != Isa::Baseline) {
#if PRANDEL_X86_VARIANTS
      run_steps_on<Isa::Avx2, avx2::F16ToF64>(in.bytes(), out.bytes(), k);
#endif
    } else if constexpr (std::same_as<S, f16>) {
      f32 wide[block::kElements];
      // The variant's loop writes through an f32 pointer: straight into
      // f32 output where that is aligned for it.
      const bool direct = std::same_as<T, f32> && reinterpret_cast<std::uintptr_t>(out.bytes()) % alignof(f32) == 0;
      f32* const to = direct ? reinterpret_cast<f32*>(out.bytes()) : wide;
      binary16_blocks::widen<I>(in, to);
      if constexpr (std::same_as<T, f32>) {
        if (!direct) block::store(out, 0, wide, k);
      } else {
        for (std::size_t j = 0; j < k; ++j) out.store(j, static_cast<f64>(wide[j]));
      }
    } else if constexpr (I != Isa::Baseline) {
#if PRANDEL_X86_VARIANTS
      run_steps_on<Isa::Avx2, avx2::F32ToF64>(in.bytes(), out.bytes(), k);
#endif
    } else {
      for (std::size_t j = 0; j < k; ++j) out.store(j, static_cast<T>(in[j]));
    }
    return true;
  }
};

template <FloatElement S, FloatElement T>
struct Slice {
  template <Isa I>
  PRANDEL_INLINE static CastResult run(InputSlice<S> in, OutputSlice<T> out,
                                       const CastConfig<S, T>* config) noexcept {
    const ScalarMap<S, T>& map = config->scalar_map;
    if constexpr (!float_to_float_narrows<S, T>) {
      return convert_blocks<I>(ExactBlocks<S, T, I>{}, in, out, map);
    } else {
      const bool fails = float_overflow_fails(config->out_of_range);
      const bool large = frame_length(in, out) * sizeof(S) >= kReadAheadBytes;
      return with_rounding_mode(config->rounding, [&]<RoundingMode R>() PRANDEL_INLINE_LAMBDA {
        return convert_blocks<I>(NarrowBlocks<S, T, R, I>{fails, large}, in, out, map);
      });
    }
  }
};

}  // namespace float_to_float_detail

// Converts min(in.size(), out.size()) elements by float_to_float_element
// under config's modes, a scalar-map hit stored as given; the first failure
// ends the call with the elements before it written. `isa` picks the
// instruction-set variant (tests run each one the processor supports).
template <FloatElement S, FloatElement T>
CastResult convert_slice_float_to_float(InputSlice<S> in, OutputSlice<T> out, const CastConfig<S, T>& config,
                                        Isa isa = best_isa()) noexcept {
  if constexpr (std::same_as<S, T>) {
    if (config.scalar_map.empty()) {
      block::copy_bits(in, out, frame_length(in, out));
      return {};
    }
  }
  return run_variant<float_to_float_detail::Slice<S, T>>(isa, in, out, &config);
}

}  // namespace prandel

// Float-to-integer conversion of whole slices: block kernels per rounding
// mode, out-of-range mode and instruction-set variant on the shared block
// frame, and the family's entry. Every kernel gives the element rule's
// results (float_to_int_rule.hpp): it decides the range by the rule's own
// test, and its arithmetic is exact.
#pragma once

#include <algorithm>
#include <bit>
#include <concepts>
#include <cstddef>
#include <cstring>
#include <limits>
#include <type_traits>

#include "prandel/binary16_blocks.hpp"
#include "prandel/cast_config.hpp"
#include "prandel/cast_float.hpp"
#include "prandel/cpu_features.hpp"
#include "prandel/float_bits.hpp"
#include "prandel/float_to_int_rule.hpp"
#include "prandel/kernel_frame.hpp"
#include "prandel/lanes512.hpp"
#include "prandel/mode_dispatch.hpp"
#include "prandel/slice_blocks.hpp"
#include "prandel/source_lanes.hpp"

#if PRANDEL_X86_VARIANTS
#include <immintrin.h>
#endif

namespace prandel {

namespace float_to_int_detail {

// x86 before SSE4.1 has no rounding instruction: the baseline variant there
// rounds by sums (round_whole_by_sum), which vectorise, rather than call the
// library per element.
template <class C>
inline constexpr bool kBaselineRoundsBySum =
#if PRANDEL_X86_VARIANTS && !defined(__SSE4_1__)
    kArithmeticRoundsToType<C>;
#else
    false;
#endif

template <RoundingMode R, Isa V, class C>
PRANDEL_INLINE C round_lane(C x) noexcept {
  if constexpr (V == Isa::Baseline && kBaselineRoundsBySum<C>) {
    return round_whole_by_sum<R>(x);
  } else {
    return round_whole<R>(x);
  }
}

// The integer of a whole f64 v with |v| < 2^64, as the low 64 bits of its
// two's complement, from additions, shifts and masks (the Avx2 variant has
// no 64-bit conversion). Below 2^52 the sum |v| + 2^52 holds |v| in its
// fraction bits; from 2^52 on |v| is its significand shifted left by its
// exponent less 52, which is 0 to 11.
PRANDEL_INLINE u64 whole_to_u64_bits(f64 v) noexcept {
  using Layout = FloatBits<f64>;
  constexpr f64 kUnitBinade = 0x1p52;
  const u64 bits = Layout::to_bits(v);
  const u64 magnitude_bits = bits & Layout::kMagnitudeMask;
  const f64 magnitude = Layout::from_bits(magnitude_bits);
  const u64 small = Layout::to_bits(magnitude + kUnitBinade) & Layout::kFractionMask;
  const u64 shift = (magnitude_bits >> Layout::kFractionBits) -
                    static_cast<u64>(Layout::kExponentBias + Layout::kFractionBits);
  const u64 large = ((magnitude_bits & Layout::kFractionMask) | (u64{1} << Layout::kFractionBits))
                    << (shift & 63);
  const u64 result = magnitude < kUnitBinade ? small : large;
  return (bits & Layout::kSign) != 0 ? u64{0} - result : result;
}

// The whole-number steps of one pair in one variant, on values of the
// compute type C after rounding.
template <FloatElement F, IntElement I, Isa V>
struct Lanes {
  using C = Compute<F>;
  using Range = TargetRange<I, C>;
  using Limits = std::numeric_limits<I>;

  // binary16 values stay within +-65504, where every whole number converts
  // through int32; only the infinities lie beyond.
  static constexpr bool kHalfSource = std::same_as<F, f16>;
  static constexpr C kFiniteBound = kHalfSource ? C(65504) : std::numeric_limits<C>::max();
  // Saturation limits the conversion can take: I's limits in C, within the
  // source's finite values.
  static constexpr C kLow = std::max(Range::lower, -kFiniteBound);
  static constexpr C kHigh = std::min(Range::last, kFiniteBound);
  static constexpr bool kThroughInt32 =
      kHalfSource || sizeof(I) < 4 || std::same_as<I, i32>;

  // A whole v in [kLow, kHigh], converted.
  PRANDEL_INLINE static I to_int(C v) noexcept {
    if constexpr (kThroughInt32) {
      return static_cast<I>(static_cast<i32>(v));
    } else if constexpr (sizeof(I) == 4 || V != Isa::Avx2) {
      // u32 everywhere, 64-bit types where the variant has the conversion
      // (Avx512) or takes it per element (Baseline).
      return static_cast<I>(v);
    } else {
      return static_cast<I>(whole_to_u64_bits(static_cast<f64>(v)));
    }
  }

  // The rounded r (any value but a NaN, or a NaN whose result is not used)
  // within [kLow, kHigh]; the identity inside the target.
  PRANDEL_INLINE static C clamp_value(C r) noexcept { return clamp_between(r, kLow, kHigh); }

  // The Clamp result of a rounded r that is not a NaN: the saturation above
  // kHigh and below kLow reaches I's own limits.
  PRANDEL_INLINE static I saturate(C r) noexcept {
    I v = to_int(clamp_value(r));
    if constexpr (kHigh < Range::end - C(1)) v = r > kHigh ? Limits::max() : v;
    if constexpr (kLow > Range::lower) v = r < kLow ? Limits::min() : v;
    return v;
  }

  // The Wrap result of a finite rounded r: min + ((r - min) mod 2^bits),
  // which is r mod 2^bits read as I. With k bits, m = r - floor(r / 2^k) *
  // 2^k is exact: each step scales by a power of two or rounds to a whole
  // number, and m, a whole number in [0, 2^k), is held by the type it is
  // computed in (f32 up to k = 16, f64 up to k = 32). For 64 bits the
  // magnitude is reduced so (every bit below 2^64 of a value of f64 is a bit
  // of its significand, so it is held too), converted, and negated for a
  // negative r.
  PRANDEL_INLINE static I wrap(C r) noexcept {
    constexpr int kBits = Limits::digits + (Limits::is_signed ? 1 : 0);
    if constexpr (kHalfSource) {
      return static_cast<I>(static_cast<i32>(r));
    } else if constexpr (kBits <= 16) {
      constexpr C kSpan = C(1 << kBits);
      const C m = r - round_lane<RoundingMode::TowardsNegative, V>(r * (C(1) / kSpan)) * kSpan;
      return static_cast<I>(static_cast<i32>(m));
    } else if constexpr (kBits == 32) {
      const f64 d = r;
      const f64 m = d - round_lane<RoundingMode::TowardsNegative, V>(d * 0x1p-32) * 0x1p32;
      if constexpr (has_avx512(V)) return static_cast<I>(static_cast<u32>(m));
      // m - 2^31 lies within int32; adding 2^31 back is modular.
      return static_cast<I>(static_cast<u32>(static_cast<i32>(m - 0x1p31)) ^ 0x8000'0000u);
    } else {
      const f64 d = r;
      const f64 magnitude = std::fabs(d);
      const f64 low =
          magnitude - round_lane<RoundingMode::TowardsNegative, V>(magnitude * 0x1p-64) * 0x1p64;
      u64 bits;
      if constexpr (V == Isa::Avx2) {
        bits = whole_to_u64_bits(low);
      } else {
        bits = static_cast<u64>(low);
      }
      return static_cast<I>(d < 0 ? u64{0} - bits : bits);
    }
  }
};

#if PRANDEL_X86_VARIANTS
// The Avx512 variant's conversion sweep, written with intrinsics: its
// conversions take the rounding mode as an operand, are defined for every
// input (a value the target cannot hold gives the "integer indefinite", all
// ones in the unsigned forms and the minimum in the signed ones), which the
// Clamp forms build on, and its min and max need no mask registers, whose
// comparisons are the slow step on this kind of processor. Not
// always-inline: they carry the AVX-512 target, so only that variant may
// inline them.
PRANDEL_INTRINSICS_BEGIN
namespace avx512 {

template <RoundingMode R>
inline constexpr int kRoundingImmediate =
    (R == RoundingMode::TowardsZero       ? _MM_FROUND_TO_ZERO
     : R == RoundingMode::TowardsPositive ? _MM_FROUND_TO_POS_INF
     : R == RoundingMode::TowardsNegative ? _MM_FROUND_TO_NEG_INF
                                          : _MM_FROUND_TO_NEAREST_INT) |
    _MM_FROUND_NO_EXC;

constexpr int kFloor = _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC;
constexpr int kTruncate = _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC;

template <class Mask>
constexpr Mask first_lanes(std::size_t n) noexcept {
  return static_cast<Mask>((u64{1} << n) - 1);
}

// A vector of 128, 256 or 512 bits in 512, zero-extended, and back: casts
// in registers (a copy through memory would stall on the store).
PRANDEL_TARGET_AVX512 inline __m512i to_512(__m512i v) noexcept { return v; }
PRANDEL_TARGET_AVX512 inline __m512i to_512(__m256i v) noexcept {
  return _mm512_zextsi256_si512(v);
}
PRANDEL_TARGET_AVX512 inline __m512i to_512(__m128i v) noexcept {
  return _mm512_zextsi128_si512(v);
}
template <class Raw>
PRANDEL_TARGET_AVX512 inline Raw from_512(__m512i v) noexcept {
  if constexpr (sizeof(Raw) == 64) {
    return v;
  } else if constexpr (sizeof(Raw) == 32) {
    return _mm512_castsi512_si256(v);
  } else {
    return _mm512_castsi512_si128(v);
  }
}

// The vector of so many bytes (vector types as template arguments lose
// their attributes).
template <std::size_t kBytes>
struct RawBits;
template <>
struct RawBits<16> {
  using Type = __m128i;
};
template <>
struct RawBits<32> {
  using Type = __m256i;
};
template <>
struct RawBits<64> {
  using Type = __m512i;
};

// Eight lanes of f64.
struct F64x8 {
  using Element = f64;
  using Vec = __m512d;
  static constexpr std::size_t kLanes = 8;

  // The element bits as loaded (zeros past n), and the values they hold.
  using Raw = __m512i;
  PRANDEL_TARGET_AVX512 static Raw load(const std::byte* p, std::size_t n) noexcept {
    return n >= kLanes ? _mm512_loadu_si512(p)
                       : _mm512_maskz_loadu_epi64(first_lanes<__mmask8>(n), p);
  }
  PRANDEL_TARGET_AVX512 static Vec value(Raw raw) noexcept { return _mm512_castsi512_pd(raw); }

  template <RoundingMode R>
  PRANDEL_TARGET_AVX512 static Vec round(Vec x) noexcept {
    if constexpr (R == RoundingMode::NearestAway) {
      // trunc(x + h), h the largest value below one half with the sign of
      // x: the rule's sum.
      const Vec h = _mm512_or_pd(_mm512_set1_pd(kLargestBelowHalf<f64>),
                                 _mm512_and_pd(x, _mm512_set1_pd(-0.0)));
      return _mm512_roundscale_pd(_mm512_add_pd(x, h), kTruncate);
    } else {
      return _mm512_roundscale_pd(x, kRoundingImmediate<R>);
    }
  }
  // x rounded under R and converted, for x whose rounded value the target
  // holds (or whose indefinite result is wanted).
  template <RoundingMode R>
  PRANDEL_TARGET_AVX512 static __m512i to_i64(Vec x) noexcept {
    if constexpr (R == RoundingMode::NearestAway) return _mm512_cvttpd_epi64(round<R>(x));
    return _mm512_cvt_roundpd_epi64(x, kRoundingImmediate<R>);
  }
  template <RoundingMode R>
  PRANDEL_TARGET_AVX512 static __m512i to_u64(Vec x) noexcept {
    if constexpr (R == RoundingMode::NearestAway) return _mm512_cvttpd_epu64(round<R>(x));
    return _mm512_cvt_roundpd_epu64(x, kRoundingImmediate<R>);
  }
  template <RoundingMode R>
  PRANDEL_TARGET_AVX512 static __m256i to_i32(Vec x) noexcept {
    if constexpr (R == RoundingMode::NearestAway) return _mm512_cvttpd_epi32(round<R>(x));
    return _mm512_cvt_roundpd_epi32(x, kRoundingImmediate<R>);
  }
  template <RoundingMode R>
  PRANDEL_TARGET_AVX512 static __m256i to_u32(Vec x) noexcept {
    if constexpr (R == RoundingMode::NearestAway) return _mm512_cvttpd_epu32(round<R>(x));
    return _mm512_cvt_roundpd_epu32(x, kRoundingImmediate<R>);
  }

  // r mod 2^k for a finite whole r, exactly (see Lanes::wrap).
  template <int kBits>
  PRANDEL_TARGET_AVX512 static Vec modulo(Vec r) noexcept {
    constexpr f64 kSpan = kBits == 64 ? 0x1p64 : static_cast<f64>(u64{1} << kBits);
    const Vec q = _mm512_roundscale_pd(_mm512_mul_pd(r, _mm512_set1_pd(1 / kSpan)), kFloor);
    return _mm512_fnmadd_pd(q, _mm512_set1_pd(kSpan), r);
  }
  // The 64-bit Wrap result of a finite whole r: its magnitude's low 64 bits,
  // negated for a negative r.
  PRANDEL_TARGET_AVX512 static __m512i wrap64(Vec r) noexcept {
    const __m512i low = _mm512_cvttpd_epu64(modulo<64>(_mm512_abs_pd(r)));
    const __mmask8 negative = _mm512_movepi64_mask(_mm512_castpd_si512(r));
    return _mm512_mask_sub_epi64(low, negative, _mm512_setzero_si512(), low);
  }

  // A batch converted under R and M: every rounded value in range without a
  // mode, no NaN under Clamp, all finite under Wrap. Results in I's lanes for
  // 32- and 64-bit targets, else in int32 lanes still to be narrowed.
  template <IntElement I, RoundingMode R, OutOfRangeMode M>
  PRANDEL_TARGET_AVX512 static auto convert(Vec x) noexcept {
    using Limits = std::numeric_limits<I>;
    constexpr int kBits = Limits::digits + (Limits::is_signed ? 1 : 0);
    // Clamping to whole limits commutes with rounding.
    const Vec zero = _mm512_setzero_pd();
    if constexpr (M == OutOfRangeMode::Wrap) {
      const Vec r = round<R>(x);
      if constexpr (kBits == 64) return wrap64(r);
      if constexpr (kBits == 32) return _mm512_cvttpd_epu32(modulo<32>(r));
      if constexpr (kBits <= 16) return _mm512_cvttpd_epi32(modulo<kBits>(r));
    } else if constexpr (M == OutOfRangeMode::Unset) {
      if constexpr (std::same_as<I, i64>) return to_i64<R>(x);
      if constexpr (std::same_as<I, u64>) return to_u64<R>(x);
      if constexpr (std::same_as<I, u32>) return to_u32<R>(x);
      if constexpr (kBits <= 32 && !std::same_as<I, u32>) return to_i32<R>(x);
    } else if constexpr (std::same_as<I, i64>) {
      // Below -2^63 the indefinite is the minimum already; from 2^63 on the
      // maximum takes its place.
      const Vec r = round<R>(x);
      const __mmask8 above = _mm512_cmp_pd_mask(r, _mm512_set1_pd(0x1p63), _CMP_GE_OQ);
      return _mm512_mask_mov_epi64(_mm512_cvttpd_epi64(r), above, _mm512_set1_epi64(Limits::max()));
    } else if constexpr (std::same_as<I, u64>) {
      // From 2^64 on the indefinite is the maximum.
      return to_u64<R>(_mm512_max_pd(x, zero));
    } else if constexpr (std::same_as<I, u32>) {
      return to_u32<R>(_mm512_max_pd(x, zero));
    } else if constexpr (std::same_as<I, i32>) {
      return to_i32<R>(_mm512_min_pd(x, _mm512_set1_pd(Limits::max())));
    } else {
      const Vec low = _mm512_set1_pd(Limits::min());
      const Vec high = _mm512_set1_pd(Limits::max());
      return to_i32<R>(_mm512_min_pd(_mm512_max_pd(x, low), high));
    }
  }
};

// Sixteen lanes of f32, or eight (Vec256) where the target's lanes are
// 64-bit; from binary16 the values are widened as they load.
template <FloatElement F>
struct F32x16 {
  using Element = F;
  using Vec = __m512;
  static constexpr std::size_t kLanes = 16;
  static constexpr bool kHalfSource = std::same_as<F, f16>;

  using Raw = typename RawBits<16 * sizeof(f16) * (kHalfSource ? 1 : 2)>::Type;
  PRANDEL_TARGET_AVX512 static Raw load(const std::byte* p, std::size_t n) noexcept {
    if constexpr (kHalfSource) {
      return n >= kLanes ? _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))
                         : _mm256_maskz_loadu_epi16(first_lanes<__mmask16>(n), p);
    } else {
      return n >= kLanes ? _mm512_loadu_si512(p)
                         : _mm512_maskz_loadu_epi32(first_lanes<__mmask16>(n), p);
    }
  }
  PRANDEL_TARGET_AVX512 static Vec value(Raw raw) noexcept {
    if constexpr (kHalfSource) {
      return _mm512_cvtph_ps(raw);
    } else {
      return _mm512_castsi512_ps(raw);
    }
  }
  template <RoundingMode R>
  PRANDEL_TARGET_AVX512 static Vec round(Vec x) noexcept {
    if constexpr (R == RoundingMode::NearestAway) {
      const Vec h = _mm512_or_ps(_mm512_set1_ps(kLargestBelowHalf<f32>),
                                 _mm512_and_ps(x, _mm512_set1_ps(-0.0f)));
      return _mm512_roundscale_ps(_mm512_add_ps(x, h), kTruncate);
    } else {
      return _mm512_roundscale_ps(x, kRoundingImmediate<R>);
    }
  }
  template <RoundingMode R>
  PRANDEL_TARGET_AVX512 static __m512i to_i32(Vec x) noexcept {
    if constexpr (R == RoundingMode::NearestAway) return _mm512_cvttps_epi32(round<R>(x));
    return _mm512_cvt_roundps_epi32(x, kRoundingImmediate<R>);
  }
  template <RoundingMode R>
  PRANDEL_TARGET_AVX512 static __m512i to_u32(Vec x) noexcept {
    if constexpr (R == RoundingMode::NearestAway) return _mm512_cvttps_epu32(round<R>(x));
    return _mm512_cvt_roundps_epu32(x, kRoundingImmediate<R>);
  }
  template <int kBits>
  PRANDEL_TARGET_AVX512 static Vec modulo(Vec r) noexcept {
    constexpr f32 kSpan = static_cast<f32>(1u << kBits);
    const Vec q = _mm512_roundscale_ps(_mm512_mul_ps(r, _mm512_set1_ps(1 / kSpan)), kFloor);
    return _mm512_fnmadd_ps(q, _mm512_set1_ps(kSpan), r);
  }

  template <IntElement I, RoundingMode R, OutOfRangeMode M>
  PRANDEL_TARGET_AVX512 static __m512i convert(Vec x) noexcept {
    using Limits = std::numeric_limits<I>;
    constexpr int kBits = Limits::digits + (Limits::is_signed ? 1 : 0);
    static_assert(kBits <= 32);
    const Vec zero = _mm512_setzero_ps();
    if constexpr (M == OutOfRangeMode::Wrap) {
      if constexpr (kHalfSource) {
        // Finite binary16 values lie within int32.
        return to_i32<R>(x);
      } else if constexpr (kBits <= 16) {
        return _mm512_cvttps_epi32(modulo<kBits>(round<R>(x)));
      } else {
        // The low 32 bits of the whole r. Within +-2^31 the conversion gives
        // them; beyond, they are the significand shifted left by the
        // exponent less 23 (a shift of 32 or more leaves none), negated for
        // a negative r. A residue mod 2^32 may need more bits than f32 has,
        // so there is no modulo in f32 here.
        const Vec r = round<R>(x);
        const __m512i bits = _mm512_castps_si512(r);
        const __m512i significand =
            _mm512_or_si512(_mm512_and_si512(bits, _mm512_set1_epi32(0x007f'ffff)),
                            _mm512_set1_epi32(0x0080'0000));
        const __m512i exponent = _mm512_and_si512(_mm512_srli_epi32(bits, 23), _mm512_set1_epi32(0xff));
        const __m512i magnitude =
            _mm512_sllv_epi32(significand, _mm512_sub_epi32(exponent, _mm512_set1_epi32(127 + 23)));
        const __m512i beyond = _mm512_mask_sub_epi32(magnitude, _mm512_movepi32_mask(bits),
                                                     _mm512_setzero_si512(), magnitude);
        const __mmask16 outside =
            _mm512_cmp_ps_mask(_mm512_abs_ps(r), _mm512_set1_ps(0x1p31f), _CMP_GE_OQ);
        return _mm512_mask_mov_epi32(_mm512_cvttps_epi32(r), outside, beyond);
      }
    } else if constexpr (std::same_as<I, u32>) {
      // From 2^32 on (and +inf) the indefinite is the maximum.
      return to_u32<R>(M == OutOfRangeMode::Unset ? x : _mm512_max_ps(x, zero));
    } else if constexpr (M == OutOfRangeMode::Unset) {
      return to_i32<R>(x);
    } else if constexpr (std::same_as<I, i32>) {
      // f32 lacks 2^31 - 1: from 2^31 on the maximum takes the indefinite's
      // place (which below -2^31 is the minimum already).
      const Vec r = round<R>(x);
      const __mmask16 above = _mm512_cmp_ps_mask(r, _mm512_set1_ps(0x1p31f), _CMP_GE_OQ);
      return _mm512_mask_mov_epi32(_mm512_cvttps_epi32(r), above, _mm512_set1_epi32(Limits::max()));
    } else {
      const Vec low = _mm512_set1_ps(Limits::min());
      const Vec high = _mm512_set1_ps(Limits::max());
      return to_i32<R>(_mm512_min_ps(_mm512_max_ps(x, low), high));
    }
  }
};

template <FloatElement F>
struct F32x8 {
  using Element = F;
  using Vec = __m256;
  static constexpr std::size_t kLanes = 8;
  static constexpr bool kHalfSource = std::same_as<F, f16>;

  using Raw = typename RawBits<8 * sizeof(f16) * (kHalfSource ? 1 : 2)>::Type;
  PRANDEL_TARGET_AVX512 static Raw load(const std::byte* p, std::size_t n) noexcept {
    if constexpr (kHalfSource) {
      return n >= kLanes ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(p))
                         : _mm_maskz_loadu_epi16(first_lanes<__mmask8>(n), p);
    } else {
      return n >= kLanes ? _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))
                         : _mm256_maskz_loadu_epi32(first_lanes<__mmask8>(n), p);
    }
  }
  PRANDEL_TARGET_AVX512 static Vec value(Raw raw) noexcept {
    if constexpr (kHalfSource) {
      return _mm256_cvtph_ps(raw);
    } else {
      return _mm256_castsi256_ps(raw);
    }
  }
  template <RoundingMode R>
  PRANDEL_TARGET_AVX512 static Vec round(Vec x) noexcept {
    if constexpr (R == RoundingMode::NearestAway) {
      const Vec h = _mm256_or_ps(_mm256_set1_ps(kLargestBelowHalf<f32>),
                                 _mm256_and_ps(x, _mm256_set1_ps(-0.0f)));
      return _mm256_round_ps(_mm256_add_ps(x, h), kTruncate);
    } else {
      return _mm256_round_ps(x, kRoundingImmediate<R>);
    }
  }

  template <IntElement I, RoundingMode R, OutOfRangeMode M>
  PRANDEL_TARGET_AVX512 static __m512i convert(Vec x) noexcept {
    using Limits = std::numeric_limits<I>;
    static_assert(sizeof(I) == 8);
    const Vec r = round<R>(x);
    if constexpr (M == OutOfRangeMode::Wrap) {
      if constexpr (kHalfSource) {
        // Within int32, whose sign extension is the two's complement in 64 bits.
        return _mm512_cvtepi32_epi64(_mm256_cvttps_epi32(r));
      } else {
        return F64x8::wrap64(_mm512_cvtps_pd(r));
      }
    } else if constexpr (Limits::is_signed) {
      const __m512i v = _mm512_cvttps_epi64(r);
      if constexpr (M == OutOfRangeMode::Unset) return v;
      const __mmask8 above = _mm256_cmp_ps_mask(r, _mm256_set1_ps(0x1p63f), _CMP_GE_OQ);
      return _mm512_mask_mov_epi64(v, above, _mm512_set1_epi64(Limits::max()));
    } else {
      // From 2^64 on (and +inf) the indefinite is the maximum.
      return _mm512_cvttps_epu64(M == OutOfRangeMode::Unset ? r
                                                              : _mm256_max_ps(r, _mm256_setzero_ps()));
    }
  }
};

// Stores the first n results of a batch of W lanes (all of them when n >= W):
// 64-bit lanes, or int32 lanes narrowed to I.
template <IntElement I, std::size_t W>
PRANDEL_TARGET_AVX512 inline void store(std::byte* p, __m512i v, std::size_t n) noexcept {
  const bool full = n >= W;
  if constexpr (sizeof(I) == 8) {
    if (full) return _mm512_storeu_si512(p, v);
    _mm512_mask_storeu_epi64(p, first_lanes<__mmask8>(n), v);
  } else if constexpr (sizeof(I) == 4) {
    if (full) return _mm512_storeu_si512(p, v);
    _mm512_mask_storeu_epi32(p, first_lanes<__mmask16>(n), v);
  } else if constexpr (sizeof(I) == 2) {
    const __m256i narrow = _mm512_cvtepi32_epi16(v);
    if (full) return _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), narrow);
    _mm256_mask_storeu_epi16(p, first_lanes<__mmask16>(n), narrow);
  } else {
    const __m128i narrow = _mm512_cvtepi32_epi8(v);
    if (full) return _mm_storeu_si128(reinterpret_cast<__m128i*>(p), narrow);
    _mm_mask_storeu_epi8(p, first_lanes<__mmask16>(n), narrow);
  }
}

// The same for eight int32 lanes (from f64).
template <IntElement I, std::size_t W>
PRANDEL_TARGET_AVX512 inline void store(std::byte* p, __m256i v, std::size_t n) noexcept {
  const bool full = n >= W;
  const __mmask8 lanes = first_lanes<__mmask8>(n);
  if constexpr (sizeof(I) == 4) {
    if (full) return _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
    _mm256_mask_storeu_epi32(p, lanes, v);
  } else if constexpr (sizeof(I) == 2) {
    const __m128i narrow = _mm256_cvtepi32_epi16(v);
    if (full) return _mm_storeu_si128(reinterpret_cast<__m128i*>(p), narrow);
    _mm_mask_storeu_epi16(p, lanes, narrow);
  } else {
    const __m128i narrow = _mm256_cvtepi32_epi8(v);
    if (full) return _mm_storel_epi64(reinterpret_cast<__m128i*>(p), narrow);
    _mm_mask_storeu_epi8(p, lanes, narrow);
  }
}

// Lane-wise maxima of element bit patterns in vectors of any width, and the
// test of the results against envelope bounds already accepted.
template <FloatElement F, class Raw>
PRANDEL_TARGET_AVX512 inline void add_lanes(Raw& largest_signed, Raw& largest_unsigned,
                                            Raw raw) noexcept {
  if constexpr (sizeof(Raw) == 64 && sizeof(F) == 8) {
    largest_signed = _mm512_max_epi64(largest_signed, raw);
    largest_unsigned = _mm512_max_epu64(largest_unsigned, raw);
  } else if constexpr (sizeof(Raw) == 64 && sizeof(F) == 4) {
    largest_signed = _mm512_max_epi32(largest_signed, raw);
    largest_unsigned = _mm512_max_epu32(largest_unsigned, raw);
  } else if constexpr (sizeof(Raw) == 64) {
    largest_signed = _mm512_max_epi16(largest_signed, raw);
    largest_unsigned = _mm512_max_epu16(largest_unsigned, raw);
  } else if constexpr (sizeof(Raw) == 32 && sizeof(F) == 4) {
    largest_signed = _mm256_max_epi32(largest_signed, raw);
    largest_unsigned = _mm256_max_epu32(largest_unsigned, raw);
  } else if constexpr (sizeof(Raw) == 32) {
    largest_signed = _mm256_max_epi16(largest_signed, raw);
    largest_unsigned = _mm256_max_epu16(largest_unsigned, raw);
  } else {
    largest_signed = _mm_max_epi16(largest_signed, raw);
    largest_unsigned = _mm_max_epu16(largest_unsigned, raw);
  }
}

// Whether every lane lies within the bounds `accepted`; otherwise
// `envelope` receives the maxima over the lanes.
template <FloatElement F, class Raw>
PRANDEL_TARGET_AVX512 inline bool within_accepted(Raw largest_signed, Raw largest_unsigned,
                                                  const BitEnvelope<F>& accepted,
                                                  BitEnvelope<F>& envelope) noexcept {
  using Envelope = BitEnvelope<F>;
  constexpr std::size_t kCount = sizeof(Raw) / sizeof(typename Envelope::Bits);
  // Widened to 512 bits with zeros, which lie within any bounds.
  const __m512i s = to_512(largest_signed);
  const __m512i u = to_512(largest_unsigned);
  bool above;
  if constexpr (sizeof(F) == 8) {
    above = (_mm512_cmpgt_epi64_mask(s, _mm512_set1_epi64(accepted.largest_signed)) |
             _mm512_cmpgt_epu64_mask(
                 u, _mm512_set1_epi64(static_cast<i64>(accepted.largest_unsigned)))) != 0;
  } else if constexpr (sizeof(F) == 4) {
    above = (_mm512_cmpgt_epi32_mask(s, _mm512_set1_epi32(accepted.largest_signed)) |
             _mm512_cmpgt_epu32_mask(
                 u, _mm512_set1_epi32(static_cast<i32>(accepted.largest_unsigned)))) != 0;
  } else {
    above = (_mm512_cmpgt_epi16_mask(s, _mm512_set1_epi16(accepted.largest_signed)) |
             _mm512_cmpgt_epu16_mask(
                 u, _mm512_set1_epi16(static_cast<i16>(accepted.largest_unsigned)))) != 0;
  }
  if (!above) return true;
  typename Envelope::Signed signed_lanes[kCount];
  typename Envelope::Bits unsigned_lanes[kCount];
  std::memcpy(signed_lanes, &largest_signed, sizeof(Raw));
  std::memcpy(unsigned_lanes, &largest_unsigned, sizeof(Raw));
  envelope = Envelope{};
  for (std::size_t i = 0; i < kCount; ++i) {
    envelope.largest_signed = std::max(envelope.largest_signed, signed_lanes[i]);
    envelope.largest_unsigned = std::max(envelope.largest_unsigned, unsigned_lanes[i]);
  }
  return false;
}

// A block without a map entry: no lane is a hit.
struct NoHits {
  static constexpr bool kActive = false;
  struct Found {};
};

// A map's hits in a batch: `find(raw)` gives what the lookup found, its
// `lanes` (a mask in lanes of F's width; lanes past the batch's own are to
// be ignored) and whatever `blend(results, found)` needs to set the hits'
// targets. What they all share: the batch with the hit lanes zeroed before
// the test and the conversion (a merge with zeros under the hit mask needs
// no complement of it).
template <FloatElement F>
struct HitLanes {
  static constexpr bool kActive = true;
  using Mask = source_lanes::Mask<F>;

  template <class Raw>
  PRANDEL_TARGET_AVX512 static Raw clear(Raw raw, Mask hits) noexcept {
    if constexpr (sizeof(Raw) == 32) {
      const __m256i zero = _mm256_setzero_si256();
      if constexpr (sizeof(F) == 4) {
        return _mm256_mask_mov_epi32(raw, static_cast<__mmask8>(hits), zero);
      } else {
        return _mm256_mask_mov_epi16(raw, static_cast<__mmask16>(hits), zero);
      }
    } else {
      return from_512<Raw>(lanes512::zero_lanes<sizeof(F)>(hits, to_512(raw)));
    }
  }
};

// Results (kResultBytes-wide lanes: 64-bit, or int32 still to narrow, as
// the batch gives them) with the hit lanes set to `targets`, in the same
// lanes.
template <std::size_t kResultBytes, class Results, class Mask>
PRANDEL_TARGET_AVX512 inline Results with_targets(Results results, Mask hits,
                                                  Results targets) noexcept {
  if constexpr (sizeof(Results) == 32) {
    return _mm256_mask_mov_epi32(results, static_cast<__mmask8>(hits), targets);
  } else {
    return lanes512::set_lanes<kResultBytes>(results, hits, targets);
  }
}

// A one-entry map's hits, by the entry's own SourceMatcher range
// (scalar_map.hpp) in vectors; they take `target`.
template <FloatElement F, IntElement I>
struct EntryHits : HitLanes<F> {
  using Mask = source_lanes::Mask<F>;
  struct Found {
    Mask lanes;
  };

  SourceMatcher<F> source;
  I target;

  template <class Raw>
  PRANDEL_TARGET_AVX512 Found find(Raw raw) const noexcept {
    if constexpr (sizeof(Raw) == 32) {
      return {source_lanes::matching(source, raw)};
    } else {
      return {source_lanes::matching(source, to_512(raw))};
    }
  }

  template <class Results>
  PRANDEL_TARGET_AVX512 Results blend(Results results, const Found& found) const noexcept {
    // The target's bits in the results' lanes (the store keeps the low ones).
    const auto bits = static_cast<u64>(static_cast<i64>(target));
    Results targets;
    if constexpr (sizeof(Results) == 32) {
      targets = _mm256_set1_epi32(static_cast<i32>(bits));
    } else {
      targets = lanes512::splat<kResultBytes>(bits);
    }
    return with_targets<kResultBytes>(results, found.lanes, targets);
  }

 private:
  static constexpr std::size_t kResultBytes = sizeof(I) == 8 ? 8 : 4;
};

// A hashed map's hits (hashed_map.hpp) on f64 batches, looked up in their
// own 64-bit lanes, which every target fits; a hit takes the target of its
// slot, kept from the lookup. Every NaN lane is looked up as the NaN key's
// pattern, which only a map with a NaN key holds: one form serves maps with
// and without one (two operations a vector, against a second copy of the
// runs for each rounding and out-of-range mode).
template <IntElement I, bool kWindow>
struct TableHits : HitLanes<f64> {
  using Mask = __mmask8;
  struct Found {
    Mask lanes;
    __m512i slots;
  };

  hashed_map_avx512::TableInRegisters<f64, kWindow> table;

  PRANDEL_TARGET_AVX512 static TableHits of(const HashedMap<f64, I>& map) noexcept {
    return {{}, hashed_map_avx512::TableInRegisters<f64, kWindow>::of(map)};
  }

  PRANDEL_TARGET_AVX512 Found find(__m512i raw) const noexcept {
    using L = hashed_map_avx512::Lanes<f64>;
    const __m512i x = L::with(raw, L::nan_lanes(raw), hashed_map_detail::kNanPattern<f64>);
    const __m512i slots = table.slots(x);
    return {table.hits(x, slots), slots};
  }

  // Eight 64-bit results, or eight int32 ones still to narrow.
  template <class Results>
  PRANDEL_TARGET_AVX512 Results blend(Results results, const Found& found) const noexcept {
    const __m512i targets = table.targets(found.slots);
    if constexpr (sizeof(Results) == 32) {
      return with_targets<4>(results, found.lanes, _mm512_cvtepi64_epi32(targets));
    } else {
      return with_targets<8>(results, found.lanes, targets);
    }
  }
};

// `raw` with its hits zeroed.
template <FloatElement F, class Raw, class Hits>
PRANDEL_TARGET_AVX512 inline Raw without_hits(Raw raw, const Hits& hits) noexcept {
  if constexpr (Hits::kActive) return Hits::clear(raw, hits.find(raw).lanes);
  return raw;
}

// The test sweep: the envelope of the k elements of F at `in` (hits left
// out), 64 bytes a step. Returns whether it lies within `accepted`, else
// sets `envelope`.
template <FloatElement F, class Hits>
PRANDEL_TARGET_AVX512 inline bool envelope_sweep(const std::byte* in, std::size_t k,
                                                 const Hits& hits,
                                                 const BitEnvelope<F>& accepted,
                                                 BitEnvelope<F>& envelope) noexcept {
  constexpr std::size_t W = 64 / sizeof(F);
  __m512i largest_signed = _mm512_setzero_si512();
  __m512i largest_unsigned = _mm512_setzero_si512();
  std::size_t j = 0;
  for (; j + W <= k; j += W) {
    add_lanes<F>(largest_signed, largest_unsigned,
                 without_hits<F>(_mm512_loadu_si512(in + j * sizeof(F)), hits));
  }
  if (j < k) {
    const __m512i rest =
        _mm512_maskz_loadu_epi8(first_lanes<__mmask64>((k - j) * sizeof(F)), in + j * sizeof(F));
    add_lanes<F>(largest_signed, largest_unsigned, without_hits<F>(rest, hits));
  }
  return within_accepted<F>(largest_signed, largest_unsigned, accepted, envelope);
}

template <FloatElement F, IntElement I>
using BatchOf = std::conditional_t<std::same_as<F, f64>, F64x8,
                                   std::conditional_t<sizeof(I) == 8, F32x8<F>, F32x16<F>>>;

// One batch: its hits cleared, converted, the hits given their target.
template <IntElement I, RoundingMode R, OutOfRangeMode M, class Batch, class Hits>
PRANDEL_TARGET_AVX512 inline auto convert_batch(typename Batch::Raw raw,
                                                const Hits& hits) noexcept {
  if constexpr (Hits::kActive) {
    const auto found = hits.find(raw);
    return hits.blend(
        Batch::template convert<I, R, M>(Batch::value(Hits::clear(raw, found.lanes))), found);
  } else {
    return Batch::template convert<I, R, M>(Batch::value(raw));
  }
}

// Converts the k elements of F at `in` into `out`, a batch at a time; the
// block has passed its test.
template <FloatElement F, IntElement I, RoundingMode R, OutOfRangeMode M, class Hits>
PRANDEL_TARGET_AVX512 inline void convert_sweep(const std::byte* in, std::size_t k,
                                                std::byte* out, const Hits& hits) noexcept {
  using Batch = BatchOf<F, I>;
  constexpr std::size_t W = Batch::kLanes;
  // Whole batches, then the rest (masked) once.
  std::size_t j = 0;
  for (; j + W <= k; j += W) {
    const typename Batch::Raw raw = Batch::load(in + j * sizeof(F), W);
    store<I, W>(out + j * sizeof(I), convert_batch<I, R, M, Batch>(raw, hits), W);
  }
  if (j < k) {
    const typename Batch::Raw raw = Batch::load(in + j * sizeof(F), k - j);
    store<I, W>(out + j * sizeof(I), convert_batch<I, R, M, Batch>(raw, hits), k - j);
  }
}

// One batch of the staged sweep: n elements (n up to the batch's lanes).
template <IntElement I, RoundingMode R, OutOfRangeMode M, class Batch, class Hits>
PRANDEL_TARGET_AVX512 inline void staged_step(const std::byte* in, std::byte* staged,
                                              std::size_t n, const Hits& hits,
                                              typename Batch::Raw& largest_signed,
                                              typename Batch::Raw& largest_unsigned) noexcept {
  using F = typename Batch::Element;
  const typename Batch::Raw raw = Batch::load(in, n);
  if constexpr (Hits::kActive) {
    const auto found = hits.find(raw);
    const typename Batch::Raw cleared = Hits::clear(raw, found.lanes);
    add_lanes<F>(largest_signed, largest_unsigned, cleared);
    store<I, Batch::kLanes>(
        staged, hits.blend(Batch::template convert<I, R, M>(Batch::value(cleared)), found), n);
  } else {
    add_lanes<F>(largest_signed, largest_unsigned, raw);
    store<I, Batch::kLanes>(staged, Batch::template convert<I, R, M>(Batch::value(raw)), n);
  }
}

// Converts the k elements of F at `in` into `staged` (whatever they hold:
// each conversion is defined) while taking their envelope, in one sweep;
// returns as envelope_sweep does.
template <FloatElement F, IntElement I, RoundingMode R, OutOfRangeMode M, class Hits>
PRANDEL_TARGET_AVX512 inline bool staged_sweep(const std::byte* in, std::size_t k,
                                               std::byte* staged, const Hits& hits,
                                               const BitEnvelope<F>& accepted,
                                               BitEnvelope<F>& envelope) noexcept {
  using Batch = BatchOf<F, I>;
  using Raw = typename Batch::Raw;
  constexpr std::size_t W = Batch::kLanes;
  Raw largest_signed{};
  Raw largest_unsigned{};
  std::size_t j = 0;
  for (; j + W <= k; j += W) {
    staged_step<I, R, M, Batch>(in + j * sizeof(F), staged + j * sizeof(I), W, hits,
                                largest_signed, largest_unsigned);
  }
  if (j < k) {
    staged_step<I, R, M, Batch>(in + j * sizeof(F), staged + j * sizeof(I), k - j, hits,
                                largest_signed, largest_unsigned);
  }
  return within_accepted<F>(largest_signed, largest_unsigned, accepted, envelope);
}

// Batches converted together by convert_run: eight, whose elements and
// results stay in registers.
inline constexpr std::size_t kRunBatches = 8;

template <FloatElement F, IntElement I>
inline constexpr std::size_t kRun = kRunBatches * BatchOf<F, I>::kLanes;

// Converts the kRun elements of F at `in` into `out`, reading them once: the
// run's envelope is taken as it loads and, when it lies within `accepted`,
// the run is converted from registers and stored; otherwise `envelope`
// receives it and nothing is written.
template <FloatElement F, IntElement I, RoundingMode R, OutOfRangeMode M, class Hits>
PRANDEL_TARGET_AVX512 inline bool convert_run(const std::byte* in, std::byte* out,
                                              const Hits& hits, const BitEnvelope<F>& accepted,
                                              BitEnvelope<F>& envelope) noexcept {
  using Batch = BatchOf<F, I>;
  using Raw = typename Batch::Raw;
  constexpr std::size_t W = Batch::kLanes;
  // Each batch's hits are found once: the batch is kept with them cleared,
  // and what was found until the targets go in.
  Raw raw[kRunBatches];
  [[maybe_unused]] typename Hits::Found found[kRunBatches];
  Raw largest_signed{};
  Raw largest_unsigned{};
  PRANDEL_UNROLL_ALL
  for (std::size_t b = 0; b < kRunBatches; ++b) {
    raw[b] = Batch::load(in + b * W * sizeof(F), W);
    if constexpr (Hits::kActive) {
      found[b] = hits.find(raw[b]);
      raw[b] = Hits::clear(raw[b], found[b].lanes);
    }
    add_lanes<F>(largest_signed, largest_unsigned, raw[b]);
  }
  if (!within_accepted<F>(largest_signed, largest_unsigned, accepted, envelope)) return false;
  PRANDEL_UNROLL_ALL
  for (std::size_t b = 0; b < kRunBatches; ++b) {
    auto results = Batch::template convert<I, R, M>(Batch::value(raw[b]));
    if constexpr (Hits::kActive) results = hits.blend(results, found[b]);
    store<I, W>(out + b * W * sizeof(I), results, W);
  }
  return true;
}

}  // namespace avx512
PRANDEL_INTRINSICS_END
#endif

// The block kernel of one pair under out-of-range mode M, for variant V;
// the rounding mode is picked per block, so the frame around the kernel
// (map handling, element fallback) is compiled once for all five. A
// read-only sweep takes the block's extremes (BitEnvelope), and the block is
// converted straight into the output when the element rule converts both,
// so every conversion it does is of a value the rule accepts; the Avx512
// variant, where the output has memory of its own, takes the extremes of
// runs of vectors held in registers and converts each run from there, and
// handles a one-entry map's hits in the same sweeps.
template <FloatElement F, IntElement I, OutOfRangeMode M, Isa V>
struct Blocks {
  using C = Compute<F>;
  using L = Lanes<F, I, V>;

  Blocks(RoundingMode mode, bool apart) noexcept : rounding(mode), output_apart(apart) {}

  RoundingMode rounding;
  // Whether the output shares no memory with the input: a failing block may
  // then be left with some of the elements before its first failure written.
  bool output_apart;

  ElementResult<I> element(F x) const noexcept { return convert_element<I>(x, rounding, M); }

  PRANDEL_INLINE bool convert_block(InputSlice<F> in, OutputSlice<I> out) const noexcept {
#if PRANDEL_X86_VARIANTS
    if constexpr (has_avx512(V)) return avx512_block(in, out, avx512::NoHits{});
#endif
    return generic_block(in, out);
  }

#if PRANDEL_X86_VARIANTS
  // A one-entry map in the Avx512 sweeps (the frame's hook): a hit takes the
  // entry's target and stays out of the block's test; the rest convert as in
  // convert_block.
  PRANDEL_INLINE bool convert_block_with_entries(InputSlice<F> in, OutputSlice<I> out,
                                                 const EntryGroup<1, F, I>& entry) const noexcept
    requires(has_avx512(V))
  {
    return avx512_block(in, out, avx512::EntryHits<F, I>{{}, entry.matches[0], entry.targets[0]});
  }

  // A map of several entries from f64 (the frame's hashed hook): the Avx512
  // sweeps look the table up as they convert, as they match one entry,
  // rather than set the block's hits aside in a copy of their own. From f32
  // and binary16, whose sweep finds the hits of more elements a vector,
  // that measured no faster (f32) or slower (binary16, whose batches fill
  // half a vector of the table's lanes).
  static constexpr bool kRunsTakeHashedMap = has_avx512(V) && std::same_as<F, f64>;
  // Runs for every rounding and out-of-range mode are large: they are
  // compiled for the slots most maps have, windows of the bits.
  static constexpr bool kRunsTakeWindowsOnly = true;

  bool takes_hashed_map() const noexcept { return true; }

  template <bool kWindow>
    requires kRunsTakeHashedMap
  PRANDEL_INLINE bool convert_block_hashed(InputSlice<F> in, OutputSlice<I> out,
                                           const HashedMap<F, I>& map) const noexcept {
    return avx512_block(in, out, avx512::TableHits<I, kWindow>::of(map));
  }
#endif

 private:
  using Bits = typename FloatBits<F>::Bits;
  using Signed = std::make_signed_t<Bits>;

  // The largest extremes the rule has accepted (zero it always does).
  mutable BitEnvelope<F> accepted_;

  // The rule's decision on the extremes. The extremes already accepted are
  // remembered: the rule accepts an interval that holds 0, so an envelope
  // within them passes without asking it again.
  PRANDEL_INLINE bool extremes_convert(const BitEnvelope<F>& envelope) const noexcept {
    if (envelope.largest_signed <= accepted_.largest_signed &&
        envelope.largest_unsigned <= accepted_.largest_unsigned) [[likely]] {
      return true;
    }
    if (!rounded_converts(envelope.largest()) || !rounded_converts(envelope.most_negative())) {
      return false;
    }
    accepted_.largest_signed = std::max(accepted_.largest_signed, envelope.largest_signed);
    accepted_.largest_unsigned = std::max(accepted_.largest_unsigned, envelope.largest_unsigned);
    return true;
  }
  bool rounded_converts(F x) const noexcept {
    const C wide = widen_for_compute(x);
    return rule_converts<I>(CastFloat<C>::round_with_mode(wide, rounding), M);
  }

#if PRANDEL_X86_VARIANTS
  // Whether the Avx512 variant stages the block, into a narrower target:
  // writing and copying the results costs less than a second read of the
  // elements from f64, and than matching a map entry in both sweeps (from
  // f32 and binary16 without a map, whose test sweep takes more elements a
  // step, it does not; measured).
  template <class Hits>
  static constexpr bool kStages =
      sizeof(I) < sizeof(F) && (std::same_as<F, f64> || Hits::kActive);

  template <class Hits>
  PRANDEL_INLINE bool avx512_block(InputSlice<F> in, OutputSlice<I> out,
                                   const Hits& hits) const noexcept {
    std::size_t k = in.size();
    BitEnvelope<F> envelope;
    if (output_apart) {
      // Runs read once, each stored when it passes; the rest of a short
      // block by the sweeps below.
      constexpr std::size_t kRun = avx512::kRun<F, I>;
      std::size_t j = 0;
      const auto runs = [&]<RoundingMode R>() PRANDEL_INLINE_LAMBDA {
        while (j + kRun <= k) {
          if (avx512::convert_run<F, I, R, M>(in.bytes() + j * sizeof(F),
                                              out.bytes() + j * sizeof(I), hits, accepted_,
                                              envelope)) {
            j += kRun;
          } else if (!extremes_convert(envelope)) {
            return false;
          }
        }
        return true;
      };
      if (!with_rounding_mode(rounding, runs)) return false;
      if (j == k) return true;
      in = block::sub_slice(in, j, k - j);
      out = block::sub_slice(out, j, k - j);
      k -= j;
    }
    if constexpr (kStages<Hits>) {
      // One sweep converts and takes the envelope; the stage is copied out
      // when the block passes.
      I staged[block::kElements];
      const bool passes = with_rounding_mode(rounding, [&]<RoundingMode R>() PRANDEL_INLINE_LAMBDA {
        return avx512::staged_sweep<F, I, R, M>(in.bytes(), k,
                                                reinterpret_cast<std::byte*>(staged), hits,
                                                accepted_, envelope) ||
               extremes_convert(envelope);
      });
      if (!passes) return false;
      block::store(out, 0, staged, k);
      return true;
    } else {
      if (!avx512::envelope_sweep<F>(in.bytes(), k, hits, accepted_, envelope) &&
          !extremes_convert(envelope)) {
        return false;
      }
      return with_rounding_mode(rounding, [&]<RoundingMode R>() PRANDEL_INLINE_LAMBDA {
        avx512::convert_sweep<F, I, R, M>(in.bytes(), k, out.bytes(), hits);
        return true;
      });
    }
  }
#endif

  // Plain loops, which the compiler vectorises for the variant.
  PRANDEL_INLINE bool generic_block(InputSlice<F> in, OutputSlice<I> out) const noexcept {
    // The envelope's maxima in locals, so the loop keeps them in registers.
    Signed largest_signed = 0;
    Bits largest_unsigned = 0;
    for (std::size_t j = 0; j < in.size(); ++j) {
      const Bits bits = FloatBits<F>::to_bits(in[j]);
      largest_signed = std::max(largest_signed, static_cast<Signed>(bits));
      largest_unsigned = std::max(largest_unsigned, bits);
    }
    if (!extremes_convert(BitEnvelope<F>{largest_signed, largest_unsigned})) return false;
    return with_rounding_mode(rounding, [&]<RoundingMode R>() PRANDEL_INLINE_LAMBDA {
      generic_sweep<R>(in, out);
      return true;
    });
  }

  template <RoundingMode R>
  PRANDEL_INLINE static void generic_sweep(InputSlice<F> in, OutputSlice<I> out) noexcept {
    if constexpr (std::same_as<F, f16>) {
      f32 wide[block::kElements];
      binary16_blocks::widen<V>(in, wide);
      for (std::size_t j = 0; j < in.size(); ++j) out.store(j, convert_lane<R>(wide[j]));
    } else {
      for (std::size_t j = 0; j < in.size(); ++j) out.store(j, convert_lane<R>(in[j]));
    }
  }

  // One value the block's test has passed, converted under R and M.
  template <RoundingMode R>
  PRANDEL_INLINE static I convert_lane(C x) noexcept {
    const C r = round_lane<R, V>(x);
    if constexpr (M == OutOfRangeMode::Unset) {
      return L::to_int(r);
    } else if constexpr (M == OutOfRangeMode::Clamp) {
      return L::saturate(r);
    } else {
      return L::wrap(r);
    }
  }
};

// One kernel's variant: a function of its own per out-of-range mode, so
// each stays small enough for the compiler's passes that grow faster than
// the code.
template <FloatElement F, IntElement I, OutOfRangeMode M>
struct Slice {
  template <Isa V>
  PRANDEL_INLINE static CastResult run(InputSlice<F> in, OutputSlice<I> out,
                                       const CastConfig<F, I>* config) noexcept {
    return convert_blocks<V>(Blocks<F, I, M, V>(config->rounding, !block::overlap(in, out)),
                             in, out, config->scalar_map);
  }
};

}  // namespace float_to_int_detail

// Converts min(in.size(), out.size()) elements in index order; a scalar-map
// hit is stored as given, any other element by the element rule
// (float_to_int_detail::convert_element). The first failure ends the call
// with the earlier elements written. `isa` picks the instruction-set variant
// (tests run each one the processor supports).
template <FloatElement F, IntElement I>
CastResult convert_slice_float_to_int(InputSlice<F> in, OutputSlice<I> out,
                                      const CastConfig<F, I>& config,
                                      Isa isa = best_isa()) noexcept {
  using namespace float_to_int_detail;
  return with_out_of_range_mode(config.out_of_range, [&]<OutOfRangeMode M>() {
    return run_variant<Slice<F, I, M>>(isa, in, out, &config);
  });
}

}  // namespace prandel

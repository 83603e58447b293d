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
#include <limits>
#include <type_traits>

#include "prandel/binary16_blocks.hpp"
#include "prandel/cast_config.hpp"
#include "prandel/cast_float.hpp"
#include "prandel/cpu_features.hpp"
#include "prandel/float_bits.hpp"
#include "prandel/float_to_int_rule.hpp"
#include "prandel/kernel_frame.hpp"
#include "prandel/slice_blocks.hpp"

#if PRANDEL_X86_VARIANTS
#include <immintrin.h>
#endif

namespace prandel {

namespace float_to_int_detail {

// The unsigned integer as wide as f32 or f64: lane masks of that width keep
// the loops free of packing.
template <class C>
using BitsOf = typename FloatBits<C>::Bits;

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
      if constexpr (V == Isa::Avx512) return static_cast<I>(static_cast<u32>(m));
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
// The Avx512 variant's block sweeps, written with intrinsics: its
// conversions are defined for every input (a value the target cannot hold
// gives the "integer indefinite", all ones in the unsigned forms and the
// minimum in the signed ones), which the Clamp forms build on, and its min
// and max take no mask registers, whose comparisons are the slow step here.
// Not always-inline: they carry the AVX-512 target, so only that variant may
// inline them.
// GCC 12 takes the "undefined" pass-through vectors of the intrinsics'
// own definitions for uninitialised reads.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
namespace avx512 {

template <RoundingMode R>
inline constexpr int kRoundingImmediate =
    (R == RoundingMode::TowardsZero       ? _MM_FROUND_TO_ZERO
     : R == RoundingMode::TowardsPositive ? _MM_FROUND_TO_POS_INF
     : R == RoundingMode::TowardsNegative ? _MM_FROUND_TO_NEG_INF
                                          : _MM_FROUND_TO_NEAREST_INT) |
    _MM_FROUND_NO_EXC;

// The operations on a batch of W lanes of C: 8 of f64, 16 of f32, or 8 of
// f32 where the target's lanes are 64-bit. `Ints` holds the results of a
// batch: in I's own lanes for 32- and 64-bit targets, in int32 lanes (still
// to be narrowed) for 8- and 16-bit ones.
template <class C, std::size_t W>
struct Batch;

template <>
struct Batch<f64, 8> {
  using Vec = __m512d;
  using Acc = __m512i;
  static constexpr std::size_t kLanes = 8;

  PRANDEL_TARGET_AVX512 static Vec load(const std::byte* p, std::size_t n) noexcept {
    return n >= kLanes ? _mm512_loadu_pd(p)
                       : _mm512_maskz_loadu_pd(static_cast<__mmask8>((1u << n) - 1), p);
  }
  template <RoundingMode R>
  PRANDEL_TARGET_AVX512 static Vec round(Vec x) noexcept {
    if constexpr (R == RoundingMode::NearestAway) {
      // trunc(x + h), h = 1/2 - 2^-54 with the sign of x: the rule's sum.
      const Vec h = _mm512_or_pd(_mm512_set1_pd(0.5 - 0x1p-54),
                                 _mm512_and_pd(x, _mm512_set1_pd(-0.0)));
      return _mm512_roundscale_pd(_mm512_add_pd(x, h), _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    } else {
      return _mm512_roundscale_pd(x, kRoundingImmediate<R>);
    }
  }
  PRANDEL_TARGET_AVX512 static Acc max_signed(Acc a, Vec v) noexcept {
    return _mm512_max_epi64(a, _mm512_castpd_si512(v));
  }
  PRANDEL_TARGET_AVX512 static Acc max_unsigned(Acc a, Vec v) noexcept {
    return _mm512_max_epu64(a, _mm512_castpd_si512(v));
  }
  PRANDEL_TARGET_AVX512 static BitEnvelope<f64> envelope(Acc s, Acc u) noexcept {
    return {_mm512_reduce_max_epi64(s), static_cast<u64>(_mm512_reduce_max_epu64(u))};
  }

  // r mod 2^k for a finite whole r: exact (see Lanes::wrap).
  template <int kBits>
  PRANDEL_TARGET_AVX512 static Vec modulo(Vec r) noexcept {
    constexpr f64 kSpan = kBits == 64 ? 0x1p64 : static_cast<f64>(u64{1} << kBits);
    const Vec q = _mm512_roundscale_pd(_mm512_mul_pd(r, _mm512_set1_pd(1 / kSpan)),
                                       _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    return _mm512_fnmadd_pd(q, _mm512_set1_pd(kSpan), r);
  }

  // The 64-bit Wrap result: the magnitude's low 64 bits, negated for a
  // negative r.
  PRANDEL_TARGET_AVX512 static __m512i wrap64(Vec r) noexcept {
    const __m512i low = _mm512_cvttpd_epu64(modulo<64>(_mm512_abs_pd(r)));
    const __mmask8 negative = _mm512_movepi64_mask(_mm512_castpd_si512(r));
    return _mm512_mask_sub_epi64(low, negative, _mm512_setzero_si512(), low);
  }

  // A rounded batch converted under M (in range without a mode; not a NaN
  // under Clamp; finite under Wrap).
  template <IntElement I, OutOfRangeMode M>
  PRANDEL_TARGET_AVX512 static auto convert(Vec r) noexcept {
    using Limits = std::numeric_limits<I>;
    constexpr int kBits = Limits::digits + (Limits::is_signed ? 1 : 0);
    const Vec zero = _mm512_setzero_pd();
    if constexpr (sizeof(I) == 8) {
      if constexpr (M == OutOfRangeMode::Wrap) {
        return wrap64(r);
      } else if constexpr (Limits::is_signed) {
        const __m512i v = _mm512_cvttpd_epi64(r);
        if constexpr (M == OutOfRangeMode::Unset) return v;
        // Below -2^63 the indefinite is the minimum already.
        const __mmask8 above = _mm512_cmp_pd_mask(r, _mm512_set1_pd(0x1p63), _CMP_GE_OQ);
        return _mm512_mask_mov_epi64(v, above, _mm512_set1_epi64(Limits::max()));
      } else {
        // From 2^64 on the indefinite is the maximum.
        return _mm512_cvttpd_epu64(M == OutOfRangeMode::Unset ? r : _mm512_max_pd(r, zero));
      }
    } else if constexpr (M == OutOfRangeMode::Wrap) {
      if constexpr (kBits == 32) return _mm512_cvttpd_epu32(modulo<32>(r));
      return _mm512_cvttpd_epi32(modulo<kBits>(r));
    } else if constexpr (std::same_as<I, u32>) {
      return _mm512_cvttpd_epu32(M == OutOfRangeMode::Unset ? r : _mm512_max_pd(r, zero));
    } else if constexpr (M == OutOfRangeMode::Unset) {
      return _mm512_cvttpd_epi32(r);
    } else if constexpr (std::same_as<I, i32>) {
      return _mm512_cvttpd_epi32(_mm512_min_pd(r, _mm512_set1_pd(Limits::max())));
    } else {
      const Vec low = _mm512_set1_pd(Limits::min());
      const Vec high = _mm512_set1_pd(Limits::max());
      return _mm512_cvttpd_epi32(_mm512_min_pd(_mm512_max_pd(r, low), high));
    }
  }
};

template <>
struct Batch<f32, 16> {
  using Vec = __m512;
  using Acc = __m512i;
  static constexpr std::size_t kLanes = 16;

  PRANDEL_TARGET_AVX512 static Vec load(const std::byte* p, std::size_t n) noexcept {
    return n >= kLanes ? _mm512_loadu_ps(p)
                       : _mm512_maskz_loadu_ps(static_cast<__mmask16>((1u << n) - 1), p);
  }
  template <RoundingMode R>
  PRANDEL_TARGET_AVX512 static Vec round(Vec x) noexcept {
    if constexpr (R == RoundingMode::NearestAway) {
      const Vec h = _mm512_or_ps(_mm512_set1_ps(0.5f - 0x1p-25f),
                                 _mm512_and_ps(x, _mm512_set1_ps(-0.0f)));
      return _mm512_roundscale_ps(_mm512_add_ps(x, h), _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    } else {
      return _mm512_roundscale_ps(x, kRoundingImmediate<R>);
    }
  }
  PRANDEL_TARGET_AVX512 static Acc max_signed(Acc a, Vec v) noexcept {
    return _mm512_max_epi32(a, _mm512_castps_si512(v));
  }
  PRANDEL_TARGET_AVX512 static Acc max_unsigned(Acc a, Vec v) noexcept {
    return _mm512_max_epu32(a, _mm512_castps_si512(v));
  }
  PRANDEL_TARGET_AVX512 static BitEnvelope<f32> envelope(Acc s, Acc u) noexcept {
    return {_mm512_reduce_max_epi32(s), static_cast<u32>(_mm512_reduce_max_epu32(u))};
  }

  template <int kBits>
  PRANDEL_TARGET_AVX512 static Vec modulo(Vec r) noexcept {
    constexpr f32 kSpan = static_cast<f32>(1u << kBits);
    const Vec q = _mm512_roundscale_ps(_mm512_mul_ps(r, _mm512_set1_ps(1 / kSpan)),
                                       _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    return _mm512_fnmadd_ps(q, _mm512_set1_ps(kSpan), r);
  }

  // kHalfSource: the values are binary16 ones, within +-65504 or infinite.
  template <IntElement I, OutOfRangeMode M, bool kHalfSource>
  PRANDEL_TARGET_AVX512 static __m512i convert(Vec r) noexcept {
    using Limits = std::numeric_limits<I>;
    constexpr int kBits = Limits::digits + (Limits::is_signed ? 1 : 0);
    const Vec zero = _mm512_setzero_ps();
    if constexpr (M == OutOfRangeMode::Wrap) {
      if constexpr (kHalfSource) {
        return _mm512_cvttps_epi32(r);
      } else if constexpr (kBits <= 16) {
        return _mm512_cvttps_epi32(modulo<kBits>(r));
      } else {
        // 2^32 is beyond what f32 holds exactly as a residue: through f64.
        using Wide = Batch<f64, 8>;
        const __m256i low = _mm512_cvttpd_epu32(
            Wide::modulo<32>(_mm512_cvtps_pd(_mm512_castps512_ps256(r))));
        const __m256i high = _mm512_cvttpd_epu32(
            Wide::modulo<32>(_mm512_cvtps_pd(_mm512_extractf32x8_ps(r, 1))));
        return _mm512_inserti64x4(_mm512_castsi256_si512(low), high, 1);
      }
    } else if constexpr (std::same_as<I, u32>) {
      return _mm512_cvttps_epu32(M == OutOfRangeMode::Unset ? r : _mm512_max_ps(r, zero));
    } else if constexpr (M == OutOfRangeMode::Unset) {
      return _mm512_cvttps_epi32(r);
    } else if constexpr (std::same_as<I, i32>) {
      const __m512i v = _mm512_cvttps_epi32(r);
      const __mmask16 above = _mm512_cmp_ps_mask(r, _mm512_set1_ps(0x1p31f), _CMP_GE_OQ);
      return _mm512_mask_mov_epi32(v, above, _mm512_set1_epi32(Limits::max()));
    } else {
      const Vec low = _mm512_set1_ps(Limits::min());
      const Vec high = _mm512_set1_ps(Limits::max());
      return _mm512_cvttps_epi32(_mm512_min_ps(_mm512_max_ps(r, low), high));
    }
  }
};

template <>
struct Batch<f32, 8> {
  using Vec = __m256;
  using Acc = __m256i;
  static constexpr std::size_t kLanes = 8;

  PRANDEL_TARGET_AVX512 static Vec load(const std::byte* p, std::size_t n) noexcept {
    return n >= kLanes ? _mm256_loadu_ps(reinterpret_cast<const f32*>(p))
                       : _mm256_maskz_loadu_ps(static_cast<__mmask8>((1u << n) - 1), p);
  }
  template <RoundingMode R>
  PRANDEL_TARGET_AVX512 static Vec round(Vec x) noexcept {
    if constexpr (R == RoundingMode::NearestAway) {
      const Vec h = _mm256_or_ps(_mm256_set1_ps(0.5f - 0x1p-25f),
                                 _mm256_and_ps(x, _mm256_set1_ps(-0.0f)));
      return _mm256_round_ps(_mm256_add_ps(x, h), _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    } else {
      return _mm256_round_ps(x, kRoundingImmediate<R>);
    }
  }
  PRANDEL_TARGET_AVX512 static Acc max_signed(Acc a, Vec v) noexcept {
    return _mm256_max_epi32(a, _mm256_castps_si256(v));
  }
  PRANDEL_TARGET_AVX512 static Acc max_unsigned(Acc a, Vec v) noexcept {
    return _mm256_max_epu32(a, _mm256_castps_si256(v));
  }
  PRANDEL_TARGET_AVX512 static BitEnvelope<f32> envelope(Acc s, Acc u) noexcept {
    const Batch<f32, 16>::Acc wide_s = _mm512_castsi256_si512(s);
    const Batch<f32, 16>::Acc wide_u = _mm512_castsi256_si512(u);
    // The upper half of a widened register is undefined: mask it out.
    return {_mm512_mask_reduce_max_epi32(0xff, wide_s),
            static_cast<u32>(_mm512_mask_reduce_max_epu32(0xff, wide_u))};
  }

  template <IntElement I, OutOfRangeMode M, bool kHalfSource>
  PRANDEL_TARGET_AVX512 static __m512i convert(Vec r) noexcept {
    using Limits = std::numeric_limits<I>;
    static_assert(sizeof(I) == 8);
    if constexpr (M == OutOfRangeMode::Wrap) {
      if constexpr (kHalfSource) {
        // Within int32, whose sign extension is the two's complement in 64 bits.
        return _mm512_cvtepi32_epi64(_mm256_cvttps_epi32(r));
      } else {
        return Batch<f64, 8>::wrap64(_mm512_cvtps_pd(r));
      }
    } else if constexpr (Limits::is_signed) {
      const __m512i v = _mm512_cvttps_epi64(r);
      if constexpr (M == OutOfRangeMode::Unset) return v;
      const __mmask8 above = _mm256_cmp_ps_mask(r, _mm256_set1_ps(0x1p63f), _CMP_GE_OQ);
      return _mm512_mask_mov_epi64(v, above, _mm512_set1_epi64(Limits::max()));
    } else {
      return _mm512_cvttps_epu64(M == OutOfRangeMode::Unset ? r
                                                              : _mm256_max_ps(r, _mm256_setzero_ps()));
    }
  }
};

// Stores the first n (at most the batch's lanes) results of a batch.
template <IntElement I, std::size_t W>
PRANDEL_TARGET_AVX512 inline void store(std::byte* p, __m512i v, std::size_t n) noexcept {
  // Lanes of I's width (32- or 64-bit), or int32 lanes to narrow.
  const bool full = n >= W;
  if constexpr (sizeof(I) == 8 || (sizeof(I) == 4 && W == 16)) {
    if (full) {
      _mm512_storeu_si512(p, v);
    } else if constexpr (sizeof(I) == 8) {
      _mm512_mask_storeu_epi64(p, static_cast<__mmask8>((1u << n) - 1), v);
    } else {
      _mm512_mask_storeu_epi32(p, static_cast<__mmask16>((1u << n) - 1), v);
    }
  } else if constexpr (sizeof(I) == 2) {
    const __m256i narrow = _mm512_cvtepi32_epi16(v);
    if (full) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), narrow);
    } else {
      _mm256_mask_storeu_epi16(p, static_cast<__mmask16>((1u << n) - 1), narrow);
    }
  } else {
    const __m128i narrow = _mm512_cvtepi32_epi8(v);
    if (full) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(p), narrow);
    } else {
      _mm_mask_storeu_epi8(p, static_cast<__mmask16>((1u << n) - 1), narrow);
    }
  }
}

template <IntElement I, std::size_t W>
PRANDEL_TARGET_AVX512 inline void store(std::byte* p, __m256i v, std::size_t n) noexcept {
  // Eight int32 lanes (from f64): I's own for 32-bit targets, else to narrow.
  const bool full = n >= W;
  const __mmask8 mask = static_cast<__mmask8>((1u << n) - 1);
  if constexpr (sizeof(I) == 4) {
    if (full) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
    } else {
      _mm256_mask_storeu_epi32(p, mask, v);
    }
  } else if constexpr (sizeof(I) == 2) {
    const __m128i narrow = _mm256_cvtepi32_epi16(v);
    if (full) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(p), narrow);
    } else {
      _mm_mask_storeu_epi16(p, mask, narrow);
    }
  } else {
    const __m128i narrow = _mm256_cvtepi32_epi8(v);
    if (full) {
      _mm_storel_epi64(reinterpret_cast<__m128i*>(p), narrow);
    } else {
      _mm_mask_storeu_epi8(p, mask, narrow);
    }
  }
}

// One block of k values of C (binary16 ones widened when kHalfSource) at
// `values`: a read-only sweep takes the envelope (of the rounded values
// without a mode, of the values themselves under Clamp and Wrap); a block
// inside it is converted into `out`, a batch at a time.
template <IntElement I, class C, bool kHalfSource, RoundingMode R, OutOfRangeMode M>
PRANDEL_TARGET_AVX512 inline bool convert_block(const std::byte* values, std::size_t k,
                                                std::byte* out, C finite_bound) noexcept {
  constexpr std::size_t W = std::same_as<C, f32> && sizeof(I) < 8 ? 16 : 8;
  using B = Batch<C, W>;
  typename B::Acc largest_signed = {};
  typename B::Acc largest_unsigned = {};
  for (std::size_t j = 0; j < k; j += W) {
    typename B::Vec x = B::load(values + j * sizeof(C), k - j);
    if constexpr (M == OutOfRangeMode::Unset) x = B::template round<R>(x);
    largest_signed = B::max_signed(largest_signed, x);
    largest_unsigned = B::max_unsigned(largest_unsigned, x);
  }
  const BitEnvelope<C> envelope = B::envelope(largest_signed, largest_unsigned);
  if constexpr (M == OutOfRangeMode::Unset) {
    if (!TargetRange<I, C>::contains_all(envelope)) return false;
  } else {
    if (!envelope.within(M == OutOfRangeMode::Clamp ? std::numeric_limits<C>::infinity()
                                                    : finite_bound)) {
      return false;
    }
  }
  for (std::size_t j = 0; j < k; j += W) {
    const typename B::Vec r = B::template round<R>(B::load(values + j * sizeof(C), k - j));
    if constexpr (std::same_as<C, f64>) {
      store<I, W>(out + j * sizeof(I), B::template convert<I, M>(r), k - j);
    } else {
      store<I, W>(out + j * sizeof(I), B::template convert<I, M, kHalfSource>(r), k - j);
    }
  }
  return true;
}

}  // namespace avx512
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

// The block kernel of one pair under out-of-range mode M, for variant V;
// the rounding mode is picked per block, so the frame around the kernel
// (map handling, element fallback) is compiled once for all five. A
// read-only sweep tests the block (the range after rounding without a mode,
// a NaN under Clamp, a NaN or an infinity under Wrap); a block that passes
// is converted straight into the output, so every conversion it does is of
// a value the target holds.
template <FloatElement F, IntElement I, OutOfRangeMode M, Isa V>
struct Blocks {
  using C = Compute<F>;
  using L = Lanes<F, I, V>;
  using Mask = BitsOf<C>;

  RoundingMode rounding;

  ElementResult<I> element(F x) const noexcept {
    const C wide = widen_for_compute(x);
    return convert_rounded<I>(wide, CastFloat<C>::round_with_mode(wide, rounding), M);
  }

  PRANDEL_INLINE bool convert_block(InputSlice<F> in, OutputSlice<I> out) const noexcept {
    if constexpr (std::same_as<F, f16>) {
      f32 wide[block::kElements];
      binary16_blocks::widen<V>(in, wide);
      return convert_with_rounding(static_cast<const f32*>(wide), in.size(), out);
    } else {
      return convert_with_rounding(in, in.size(), out);
    }
  }

 private:
  template <class Values>
  PRANDEL_INLINE bool convert_with_rounding(Values values, std::size_t k,
                                            OutputSlice<I> out) const noexcept {
    switch (rounding) {
      case RoundingMode::TowardsZero:
        return convert_values<RoundingMode::TowardsZero>(values, k, out);
      case RoundingMode::TowardsPositive:
        return convert_values<RoundingMode::TowardsPositive>(values, k, out);
      case RoundingMode::TowardsNegative:
        return convert_values<RoundingMode::TowardsNegative>(values, k, out);
      case RoundingMode::NearestAway:
        return convert_values<RoundingMode::NearestAway>(values, k, out);
      case RoundingMode::NearestEven:
        break;
    }
    return convert_values<RoundingMode::NearestEven>(values, k, out);
  }

  // `values` is an InputSlice<C> or a pointer to C: values[j] for j < k.
  template <RoundingMode R, class Values>
  PRANDEL_INLINE static bool convert_values(Values values, std::size_t k,
                                            OutputSlice<I> out) noexcept {
#if PRANDEL_X86_VARIANTS
    if constexpr (V == Isa::Avx512) {
      const std::byte* bytes;
      if constexpr (std::is_pointer_v<Values>) {
        bytes = reinterpret_cast<const std::byte*>(values);
      } else {
        bytes = values.bytes();
      }
      return avx512::convert_block<I, C, L::kHalfSource, R, M>(bytes, k, out.bytes(),
                                                                L::kFiniteBound);
    }
#endif
    using Bits = BitsOf<C>;
    using Signed = std::make_signed_t<Bits>;
    Signed largest_signed = 0;
    Bits largest_unsigned = 0;
    for (std::size_t j = 0; j < k; ++j) {
      const C x = values[j];
      const Bits bits = FloatBits<C>::to_bits(M == OutOfRangeMode::Unset ? round_lane<R, V>(x) : x);
      largest_signed = std::max(largest_signed, static_cast<Signed>(bits));
      largest_unsigned = std::max(largest_unsigned, bits);
    }
    const BitEnvelope<C> envelope{largest_signed, largest_unsigned};
    if constexpr (M == OutOfRangeMode::Unset) {
      if (!TargetRange<I, C>::contains_all(envelope)) return false;
    } else {
      if (!envelope.within(M == OutOfRangeMode::Clamp ? std::numeric_limits<C>::infinity()
                                                      : L::kFiniteBound)) {
        return false;
      }
    }
    for (std::size_t j = 0; j < k; ++j) {
      const C r = round_lane<R, V>(values[j]);
      if constexpr (M == OutOfRangeMode::Unset) {
        out.store(j, L::to_int(r));
      } else if constexpr (M == OutOfRangeMode::Clamp) {
        out.store(j, L::saturate(r));
      } else {
        out.store(j, L::wrap(r));
      }
    }
    return true;
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
    return convert_blocks(Blocks<F, I, M, V>{config->rounding}, in, out, config->scalar_map);
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
  switch (config.out_of_range) {
    case OutOfRangeMode::Clamp:
      return run_variant<Slice<F, I, OutOfRangeMode::Clamp>>(isa, in, out, &config);
    case OutOfRangeMode::Wrap:
      return run_variant<Slice<F, I, OutOfRangeMode::Wrap>>(isa, in, out, &config);
    case OutOfRangeMode::Unset:
      break;
  }
  return run_variant<Slice<F, I, OutOfRangeMode::Unset>>(isa, in, out, &config);
}

}  // namespace prandel

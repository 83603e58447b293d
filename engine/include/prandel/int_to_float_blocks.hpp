// Integer-to-float conversion of whole slices: the block kernels and the
// family's entry. Nothing here fails, so every block is converted straight
// into the output.
//
// - Pairs that take no mode convert exactly: a plain loop.
// - To binary16: every integer past 2^16 rounds like 2^16 (to the infinity
//   or the largest finite value, as the mode says), so the source is clamped
//   to that, converted to f32 exactly and narrowed with the mode as the
//   F16C rounding immediate (nearest-away: nearest-even, then the ties it
//   settled toward zero moved away); Avx512 does it all in one loop.
// - Avx512: the conversion instructions of 32- and 64-bit integers with the
//   mode as embedded rounding control; nearest-away, which has none, from
//   the value cut toward zero.
// - Baseline and Avx2: the value converted to nearest (a 64-bit integer as
//   the rounded sum of its two halves, with the rounding error from the sum
//   exactly), then moved by one step as the mode says, decided on the exact
//   error.
#pragma once

#include <array>
#include <bit>
#include <concepts>
#include <cstddef>
#include <cstring>
#include <type_traits>

#include "prandel/binary16_blocks.hpp"
#include "prandel/cast_config.hpp"
#include "prandel/cpu_features.hpp"
#include "prandel/float_bits.hpp"
#include "prandel/int_to_float_rule.hpp"
#include "prandel/kernel_frame.hpp"
#include "prandel/mode_dispatch.hpp"

#if PRANDEL_X86_VARIANTS
#include <immintrin.h>
#endif

namespace prandel {

namespace int_to_float_detail {

// --- Lane arithmetic of Baseline and Avx2: plain code the compiler vectorises

// Where the source lies against r, its nearest-even result: above or below
// it, and farther from zero (`away`) or nearer (`toward`); none of them when
// r is exact. `tie`: halfway between r and its neighbour away from zero.
// Each caller finds these its cheapest way; a mode reads only what it needs.
struct Side {
  bool above;
  bool below;
  bool away;
  bool toward;
  bool tie;
};

// The pattern r moved by one step as mode R says. r has the source's sign
// and is not zero when the source is not on it; patterns of either sign grow
// with the magnitude, so the step toward +infinity is +1 on a positive
// pattern and -1 on a negative one, and a step toward zero is -1.
template <RoundingMode R, std::unsigned_integral Bits>
PRANDEL_INLINE Bits step_pattern(Bits r, Side side) noexcept {
  using Signed = std::make_signed_t<Bits>;
  const Bits up = static_cast<Bits>(static_cast<Signed>(r) >> (8 * sizeof(Bits) - 1)) | Bits{1};
  if constexpr (R == RoundingMode::TowardsZero) {
    return static_cast<Bits>(r - static_cast<Bits>(side.toward));
  } else if constexpr (R == RoundingMode::TowardsPositive) {
    return static_cast<Bits>(r + (static_cast<Bits>(Bits{0} - side.above) & up));
  } else if constexpr (R == RoundingMode::TowardsNegative) {
    return static_cast<Bits>(r - (static_cast<Bits>(Bits{0} - side.below) & up));
  } else if constexpr (R == RoundingMode::NearestAway) {
    return static_cast<Bits>(r + static_cast<Bits>(side.away && side.tie));
  } else {
    return r;
  }
}

// A unit in the last place of the binade of the whole number r (not zero,
// so far above the subnormals): its exponent less the fraction width.
template <FloatElement T>
PRANDEL_INLINE T unit_of_binade(typename FloatBits<T>::Bits r) noexcept {
  using B = FloatBits<T>;
  constexpr auto kFractionWidth = static_cast<typename B::Bits>(B::kFractionBits);
  return B::from_bits(static_cast<typename B::Bits>((r & B::kExponentMask) -
                                                    (kFractionWidth << B::kFractionBits)));
}

// y rounded to f32 under mode R, where y is the source itself or its image
// rounded to odd: either lies strictly between the same two f32 neighbours
// (and midpoint) as the source, and is a midpoint only where the source is,
// so it rounds alike under every mode. |y| is at most 2^64.
template <RoundingMode R>
PRANDEL_INLINE f32 narrow_under_mode(f64 y) noexcept {
  const f32 r = static_cast<f32>(y);
  if constexpr (R == RoundingMode::NearestEven) {
    return r;
  } else {
    const f64 distance = y - static_cast<f64>(r);  // exact: r is within a factor 2 of y
    // The source lies away from zero from r where the distance has r's
    // sign: their product is positive (it cannot overflow or underflow).
    const f64 side = distance * y;
    const u32 bits = std::bit_cast<u32>(r);
    const bool tie = 2.0 * std::fabs(distance) == static_cast<f64>(unit_of_binade<f32>(bits));
    return std::bit_cast<f32>(step_pattern<R>(
        bits, Side{distance > 0, distance < 0, side > 0, side < 0, tie}));
  }
}

// A 32-bit integer to f32 under mode R, all in 32-bit lanes: the nearest
// f32 taken back to an integer modulo 2^32 (from 2^31 up less 2^32, which
// is exact and fits an i32) gives the exact distance from it, which is at
// most half a unit, 2^7.
template <RoundingMode R, IntElement S>
PRANDEL_INLINE f32 narrow_32_under_mode(S x) noexcept {
  static_assert(sizeof(S) == 4);
  const f32 r = static_cast<f32>(x);
  if constexpr (R == RoundingMode::NearestEven) {
    return r;
  } else {
    const f32 wrapped = r >= 0x1p31f ? r - 0x1p32f : r;
    const u32 back = static_cast<u32>(static_cast<i32>(wrapped));
    const i32 distance = static_cast<i32>(static_cast<u32>(x) - back);
    // The distance with the source's sign taken out: positive where the
    // source lies farther from zero than r.
    const i32 negative = std::is_signed_v<S> ? static_cast<i32>(x) >> 31 : 0;
    const i32 outward = (distance ^ negative) - negative;
    const u32 bits = std::bit_cast<u32>(r);
    const i32 size = distance < 0 ? -distance : distance;
    const bool tie = static_cast<f32>(2 * size) == unit_of_binade<f32>(bits);
    return std::bit_cast<f32>(step_pattern<R>(
        bits, Side{distance > 0, distance < 0, outward > 0, outward < 0, tie}));
  }
}

// A 64-bit integer rounded to f64 (to nearest, ties to even) and the part
// of it that rounding cut off, exactly: source = nearest + error.
struct RoundedSum {
  f64 nearest;
  f64 error;
};

// The integer is the sum of two f64s built from its 32-bit halves without a
// conversion, each exact: the high half times 2^32 less 2^52 (a signed high
// half biased by 2^31 into an unsigned one) and the low half plus 2^52. Their
// sum rounds once; TwoSum recovers the error.
template <IntElement S>
PRANDEL_INLINE RoundedSum split_and_round(S x) noexcept {
  static_assert(sizeof(S) == 8);
  constexpr bool kSigned = std::is_signed_v<S>;
  constexpr u64 kTwoTo52 = 0x4330'0000'0000'0000;  // its fraction holds a whole number < 2^52
  constexpr u64 kTwoTo84 = 0x4530'0000'0000'0000;  // its fraction: one < 2^52, times 2^32
  constexpr u64 kBias = kSigned ? 0x8000'0000u : 0u;
  constexpr f64 kHighOffset = 0x1p84 + (kSigned ? 0x1p63 : 0.0) + 0x1p52;
  const u64 bits = static_cast<u64>(x);
  const f64 high = std::bit_cast<f64>(kTwoTo84 | ((bits >> 32) ^ kBias)) - kHighOffset;
  const f64 low = std::bit_cast<f64>(kTwoTo52 | (bits & 0xffff'ffffu));
  const f64 sum = high + low;
  const f64 low_taken = sum - high;
  const f64 error = (high - (sum - low_taken)) + (low - low_taken);
  return {sum, error};
}

// A 64-bit integer to f64 under mode R.
template <RoundingMode R, IntElement S>
PRANDEL_INLINE f64 wide_to_f64(S x) noexcept {
  const RoundedSum s = split_and_round(x);
  if constexpr (R == RoundingMode::NearestEven) {
    return s.nearest;
  } else {
    const f64 side = s.error * s.nearest;  // positive where the source lies away from zero
    const u64 bits = std::bit_cast<u64>(s.nearest);
    const bool tie = 2.0 * std::fabs(s.error) == unit_of_binade<f64>(bits);
    return std::bit_cast<f64>(step_pattern<R>(
        bits, Side{s.error > 0, s.error < 0, side > 0, side < 0, tie}));
  }
}

// A 64-bit integer to f32 under mode R, rounding once: the f64 nearest is
// made odd where it is inexact and even (its neighbour on the source's side
// is odd), which keeps the source's place between f32 values.
template <RoundingMode R, IntElement S>
PRANDEL_INLINE f32 wide_to_f32(S x) noexcept {
  const RoundedSum s = split_and_round(x);
  const f64 side = s.error * s.nearest;
  const u64 bits = std::bit_cast<u64>(s.nearest);
  // +1, -1 or 0, kept where the pattern is even (masks, not a test of the
  // low bit, which the vectoriser does not take).
  const u64 step = static_cast<u64>(side > 0) - static_cast<u64>(side < 0);
  const u64 where_even = (bits & 1u) - 1u;
  return narrow_under_mode<R>(std::bit_cast<f64>(bits + (step & where_even)));
}

// --- Binary16 targets

// Every integer beyond 2^16 rounds to binary16 as 2^16 of its sign does,
// under every mode (past the largest finite value, 65504, and the tie above
// it); up to there it converts to f32 exactly.
inline constexpr i32 kF16Limit = i32{1} << 16;

template <IntElement S>
PRANDEL_INLINE f32 exact_f32_for_f16(S x) noexcept {
  if constexpr (sizeof(S) <= 2) {
    return static_cast<f32>(x);
  } else {
    constexpr S kLimit = static_cast<S>(kF16Limit);
    S clamped = x < kLimit ? x : kLimit;
    if constexpr (std::is_signed_v<S>) clamped = clamped > -kLimit ? clamped : S{-kLimit};
    return static_cast<f32>(static_cast<i32>(clamped));
  }
}

// Nearest-away is nearest-even on the exact f32 with its lowest bit set:
// a whole number from 1 to 2^16 has 13 fraction bits beyond binary16's
// last place, so the bit turns a tie into a value just past it, which
// rounds away from zero, and moves no other value across a midpoint (zero
// becomes the least subnormal, which rounds back to zero).
PRANDEL_INLINE f32 past_ties(f32 w) noexcept {
  return std::bit_cast<f32>(std::bit_cast<u32>(w) | 1u);
}

// --- Avx512: embedded rounding control

#if PRANDEL_X86_VARIANTS
PRANDEL_INTRINSICS_BEGIN
namespace avx512 {

// Nearest-even keeps the current direction, as a plain conversion does.
template <RoundingMode R>
inline constexpr int kRounding =
    R == RoundingMode::TowardsZero       ? (_MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC)
    : R == RoundingMode::TowardsPositive ? (_MM_FROUND_TO_POS_INF | _MM_FROUND_NO_EXC)
    : R == RoundingMode::TowardsNegative ? (_MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC)
                                         : _MM_FROUND_CUR_DIRECTION;
inline constexpr int kTowardsZero = _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC;

// Not always-inline: these carry the Avx512 target and may only be inlined
// into the variant that has it.
template <IntElement S, int kMode>
PRANDEL_TARGET_AVX512 inline __m512d to_f64(__m512i x) noexcept {
  if constexpr (std::is_signed_v<S>) {
    return _mm512_cvt_roundepi64_pd(x, kMode);
  } else {
    return _mm512_cvt_roundepu64_pd(x, kMode);
  }
}

template <IntElement S, int kMode>
PRANDEL_TARGET_AVX512 inline __m256 to_f32_from_64(__m512i x) noexcept {
  if constexpr (std::is_signed_v<S>) {
    return _mm512_cvt_roundepi64_ps(x, kMode);
  } else {
    return _mm512_cvt_roundepu64_ps(x, kMode);
  }
}

template <IntElement S, int kMode>
PRANDEL_TARGET_AVX512 inline __m512 to_f32_from_32(__m512i x) noexcept {
  if constexpr (std::is_signed_v<S>) {
    return _mm512_cvt_roundepi32_ps(x, kMode);
  } else {
    return _mm512_cvt_roundepu32_ps(x, kMode);
  }
}

// The magnitude of each lane, as an unsigned integer.
template <IntElement S>
PRANDEL_TARGET_AVX512 inline __m512i magnitude_64(__m512i x) noexcept {
  if constexpr (std::is_signed_v<S>) return _mm512_abs_epi64(x);
  return x;
}

// Nearest, ties away from zero, has no rounding control: the value is cut
// toward zero, then moved one step away from zero where the first bit cut
// off the magnitude is set (what was cut off is then at least half a unit).
// That bit lies (fraction bits + 1) places below the leading one, whose
// place is the cut value's unbiased exponent. Below 2^(fraction bits + 1)
// the shift count is negative, a huge unsigned count, and the shift gives
// zero: nothing was cut off.
template <IntElement S>
PRANDEL_TARGET_AVX512 inline __m512d nearest_away_to_f64(__m512i x) noexcept {
  const __m512d cut = to_f64<S, kTowardsZero>(x);
  const __m512i bits = _mm512_castpd_si512(cut);
  const __m512i exponent = _mm512_and_si512(_mm512_srli_epi64(bits, 52), _mm512_set1_epi64(0x7ff));
  const __m512i first_cut = _mm512_sub_epi64(exponent, _mm512_set1_epi64(1023 + 52 + 1));
  const __m512i one = _mm512_set1_epi64(1);
  const __mmask8 away =
      _mm512_test_epi64_mask(_mm512_srlv_epi64(magnitude_64<S>(x), first_cut), one);
  return _mm512_castsi512_pd(_mm512_mask_add_epi64(bits, away, bits, one));
}

template <IntElement S>
PRANDEL_TARGET_AVX512 inline __m256 nearest_away_to_f32_from_64(__m512i x) noexcept {
  const __m256 cut = to_f32_from_64<S, kTowardsZero>(x);
  const __m256i bits = _mm256_castps_si256(cut);
  const __m256i exponent = _mm256_and_si256(_mm256_srli_epi32(bits, 23), _mm256_set1_epi32(0xff));
  const __m256i first_cut = _mm256_sub_epi32(exponent, _mm256_set1_epi32(127 + 23 + 1));
  const __mmask8 away = _mm512_test_epi64_mask(
      _mm512_srlv_epi64(magnitude_64<S>(x), _mm512_cvtepi32_epi64(first_cut)),
      _mm512_set1_epi64(1));
  return _mm256_castsi256_ps(_mm256_mask_add_epi32(bits, away, bits, _mm256_set1_epi32(1)));
}

template <IntElement S>
PRANDEL_TARGET_AVX512 inline __m512 nearest_away_to_f32_from_32(__m512i x) noexcept {
  const __m512 cut = to_f32_from_32<S, kTowardsZero>(x);
  const __m512i bits = _mm512_castps_si512(cut);
  const __m512i exponent = _mm512_and_si512(_mm512_srli_epi32(bits, 23), _mm512_set1_epi32(0xff));
  const __m512i first_cut = _mm512_sub_epi32(exponent, _mm512_set1_epi32(127 + 23 + 1));
  const __m512i magnitude = std::is_signed_v<S> ? _mm512_abs_epi32(x) : x;
  const __m512i one = _mm512_set1_epi32(1);
  const __mmask16 away = _mm512_test_epi32_mask(_mm512_srlv_epi32(magnitude, first_cut), one);
  return _mm512_castsi512_ps(_mm512_mask_add_epi32(bits, away, bits, one));
}

// One vector of lanes under mode R.
template <IntElement S, RoundingMode R>
PRANDEL_TARGET_AVX512 inline __m512d lanes_to_f64(__m512i x) noexcept {
  if constexpr (R == RoundingMode::NearestAway) {
    return nearest_away_to_f64<S>(x);
  } else {
    return to_f64<S, kRounding<R>>(x);
  }
}

template <IntElement S, RoundingMode R>
PRANDEL_TARGET_AVX512 inline __m256 lanes_to_f32_from_64(__m512i x) noexcept {
  if constexpr (R == RoundingMode::NearestAway) {
    return nearest_away_to_f32_from_64<S>(x);
  } else {
    return to_f32_from_64<S, kRounding<R>>(x);
  }
}

template <IntElement S, RoundingMode R>
PRANDEL_TARGET_AVX512 inline __m512 lanes_to_f32_from_32(__m512i x) noexcept {
  if constexpr (R == RoundingMode::NearestAway) {
    return nearest_away_to_f32_from_32<S>(x);
  } else {
    return to_f32_from_32<S, kRounding<R>>(x);
  }
}

// One vector of source lanes (a whole 512-bit register), loaded and stored
// under `lanes`; a full vector passes all ones.
template <IntElement S, FloatElement T, RoundingMode R>
PRANDEL_TARGET_AVX512 inline void convert_vector(const std::byte* in, std::byte* out,
                                                 unsigned lanes) noexcept {
  if constexpr (sizeof(S) == 4) {
    const __mmask16 mask = static_cast<__mmask16>(lanes);
    const __m512i x = _mm512_maskz_loadu_epi32(mask, in);
    _mm512_mask_storeu_ps(out, mask, lanes_to_f32_from_32<S, R>(x));
  } else if constexpr (std::same_as<T, f64>) {
    const __mmask8 mask = static_cast<__mmask8>(lanes);
    const __m512i x = _mm512_maskz_loadu_epi64(mask, in);
    _mm512_mask_storeu_pd(out, mask, lanes_to_f64<S, R>(x));
  } else {
    const __mmask8 mask = static_cast<__mmask8>(lanes);
    const __m512i x = _mm512_maskz_loadu_epi64(mask, in);
    _mm256_mask_storeu_ps(out, mask, lanes_to_f32_from_64<S, R>(x));
  }
}

// k elements, a vector at a time, the tail under a mask. Each vector is
// loaded before it is stored, so `in` and `out` may be the same memory.
template <IntElement S, FloatElement T, RoundingMode R>
PRANDEL_TARGET_AVX512 inline void convert_block(const std::byte* in, std::byte* out,
                                                std::size_t k) noexcept {
  constexpr std::size_t kLanes = 64 / sizeof(S);
  constexpr unsigned kAll = (1u << kLanes) - 1u;
  std::size_t j = 0;
  for (; j + kLanes <= k; j += kLanes) {
    convert_vector<S, T, R>(in + j * sizeof(S), out + j * sizeof(T), kAll);
  }
  if (j < k) {
    convert_vector<S, T, R>(in + j * sizeof(S), out + j * sizeof(T),
                            (1u << (k - j)) - 1u);
  }
}

// Binary16 targets, 16 lanes a step: the source made an exact f32 (clamped
// to kF16Limit first where wider than 16 bits), narrowed with the mode as
// the instruction's rounding immediate.
template <IntElement S>
PRANDEL_TARGET_AVX512 inline __m256i clamp_to_f16_limit_64(__m512i x) noexcept {
  const __m512i limit = _mm512_set1_epi64(kF16Limit);
  if constexpr (std::is_signed_v<S>) {
    x = _mm512_max_epi64(_mm512_min_epi64(x, limit), _mm512_set1_epi64(-kF16Limit));
  } else {
    x = _mm512_min_epu64(x, limit);
  }
  return _mm512_cvtepi64_epi32(x);
}

template <IntElement S>
PRANDEL_TARGET_AVX512 inline __m512 exact_f32_for_f16(const std::byte* in,
                                                      __mmask16 lanes) noexcept {
  constexpr bool kSigned = std::is_signed_v<S>;
  __m512i v;
  if constexpr (sizeof(S) == 1) {
    const __m128i b = _mm_maskz_loadu_epi8(lanes, in);
    v = kSigned ? _mm512_cvtepi8_epi32(b) : _mm512_cvtepu8_epi32(b);
  } else if constexpr (sizeof(S) == 2) {
    const __m256i w = _mm256_maskz_loadu_epi16(lanes, in);
    v = kSigned ? _mm512_cvtepi16_epi32(w) : _mm512_cvtepu16_epi32(w);
  } else if constexpr (sizeof(S) == 4) {
    v = _mm512_maskz_loadu_epi32(lanes, in);
    const __m512i limit = _mm512_set1_epi32(kF16Limit);
    v = kSigned ? _mm512_max_epi32(_mm512_min_epi32(v, limit), _mm512_set1_epi32(-kF16Limit))
                : _mm512_min_epu32(v, limit);
  } else {
    const __m256i low = clamp_to_f16_limit_64<S>(
        _mm512_maskz_loadu_epi64(static_cast<__mmask8>(lanes), in));
    const __m256i high = clamp_to_f16_limit_64<S>(
        _mm512_maskz_loadu_epi64(static_cast<__mmask8>(lanes >> 8), in + 64));
    v = _mm512_inserti64x4(_mm512_castsi256_si512(low), high, 1);
  }
  return _mm512_cvtepi32_ps(v);
}

template <RoundingMode R>
PRANDEL_TARGET_AVX512 inline __m256i narrow_to_f16(__m512 w) noexcept {
  if constexpr (R == RoundingMode::NearestAway) {
    // As past_ties does.
    const __m512 past = _mm512_castsi512_ps(_mm512_or_si512(_mm512_castps_si512(w), _mm512_set1_epi32(1)));
    return _mm512_cvtps_ph(past, binary16_blocks::f16c::kImmediate<RoundingMode::NearestEven>);
  } else {
    return _mm512_cvtps_ph(w, binary16_blocks::f16c::kImmediate<R>);
  }
}

// The lanes of 16 elements equal to `key`, compared in the source's width.
template <IntElement S>
PRANDEL_TARGET_AVX512 inline __mmask16 equal_lanes(const std::byte* in, __mmask16 lanes,
                                                   S key) noexcept {
  if constexpr (sizeof(S) == 1) {
    return _mm_mask_cmpeq_epi8_mask(lanes, _mm_maskz_loadu_epi8(lanes, in),
                                    _mm_set1_epi8(static_cast<char>(key)));
  } else if constexpr (sizeof(S) == 2) {
    return _mm256_mask_cmpeq_epi16_mask(lanes, _mm256_maskz_loadu_epi16(lanes, in),
                                        _mm256_set1_epi16(static_cast<short>(key)));
  } else if constexpr (sizeof(S) == 4) {
    return _mm512_mask_cmpeq_epi32_mask(lanes, _mm512_maskz_loadu_epi32(lanes, in),
                                        _mm512_set1_epi32(static_cast<int>(key)));
  } else {
    const __m512i wide = _mm512_set1_epi64(static_cast<long long>(key));
    const auto low = static_cast<__mmask8>(lanes);
    const auto high = static_cast<__mmask8>(lanes >> 8);
    const __mmask8 first =
        _mm512_mask_cmpeq_epi64_mask(low, _mm512_maskz_loadu_epi64(low, in), wide);
    const __mmask8 second =
        _mm512_mask_cmpeq_epi64_mask(high, _mm512_maskz_loadu_epi64(high, in + 64), wide);
    return static_cast<__mmask16>(first | (second << 8));
  }
}

// A hashed map of 32-bit sources (hashed_map.hpp): sixteen elements are one
// vector of the table's lanes, a lookup for all entries at once.
template <IntElement S, bool kWindow>
  requires(sizeof(S) == 4)
struct TableEntries {
  hashed_map_avx512::TableInRegisters<S, kWindow> table;
};

// 16 elements converted, and each map entry's target put over the lanes it
// matches (entries last to first, so the first match stays; a table's
// patterns are distinct, the first entry's kept).
template <IntElement S, RoundingMode R, class Entries>
PRANDEL_TARGET_AVX512 inline __m256i f16_lanes(const std::byte* in, __mmask16 lanes,
                                               const Entries& entries) noexcept {
  __m256i h = narrow_to_f16<R>(exact_f32_for_f16<S>(in, lanes));
  if constexpr (requires { entries.table; }) {
    const __m512i x = _mm512_maskz_loadu_epi32(lanes, in);
    const __m512i slots = entries.table.slots(x);
    const __mmask16 hits = entries.table.hits(x, slots) & lanes;
    h = _mm256_mask_mov_epi16(h, hits, _mm512_cvtepi32_epi16(entries.table.targets(slots)));
  } else {
    for (std::size_t i = entries.targets.size(); i-- > 0;) {
      h = _mm256_mask_mov_epi16(h, equal_lanes<S>(in, lanes, entries.matches[i].source()),
                                _mm256_set1_epi16(static_cast<short>(entries.targets[i].bits)));
    }
  }
  return h;
}

// Entries of an empty map.
template <IntElement S>
struct NoEntries {
  std::array<SourceMatcher<S>, 0> matches;
  std::array<f16, 0> targets;
};

template <IntElement S, RoundingMode R, class Entries>
PRANDEL_TARGET_AVX512 inline void convert_block_to_f16(const std::byte* in, std::byte* out,
                                                       std::size_t k,
                                                       const Entries& entries) noexcept {
  std::size_t j = 0;
  for (; j + 16 <= k; j += 16) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + j * sizeof(f16)),
                        f16_lanes<S, R>(in + j * sizeof(S), 0xffff, entries));
  }
  if (j < k) {
    const auto lanes = static_cast<__mmask16>((1u << (k - j)) - 1u);
    _mm256_mask_storeu_epi16(out + j * sizeof(f16), lanes,
                             f16_lanes<S, R>(in + j * sizeof(S), lanes, entries));
  }
}

}  // namespace avx512
PRANDEL_INTRINSICS_END
#endif

template <IntElement S, FloatElement T, RoundingMode R>
PRANDEL_INLINE void convert_block_avx512([[maybe_unused]] InputSlice<S> in,
                                         [[maybe_unused]] OutputSlice<T> out) noexcept {
#if PRANDEL_X86_VARIANTS
  if constexpr (std::same_as<T, f16>) {
    avx512::convert_block_to_f16<S, R>(in.bytes(), out.bytes(), in.size(),
                                       avx512::NoEntries<S>{});
  } else {
    avx512::convert_block<S, T, R>(in.bytes(), out.bytes(), in.size());
  }
#endif
}

// The kernel of one pair, mode and variant.
template <IntElement S, FloatElement T, RoundingMode R, Isa I>
struct Blocks {
  static constexpr bool kNative = PRANDEL_X86_VARIANTS && has_avx512(I);

  ElementResult<T> element(S x) const noexcept { return round_int_to_float<R, T>(x); }

  // Where the rule is the language's cast and the cast vectorises (64-bit
  // sources need AVX-512DQ or the portable loop), a small map goes into the
  // same sweep.
  static constexpr bool kCasts = !std::same_as<T, f16> && R == RoundingMode::NearestEven &&
                                 (sizeof(S) <= 4 || I != Isa::Avx2);

  // Binary16 targets on AVX-512 compare each entry in the source's lanes
  // and blend its target into the converted vector.
  static constexpr bool kBlendsF16 = std::same_as<T, f16> && kNative;

  template <std::size_t kWidth>
    requires(kCasts || kBlendsF16)
  PRANDEL_INLINE bool convert_block_with_entries(
      InputSlice<S> in, OutputSlice<T> out, const EntryGroup<kWidth, S, T>& entries) const noexcept {
    if constexpr (kBlendsF16) {
#if PRANDEL_X86_VARIANTS
      avx512::convert_block_to_f16<S, R>(in.bytes(), out.bytes(), in.size(), entries);
#endif
    } else {
      cast_with_entries(in, out, entries);
    }
    return true;
  }

#if PRANDEL_X86_VARIANTS
  // A map of several entries from 32-bit integers to binary16 (the frame's
  // hashed hook): the table is looked up in the converting sweep, where a
  // vector is sixteen elements, rather than swept first and its targets put
  // over the results. It reads each vector before storing its results, so
  // the output may be the input's memory.
  static constexpr bool kRunsTakeHashedMap = kBlendsF16 && sizeof(S) == 4;

  bool takes_hashed_map() const noexcept { return true; }

  template <bool kWindow>
    requires kRunsTakeHashedMap
  PRANDEL_INLINE bool convert_block_hashed(InputSlice<S> in, OutputSlice<T> out,
                                           const HashedMap<S, T>& map) const noexcept {
    avx512::convert_block_to_f16<S, R>(
        in.bytes(), out.bytes(), in.size(),
        avx512::TableEntries<S, kWindow>{hashed_map_avx512::TableInRegisters<S, kWindow>::of(map)});
    return true;
  }
#endif

  PRANDEL_INLINE bool convert_block(InputSlice<S> in, OutputSlice<T> out) const noexcept {
    const std::size_t k = in.size();
    if constexpr (std::same_as<T, f16> && kNative) {
      convert_block_avx512<S, T, R>(in, out);
    } else if constexpr (std::same_as<T, f16>) {
      f32 wide[block::kElements];
      for (std::size_t j = 0; j < k; ++j) wide[j] = exact_f32_for_f16(in[j]);
      if constexpr (R == RoundingMode::NearestAway) {
        for (std::size_t j = 0; j < k; ++j) wide[j] = past_ties(wide[j]);
        binary16_blocks::narrow<I, RoundingMode::NearestEven>(wide, out);
      } else {
        binary16_blocks::narrow<I, R>(wide, out);
      }
    } else if constexpr (!int_to_float_takes_mode<S, T> ||
                         (I == Isa::Baseline && R == RoundingMode::NearestEven)) {
      for (std::size_t j = 0; j < k; ++j) out.store(j, static_cast<T>(in[j]));
    } else if constexpr (kNative) {
      convert_block_avx512<S, T, R>(in, out);
    } else if constexpr (sizeof(S) == 4) {
      for (std::size_t j = 0; j < k; ++j) out.store(j, narrow_32_under_mode<R>(in[j]));
    } else if constexpr (std::same_as<T, f64>) {
      for (std::size_t j = 0; j < k; ++j) out.store(j, wide_to_f64<R>(in[j]));
    } else {
      for (std::size_t j = 0; j < k; ++j) out.store(j, wide_to_f32<R>(in[j]));
    }
    return true;
  }
};

template <IntElement S, FloatElement T>
struct Slice {
  // 8-bit sources find a map's hits in byte lanes there.
  static constexpr bool kUsesVbmi = sizeof(S) == 1;

  template <Isa I>
  PRANDEL_INLINE static CastResult run(InputSlice<S> in, OutputSlice<T> out,
                                       const CastConfig<S, T>* config) noexcept {
    const ScalarMap<S, T>& map = config->scalar_map;
    if constexpr (int_to_float_takes_mode<S, T>) {
      return with_rounding_mode(config->rounding, [&]<RoundingMode R>() PRANDEL_INLINE_LAMBDA {
        return convert_blocks<I>(Blocks<S, T, R, I>{}, in, out, map);
      });
    } else {
      return convert_blocks<I>(Blocks<S, T, RoundingMode::NearestEven, I>{}, in, out, map);
    }
  }
};

}  // namespace int_to_float_detail

// Converts min(in.size(), out.size()) elements in index order by
// round_int_to_float under config.rounding, a scalar-map hit stored as
// given. Always succeeds. Pairs that take no mode (int_to_float_takes_mode
// false) convert exactly whatever config.rounding holds. `isa` picks the
// instruction-set variant (tests run each one the processor supports).
template <IntElement S, FloatElement T>
CastResult convert_slice_int_to_float(InputSlice<S> in, OutputSlice<T> out,
                                      const CastConfig<S, T>& config,
                                      Isa isa = best_isa()) noexcept {
  return run_variant<int_to_float_detail::Slice<S, T>>(isa, in, out, &config);
}

}  // namespace prandel

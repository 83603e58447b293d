// Checked integer conversion in AVX-512 registers: a run of vectors is
// loaded once, tested against the target's range and converted without
// going back to memory, and stored only when all of it is in range. Where 512-bit
// loads issue one a cycle, a separate read-only test sweep costs as much as
// the conversion itself.
#pragma once

#include <algorithm>
#include <cstddef>
#include <type_traits>

#include "prandel/cpu_features.hpp"
#include "prandel/element_types.hpp"
#include "prandel/int_to_int_rule.hpp"

#if PRANDEL_X86_VARIANTS
#include <immintrin.h>

namespace prandel::int_checked_lanes {

PRANDEL_INTRINSICS_BEGIN

// A vector of lanes as wide as S, each `value`.
template <IntElement S>
PRANDEL_TARGET_AVX512 inline __m512i splat(std::make_unsigned_t<S> value) noexcept {
  if constexpr (sizeof(S) == 1) {
    return _mm512_set1_epi8(static_cast<char>(value));
  } else if constexpr (sizeof(S) == 2) {
    return _mm512_set1_epi16(static_cast<short>(value));
  } else if constexpr (sizeof(S) == 4) {
    return _mm512_set1_epi32(static_cast<int>(value));
  } else {
    return _mm512_set1_epi64(static_cast<long long>(value));
  }
}

// Each lane's offset from the range's lower end (IntRange::offset).
template <IntElement S, IntElement T>
PRANDEL_TARGET_AVX512 inline __m512i offsets(__m512i x) noexcept {
  constexpr auto lower = static_cast<std::make_unsigned_t<S>>(IntRange<S, T>::lower);
  if constexpr (lower == 0) {
    return x;
  } else if constexpr (sizeof(S) == 1) {
    return _mm512_sub_epi8(x, splat<S>(lower));
  } else if constexpr (sizeof(S) == 2) {
    return _mm512_sub_epi16(x, splat<S>(lower));
  } else if constexpr (sizeof(S) == 4) {
    return _mm512_sub_epi32(x, splat<S>(lower));
  } else {
    return _mm512_sub_epi64(x, splat<S>(lower));
  }
}

// Stores the lanes of x (elements of S) as elements of T, keeping their low
// bits: the value itself for a lane in range.
template <IntElement S, IntElement T>
PRANDEL_TARGET_AVX512 inline void store_low_bits(std::byte* out, __m512i x) noexcept {
  if constexpr (sizeof(S) == sizeof(T)) {
    _mm512_storeu_si512(out, x);
  } else if constexpr (sizeof(S) == 8 && sizeof(T) == 4) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm512_cvtepi64_epi32(x));
  } else if constexpr (sizeof(S) == 8 && sizeof(T) == 2) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm512_cvtepi64_epi16(x));
  } else if constexpr (sizeof(S) == 8) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm512_cvtepi64_epi8(x));
  } else if constexpr (sizeof(S) == 4 && sizeof(T) == 2) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm512_cvtepi32_epi16(x));
  } else if constexpr (sizeof(S) == 4) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm512_cvtepi32_epi8(x));
  } else {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm512_cvtepi16_epi8(x));
  }
}

// Elements of S as a vector of T, sign-extended (the pairs that widen and
// can fail take a signed S to a wider unsigned T).
template <IntElement S, IntElement T>
PRANDEL_TARGET_AVX512 inline __m512i load_widened(const std::byte* in) noexcept {
  static_assert(std::is_signed_v<S> && sizeof(S) < sizeof(T));
  if constexpr (sizeof(S) == 1 && sizeof(T) == 2) {
    return _mm512_cvtepi8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in)));
  } else if constexpr (sizeof(S) == 1 && sizeof(T) == 4) {
    return _mm512_cvtepi8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in)));
  } else if constexpr (sizeof(S) == 1) {
    return _mm512_cvtepi8_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(in)));
  } else if constexpr (sizeof(S) == 2 && sizeof(T) == 4) {
    return _mm512_cvtepi16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in)));
  } else if constexpr (sizeof(S) == 2) {
    return _mm512_cvtepi16_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in)));
  } else {
    return _mm512_cvtepi32_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in)));
  }
}

// Vectors converted together (of S, or of T where T is wider): eight, which
// stay in registers, or as many as a block holds.
template <IntElement S, IntElement T>
inline constexpr std::size_t kVectors =
    64 / std::max(sizeof(S), sizeof(T)) * 8 <= 256 ? 8 : 256 * sizeof(S) / 64;

// Elements converted together.
template <IntElement S, IntElement T>
inline constexpr std::size_t kRun = kVectors<S, T> * (64 / std::max(sizeof(S), sizeof(T)));

// Converts the kRun<S, T> elements at `in` into `out` and returns true when
// every one lies within IntRange<S, T>; otherwise returns false having
// written nothing. A widening is tested on the widened lanes, which the
// loads extend as they read.
template <IntElement S, IntElement T>
PRANDEL_TARGET_AVX512 inline bool convert_run(const std::byte* in, std::byte* out) noexcept {
  constexpr bool kWidens = sizeof(T) > sizeof(S);
  using Lane = std::conditional_t<kWidens, T, S>;
  constexpr std::size_t kLanes = 64 / sizeof(Lane);
  constexpr std::size_t kCount = kVectors<S, T>;
  __m512i x[kCount];
  __m512i any = _mm512_setzero_si512();
  for (std::size_t r = 0; r < kCount; ++r) {
    if constexpr (kWidens) {
      // From a signed S: lower is 0, and the offsets are the lanes.
      x[r] = load_widened<S, T>(in + r * kLanes * sizeof(S));
      any = _mm512_or_si512(any, x[r]);
    } else {
      x[r] = _mm512_loadu_si512(in + r * 64);
      any = _mm512_or_si512(any, offsets<S, T>(x[r]));
    }
  }
  using Unsigned = std::make_unsigned_t<Lane>;
  const __m512i outside = splat<Lane>(static_cast<Unsigned>(
      ~static_cast<Unsigned>(IntRange<S, T>::kOffsetBits)));
  if (_mm512_test_epi64_mask(any, outside) != 0) return false;
  for (std::size_t r = 0; r < kCount; ++r) {
    if constexpr (kWidens) {
      _mm512_storeu_si512(out + r * 64, x[r]);
    } else {
      store_low_bits<S, T>(out + r * kLanes * sizeof(T), x[r]);
    }
  }
  return true;
}

PRANDEL_INTRINSICS_END

}  // namespace prandel::int_checked_lanes

#endif

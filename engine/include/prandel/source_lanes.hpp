// A float map entry's source matched on a vector of element bit patterns:
// SourceMatcher's range test, 512 bits at a time (AVX-512).
#pragma once

#include <type_traits>

#include "prandel/cpu_features.hpp"
#include "prandel/element_types.hpp"
#include "prandel/float_bits.hpp"
#include "prandel/scalar_map.hpp"

#if PRANDEL_X86_VARIANTS
#include <immintrin.h>

namespace prandel::source_lanes {

// The mask of a 512-bit comparison in lanes of S's width.
template <FloatElement S>
using Mask = std::conditional_t<sizeof(S) == 8, __mmask8,
                                std::conditional_t<sizeof(S) == 4, __mmask16, __mmask32>>;

// The lanes of `bits` (element patterns of S) that `source` matches.
template <FloatElement S>
PRANDEL_TARGET_AVX512 inline Mask<S> matching(const SourceMatcher<S>& source,
                                              __m512i bits) noexcept {
  if constexpr (sizeof(S) == 8) {
    const __m512i offset = _mm512_sub_epi64(
        _mm512_and_si512(bits, _mm512_set1_epi64(static_cast<i64>(source.mask()))),
        _mm512_set1_epi64(static_cast<i64>(source.lowest())));
    return _mm512_cmple_epu64_mask(offset, _mm512_set1_epi64(static_cast<i64>(source.span())));
  } else if constexpr (sizeof(S) == 4) {
    const __m512i offset = _mm512_sub_epi32(
        _mm512_and_si512(bits, _mm512_set1_epi32(static_cast<i32>(source.mask()))),
        _mm512_set1_epi32(static_cast<i32>(source.lowest())));
    return _mm512_cmple_epu32_mask(offset, _mm512_set1_epi32(static_cast<i32>(source.span())));
  } else {
    const __m512i offset = _mm512_sub_epi16(
        _mm512_and_si512(bits, _mm512_set1_epi16(static_cast<i16>(source.mask()))),
        _mm512_set1_epi16(static_cast<i16>(source.lowest())));
    return _mm512_cmple_epu16_mask(offset, _mm512_set1_epi16(static_cast<i16>(source.span())));
  }
}

// The same on 256 bits (a batch of sixteen binary16 or eight f32 values):
// half the work of zero-extending them to 512 bits first.
template <FloatElement S>
  requires(sizeof(S) <= 4)
PRANDEL_TARGET_AVX512 inline Mask<S> matching(const SourceMatcher<S>& source,
                                              __m256i bits) noexcept {
  if constexpr (sizeof(S) == 4) {
    const __m256i offset = _mm256_sub_epi32(
        _mm256_and_si256(bits, _mm256_set1_epi32(static_cast<i32>(source.mask()))),
        _mm256_set1_epi32(static_cast<i32>(source.lowest())));
    return _mm256_cmple_epu32_mask(offset, _mm256_set1_epi32(static_cast<i32>(source.span())));
  } else {
    const __m256i offset = _mm256_sub_epi16(
        _mm256_and_si256(bits, _mm256_set1_epi16(static_cast<i16>(source.mask()))),
        _mm256_set1_epi16(static_cast<i16>(source.lowest())));
    return _mm256_cmple_epu16_mask(offset, _mm256_set1_epi16(static_cast<i16>(source.span())));
  }
}

// The lanes of `bits` that hold a NaN: magnitude bits above infinity's, an
// AND and a compare on the patterns (as `matching` works).
template <FloatElement S>
PRANDEL_TARGET_AVX512 inline Mask<S> nan_lanes(__m512i bits) noexcept {
  using B = FloatBits<S>;
  if constexpr (sizeof(S) == 8) {
    return _mm512_cmpgt_epu64_mask(_mm512_and_si512(bits, _mm512_set1_epi64(static_cast<i64>(B::kMagnitudeMask))),
                                   _mm512_set1_epi64(static_cast<i64>(B::kInfinity)));
  } else if constexpr (sizeof(S) == 4) {
    return _mm512_cmpgt_epu32_mask(_mm512_and_si512(bits, _mm512_set1_epi32(static_cast<i32>(B::kMagnitudeMask))),
                                   _mm512_set1_epi32(static_cast<i32>(B::kInfinity)));
  } else {
    return _mm512_cmpgt_epu16_mask(_mm512_and_si512(bits, _mm512_set1_epi16(static_cast<i16>(B::kMagnitudeMask))),
                                   _mm512_set1_epi16(static_cast<i16>(B::kInfinity)));
  }
}

}  // namespace prandel::source_lanes
#endif

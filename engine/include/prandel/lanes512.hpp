// Lane-wise operations on 512-bit vectors (AVX-512) whose lanes are kBytes
// wide: one intrinsic per width, picked at compile time.
#pragma once

#include <cstddef>

#include "prandel/cpu_features.hpp"
#include "prandel/element_types.hpp"

#if PRANDEL_X86_VARIANTS
#include <immintrin.h>

namespace prandel::lanes512 {

PRANDEL_INTRINSICS_BEGIN

// Every lane `value` (its low kBytes bytes).
template <std::size_t kBytes>
PRANDEL_TARGET_AVX512 inline __m512i splat(u64 value) noexcept {
  if constexpr (kBytes == 1) {
    return _mm512_set1_epi8(static_cast<char>(value));
  } else if constexpr (kBytes == 2) {
    return _mm512_set1_epi16(static_cast<short>(value));
  } else if constexpr (kBytes == 4) {
    return _mm512_set1_epi32(static_cast<int>(value));
  } else {
    return _mm512_set1_epi64(static_cast<long long>(value));
  }
}

// Equality as a mask, and the lanes a mask names zeroed or set.
template <std::size_t kBytes>
PRANDEL_TARGET_AVX512 inline u64 equal(__m512i a, __m512i b) noexcept {
  if constexpr (kBytes == 1) {
    return _mm512_cmpeq_epi8_mask(a, b);
  } else if constexpr (kBytes == 2) {
    return _mm512_cmpeq_epi16_mask(a, b);
  } else if constexpr (kBytes == 4) {
    return _mm512_cmpeq_epi32_mask(a, b);
  } else {
    return _mm512_cmpeq_epi64_mask(a, b);
  }
}
template <std::size_t kBytes>
PRANDEL_TARGET_AVX512 inline __m512i set_lanes(__m512i v, u64 lanes, __m512i value) noexcept {
  if constexpr (kBytes == 1) {
    return _mm512_mask_mov_epi8(v, lanes, value);
  } else if constexpr (kBytes == 2) {
    return _mm512_mask_mov_epi16(v, static_cast<__mmask32>(lanes), value);
  } else if constexpr (kBytes == 4) {
    return _mm512_mask_mov_epi32(v, static_cast<__mmask16>(lanes), value);
  } else {
    return _mm512_mask_mov_epi64(v, static_cast<__mmask8>(lanes), value);
  }
}
// A merge with zeros under the mask: no complement of it, which the
// compiler may take through a general register.
template <std::size_t kBytes>
PRANDEL_TARGET_AVX512 inline __m512i zero_lanes(u64 lanes, __m512i v) noexcept {
  return set_lanes<kBytes>(v, lanes, _mm512_setzero_si512());
}

// Each lane shifted right by `count` bits (the low 64 bits of `count`).
template <std::size_t kBytes>
PRANDEL_TARGET_AVX512 inline __m512i shift_right(__m512i v, __m128i count) noexcept {
  if constexpr (kBytes == 2) {
    return _mm512_srl_epi16(v, count);
  } else if constexpr (kBytes == 4) {
    return _mm512_srl_epi32(v, count);
  } else {
    static_assert(kBytes == 8);
    return _mm512_srl_epi64(v, count);
  }
}

// The low kBytes bytes of each lane's product.
template <std::size_t kBytes>
PRANDEL_TARGET_AVX512 inline __m512i multiply_low(__m512i a, __m512i b) noexcept {
  if constexpr (kBytes == 2) {
    return _mm512_mullo_epi16(a, b);
  } else if constexpr (kBytes == 4) {
    return _mm512_mullo_epi32(a, b);
  } else {
    static_assert(kBytes == 8);
    return _mm512_mullo_epi64(a, b);
  }
}

PRANDEL_INTRINSICS_END

}  // namespace prandel::lanes512

#endif

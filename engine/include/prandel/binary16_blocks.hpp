// binary16 conversions a block at a time inside a variant's kernel: the F16C
// instructions in the Avx2 and Avx512 variants, where they are inlined, and
// the software conversions on bit patterns in Baseline. Every form gives the
// results of binary16_bits bit for bit.
#pragma once

#include <bit>
#include <cstddef>
#include <cstring>

#include "prandel/binary16_bits.hpp"
#include "prandel/cpu_features.hpp"
#include "prandel/element_types.hpp"
#include "prandel/modes.hpp"
#include "prandel/slice.hpp"

#if PRANDEL_X86_VARIANTS
#include <immintrin.h>
#endif

namespace prandel::binary16_blocks {

#if PRANDEL_X86_VARIANTS
namespace f16c {

// The instruction's rounding immediate for each mode it has; nearest-away is
// not among them.
template <RoundingMode R>
inline constexpr int kImmediate = R == RoundingMode::TowardsZero       ? _MM_FROUND_TO_ZERO
                                  : R == RoundingMode::TowardsPositive ? _MM_FROUND_TO_POS_INF
                                  : R == RoundingMode::TowardsNegative ? _MM_FROUND_TO_NEG_INF
                                                                       : _MM_FROUND_TO_NEAREST_INT;

// Not always-inline: these carry the F16C target and may only be inlined
// into a variant that has it. Array memory may be misaligned, so vectors move
// through memcpy; a tail goes through a zero-padded vector.
PRANDEL_TARGET_AVX2 inline void widen(const std::byte* in, f32* out, std::size_t k) noexcept {
  std::size_t j = 0;
  for (; j + 8 <= k; j += 8) {
    __m128i h;
    std::memcpy(&h, in + j * sizeof(f16), sizeof h);
    _mm256_storeu_ps(out + j, _mm256_cvtph_ps(h));
  }
  if (j < k) {
    __m128i h = _mm_setzero_si128();
    std::memcpy(&h, in + j * sizeof(f16), (k - j) * sizeof(f16));
    const __m256 f = _mm256_cvtph_ps(h);
    std::memcpy(out + j, &f, (k - j) * sizeof(f32));
  }
}

template <int kRounding>
PRANDEL_TARGET_AVX2 inline void narrow(const f32* in, std::byte* out, std::size_t k) noexcept {
  std::size_t j = 0;
  for (; j + 8 <= k; j += 8) {
    const __m128i h = _mm256_cvtps_ph(_mm256_loadu_ps(in + j), kRounding);
    std::memcpy(out + j * sizeof(f16), &h, sizeof h);
  }
  if (j < k) {
    __m256 f = _mm256_setzero_ps();
    std::memcpy(&f, in + j, (k - j) * sizeof(f32));
    const __m128i h = _mm256_cvtps_ph(f, kRounding);
    std::memcpy(out + j * sizeof(f16), &h, (k - j) * sizeof(f16));
  }
}

}  // namespace f16c
#endif

// out[j] = in[j] widened to f32, exactly, for j < in.size().
template <Isa I>
PRANDEL_INLINE void widen(InputSlice<f16> in, f32* out) noexcept {
#if PRANDEL_X86_VARIANTS
  if constexpr (I != Isa::Baseline) {
    f16c::widen(in.bytes(), out, in.size());
    return;
  }
#endif
  for (std::size_t j = 0; j < in.size(); ++j) {
    out[j] = std::bit_cast<f32>(binary16_bits::widen_bits(in[j].bits));
  }
}

// out[j] = in[j] narrowed to binary16 under mode R, for j < out.size().
template <Isa I, RoundingMode R>
PRANDEL_INLINE void narrow(const f32* in, OutputSlice<f16> out) noexcept {
#if PRANDEL_X86_VARIANTS
  if constexpr (I != Isa::Baseline && R != RoundingMode::NearestAway) {
    f16c::narrow<f16c::kImmediate<R>>(in, out.bytes(), out.size());
    return;
  }
#endif
  for (std::size_t j = 0; j < out.size(); ++j) {
    out.store(j, f16{binary16_bits::narrow_bits<R>(std::bit_cast<u32>(in[j]))});
  }
}

}  // namespace prandel::binary16_blocks

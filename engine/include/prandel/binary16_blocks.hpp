// binary16 conversions a block at a time inside a variant, a kernel's or the
// standalone block conversions' of binary16.hpp: the F16C instructions in
// the Avx2 variant and up, where they are inlined, and the software
// conversions on bit patterns in Baseline. Every form gives the results of
// binary16_bits bit for bit.
#pragma once

#include <algorithm>
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
PRANDEL_TARGET_AVX2 inline void widen(const std::byte* in, std::byte* out, std::size_t k) noexcept {
  std::size_t j = 0;
  for (; j + 8 <= k; j += 8) {
    __m128i h;
    std::memcpy(&h, in + j * sizeof(f16), sizeof h);
    const __m256 f = _mm256_cvtph_ps(h);
    std::memcpy(out + j * sizeof(f32), &f, sizeof f);
  }
  if (j < k) {
    __m128i h = _mm_setzero_si128();
    std::memcpy(&h, in + j * sizeof(f16), (k - j) * sizeof(f16));
    const __m256 f = _mm256_cvtph_ps(h);
    std::memcpy(out + j * sizeof(f32), &f, (k - j) * sizeof(f32));
  }
}

template <int kRounding>
PRANDEL_TARGET_AVX2 inline void narrow(const std::byte* in, std::byte* out, std::size_t k) noexcept {
  std::size_t j = 0;
  for (; j + 8 <= k; j += 8) {
    __m256 f;
    std::memcpy(&f, in + j * sizeof(f32), sizeof f);
    const __m128i h = _mm256_cvtps_ph(f, kRounding);
    std::memcpy(out + j * sizeof(f16), &h, sizeof h);
  }
  if (j < k) {
    __m256 f = _mm256_setzero_ps();
    std::memcpy(&f, in + j * sizeof(f32), (k - j) * sizeof(f32));
    const __m128i h = _mm256_cvtps_ph(f, kRounding);
    std::memcpy(out + j * sizeof(f16), &h, (k - j) * sizeof(f16));
  }
}

}  // namespace f16c
#endif

// out[j] = in[j] widened to f32, exactly, for j < min(in.size(), out.size()).
// Returns whether F16C converted: the bits are the same either way, so only
// that tells the tests which code a variant runs.
template <Isa I>
PRANDEL_INLINE bool widen(InputSlice<f16> in, OutputSlice<f32> out) noexcept {
  const std::size_t k = std::min(in.size(), out.size());
#if PRANDEL_X86_VARIANTS
  if constexpr (has_f16c(I)) {
    f16c::widen(in.bytes(), out.bytes(), k);
    return true;
  }
#endif
  for (std::size_t j = 0; j < k; ++j) {
    out.store(j, std::bit_cast<f32>(binary16_bits::widen_bits(in[j].bits)));
  }
  return false;
}

// The same into a buffer of in.size() elements.
template <Isa I>
PRANDEL_INLINE bool widen(InputSlice<f16> in, f32* out) noexcept {
  return widen<I>(in, OutputSlice<f32>(out, in.size()));
}

// out[j] = in[j] narrowed to binary16 under mode R, for
// j < min(in.size(), out.size()); whether F16C converted, as widen.
template <Isa I, RoundingMode R>
PRANDEL_INLINE bool narrow(InputSlice<f32> in, OutputSlice<f16> out) noexcept {
  const std::size_t k = std::min(in.size(), out.size());
#if PRANDEL_X86_VARIANTS
  if constexpr (has_f16c(I) && R != RoundingMode::NearestAway) {
    f16c::narrow<f16c::kImmediate<R>>(in.bytes(), out.bytes(), k);
    return true;
  }
#endif
  for (std::size_t j = 0; j < k; ++j) {
    out.store(j, f16{binary16_bits::narrow_bits<R>(std::bit_cast<u32>(in[j]))});
  }
  return false;
}

// The same from a buffer of out.size() elements.
template <Isa I, RoundingMode R>
PRANDEL_INLINE bool narrow(const f32* in, OutputSlice<f16> out) noexcept {
  return narrow<I, R>(InputSlice<f32>(in, out.size()), out);
}

}  // namespace prandel::binary16_blocks

// binary16 conversions by the F16C instructions.
//
// Only the functions marked PRANDEL_TARGET_F16C are compiled for F16C/AVX:
// this file takes no -mf16c, so inline functions from headers that are
// emitted here out of line keep the baseline instruction set and stay safe to
// share with the rest of the program.
#include <algorithm>
#include <cstring>

#include "prandel/binary16.hpp"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#define PRANDEL_TARGET_F16C __attribute__((target("f16c,avx")))

namespace prandel::binary16_f16c {

namespace {
constexpr std::size_t kLanes = 8;
}  // namespace

// The packed forms on one lane: the scalar intrinsics are macros that some
// compilers reject under -Wpedantic.
PRANDEL_TARGET_F16C f32 to_f32(f16 x) noexcept {
  return _mm_cvtss_f32(_mm_cvtph_ps(_mm_cvtsi32_si128(x.bits)));
}

PRANDEL_TARGET_F16C f16 to_f16(f32 x) noexcept {
  const __m128i h = _mm_cvtps_ph(_mm_set_ss(x), _MM_FROUND_TO_NEAREST_INT);
  return f16{static_cast<u16>(_mm_cvtsi128_si32(h))};
}

// The array memory may have any alignment, so vectors move through memcpy
// (unaligned loads and stores). A tail shorter than a vector goes through a
// zero-padded local buffer so it takes the same instruction.
PRANDEL_TARGET_F16C void widen_block(InputSlice<f16> in,
                                     OutputSlice<f32> out) noexcept {
  const std::size_t n = std::min(in.size(), out.size());
  const std::byte* src = in.bytes();
  std::byte* dst = out.bytes();
  std::size_t i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    __m128i h;
    std::memcpy(&h, src + i * sizeof(f16), sizeof h);
    const __m256 f = _mm256_cvtph_ps(h);
    std::memcpy(dst + i * sizeof(f32), &f, sizeof f);
  }
  if (const std::size_t rest = n - i; rest != 0) {
    __m128i h = _mm_setzero_si128();
    std::memcpy(&h, src + i * sizeof(f16), rest * sizeof(f16));
    const __m256 f = _mm256_cvtph_ps(h);
    std::memcpy(dst + i * sizeof(f32), &f, rest * sizeof(f32));
  }
}

PRANDEL_TARGET_F16C void narrow_block(InputSlice<f32> in,
                                      OutputSlice<f16> out) noexcept {
  const std::size_t n = std::min(in.size(), out.size());
  const std::byte* src = in.bytes();
  std::byte* dst = out.bytes();
  std::size_t i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    __m256 f;
    std::memcpy(&f, src + i * sizeof(f32), sizeof f);
    const __m128i h = _mm256_cvtps_ph(f, _MM_FROUND_TO_NEAREST_INT);
    std::memcpy(dst + i * sizeof(f16), &h, sizeof h);
  }
  if (const std::size_t rest = n - i; rest != 0) {
    __m256 f = _mm256_setzero_ps();
    std::memcpy(&f, src + i * sizeof(f32), rest * sizeof(f32));
    const __m128i h = _mm256_cvtps_ph(f, _MM_FROUND_TO_NEAREST_INT);
    std::memcpy(dst + i * sizeof(f16), &h, rest * sizeof(f16));
  }
}

}  // namespace prandel::binary16_f16c

#else  // no F16C on this architecture: never selected, kept callable.

namespace prandel::binary16_f16c {

f32 to_f32(f16 x) noexcept { return binary16_soft::to_f32(x); }
f16 to_f16(f32 x) noexcept { return binary16_soft::to_f16(x); }
void widen_block(InputSlice<f16> in, OutputSlice<f32> out) noexcept {
  binary16_soft::widen_block(in, out);
}
void narrow_block(InputSlice<f32> in, OutputSlice<f16> out) noexcept {
  binary16_soft::narrow_block(in, out);
}

}  // namespace prandel::binary16_f16c

#endif

// Run-time choice of an instruction-set variant for hot element loops.
//
// Rounding to a whole number (rint, trunc, ceil, floor) is a library call on
// the baseline x86-64 instruction set and an inline instruction with SSE4.1;
// rint also vectorises, four f64 or eight f32 at a time with AVX2. A loop that
// rounds is therefore compiled a second time for AVX2 (PRANDEL_TARGET_AVX2 on
// a function whose always-inline body it shares with the baseline variant)
// and that variant runs when the processor has AVX2. Only the marked function
// is compiled for AVX2; whatever it does not inline keeps the baseline
// instruction set.
#pragma once

#if (defined(__x86_64__) || defined(__i386__)) && !defined(__AVX2__) && \
    (defined(__GNUC__) || defined(__clang__))
#define PRANDEL_HAVE_AVX2_VARIANT 1
#define PRANDEL_TARGET_AVX2 __attribute__((target("avx2")))
#else
#define PRANDEL_HAVE_AVX2_VARIANT 0
#define PRANDEL_TARGET_AVX2
#endif

namespace prandel {

// Whether the AVX2 variants may run (read once, then cached). The check
// includes the operating system's support for the AVX register state.
inline bool cpu_has_avx2() noexcept {
#if PRANDEL_HAVE_AVX2_VARIANT
  static const bool present = [] {
    __builtin_cpu_init();  // may run before the constructor that fills it
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return present;
#else
  return false;
#endif
}

}  // namespace prandel

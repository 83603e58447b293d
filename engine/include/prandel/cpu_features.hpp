// The one place that asks the processor what it can run, and the
// instruction-set variants that hot loops are compiled for.
//
// A loop body is written once, as an always-inline function template over
// `Isa`, and run through `run_variant`: each variant is a function carrying
// the target attribute of its instruction set, so the body inlined into it
// is compiled (and auto-vectorised) for that set. Whatever the body calls out
// of line keeps the baseline instruction set, so nothing compiled for a
// wider set can run on a processor without it. Explicit intrinsics may only
// appear in functions that carry the matching PRANDEL_TARGET_* attribute.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

// The widest variant compiled in, as Isa's value (the build option
// PRANDEL_MAX_VARIANT): a cap for testing and measuring the narrower
// variants on a processor that has the wider ones. All by default.
#ifndef PRANDEL_MAX_ISA
#define PRANDEL_MAX_ISA 3
#endif

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__)) && \
    PRANDEL_MAX_ISA > 0
#define PRANDEL_X86_VARIANTS 1
// F16C and FMA came with or before AVX2 on every processor that has it.
#define PRANDEL_TARGET_AVX2 __attribute__((target("avx2,fma,f16c")))
#define PRANDEL_TARGET_AVX512 \
  __attribute__((target("avx512f,avx512dq,avx512bw,avx512vl,avx2,fma,f16c")))
#define PRANDEL_TARGET_AVX512VBMI \
  __attribute__((target("avx512f,avx512dq,avx512bw,avx512vl,avx512vbmi,avx2,fma,f16c")))
#else
#define PRANDEL_X86_VARIANTS 0
#define PRANDEL_TARGET_AVX2
#define PRANDEL_TARGET_AVX512
#define PRANDEL_TARGET_AVX512VBMI
#endif

// Around code with AVX-512 intrinsics: GCC takes the "undefined" pass-through
// operands inside its own intrinsic definitions for uninitialised reads.
// Without optimisation its intrinsics that take an immediate are macros,
// whose all-ones masks convert with a change of sign where they expand.
#if defined(__GNUC__) && !defined(__clang__)
#if defined(__OPTIMIZE__)
#define PRANDEL_INTRINSIC_MACROS_DIAGNOSTICS
#else
#define PRANDEL_INTRINSIC_MACROS_DIAGNOSTICS \
  _Pragma("GCC diagnostic ignored \"-Wsign-conversion\"")
#endif
#define PRANDEL_INTRINSICS_BEGIN                                    \
  _Pragma("GCC diagnostic push")                                    \
  _Pragma("GCC diagnostic ignored \"-Wuninitialized\"")           \
  _Pragma("GCC diagnostic ignored \"-Wmaybe-uninitialized\"")     \
  PRANDEL_INTRINSIC_MACROS_DIAGNOSTICS
#define PRANDEL_INTRINSICS_END _Pragma("GCC diagnostic pop")
#else
#define PRANDEL_INTRINSICS_BEGIN
#define PRANDEL_INTRINSICS_END
#endif

// PRANDEL_INLINE on functions, PRANDEL_INLINE_LAMBDA after a lambda's
// parameter list: a lambda's call operator is otherwise compiled out of line
// with the baseline instruction set.
#if defined(__GNUC__) || defined(__clang__)
#define PRANDEL_INLINE [[gnu::always_inline]] inline
#define PRANDEL_INLINE_LAMBDA __attribute__((always_inline))
#define PRANDEL_NOINLINE [[gnu::noinline]]
#elif defined(_MSC_VER)
#define PRANDEL_INLINE __forceinline
#define PRANDEL_INLINE_LAMBDA
#define PRANDEL_NOINLINE __declspec(noinline)
#else
#define PRANDEL_INLINE inline
#define PRANDEL_INLINE_LAMBDA
#define PRANDEL_NOINLINE
#endif

// Before a loop of a few vectors' steps kept in an array: unrolled whole,
// the array lives in registers rather than on the stack.
#if defined(__clang__)
#define PRANDEL_UNROLL_ALL _Pragma("unroll")
#elif defined(__GNUC__)
#define PRANDEL_UNROLL_ALL _Pragma("GCC unroll 16")
#else
#define PRANDEL_UNROLL_ALL
#endif

namespace prandel {

// The variants, each a superset of the one before.
enum class Isa : std::uint8_t {
  Baseline,  // the build's own target; binary16 blocks in software
  Avx2,      // AVX2, FMA and F16C
  Avx512,    // AVX-512 F, DQ, BW and VL, on top of Avx2
  // and VBMI: byte permutes, which look a table up in 8-bit lanes. Only
  // kernels with code of their own for it are compiled for it (kUsesVbmi).
  Avx512Vbmi,
};

inline constexpr std::array<Isa, 4> kIsas = {Isa::Baseline, Isa::Avx2, Isa::Avx512,
                                             Isa::Avx512Vbmi};

// Whether the variant has the F16C conversions.
constexpr bool has_f16c(Isa isa) noexcept { return isa >= Isa::Avx2; }

// Whether the variant has AVX-512 (F, DQ, BW, VL).
constexpr bool has_avx512(Isa isa) noexcept { return isa >= Isa::Avx512; }

constexpr std::string_view isa_name(Isa isa) noexcept {
  switch (isa) {
    case Isa::Avx2:
      return "avx2";
    case Isa::Avx512:
      return "avx512";
    case Isa::Avx512Vbmi:
      return "avx512vbmi";
    case Isa::Baseline:
      break;
  }
  return "baseline";
}

// What the processor and the operating system (its saved register state)
// support, as far as the variants and the binary16 conversions care.
struct CpuFeatures {
  bool f16c = false;    // with AVX state: the VEX-encoded conversions
  bool avx2 = false;    // the Avx2 variant: AVX2, FMA, F16C
  bool avx512 = false;  // the Avx512 variant: the above and F, DQ, BW, VL
  bool avx512vbmi = false;  // the Avx512Vbmi variant: the above and VBMI
};

// The raw words the features are decoded from, as the processor reports
// them. A word the processor could not be asked for is zero.
struct CpuidWords {
  std::uint32_t max_leaf = 0;   // leaf 0, EAX: the highest leaf there is
  std::uint32_t leaf1_ecx = 0;
  std::uint32_t leaf7_ebx = 0;  // sub-leaf 0
  std::uint32_t leaf7_ecx = 0;  // sub-leaf 0
  std::uint32_t xcr0 = 0;       // XGETBV 0, readable only with OSXSAVE
};

// The features the words grant. Pure, so any processor can be described to
// it; detect_cpu_features() feeds it this one's words. Defined beside it:
// only the detection and the tests call it.
CpuFeatures decode_cpu_features(const CpuidWords& words) noexcept;

// This processor's features: its words, decoded.
CpuFeatures detect_cpu_features() noexcept;

// Detected on first use, then read from the cache.
inline const CpuFeatures& cpu_features() noexcept {
  static const CpuFeatures features = detect_cpu_features();
  return features;
}

// The widest variant this build compiles: the x86 variants up to the cap.
inline constexpr Isa kWidestCompiledIsa =
    PRANDEL_X86_VARIANTS ? static_cast<Isa>(PRANDEL_MAX_ISA) : Isa::Baseline;

constexpr bool isa_compiled(Isa isa) noexcept { return isa <= kWidestCompiledIsa; }

// Whether the variant is compiled in and a processor with these features can
// run it.
constexpr bool isa_supported_by(Isa isa, const CpuFeatures& features) noexcept {
  switch (isa) {
    case Isa::Avx2:
      return isa_compiled(isa) && features.avx2;
    case Isa::Avx512:
      return isa_compiled(isa) && features.avx512;
    case Isa::Avx512Vbmi:
      return isa_compiled(isa) && features.avx512vbmi;
    case Isa::Baseline:
      break;
  }
  return true;
}

// The widest variant a processor with these features can run: the one
// choice every dispatch (kernels and binary16 alike) rests on.
constexpr Isa best_isa_for(const CpuFeatures& features) noexcept {
  Isa best = Isa::Baseline;
  for (const Isa isa : kIsas) {
    if (isa_supported_by(isa, features)) best = isa;
  }
  return best;
}

// Whether the variant is compiled in and this processor can run it.
inline bool isa_supported(Isa isa) noexcept { return isa_supported_by(isa, cpu_features()); }

// The widest variant this processor can run.
inline Isa best_isa() noexcept {
  static const Isa best = best_isa_for(cpu_features());
  return best;
}

namespace isa_detail {

template <class Kernel, class... Args>
decltype(auto) run_baseline(Args... args) {
  return Kernel::template run<Isa::Baseline>(args...);
}

template <class Body>
PRANDEL_NOINLINE decltype(auto) call_baseline(const Body& body) {
  return body();
}

#if PRANDEL_X86_VARIANTS
template <class Kernel, class... Args>
PRANDEL_TARGET_AVX2 decltype(auto) run_avx2(Args... args) {
  return Kernel::template run<Isa::Avx2>(args...);
}

template <class Kernel, class... Args>
PRANDEL_TARGET_AVX512 decltype(auto) run_avx512(Args... args) {
  return Kernel::template run<Isa::Avx512>(args...);
}

template <class Body>
PRANDEL_NOINLINE PRANDEL_TARGET_AVX2 decltype(auto) call_avx2(const Body& body) {
  return body();
}

template <class Kernel, class... Args>
PRANDEL_TARGET_AVX512VBMI decltype(auto) run_avx512vbmi(Args... args) {
  return Kernel::template run<Isa::Avx512Vbmi>(args...);
}

template <class Body>
PRANDEL_NOINLINE PRANDEL_TARGET_AVX512 decltype(auto) call_avx512(const Body& body) {
  return body();
}

template <class Body>
PRANDEL_NOINLINE PRANDEL_TARGET_AVX512VBMI decltype(auto) call_avx512vbmi(const Body& body) {
  return body();
}
#endif

}  // namespace isa_detail

// Calls body() (a lambda marked PRANDEL_INLINE_LAMBDA) from a function of
// its own compiled for variant I. A loop in a function of its own is
// register-allocated alone: inlined beside the other paths of a large
// frame, its vectors can end up spilled to the stack on every step.
template <Isa I, class Body>
PRANDEL_INLINE decltype(auto) call_out_of_line(const Body& body) {
#if PRANDEL_X86_VARIANTS
  if constexpr (I == Isa::Avx512Vbmi) {
    return isa_detail::call_avx512vbmi(body);
  } else if constexpr (I == Isa::Avx512) {
    return isa_detail::call_avx512(body);
  } else if constexpr (I == Isa::Avx2) {
    return isa_detail::call_avx2(body);
  } else {
    return isa_detail::call_baseline(body);
  }
#else
  return isa_detail::call_baseline(body);
#endif
}

// Whether a kernel has code of its own for the Avx512Vbmi variant; the
// others run their Avx512 code under it, and are not compiled twice.
template <class Kernel>
inline constexpr bool kUsesVbmi = requires { requires Kernel::kUsesVbmi; };

// The function that runs `Kernel::template run<I>` compiled for variant I,
// as a pointer: for a caller that picks the variant at compile time and calls
// it later (run_variant below, and the block frame's erased kernels). A
// kernel without code of its own for Avx512Vbmi gets its Avx512 function.
template <Isa I, class Kernel, class... Args>
constexpr auto variant_function() noexcept {
#if PRANDEL_X86_VARIANTS
  if constexpr (!isa_compiled(I)) {
    // Never chosen: the narrower function stands in, so that nothing is
    // compiled for a variant beyond the cap.
    return variant_function<kWidestCompiledIsa, Kernel, Args...>();
  } else if constexpr (I == Isa::Avx512Vbmi && kUsesVbmi<Kernel>) {
    return &isa_detail::run_avx512vbmi<Kernel, Args...>;
  } else if constexpr (has_avx512(I)) {
    return &isa_detail::run_avx512<Kernel, Args...>;
  } else if constexpr (I == Isa::Avx2) {
    return &isa_detail::run_avx2<Kernel, Args...>;
  } else {
    return &isa_detail::run_baseline<Kernel, Args...>;
  }
#else
  return &isa_detail::run_baseline<Kernel, Args...>;
#endif
}

// Calls `Kernel::template run<isa>(args...)`, compiled for `isa`, which must
// be supported. Kernel::run must be PRANDEL_INLINE. Arguments pass by value:
// slices, modes and pointers or references to configuration.
template <class Kernel, class... Args>
decltype(auto) run_variant(Isa isa, Args... args) {
  switch (isa) {
    case Isa::Avx512Vbmi:
      return variant_function<Isa::Avx512Vbmi, Kernel, Args...>()(args...);
    case Isa::Avx512:
      return variant_function<Isa::Avx512, Kernel, Args...>()(args...);
    case Isa::Avx2:
      return variant_function<Isa::Avx2, Kernel, Args...>()(args...);
    case Isa::Baseline:
      break;
  }
  return variant_function<Isa::Baseline, Kernel, Args...>()(args...);
}

}  // namespace prandel

// Processor feature detection, read straight from CPUID and XGETBV so that
// every compiler that builds the x86 variants detects them the same way.
// What the words mean is decode_cpu_features()'s business alone.
#include "prandel/cpu_features.hpp"

#if PRANDEL_X86_VARIANTS
#include <cpuid.h>
#endif

namespace prandel {

namespace {

#if PRANDEL_X86_VARIANTS

std::uint32_t read_xcr0() noexcept {
  unsigned eax = 0;
  unsigned edx = 0;
  __asm__ volatile("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0u));
  return eax;
}

CpuidWords read_cpuid_words() noexcept {
  CpuidWords words;
  // Declared unsigned by some compilers' <cpuid.h>, int by others.
  words.max_leaf = static_cast<std::uint32_t>(__get_cpuid_max(0, nullptr));
  unsigned eax = 0;
  unsigned ebx = 0;
  unsigned ecx = 0;
  unsigned edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0) words.leaf1_ecx = ecx;
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0) {
    words.leaf7_ebx = ebx;
    words.leaf7_ecx = ecx;
  }
  // XGETBV faults unless the operating system has enabled it.
  if (cpuid_bits::all_of(words.leaf1_ecx, cpuid_bits::kOsxsave)) words.xcr0 = read_xcr0();
  return words;
}

#else

// No CPUID to ask: all zero, which decodes to the baseline alone.
CpuidWords read_cpuid_words() noexcept { return {}; }

#endif

}  // namespace

CpuFeatures detect_cpu_features() noexcept { return decode_cpu_features(read_cpuid_words()); }

}  // namespace prandel

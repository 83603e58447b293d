// Processor feature detection, read straight from CPUID and XGETBV so that
// every compiler that builds the x86 variants detects them the same way.
#include "prandel/cpu_features.hpp"

#if PRANDEL_X86_VARIANTS
#include <cpuid.h>
#endif

namespace prandel {

#if PRANDEL_X86_VARIANTS
namespace {

constexpr unsigned kBit(unsigned n) { return 1u << n; }

// Leaf 1, ECX.
constexpr unsigned kFma = kBit(12);
constexpr unsigned kOsxsave = kBit(27);
constexpr unsigned kAvx = kBit(28);
constexpr unsigned kF16c = kBit(29);
// Leaf 7, sub-leaf 0, EBX.
constexpr unsigned kAvx2 = kBit(5);
constexpr unsigned kAvx512f = kBit(16);
constexpr unsigned kAvx512dq = kBit(17);
constexpr unsigned kAvx512bw = kBit(30);
constexpr unsigned kAvx512vl = kBit(31);
// Leaf 7, sub-leaf 0, ECX.
constexpr unsigned kAvx512vbmi = kBit(1);
// XCR0: the register state the operating system saves.
constexpr unsigned kYmmState = kBit(1) | kBit(2);
constexpr unsigned kZmmState = kYmmState | kBit(5) | kBit(6) | kBit(7);

bool all_of(unsigned bits, unsigned wanted) { return (bits & wanted) == wanted; }

unsigned read_xcr0() {
  unsigned eax = 0;
  unsigned edx = 0;
  __asm__ volatile("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0u));
  return eax;
}

}  // namespace

CpuFeatures detect_cpu_features() noexcept {
  unsigned eax = 0;
  unsigned ebx = 0;
  unsigned ecx1 = 0;
  unsigned edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx1, &edx) == 0) return {};
  // Without OS support for the AVX register state no VEX instruction may run.
  if (!all_of(ecx1, kOsxsave | kAvx)) return {};
  const unsigned xcr0 = read_xcr0();
  if (!all_of(xcr0, kYmmState)) return {};

  unsigned ebx7 = 0;
  unsigned ecx7 = 0;
  if (__get_cpuid_count(7, 0, &eax, &ebx7, &ecx7, &edx) == 0) ebx7 = ecx7 = 0;

  CpuFeatures features;
  features.f16c = all_of(ecx1, kF16c);
  features.avx2 = features.f16c && all_of(ecx1, kFma) && all_of(ebx7, kAvx2);
  features.avx512 = features.avx2 && all_of(xcr0, kZmmState) &&
                    all_of(ebx7, kAvx512f | kAvx512dq | kAvx512bw | kAvx512vl);
  features.avx512vbmi = features.avx512 && all_of(ecx7, kAvx512vbmi);
  return features;
}

#else

CpuFeatures detect_cpu_features() noexcept { return {}; }

#endif

}  // namespace prandel

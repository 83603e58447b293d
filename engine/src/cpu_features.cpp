// Processor feature detection, read straight from CPUID and XGETBV so that
// every compiler that builds the x86 variants detects them the same way.
// What the words mean is decode_cpu_features()'s business alone.
#include "prandel/cpu_features.hpp"

#if PRANDEL_X86_VARIANTS
#include <cpuid.h>
#endif

namespace prandel {

namespace {

namespace cpuid_bits {

constexpr std::uint32_t bit(unsigned n) noexcept { return std::uint32_t{1} << n; }

// Leaf 1, ECX.
inline constexpr std::uint32_t kFma = bit(12);
inline constexpr std::uint32_t kOsxsave = bit(27);
inline constexpr std::uint32_t kAvx = bit(28);
inline constexpr std::uint32_t kF16c = bit(29);
// Leaf 7, sub-leaf 0, EBX.
inline constexpr std::uint32_t kAvx2 = bit(5);
inline constexpr std::uint32_t kAvx512f = bit(16);
inline constexpr std::uint32_t kAvx512dq = bit(17);
inline constexpr std::uint32_t kAvx512bw = bit(30);
inline constexpr std::uint32_t kAvx512vl = bit(31);
// Leaf 7, sub-leaf 0, ECX.
inline constexpr std::uint32_t kAvx512vbmi = bit(1);
// XCR0: the register state the operating system saves: SSE and AVX; then
// the opmask registers, the upper halves of ZMM0-15, and ZMM16-31.
inline constexpr std::uint32_t kYmmState = bit(1) | bit(2);
inline constexpr std::uint32_t kZmmState = kYmmState | bit(5) | bit(6) | bit(7);

constexpr bool all_of(std::uint32_t bits, std::uint32_t wanted) noexcept {
  return (bits & wanted) == wanted;
}

}  // namespace cpuid_bits

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

CpuFeatures decode_cpu_features(const CpuidWords& words) noexcept {
  using namespace cpuid_bits;
  if (words.max_leaf < 1) return {};
  // Without OS support for the AVX register state no VEX instruction may
  // run, and XCR0 means nothing unless OSXSAVE says it can be read.
  if (!all_of(words.leaf1_ecx, kOsxsave | kAvx) || !all_of(words.xcr0, kYmmState)) return {};
  // Past the highest leaf a processor answers with some other leaf's words.
  const bool has_leaf7 = words.max_leaf >= 7;
  const std::uint32_t ebx7 = has_leaf7 ? words.leaf7_ebx : 0;
  const std::uint32_t ecx7 = has_leaf7 ? words.leaf7_ecx : 0;

  CpuFeatures features;
  features.f16c = all_of(words.leaf1_ecx, kF16c);
  features.avx2 = features.f16c && all_of(words.leaf1_ecx, kFma) && all_of(ebx7, kAvx2);
  features.avx512 = features.avx2 && all_of(words.xcr0, kZmmState) &&
                    all_of(ebx7, kAvx512f | kAvx512dq | kAvx512bw | kAvx512vl);
  features.avx512vbmi = features.avx512 && all_of(ecx7, kAvx512vbmi);
  return features;
}

CpuFeatures detect_cpu_features() noexcept { return decode_cpu_features(read_cpuid_words()); }

}  // namespace prandel

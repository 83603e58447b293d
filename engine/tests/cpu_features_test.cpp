// The processor-feature record against what the operating system reports,
// the decoding of synthetic processors' words, and the variant choice that
// rests on it.
#include "prandel/cpu_features.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace prandel {
namespace {

// The feature flags of the first processor in /proc/cpuinfo (Linux), which
// the kernel lists only where it also saves the register state they need;
// empty elsewhere.
std::set<std::string> reported_flags() {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("flags", 0) != 0) continue;
    std::istringstream words(line.substr(line.find(':') + 1));
    std::set<std::string> flags;
    for (std::string flag; words >> flag;) flags.insert(flag);
    return flags;
  }
  return {};
}

TEST(CpuFeatures, AgreeWithWhatTheOperatingSystemReports) {
  const std::set<std::string> flags = reported_flags();
  if (flags.empty() || !PRANDEL_X86_VARIANTS) GTEST_SKIP() << "no x86 flags to compare with";
  const auto has = [&](std::initializer_list<const char*> names) {
    for (const char* name : names) {
      if (flags.count(name) == 0) return false;
    }
    return true;
  };
  const CpuFeatures& features = cpu_features();
  EXPECT_EQ(features.f16c, has({"avx", "f16c"}));
  EXPECT_EQ(features.avx2, has({"avx", "f16c", "fma", "avx2"}));
  EXPECT_EQ(features.avx512,
            has({"avx", "f16c", "fma", "avx2", "avx512f", "avx512dq", "avx512bw", "avx512vl"}));
  EXPECT_EQ(features.avx512vbmi, has({"avx", "f16c", "fma", "avx2", "avx512f", "avx512dq",
                                      "avx512bw", "avx512vl", "avx512vbmi"}));
}

TEST(CpuFeatures, BestVariantIsTheWidestSupported) {
  const Isa best = best_isa();
  EXPECT_TRUE(isa_supported(best));
  EXPECT_TRUE(isa_supported(Isa::Baseline));
  for (const Isa isa : kIsas) {
    if (static_cast<int>(isa) > static_cast<int>(best)) {
      EXPECT_FALSE(isa_supported(isa)) << isa_name(isa);
    } else {
      // Each variant is a superset of the ones before it.
      EXPECT_TRUE(isa_supported(isa)) << isa_name(isa);
    }
  }
}

// Bit positions written out from the architecture here, not taken from the
// decoder, so that a wrong position there shows.
constexpr std::uint32_t bit(unsigned n) { return std::uint32_t{1} << n; }
// Leaf 1, ECX; SSE3 to SSE4.2 as bits a real processor also sets, which
// must not matter.
constexpr std::uint32_t kSseOthers = bit(0) | bit(9) | bit(19) | bit(20);
constexpr std::uint32_t kFma = bit(12), kOsxsave = bit(27), kAvx = bit(28), kF16c = bit(29);
constexpr std::uint32_t kAvxFamily = kSseOthers | kFma | kOsxsave | kAvx | kF16c;
// Leaf 7, EBX; BMI1 and BMI2 as bystanders.
constexpr std::uint32_t kBmi = bit(3) | bit(8);
constexpr std::uint32_t kAvx2 = bit(5), kAvx512f = bit(16), kAvx512dq = bit(17),
                        kAvx512bw = bit(30), kAvx512vl = bit(31);
constexpr std::uint32_t kAvx512Family = kAvx512f | kAvx512dq | kAvx512bw | kAvx512vl;
// Leaf 7, ECX.
constexpr std::uint32_t kVbmi = bit(1);
// XCR0: x87, SSE, AVX; then opmask, upper halves of ZMM0-15, ZMM16-31.
constexpr std::uint32_t kX87 = bit(0), kSseState = bit(1), kAvxState = bit(2);
constexpr std::uint32_t kOpmask = bit(5), kZmmHigh = bit(6), kZmmUpper16 = bit(7);
constexpr std::uint32_t kYmmXcr0 = kX87 | kSseState | kAvxState;
constexpr std::uint32_t kZmmXcr0 = kYmmXcr0 | kOpmask | kZmmHigh | kZmmUpper16;

// A processor with every feature the variants use, its OS saving all state.
constexpr CpuidWords kEverything = {.max_leaf = 0x1f,
                                    .leaf1_ecx = kAvxFamily,
                                    .leaf7_ebx = kBmi | kAvx2 | kAvx512Family,
                                    .leaf7_ecx = kVbmi,
                                    .xcr0 = kZmmXcr0};

// The decoded features and the variant chosen from them, against what the
// words allow: every feature flag must agree with the variant, so a variant
// too wide for the processor shows twice.
void expect_decodes_to(const CpuidWords& words, bool f16c, Isa isa) {
  const CpuFeatures features = decode_cpu_features(words);
  EXPECT_EQ(features.f16c, f16c);
  EXPECT_EQ(features.avx2, isa >= Isa::Avx2);
  EXPECT_EQ(features.avx512, isa >= Isa::Avx512);
  EXPECT_EQ(features.avx512vbmi, isa == Isa::Avx512Vbmi);
  // A build that leaves the wider variants out chooses the widest it has.
  const Isa expected = std::min(isa, kWidestCompiledIsa);
  EXPECT_EQ(isa_name(best_isa_for(features)), isa_name(expected));
}

struct ProcessorRow {
  const char* name;
  CpuidWords words;
  bool f16c;
  Isa isa;
};

const ProcessorRow kProcessors[] = {
    {"f16c and avx, no fma or avx2",
     {.max_leaf = 0xd, .leaf1_ecx = kSseOthers | kOsxsave | kAvx | kF16c, .xcr0 = kYmmXcr0},
     true, Isa::Baseline},
    {"avx2 without ymm state saved",
     {.max_leaf = 0xd, .leaf1_ecx = kAvxFamily, .leaf7_ebx = kAvx2, .xcr0 = kX87 | kSseState},
     false, Isa::Baseline},
    {"avx2 fma f16c with ymm state",
     {.max_leaf = 0xd, .leaf1_ecx = kAvxFamily, .leaf7_ebx = kBmi | kAvx2, .xcr0 = kYmmXcr0},
     true, Isa::Avx2},
    {"avx512f without bw dq vl",
     {.max_leaf = 0xd, .leaf1_ecx = kAvxFamily, .leaf7_ebx = kAvx2 | kAvx512f, .xcr0 = kZmmXcr0},
     true, Isa::Avx2},
    {"avx512 without zmm state saved",
     {.max_leaf = 0xd, .leaf1_ecx = kAvxFamily, .leaf7_ebx = kAvx2 | kAvx512Family,
      .xcr0 = kYmmXcr0},
     true, Isa::Avx2},
    {"avx512 with zmm state",
     {.max_leaf = 0xd, .leaf1_ecx = kAvxFamily, .leaf7_ebx = kAvx2 | kAvx512Family,
      .xcr0 = kZmmXcr0},
     true, Isa::Avx512},
    {"avx512 and vbmi", kEverything, true, Isa::Avx512Vbmi},
    {"vbmi without avx512",
     {.max_leaf = 0xd, .leaf1_ecx = kAvxFamily, .leaf7_ebx = kAvx2, .leaf7_ecx = kVbmi,
      .xcr0 = kZmmXcr0},
     true, Isa::Avx2},
    // XCR0 cannot be read then: whatever the word holds means nothing.
    {"no osxsave", {.max_leaf = 0x1f, .leaf1_ecx = kAvxFamily & ~kOsxsave,
                    .leaf7_ebx = kAvx2 | kAvx512Family, .leaf7_ecx = kVbmi, .xcr0 = kZmmXcr0},
     false, Isa::Baseline},
    // Asked past its highest leaf, a processor answers with another leaf.
    {"leaf 7 beyond the highest leaf",
     {.max_leaf = 6, .leaf1_ecx = kAvxFamily, .leaf7_ebx = kAvx2 | kAvx512Family,
      .leaf7_ecx = kVbmi, .xcr0 = kZmmXcr0},
     true, Isa::Baseline},
    {"no leaf 1", {.max_leaf = 0, .leaf1_ecx = kAvxFamily, .leaf7_ebx = kAvx2,
                   .xcr0 = kYmmXcr0},
     false, Isa::Baseline},
    {"nothing", {}, false, Isa::Baseline},
};

TEST(CpuFeatures, DecodesSyntheticProcessors) {
  for (const ProcessorRow& row : kProcessors) {
    SCOPED_TRACE(row.name);
    expect_decodes_to(row.words, row.f16c, row.isa);
  }
}

// Each bit the variants need, taken from a processor that has them all:
// what is left shows which checks the decoder makes.
struct MissingBitRow {
  const char* name;
  std::uint32_t CpuidWords::*word;
  std::uint32_t bits;
  bool f16c;
  Isa isa;
};

const MissingBitRow kMissingBits[] = {
    {"osxsave", &CpuidWords::leaf1_ecx, kOsxsave, false, Isa::Baseline},
    {"avx", &CpuidWords::leaf1_ecx, kAvx, false, Isa::Baseline},
    {"f16c", &CpuidWords::leaf1_ecx, kF16c, false, Isa::Baseline},
    {"fma", &CpuidWords::leaf1_ecx, kFma, true, Isa::Baseline},
    {"avx2", &CpuidWords::leaf7_ebx, kAvx2, true, Isa::Baseline},
    {"avx512f", &CpuidWords::leaf7_ebx, kAvx512f, true, Isa::Avx2},
    {"avx512dq", &CpuidWords::leaf7_ebx, kAvx512dq, true, Isa::Avx2},
    {"avx512bw", &CpuidWords::leaf7_ebx, kAvx512bw, true, Isa::Avx2},
    {"avx512vl", &CpuidWords::leaf7_ebx, kAvx512vl, true, Isa::Avx2},
    {"vbmi", &CpuidWords::leaf7_ecx, kVbmi, true, Isa::Avx512},
    {"sse state", &CpuidWords::xcr0, kSseState, false, Isa::Baseline},
    {"avx state", &CpuidWords::xcr0, kAvxState, false, Isa::Baseline},
    {"opmask state", &CpuidWords::xcr0, kOpmask, true, Isa::Avx2},
    {"zmm upper halves state", &CpuidWords::xcr0, kZmmHigh, true, Isa::Avx2},
    {"zmm16-31 state", &CpuidWords::xcr0, kZmmUpper16, true, Isa::Avx2},
    {"sse3 to sse4.2, not needed", &CpuidWords::leaf1_ecx, kSseOthers, true, Isa::Avx512Vbmi},
};

TEST(CpuFeatures, EachBitTheVariantsNeedIsChecked) {
  for (const MissingBitRow& row : kMissingBits) {
    SCOPED_TRACE(std::string("without ") + row.name);
    CpuidWords words = kEverything;
    words.*row.word &= ~row.bits;
    expect_decodes_to(words, row.f16c, row.isa);
  }
}

}  // namespace
}  // namespace prandel

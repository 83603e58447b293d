// The processor-feature record against what the operating system reports,
// and the variant choice that rests on it.
#include "prandel/cpu_features.hpp"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace prandel

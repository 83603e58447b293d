// The software binary16 conversions against the processor's F16C
// instructions on every input: all 2^32 f32 patterns and all 2^16 binary16
// patterns, bit for bit, NaNs included.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <cstdint>
#include <iomanip>
#include <memory>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "prandel/binary16.hpp"
#include "prandel/binary16_blocks.hpp"
#include "prandel/cpu_features.hpp"

namespace prandel {
namespace {

constexpr std::size_t kBlock = 4096;

struct Mismatch {
  u32 input;
  u32 hardware;
  u32 software;
};

std::string describe(const Mismatch& m, int input_digits, int output_digits) {
  std::ostringstream text;
  text << std::hex << std::setfill('0') << "input 0x" << std::setw(input_digits)
       << m.input << ": F16C 0x" << std::setw(output_digits) << m.hardware
       << ", software 0x" << std::setw(output_digits) << m.software;
  return text.str();
}

// Under the sanitizers the engine runs many times slower: the sweeps then
// check every 61st pattern (an odd stride reaches every exponent and every
// low-bit pattern). The tests' own code is compiled alike with and without
// them, so the stride is chosen at run time, by whether the AddressSanitizer
// runtime is linked in.
extern "C" [[gnu::weak]] void __asan_init();

u64 pattern_stride() { return &__asan_init != nullptr ? 61 : 1; }

// Narrows the patterns first, first + stride, ... below last both ways,
// block by block, with `hardware` and `software` (each converting a block);
// returns the first mismatch, or nothing. Gives up early once `stop` is set.
// Whole blocks are compared at once so the sweep stays quick in sanitized
// builds.
template <class Hardware, class Software>
std::optional<Mismatch> sweep_narrowing(u64 first, u64 last, u64 stride, const std::atomic<bool>& stop,
                                        Hardware&& hardware_block, Software&& software_block) {
  const auto inputs = std::make_unique<f32[]>(kBlock);
  const auto hardware = std::make_unique<u16[]>(kBlock);
  const auto software = std::make_unique<u16[]>(kBlock);
  for (u64 base = first; base < last; base += kBlock * stride) {
    if (stop.load(std::memory_order_relaxed)) return std::nullopt;
    const std::size_t n =
        static_cast<std::size_t>(std::min<u64>(kBlock, (last - base + stride - 1) / stride));
    f32* in = inputs.get();
    for (std::size_t i = 0; i < n; ++i) in[i] = std::bit_cast<f32>(static_cast<u32>(base + i * stride));
    hardware_block(InputSlice<f32>(in, n), OutputSlice<f16>(hardware.get(), n));
    software_block(InputSlice<f32>(in, n), OutputSlice<f16>(software.get(), n));
    if (std::memcmp(hardware.get(), software.get(), n * sizeof(u16)) != 0) {
      for (std::size_t i = 0;; ++i) {
        if (hardware[i] != software[i]) {
          return Mismatch{std::bit_cast<u32>(in[i]), hardware[i], software[i]};
        }
      }
    }
  }
  return std::nullopt;
}

// Every f32 pattern (every 61st when sanitized) through both block
// conversions, on threads that stop at the first mismatch.
template <class Hardware, class Software>
void expect_narrowings_agree(const char* what, Hardware&& hardware, Software&& software) {
  const unsigned threads = std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
  constexpr u64 kPatterns = u64{1} << 32;
  const u64 stride = pattern_stride();
  std::atomic<bool> stop{false};
  std::vector<std::optional<Mismatch>> found(threads);
  {
    std::vector<std::jthread> workers;
    for (unsigned t = 0; t < threads; ++t) {
      workers.emplace_back([&, t] {
        // Thread ranges start on the stride, so together they keep it.
        const u64 first = kPatterns / stride * t / threads * stride;
        const u64 last = kPatterns / stride * (t + 1) / threads * stride;
        found[t] = sweep_narrowing(first, last, stride, stop, hardware, software);
        if (found[t]) stop.store(true, std::memory_order_relaxed);
      });
    }
  }
  for (const auto& mismatch : found) {
    ASSERT_FALSE(mismatch.has_value()) << what << " differs: " << describe(*mismatch, 8, 4);
  }
}

TEST(Binary16Exhaustive, NarrowingMatchesF16cOnEveryF32Pattern) {
  if (!isa_supported(Isa::Avx2)) GTEST_SKIP() << "processor lacks the Avx2 variant";
  expect_narrowings_agree(
      "f32 -> binary16",
      [](InputSlice<f32> in, OutputSlice<f16> out) { narrow_f32_block_on(Isa::Avx2, in, out); },
      [](InputSlice<f32> in, OutputSlice<f16> out) { narrow_f32_block_on(Isa::Baseline, in, out); });
}

// The F16C rounding immediates against the software conversion of each
// directed mode.
template <RoundingMode R>
void expect_block_narrowing_matches_f16c(const char* what) {
  expect_narrowings_agree(
      what,
      [](InputSlice<f32> in, OutputSlice<f16> out) {
        binary16_blocks::narrow<Isa::Avx2, R>(reinterpret_cast<const f32*>(in.bytes()), out);
      },
      [](InputSlice<f32> in, OutputSlice<f16> out) {
        binary16_blocks::narrow<Isa::Baseline, R>(reinterpret_cast<const f32*>(in.bytes()), out);
      });
}

TEST(Binary16Exhaustive, DirectedNarrowingMatchesF16cOnEveryF32Pattern) {
  if (!isa_supported(Isa::Avx2)) GTEST_SKIP() << "processor lacks the Avx2 variant";
  expect_block_narrowing_matches_f16c<RoundingMode::TowardsZero>("towards-zero");
  expect_block_narrowing_matches_f16c<RoundingMode::TowardsPositive>("towards-positive");
  expect_block_narrowing_matches_f16c<RoundingMode::TowardsNegative>("towards-negative");
}

// Nearest-away has no instruction: it is held to the definition, the nearer
// of the two binary16 neighbours of x, the larger in magnitude on a tie (the
// distances are exact in f64), and to infinity from 65520 up.
u16 nearest_away_reference(u32 pattern) {
  const f32 x = std::bit_cast<f32>(pattern);
  const u16 toward_zero = binary16_bits::narrow_bits<RoundingMode::TowardsZero>(pattern);
  if (x != x || std::isinf(x)) return binary16_bits::narrow_bits<RoundingMode::NearestEven>(pattern);
  const u16 sign = static_cast<u16>(toward_zero & 0x8000u);
  const f64 magnitude = std::fabs(static_cast<f64>(x));
  if (magnitude >= 65520.0) return static_cast<u16>(sign | 0x7c00u);
  const u16 low = static_cast<u16>(toward_zero & 0x7fffu);
  const u16 high = static_cast<u16>(low + 1u);
  const f64 below = magnitude - static_cast<f64>(std::bit_cast<f32>(binary16_bits::widen_bits(low)));
  const f64 above = static_cast<f64>(std::bit_cast<f32>(binary16_bits::widen_bits(high))) - magnitude;
  return static_cast<u16>(sign | (above <= below && below != 0.0 ? high : low));
}

TEST(Binary16Exhaustive, NearestAwayNarrowingMatchesItsDefinition) {
  const auto reference = [](InputSlice<f32> in, OutputSlice<f16> out) {
    for (std::size_t i = 0; i < in.size(); ++i) {
      out.store(i, f16{nearest_away_reference(std::bit_cast<u32>(in[i]))});
    }
  };
  const auto block = [](InputSlice<f32> in, OutputSlice<f16> out) {
    binary16_blocks::narrow<Isa::Baseline, RoundingMode::NearestAway>(
        reinterpret_cast<const f32*>(in.bytes()), out);
  };
  expect_narrowings_agree("nearest-away", reference, block);
}

// The block form of every variant the processor runs, and the single-value
// F16C form, against the software conversion of one value.
TEST(Binary16Exhaustive, WideningMatchesInEveryVariantOnEveryBinary16Pattern) {
  std::vector<f16> inputs(1u << 16);
  for (u32 h = 0; h < inputs.size(); ++h) inputs[h] = f16{static_cast<u16>(h)};
  for (const Isa isa : kIsas) {
    if (!isa_supported(isa)) continue;
    SCOPED_TRACE(isa_name(isa));
    std::vector<f32> block(inputs.size());
    widen_f16_block_on(isa, InputSlice<f16>(std::span<const f16>(inputs)),
                       OutputSlice<f32>(std::span<f32>(block)));
    for (u32 h = 0; h < inputs.size(); ++h) {
      const u32 packed = std::bit_cast<u32>(block[h]);
      const u32 software = std::bit_cast<u32>(binary16_soft::to_f32(inputs[h]));
      ASSERT_EQ(packed, software) << "binary16 -> f32 differs: "
                                  << describe({h, packed, software}, 4, 8);
      if (has_f16c(isa)) {
        const u32 single = std::bit_cast<u32>(binary16_f16c::to_f32(inputs[h]));
        ASSERT_EQ(single, software) << "single F16C differs at 0x" << std::hex << h;
      }
    }
  }
}

}  // namespace
}  // namespace prandel

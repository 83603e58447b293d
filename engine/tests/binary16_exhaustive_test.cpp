// The software binary16 conversions against the processor's F16C
// instructions on every input: all 2^32 f32 patterns and all 2^16 binary16
// patterns, bit for bit, NaNs included.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <cstdint>
#include <iomanip>
#include <memory>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "prandel/binary16.hpp"

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

// Narrows the patterns [first, last) both ways, block by block; returns the
// first mismatch, or nothing. Gives up early once `stop` is set. Whole
// blocks are compared at once so the sweep stays quick in sanitized builds.
std::optional<Mismatch> sweep_narrowing(u64 first, u64 last,
                                        const std::atomic<bool>& stop) {
  const auto inputs = std::make_unique<u32[]>(kBlock);
  const auto hardware = std::make_unique<u16[]>(kBlock);
  const auto software = std::make_unique<u16[]>(kBlock);
  for (u64 base = first; base < last; base += kBlock) {
    if (stop.load(std::memory_order_relaxed)) return std::nullopt;
    const std::size_t n = static_cast<std::size_t>(std::min<u64>(kBlock, last - base));
    u32* in = inputs.get();
    for (std::size_t i = 0; i < n; ++i) in[i] = static_cast<u32>(base + i);
    binary16_f16c::narrow_block(InputSlice<f32>(in, n),
                                OutputSlice<f16>(hardware.get(), n));
    binary16_soft::narrow_block(InputSlice<f32>(in, n),
                                OutputSlice<f16>(software.get(), n));
    if (std::memcmp(hardware.get(), software.get(), n * sizeof(u16)) != 0) {
      for (std::size_t i = 0;; ++i) {
        if (hardware[i] != software[i]) return Mismatch{in[i], hardware[i], software[i]};
      }
    }
  }
  return std::nullopt;
}

TEST(Binary16Exhaustive, NarrowingMatchesF16cOnEveryF32Pattern) {
  if (!cpu_has_f16c()) GTEST_SKIP() << "processor lacks F16C";

  const unsigned threads = std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
  constexpr u64 kPatterns = u64{1} << 32;
  std::atomic<bool> stop{false};
  std::vector<std::optional<Mismatch>> found(threads);
  {
    std::vector<std::jthread> workers;
    for (unsigned t = 0; t < threads; ++t) {
      workers.emplace_back([&, t] {
        const u64 first = kPatterns * t / threads;
        const u64 last = kPatterns * (t + 1) / threads;
        found[t] = sweep_narrowing(first, last, stop);
        if (found[t]) stop.store(true, std::memory_order_relaxed);
      });
    }
  }
  for (const auto& mismatch : found) {
    ASSERT_FALSE(mismatch.has_value()) << "f32 -> binary16 differs: "
                                       << describe(*mismatch, 8, 4);
  }
}

TEST(Binary16Exhaustive, WideningMatchesF16cOnEveryBinary16Pattern) {
  if (!cpu_has_f16c()) GTEST_SKIP() << "processor lacks F16C";

  std::vector<f16> inputs(1u << 16);
  for (u32 h = 0; h < inputs.size(); ++h) inputs[h] = f16{static_cast<u16>(h)};
  std::vector<f32> hardware(inputs.size());
  binary16_f16c::widen_block(InputSlice<f16>(std::span<const f16>(inputs)),
                             OutputSlice<f32>(std::span<f32>(hardware)));
  for (u32 h = 0; h < inputs.size(); ++h) {
    const u32 packed = std::bit_cast<u32>(hardware[h]);
    const u32 single = std::bit_cast<u32>(binary16_f16c::to_f32(inputs[h]));
    const u32 software = std::bit_cast<u32>(binary16_soft::to_f32(inputs[h]));
    ASSERT_EQ(packed, single) << "packed and single F16C differ at 0x" << std::hex << h;
    ASSERT_EQ(packed, software) << "binary16 -> f32 differs: "
                                << describe({h, packed, software}, 4, 8);
  }
}

}  // namespace
}  // namespace prandel

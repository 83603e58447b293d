#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "prandel/binary16.hpp"
#include "prandel/next_float.hpp"

namespace prandel {
namespace {

static_assert(next_up(0.0f) == std::numeric_limits<f32>::denorm_min());
static_assert(next_down(-std::numeric_limits<f32>::infinity()) ==
              -std::numeric_limits<f32>::infinity());

TEST(NextFloat, SpecialPatterns) {
  struct Row {
    u16 x, up, down;
  };
  const Row f16_rows[] = {
      {0x0000, 0x0001, 0x8001},  // +0
      {0x8000, 0x0001, 0x8001},  // -0
      {0x0001, 0x0002, 0x0000},  // smallest subnormal
      {0x8001, 0x8000, 0x8002},
      {0x7bff, 0x7c00, 0x7bfe},  // 65504
      {0xfbff, 0xfbfe, 0xfc00},
      {0x7c00, 0x7c00, 0x7bff},  // +inf
      {0xfc00, 0xfbff, 0xfc00},  // -inf
      {0x7e00, 0x7e00, 0x7e00},  // NaN kept as is
      {0xfd01, 0xfd01, 0xfd01},
  };
  for (const Row& row : f16_rows) {
    EXPECT_EQ(next_up(f16{row.x}).bits, row.up) << std::hex << row.x;
    EXPECT_EQ(next_down(f16{row.x}).bits, row.down) << std::hex << row.x;
  }
  EXPECT_EQ(std::bit_cast<u32>(next_down(0.0f)), 0x80000001u);
  EXPECT_EQ(std::bit_cast<u32>(next_up(-0.0f)), 0x00000001u);
  EXPECT_EQ(next_up(std::numeric_limits<f32>::max()), std::numeric_limits<f32>::infinity());
  EXPECT_EQ(next_down(std::numeric_limits<f32>::infinity()), std::numeric_limits<f32>::max());
  const f32 nan = std::bit_cast<f32>(0xffc00123u);
  EXPECT_EQ(std::bit_cast<u32>(next_up(nan)), 0xffc00123u);
  EXPECT_EQ(std::bit_cast<u32>(next_down(nan)), 0xffc00123u);
}

// std::nextafter toward an infinity is the reference for f32 and f64.
template <class T>
void expect_agrees_with_nextafter() {
  using Bits = typename FloatBits<T>::Bits;
  std::mt19937_64 rng(3);
  constexpr T kInf = std::numeric_limits<T>::infinity();
  for (int i = 0; i < 200000; ++i) {
    const T x = std::bit_cast<T>(static_cast<Bits>(rng()));
    if (std::isnan(x)) continue;
    EXPECT_EQ(next_up(x), std::nextafter(x, kInf)) << x;
    EXPECT_EQ(next_down(x), std::nextafter(x, -kInf)) << x;
  }
  for (T x : {T{0}, -T{0}, std::numeric_limits<T>::max(), -kInf, kInf,
              std::numeric_limits<T>::denorm_min()}) {
    EXPECT_EQ(next_up(x), std::nextafter(x, kInf)) << x;
    EXPECT_EQ(next_down(x), std::nextafter(x, -kInf)) << x;
  }
}

TEST(NextFloat, AgreesWithNextafter) {
  expect_agrees_with_nextafter<f32>();
  expect_agrees_with_nextafter<f64>();
}

// Binary16: the neighbours in the sorted list of all non-NaN values.
TEST(NextFloat, F16StepsToTheAdjacentValue) {
  std::vector<f32> values;
  for (u32 b = 0; b < 0x10000; ++b) {
    const f16 x{static_cast<u16>(b)};
    if (!is_nan(x) && !(is_zero(x) && sign_bit(x))) values.push_back(to_f32(x));
  }
  std::sort(values.begin(), values.end());
  for (u32 b = 0; b < 0x10000; ++b) {
    const f16 x{static_cast<u16>(b)};
    if (is_nan(x)) continue;
    const f32 v = to_f32(x);
    const auto above = std::upper_bound(values.begin(), values.end(), v);
    const auto below = std::lower_bound(values.begin(), values.end(), v);
    const f32 expected_up = above == values.end() ? v : *above;
    const f32 expected_down = below == values.begin() ? v : *(below - 1);
    EXPECT_EQ(to_f32(next_up(x)), expected_up) << std::hex << b;
    EXPECT_EQ(to_f32(next_down(x)), expected_down) << std::hex << b;
  }
}

}  // namespace
}  // namespace prandel

#include "prandel/cast_float.hpp"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <random>
#include <vector>

#include "prandel/float_ops.hpp"
#include "whole_number_reference.hpp"

namespace prandel {
namespace {

template <FloatElement F>
F from_f64(f64 x) {
  if constexpr (std::same_as<F, f16>) {
    return to_f16(static_cast<f32>(x));
  } else {
    return static_cast<F>(x);
  }
}

// Same value and same sign of zero, or both NaN.
::testing::AssertionResult same_value(f64 got, f64 expected) {
  if ((std::isnan(got) && std::isnan(expected)) ||
      (got == expected && std::signbit(got) == std::signbit(expected))) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << "got " << got << ", expected " << expected;
}

constexpr std::array<RoundingMode, 5> kModes = {
    RoundingMode::NearestEven, RoundingMode::TowardsZero,
    RoundingMode::TowardsPositive, RoundingMode::TowardsNegative,
    RoundingMode::NearestAway};

// Results in kModes order.
struct RoundRow {
  f64 x;
  std::array<f64, 5> expected;
};

// Values exact in all three types.
const RoundRow kCommonRoundRows[] = {
    {2.5, {2, 2, 3, 2, 3}},
    {-2.5, {-2, -2, -2, -3, -3}},
    {0.5, {0, 0, 1, 0, 1}},
    {-0.5, {-0.0, -0.0, -0.0, -1, -1}},
    {1.5, {2, 1, 2, 1, 2}},
    {-0.75, {-1, -0.0, -0.0, -1, -1}},
    {1025.0, {1025, 1025, 1025, 1025, 1025}},  // odd
    {1000.5, {1000, 1000, 1001, 1000, 1001}},
    {-0.0, {-0.0, -0.0, -0.0, -0.0, -0.0}},
    {INFINITY, {INFINITY, INFINITY, INFINITY, INFINITY, INFINITY}},
    {-INFINITY, {-INFINITY, -INFINITY, -INFINITY, -INFINITY, -INFINITY}},
    {NAN, {NAN, NAN, NAN, NAN, NAN}},
};

template <class F>
class CastFloatTest : public ::testing::Test {
 protected:
  static void check_round(const RoundRow& row) {
    for (std::size_t m = 0; m < kModes.size(); ++m) {
      EXPECT_TRUE(same_value(
          to_f64(CastFloat<F>::round_with_mode(from_f64<F>(row.x), kModes[m])),
          row.expected[m]))
          << "x " << row.x << " mode " << static_cast<int>(kModes[m]);
    }
  }
};

using FloatTypes = ::testing::Types<f64, f32, f16>;
TYPED_TEST_SUITE(CastFloatTest, FloatTypes);

TYPED_TEST(CastFloatTest, RoundsUnderEveryMode) {
  for (const RoundRow& row : kCommonRoundRows) this->check_round(row);
}

TYPED_TEST(CastFloatTest, NegativeResultsRoundingToZeroKeepTheSign) {
  // -0.7 and -0.3 are not exact in any type; their results are.
  this->check_round({-0.7, {-1, -0.0, -0.0, -1, -1}});
  this->check_round({-0.3, {-0.0, -0.0, -0.0, -1, -0.0}});
}

// Every mode against integer arithmetic on the significand (the reference
// shares nothing with CastFloat): random patterns over each type's whole
// range, and every binary16 value.
template <FloatElement F>
void expect_rounding_matches_reference(const std::vector<F>& values) {
  for (const F x : values) {
    const f64 v = to_f64(x);
    if (!std::isfinite(v)) continue;
    for (const RoundingMode mode : kModes) {
      const test::ExactWhole want = test::round_exactly(v, mode);
      const f64 got = to_f64(CastFloat<F>::round_with_mode(x, mode));
      // A zero result keeps the sign of x.
      ASSERT_TRUE(same_value(got, want.magnitude == 0 ? std::copysign(0.0, v) : want.as_f64()))
          << "x " << v << " mode " << static_cast<int>(mode);
    }
    // Both forms of ties away, whichever this build's arithmetic selects, and
    // the rounding by sums that vector loops without a rounding instruction
    // take.
    if constexpr (!std::same_as<F, f16>) {
      const f64 away = to_f64(CastFloat<F>::round_with_mode(x, RoundingMode::NearestAway));
      ASSERT_TRUE(same_value(CastFloat<F>::round_half_away_by_sum(x), away)) << "x " << v;
      ASSERT_TRUE(same_value(CastFloat<F>::round_half_away_by_fraction(x), away)) << "x " << v;
      if constexpr (kArithmeticRoundsToType<F>) {
        const std::array<f64, 5> by_sum = {
            round_whole_by_sum<RoundingMode::NearestEven>(x),
            round_whole_by_sum<RoundingMode::TowardsZero>(x),
            round_whole_by_sum<RoundingMode::TowardsPositive>(x),
            round_whole_by_sum<RoundingMode::TowardsNegative>(x),
            round_whole_by_sum<RoundingMode::NearestAway>(x)};
        for (std::size_t m = 0; m < kModes.size(); ++m) {
          ASSERT_TRUE(same_value(by_sum[m], to_f64(CastFloat<F>::round_with_mode(x, kModes[m]))))
              << "x " << v << " mode " << static_cast<int>(kModes[m]) << ", by sums";
        }
      }
    }
  }
}

TEST(CastFloatRounding, MatchesIntegerArithmetic) {
  std::mt19937_64 rng(5);
  // Where a sum |x| + 0.5 would round: just below one half, and the odd
  // whole numbers from 2^52 (2^23 in f32).
  std::vector<f64> doubles = {0.49999999999999994, 4503599627370497.0, -9007199254740991.0,
                              2251799813685248.5, 4503599627370495.5, 0x1p-1074};
  std::vector<f32> floats = {0.49999997f, 8388609.0f, -16777215.0f, 4194304.5f, 8388607.5f};
  for (int i = 0; i < 20000; ++i) {
    const u64 bits = rng();
    doubles.push_back(std::bit_cast<f64>(bits));
    floats.push_back(std::bit_cast<f32>(static_cast<u32>(bits)));
    // Magnitudes around one and up to 2^54, where the fractions are.
    const int exponent = static_cast<int>(bits >> 58);  // 0 to 63
    doubles.push_back(std::ldexp(static_cast<f64>(bits >> 11), exponent - 53 - 8));
    floats.push_back(std::ldexp(static_cast<f32>(bits >> 40), exponent / 2 - 24 - 4));
    // Ties below 2^52 (2^23) and their neighbours.
    const f64 tie = static_cast<f64>(bits >> (12 + exponent % 52)) + 0.5;
    const f32 tie32 = static_cast<f32>(static_cast<i32>(bits >> (41 + exponent % 23))) + 0.5f;
    for (const f64 t : {tie, -tie}) {
      doubles.insert(doubles.end(), {t, std::nextafter(t, 0.0), std::nextafter(t, 2 * t)});
    }
    for (const f32 t : {tie32, -tie32}) {
      floats.insert(floats.end(), {t, std::nextafter(t, 0.0f), std::nextafter(t, 2 * t)});
    }
  }
  std::vector<f16> halves;
  for (u32 b = 0; b <= 0xffff; ++b) halves.push_back(f16{static_cast<u16>(b)});
  expect_rounding_matches_reference(doubles);
  expect_rounding_matches_reference(floats);
  expect_rounding_matches_reference(halves);
}

}  // namespace
}  // namespace prandel

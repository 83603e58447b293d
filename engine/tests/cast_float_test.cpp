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

// Ties away from zero, exactly, where a sum |x| + 0.5 would round: just
// below one half, and at the odd whole numbers from 2^52 (f64) or 2^23 (f32).
TEST(CastFloatNearestAway, ExactWhereASumWouldRound) {
  constexpr auto away = RoundingMode::NearestAway;
  using D = CastFloat<f64>;
  using S = CastFloat<f32>;
  EXPECT_TRUE(same_value(D::round_with_mode(0.49999999999999994, away), 0.0));
  EXPECT_TRUE(same_value(D::round_with_mode(-0.49999999999999994, away), -0.0));
  EXPECT_TRUE(same_value(D::round_with_mode(4503599627370497.0, away), 4503599627370497.0));
  EXPECT_TRUE(same_value(D::round_with_mode(-9007199254740991.0, away), -9007199254740991.0));
  EXPECT_TRUE(same_value(D::round_with_mode(2251799813685248.5, away), 2251799813685249.0));
  EXPECT_TRUE(same_value(D::round_with_mode(4503599627370495.5, away), 4503599627370496.0));
  EXPECT_TRUE(same_value(D::round_with_mode(0x1p-1074, away), 0.0));
  EXPECT_TRUE(same_value(S::round_with_mode(0.49999997f, away), 0.0));
  EXPECT_TRUE(same_value(S::round_with_mode(8388609.0f, away), 8388609.0));
  EXPECT_TRUE(same_value(S::round_with_mode(-16777215.0f, away), -16777215.0));
  EXPECT_TRUE(same_value(S::round_with_mode(4194304.5f, away), 4194305.0));
  EXPECT_TRUE(same_value(S::round_with_mode(8388607.5f, away), 8388608.0));
  const f16 below_half = to_f16(0.499755859375f);  // 0.5 - 2^-12
  ASSERT_EQ(to_f32(below_half), 0.499755859375f);
  EXPECT_TRUE(same_value(to_f64(CastFloat<f16>::round_with_mode(below_half, away)), 0.0));
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
    // Both forms of ties away, whichever this build's arithmetic selects.
    if constexpr (!std::same_as<F, f16>) {
      const f64 away = to_f64(CastFloat<F>::round_with_mode(x, RoundingMode::NearestAway));
      ASSERT_TRUE(same_value(CastFloat<F>::round_half_away_by_sum(x), away)) << "x " << v;
      ASSERT_TRUE(same_value(CastFloat<F>::round_half_away_by_fraction(x), away)) << "x " << v;
    }
  }
}

TEST(CastFloatRounding, MatchesIntegerArithmetic) {
  std::mt19937_64 rng(5);
  std::vector<f64> doubles;
  std::vector<f32> floats;
  for (int i = 0; i < 20000; ++i) {
    const u64 bits = rng();
    doubles.push_back(std::bit_cast<f64>(bits));
    floats.push_back(std::bit_cast<f32>(static_cast<u32>(bits)));
    // Magnitudes around one and up to 2^54, where the fractions are.
    const int exponent = static_cast<int>(bits >> 58);  // 0 to 63
    doubles.push_back(std::ldexp(static_cast<f64>(bits >> 11), exponent - 53 - 8));
    floats.push_back(std::ldexp(static_cast<f32>(bits >> 40), exponent / 2 - 24 - 4));
    // Ties below 2^52 (2^23) and their neighbours.
    const f64 tie = std::ldexp(static_cast<f64>(bits >> (12 + exponent % 52)), 0) + 0.5;
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

#include "prandel/cast_float.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <vector>

#include "prandel/float_ops.hpp"

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
    {1025.0, {1025, 1025, 1025, 1025, 1025}},  // odd, sum exact in every type
    {1000.5, {1000, 1000, 1001, 1000, 1001}},
    {-0.0, {-0.0, -0.0, -0.0, -0.0, -0.0}},
    {INFINITY, {INFINITY, INFINITY, INFINITY, INFINITY, INFINITY}},
    {-INFINITY, {-INFINITY, -INFINITY, -INFINITY, -INFINITY, -INFINITY}},
    {NAN, {NAN, NAN, NAN, NAN, NAN}},
};

struct RemRow {
  f64 a;
  f64 b;
  f64 expected;
};

const RemRow kCommonRemRows[] = {
    {-1, 256, 255},
    {300, 256, 44},
    {-256, 256, -0.0},  // fmod gives -0.0, which is not below zero
    {-0.0, 5, -0.0},
    {-5, INFINITY, INFINITY},
    {5, INFINITY, 5},
    {5.5, -2, 1.5},
    {-5.5, -2, 0.5},
    {INFINITY, 3, NAN},
    {-INFINITY, 3, NAN},
    {3, 0, NAN},
    {NAN, 3, NAN},
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
  static void check_rem(const RemRow& row) {
    EXPECT_TRUE(same_value(
        to_f64(CastFloat<F>::rem_euclid(from_f64<F>(row.a), from_f64<F>(row.b))),
        row.expected))
        << row.a << " rem_euclid " << row.b;
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

TYPED_TEST(CastFloatTest, RemEuclid) {
  for (const RemRow& row : kCommonRemRows) this->check_rem(row);
}

// NearestAway rounds |x| + 0.5 in the type before the floor, so the ties-away
// result is off where that sum is inexact: below one half and at 2^52 (f64)
// or 2^23 (f32). Binary16 computes in f32, where its sums are exact.
TEST(CastFloatNearestAway, F64SumRoundsInF64) {
  using CF = CastFloat<f64>;
  constexpr auto away = RoundingMode::NearestAway;
  EXPECT_TRUE(same_value(CF::round_with_mode(0.49999999999999994, away), 1));
  EXPECT_TRUE(same_value(CF::round_with_mode(-0.49999999999999994, away), -1));
  EXPECT_TRUE(same_value(CF::round_with_mode(4503599627370497.0, away), 4503599627370498.0));
  EXPECT_TRUE(same_value(CF::round_with_mode(2251799813685248.5, away), 2251799813685249.0));
  EXPECT_TRUE(same_value(
      CF::round_with_mode(4503599627370497.0, RoundingMode::NearestEven), 4503599627370497.0));
}

TEST(CastFloatNearestAway, F32SumRoundsInF32) {
  using CF = CastFloat<f32>;
  constexpr auto away = RoundingMode::NearestAway;
  EXPECT_TRUE(same_value(CF::round_with_mode(0.49999997f, away), 1));
  EXPECT_TRUE(same_value(CF::round_with_mode(8388609.0f, away), 8388610.0));
  EXPECT_TRUE(same_value(CF::round_with_mode(4194304.5f, away), 4194305.0));
}

TEST(CastFloatNearestAway, F16IsExactlyRoundedThroughF32) {
  const f16 below_half = to_f16(0.499755859375f);  // 0.5 - 2^-12
  ASSERT_EQ(to_f32(below_half), 0.499755859375f);
  const f16 r = CastFloat<f16>::round_with_mode(below_half, RoundingMode::NearestAway);
  EXPECT_TRUE(same_value(to_f64(r), 0.0));
}

// The final m + |b| rounds to the type.
TEST(CastFloatRemEuclid, AdditionRoundsInTheType) {
  EXPECT_EQ(CastFloat<f64>::rem_euclid(-1.0, 33554432.0), 33554431.0);
  EXPECT_EQ(CastFloat<f32>::rem_euclid(-1.0f, 33554432.0f), 33554432.0f);
  // 4095 is a tie in binary16, going to the even 4096.
  EXPECT_EQ(to_f64(CastFloat<f16>::rem_euclid(to_f16(-1.0f), to_f16(4096.0f))), 4096.0);
  EXPECT_EQ(to_f64(CastFloat<f16>::rem_euclid(to_f16(-1.0f), to_f16(2048.0f))), 2047.0);
}

}  // namespace
}  // namespace prandel

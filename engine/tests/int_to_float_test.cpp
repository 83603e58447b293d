#include <gtest/gtest.h>

#include "type_lists.hpp"

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "float_kernel_test_support.hpp"
#include "prandel/int_to_float.hpp"

namespace prandel::test {
namespace {

constexpr f64 kInf = std::numeric_limits<f64>::infinity();
constexpr auto NE = RoundingMode::NearestEven;
constexpr auto Unset = OutOfRangeMode::Unset;

TEST(IntToFloat, EdgeCasesUnderEveryRoundingMode) {
  const std::vector<ModeRow> rows = {
      {"i16 2049 to f16", element<i16, f16>(2049), Unset, {"2048", "2048", "2050", "2048", "2050"}},
      {"i16 -2049 to f16", element<i16, f16>(-2049), Unset,
       {"-2048", "-2048", "-2048", "-2050", "-2050"}},
      {"i16 2051 to f16", element<i16, f16>(2051), Unset, {"2052", "2050", "2052", "2050", "2052"}},
      {"i32 65519 to f16", element<i32, f16>(65519), Unset,
       {"65504", "65504", "inf", "65504", "65504"}},
      {"i32 65520 to f16", element<i32, f16>(65520), Unset, {"inf", "65504", "inf", "65504", "inf"}},
      {"i32 -70000 to f16", element<i32, f16>(-70000), Unset,
       {"-inf", "-65504", "-65504", "-inf", "-inf"}},
      {"i32 2^24 + 1 to f32", element<i32, f32>(16777217), Unset,
       {"16777216", "16777216", "16777218", "16777216", "16777218"}},
      {"u32 2^32 - 1 to f32", element<u32, f32>(4294967295u), Unset,
       {"4294967296", "4294967040", "4294967296", "4294967040", "4294967296"}},
      // The mode step is judged by the f64 image of the source.
      {"i64 2^53 + 1 to f32", element<i64, f32>((i64{1} << 53) + 1), Unset,
       {"9007199254740992", "9007199254740992", "9007199254740992", "9007199254740992",
        "9007199254740992"}},
      {"u64 max to f32", element<u64, f32>(std::numeric_limits<u64>::max()), Unset,
       {"18446744073709552000", "18446744073709552000", "18446744073709552000",
        "18446744073709552000", "18446744073709552000"}},
      {"i64 2^53 + 3 to f64", element<i64, f64>((i64{1} << 53) + 3), Unset,
       {"9007199254740996", "9007199254740996", "9007199254740996", "9007199254740996",
        "9007199254740996"}},
      {"i8 -128 to f16", element<i8, f16>(-128), Unset, {"-128", "-128", "-128", "-128", "-128"}},
      {"u16 65535 to f32", element<u16, f32>(65535), Unset,
       {"65535", "65535", "65535", "65535", "65535"}},
      {"i32 min to f64", element<i32, f64>(std::numeric_limits<i32>::min()), Unset,
       {"-2147483648", "-2147483648", "-2147483648", "-2147483648", "-2147483648"}},
      {"i32 0 to f16", element<i32, f16>(0), Unset, {"0", "0", "0", "0", "0"}},
      {"i64 0 to f32", element<i64, f32>(0), Unset, {"0", "0", "0", "0", "0"}},
  };
  expect_rows(rows);
}

TEST(IntToFloat, ScalarMapComesFirst) {
  for (auto mode : kRoundingModes) {
    EXPECT_EQ((convert_one<i32, f16>(65520, mode, Unset, {{65520, h(1.5)}})), "1.5");
  }
  EXPECT_EQ((convert_one<i32, f16>(65521, NE, Unset, {{65520, h(1.5)}})), "inf");
}

// IEEE 754 rounding of the integer (negative, magnitude) to `precision`
// significant bits with `largest` as the largest finite value, by integer
// arithmetic.
f64 ieee_round(bool negative, u64 magnitude, int precision, f64 largest, RoundingMode mode) {
  if (magnitude == 0) return 0.0;
  const int shift = std::max(0, static_cast<int>(std::bit_width(magnitude)) - precision);
  const u64 unit = u64{1} << shift;
  const u64 kept = magnitude & ~(unit - 1);
  const u64 rest = magnitude - kept;
  const f64 down = static_cast<f64>(kept);
  const f64 up = down + static_cast<f64>(unit);
  bool away = false;  // from zero
  switch (mode) {
    case RoundingMode::NearestEven:
      away = rest > unit / 2 || (rest == unit / 2 && rest != 0 && ((kept >> shift) & 1) != 0);
      break;
    case RoundingMode::NearestAway:
      away = rest != 0 && rest >= unit / 2;
      break;
    case RoundingMode::TowardsZero:
      break;
    case RoundingMode::TowardsPositive:
      away = !negative && rest != 0;
      break;
    case RoundingMode::TowardsNegative:
      away = negative && rest != 0;
      break;
  }
  const bool toward_zero_mode = mode == RoundingMode::TowardsZero ||
                                (mode == RoundingMode::TowardsPositive && negative) ||
                                (mode == RoundingMode::TowardsNegative && !negative);
  f64 result = away ? up : down;
  if (result > largest) result = toward_zero_mode ? largest : kInf;
  return negative ? -result : result;
}

template <IntElement S, FloatElement T>
void expect_ieee_results(const std::vector<S>& input) {
  constexpr int precision = std::same_as<T, f16> ? 11 : 24;
  const f64 largest = std::same_as<T, f16> ? 65504.0 : std::numeric_limits<f32>::max();
  for (auto mode : kRoundingModes) {
    std::vector<T> out(input.size());
    ASSERT_TRUE((convert_slice_int_to_float<S, T>(input, out, config_of<S, T>(mode, Unset))));
    for (std::size_t i = 0; i < input.size(); ++i) {
      const S x = input[i];
      const bool negative = x < 0;
      const u64 magnitude = negative ? u64{0} - static_cast<u64>(x) : static_cast<u64>(x);
      ASSERT_EQ(to_f64(out[i]), ieee_round(negative, magnitude, precision, largest, mode))
          << dtype_key_of<S> << " " << +x << " -> " << dtype_key_of<T> << ", mode "
          << static_cast<int>(mode);
    }
  }
}

template <IntElement S>
std::vector<S> every_value() {
  std::vector<S> values;
  for (i64 v = std::numeric_limits<S>::min(); v <= std::numeric_limits<S>::max(); ++v) {
    values.push_back(static_cast<S>(v));
  }
  return values;
}

template <IntElement S>
std::vector<S> random_values(i64 limit) {
  std::mt19937_64 rng(5);
  std::vector<S> values;
  for (int i = 0; i < 20000; ++i) {
    // Magnitudes spread over every bit width up to the type's.
    const u64 bits = rng();
    const int width = static_cast<int>(rng() % 64) + 1;
    S v = static_cast<S>(width == 64 ? bits : bits & ((u64{1} << width) - 1));
    if (limit != 0 && (static_cast<f64>(v) > static_cast<f64>(limit) ||
                       static_cast<f64>(v) < -static_cast<f64>(limit))) {
      continue;
    }
    values.push_back(v);
  }
  return values;
}

// Up to 2^53 the f64 image is exact, so every mode gives the IEEE result.
TEST(IntToFloat, DirectedModesGiveTheIeeeResult) {
  expect_ieee_results<i8, f16>(every_value<i8>());
  expect_ieee_results<u8, f16>(every_value<u8>());
  expect_ieee_results<i16, f16>(every_value<i16>());
  expect_ieee_results<u16, f16>(every_value<u16>());
  expect_ieee_results<i32, f16>(random_values<i32>(0));
  expect_ieee_results<u32, f16>(random_values<u32>(0));
  expect_ieee_results<i64, f16>(random_values<i64>(0));
  expect_ieee_results<u64, f16>(random_values<u64>(0));
  expect_ieee_results<i32, f32>(random_values<i32>(0));
  expect_ieee_results<u32, f32>(random_values<u32>(0));
  expect_ieee_results<i64, f32>(random_values<i64>(i64{1} << 53));
  expect_ieee_results<u64, f32>(random_values<u64>(i64{1} << 53));
}

template <IntElement S, FloatElement T>
void expect_fast_paths_for_pair() {
  std::vector<S> input = random_values<S>(0);
  std::erase(input, S{99});
  for (auto mode : kRoundingModes) {
    expect_fast_path_matches_frame<S, T>(input, S{99}, mode, Unset);
  }
}

TEST(IntToFloat, EmptyMapPathMatchesPerElementFrame) {
  using namespace testing_types;
  for_each_pair(IntTypes{}, FloatTypes{}, []<class S, class T>() {
    expect_fast_paths_for_pair<S, T>();
  });
}

// Pairs without a mode convert to nearest whatever the mode says.
TEST(IntToFloat, ModeFreePairsIgnoreTheMode) {
  const std::vector<i64> input = {(i64{1} << 53) + 1, -((i64{1} << 62) + 3), 12345};
  for (auto mode : kRoundingModes) {
    std::vector<f64> out(input.size());
    ASSERT_TRUE((convert_slice_int_to_float<i64, f64>(input, out, config_of<i64, f64>(mode, Unset))));
    for (std::size_t i = 0; i < input.size(); ++i) EXPECT_EQ(out[i], static_cast<f64>(input[i]));
  }
}

}  // namespace
}  // namespace prandel::test

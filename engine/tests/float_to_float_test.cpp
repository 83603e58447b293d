#include <gtest/gtest.h>

#include "type_lists.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "float_kernel_test_support.hpp"
#include "prandel/float_to_float.hpp"

namespace prandel::test {
namespace {

constexpr f64 kInf = std::numeric_limits<f64>::infinity();
constexpr f64 kNaN = std::numeric_limits<f64>::quiet_NaN();
constexpr f64 kF32Max = 3.4028234663852886e38;
constexpr auto NE = RoundingMode::NearestEven;
constexpr auto Unset = OutOfRangeMode::Unset;
constexpr auto Clamp = OutOfRangeMode::Clamp;
constexpr auto Wrap = OutOfRangeMode::Wrap;

TEST(FloatToFloat, EdgeCasesUnderEveryRoundingMode) {
  const std::string max32 = num(kF32Max);
  const std::string e39 = range_error(1e39, -kF32Max, kF32Max);
  const std::string f16_70000 = range_error(70000, -65504, 65504);
  const std::string tiny = num(std::ldexp(1.0, -149));
  const std::vector<ModeRow> rows = {
      {"f64 1e39 to f32, Clamp", element<f64, f32>(1e39), Clamp, {"inf", max32, "inf", max32, "inf"}},
      {"f64 1e39 to f32, Unset", element<f64, f32>(1e39), Unset, {e39, max32, e39, max32, e39}},
      {"f64 1e39 to f32, Wrap", element<f64, f32>(1e39), Wrap, {e39, max32, e39, max32, e39}},
      {"f64 3.4028235e38 to f32", element<f64, f32>(3.4028235e38), Clamp,
       {max32, max32, "inf", max32, max32}},
      {"f64 3.4028235e38 to f32, Unset", element<f64, f32>(3.4028235e38), Unset,
       {max32, max32,
        "Value 340282350000000000000000000000000000000 out of range "
        "[-340282346638528860000000000000000000000, 340282346638528860000000000000000000000]. "
        "Set out_of_range='clamp' or out_of_range='wrap' to handle this.",
        max32, max32}},
      {"f64 2^-150 to f32", element<f64, f32>(std::ldexp(1.0, -150)), Clamp,
       {"0", "0", tiny, "0", tiny}},
      {"f64 -2^-150 to f32", element<f64, f32>(-std::ldexp(1.0, -150)), Clamp,
       {"-0", "-0", "-0", "-" + tiny, "-" + tiny}},
      {"f64 70000 to f16, Clamp", element<f64, f16>(70000), Clamp,
       {"inf", "65504", "inf", "65504", "inf"}},
      {"f64 70000 to f16, Unset", element<f64, f16>(70000), Unset,
       {f16_70000, "65504", f16_70000, "65504", f16_70000}},
      // Two roundings, by way of f32.
      {"f64 1 + 2^-11 + 2^-30 to f16", element<f64, f16>(1 + std::ldexp(1.0, -11) + std::ldexp(1.0, -30)),
       Clamp, {"1", "1", "1.0009765625", "1", "1"}},
      {"f64 65519.999 to f16", element<f64, f16>(65519.999), Clamp,
       {"inf", "65504", "inf", "65504", "inf"}},
      {"f64 65519.999 to f16, Unset", element<f64, f16>(65519.999), Unset,
       {range_error(65519.999, -65504, 65504), "65504", range_error(65519.999, -65504, 65504),
        "65504", range_error(65519.999, -65504, 65504)}},
      {"f32 65520 to f16", element<f32, f16>(65520.0f), Clamp, {"inf", "65504", "inf", "65504", "inf"}},
      {"f32 65520 to f16, Unset", element<f32, f16>(65520.0f), Unset,
       {range_error(65520, -65504, 65504), "65504", range_error(65520, -65504, 65504), "65504",
        range_error(65520, -65504, 65504)}},
      {"f32 65519 to f16, Wrap", element<f32, f16>(65519.0f), Wrap,
       {"65504", "65504", range_error(65519, -65504, 65504), "65504", "65504"}},
      // Infinities and NaNs pass through and never fail.
      {"f64 inf to f32", element<f64, f32>(kInf), Unset, {"inf", "inf", "inf", "inf", "inf"}},
      {"f64 -inf to f16", element<f64, f16>(-kInf), Wrap, {"-inf", "-inf", "-inf", "-inf", "-inf"}},
      {"f64 NaN to f16", element<f64, f16>(kNaN), Unset, {"NaN", "NaN", "NaN", "NaN", "NaN"}},
      // Exact pairs ignore both modes.
      {"f16 65504 to f32", element<f16, f32>(h(65504)), Unset,
       {"65504", "65504", "65504", "65504", "65504"}},
      {"f16 2^-24 to f64", element<f16, f64>(f16{0x0001}), Unset,
       {num(std::ldexp(1.0, -24)), num(std::ldexp(1.0, -24)), num(std::ldexp(1.0, -24)),
        num(std::ldexp(1.0, -24)), num(std::ldexp(1.0, -24))}},
      {"f32 max to f64", element<f32, f64>(std::numeric_limits<f32>::max()), Unset,
       {max32, max32, max32, max32, max32}},
      {"f16 -0 to f16", element<f16, f16>(f16{0x8000}), Unset, {"-0", "-0", "-0", "-0", "-0"}},
  };
  expect_rows(rows);
}

TEST(FloatToFloat, ScalarMapAndNaNPatterns) {
  // Identities keep a NaN's sign and payload.
  const std::vector<f16> nans = {f16{0x7e01}, f16{0xfd55}, f16{0x7c01}};
  std::vector<f16> out(nans.size());
  ASSERT_TRUE((convert_slice_float_to_float<f16, f16>(nans, out, config_of<f16, f16>(NE, Unset))));
  for (std::size_t i = 0; i < nans.size(); ++i) EXPECT_EQ(out[i].bits, nans[i].bits);
  EXPECT_EQ((convert_one<f16, f16>(f16{0xfd55}, NE, Unset, {{f16{0x7e00}, h(0.0)}})), "0");
  EXPECT_EQ((convert_one<f64, f32>(-kNaN, NE, Unset, {{kNaN, 1.0f}, {kNaN, 2.0f}})), "1");
  EXPECT_EQ((convert_one<f64, f32>(-0.0, NE, Unset, {{0.0, 7.0f}})), "7");
  EXPECT_EQ((convert_one<f64, f32>(1e300, NE, Unset, {{1e300, 2.5f}})), "2.5");
  const f64 payload_nan = std::bit_cast<f64>(0xfff0'0000'0000'0123u);
  std::vector<f64> same = {1.5, payload_nan, -0.0};
  ASSERT_TRUE((convert_slice_float_to_float<f64, f64>(same, same, config_of<f64, f64>(NE, Unset))));
  EXPECT_EQ(std::bit_cast<u64>(same[1]), 0xfff0'0000'0000'0123u);
  EXPECT_TRUE(std::signbit(same[2]));
}

template <FloatElement S, FloatElement T>
void expect_partial_write(std::size_t length, std::size_t failing, RoundingMode mode,
                          bool with_map) {
  const f64 too_large = std::same_as<T, f16> ? 1e10 : 1e39;
  std::vector<S> in(length, from_f64<S>(3.0));
  in[failing] = from_f64<S>(too_large);
  in[failing + 1] = from_f64<S>(-too_large);
  std::vector<T> out(length + 2);
  std::memset(out.data(), 0x11, out.size() * sizeof(T));
  ScalarMap<S, T> map;
  if (with_map) map.push_back({from_f64<S>(-7.0), T{}});
  const CastResult result = convert_slice_float_to_float<S, T>(in, out, config_of<S, T>(mode, Wrap, map));
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().value, to_f64(from_f64<S>(too_large)));
  for (std::size_t i = 0; i < out.size(); ++i) {
    T sentinel;
    std::memset(&sentinel, 0x11, sizeof(T));
    const T expected = i < failing ? from_f64<T>(3.0) : sentinel;
    EXPECT_EQ(std::memcmp(&out[i], &expected, sizeof(T)), 0) << "index " << i;
  }
}

TEST(FloatToFloat, OverflowWritesExactlyTheElementsBeforeIt) {
  for (bool with_map : {false, true}) {
    for (auto mode : {RoundingMode::NearestEven, RoundingMode::TowardsPositive}) {
      expect_partial_write<f32, f16>(1000, 300, mode, with_map);
      expect_partial_write<f64, f16>(1000, 256, mode, with_map);
      expect_partial_write<f64, f16>(1000, 511, mode, with_map);
      expect_partial_write<f64, f32>(5, 2, mode, with_map);
    }
  }
  // 1e39 does not fit f32; under Clamp it becomes the infinity.
  std::vector<f64> in = {1, 1e39, 2};
  std::vector<f32> out(3);
  ASSERT_TRUE((convert_slice_float_to_float<f64, f32>(in, out, config_of<f64, f32>(NE, Clamp))));
  EXPECT_EQ(out[1], std::numeric_limits<f32>::infinity());
  ASSERT_FALSE((convert_slice_float_to_float<f64, f32>(in, out, config_of<f64, f32>(NE, Wrap))));
}

// The directed roundings against the two neighbours of x in T, found without
// the kernel's own stepping: nextafter for f32, a sorted list for binary16.
template <FloatElement T>
f64 directed_reference(f64 x, RoundingMode mode, T nearest, f64 overflow_tie) {
  const f64 c = to_f64(nearest);
  if (c == x || mode == RoundingMode::NearestEven) return c;
  f64 lo, hi;
  const auto step = [](T v, bool up) -> f64 {
    if constexpr (std::same_as<T, f32>) {
      return std::nextafter(v, up ? std::numeric_limits<f32>::infinity()
                                  : -std::numeric_limits<f32>::infinity());
    } else {
      static const std::vector<f64> values = [] {
        std::vector<f64> all;
        for (u32 b = 0; b < 0x10000; ++b) {
          const f16 y{static_cast<u16>(b)};
          if (!is_nan(y)) all.push_back(to_f64(y));
        }
        std::sort(all.begin(), all.end());
        return all;
      }();
      const f64 d = to_f64(v);
      if (up) return *std::upper_bound(values.begin(), values.end(), d);
      return *(std::lower_bound(values.begin(), values.end(), d) - 1);
    }
  };
  if (c < x) {
    lo = c;
    hi = step(nearest, true);
  } else {
    hi = c;
    lo = step(nearest, false);
  }
  switch (mode) {
    case RoundingMode::TowardsZero:
      return x > 0 ? lo : hi;
    case RoundingMode::TowardsPositive:
      return hi;
    case RoundingMode::TowardsNegative:
      return lo;
    default: {
      f64 mid = (lo + hi) / 2;
      if (hi == kInf) mid = overflow_tie;
      if (lo == -kInf) mid = -overflow_tie;
      if (x == mid) return std::fabs(lo) > std::fabs(hi) ? lo : hi;
      return x < mid ? lo : hi;
    }
  }
}

template <FloatElement S, FloatElement T>
void expect_directed_ieee(const std::vector<f64>& values, bool nearest_modes_too) {
  const f64 overflow_tie = std::same_as<T, f16> ? 65520.0 : kF32Max + std::ldexp(1.0, 103);
  std::vector<S> in;
  for (f64 v : values) in.push_back(from_f64<S>(v));
  for (auto mode : kRoundingModes) {
    if (!nearest_modes_too && (mode == NE || mode == RoundingMode::NearestAway)) continue;
    std::vector<T> out(in.size());
    ASSERT_TRUE((convert_slice_float_to_float<S, T>(in, out, config_of<S, T>(mode, Clamp))));
    for (std::size_t i = 0; i < in.size(); ++i) {
      const f64 x = to_f64(in[i]);
      const T nearest = from_f64<T>(x);  // f32 to binary16 goes through f32 exactly
      ASSERT_EQ(to_f64(out[i]), directed_reference(x, mode, nearest, overflow_tie))
          << dtype_key_of<S> << " " << x << " mode " << static_cast<int>(mode);
    }
  }
}

std::vector<f64> varied_values(f64 scale) {
  std::mt19937_64 rng(13);
  std::uniform_real_distribution<f64> unit(-1.0, 1.0);
  std::vector<f64> values = {0.0, -0.0, 1.0, scale, -scale, scale * 1.01, -scale * 0.999};
  for (int i = 0; i < 20000; ++i) {
    values.push_back(unit(rng) * std::pow(2.0, unit(rng) * 40) * scale / 1e6);
    values.push_back(unit(rng) * scale * 1.1);
  }
  return values;
}

TEST(FloatToFloat, NarrowingsGiveTheIeeeResult) {
  std::vector<f64> to_f32_values = varied_values(kF32Max);
  for (f64 v : {std::ldexp(1.0, -150), std::ldexp(3.0, -151), 1e-46, -1e-46}) to_f32_values.push_back(v);
  expect_directed_ieee<f64, f32>(to_f32_values, true);
  expect_directed_ieee<f32, f16>(varied_values(65504), true);
  // From f64 the nearest modes round twice; the directed ones are exact.
  expect_directed_ieee<f64, f16>(varied_values(65504), false);
}

template <FloatElement S, FloatElement T>
void expect_fast_paths_for_pair() {
  std::vector<S> input;
  const S unmatched = from_f64<S>(1234.25);
  for (f64 v : varied_values(std::same_as<T, f16> ? 65504 : kF32Max)) {
    const S x = from_f64<S>(v);
    if (to_f64(x) != 1234.25) input.push_back(x);
  }
  input.insert(input.begin() + 100, from_f64<S>(kInf));
  input.insert(input.begin() + 200, from_f64<S>(kNaN));
  for (auto rounding : kRoundingModes) {
    for (auto mode : kOutOfRangeModes) {
      expect_fast_path_matches_frame<S, T>(input, unmatched, rounding, mode);
    }
  }
}

TEST(FloatToFloat, EmptyMapPathMatchesPerElementFrame) {
  using namespace testing_types;
  for_each_pair(FloatTypes{}, FloatTypes{}, []<class S, class T>() {
    expect_fast_paths_for_pair<S, T>();
  });
}

}  // namespace
}  // namespace prandel::test

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
  const std::string f16_tiny = num(std::ldexp(1.0, -24));
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
      // One rounding: no tie made on the way through f32.
      {"f64 1 + 2^-11 + 2^-30 to f16",
       element<f64, f16>(1 + std::ldexp(1.0, -11) + std::ldexp(1.0, -30)), Clamp,
       {"1.0009765625", "1", "1.0009765625", "1", "1.0009765625"}},
      {"f64 1 + 2^-11 to f16", element<f64, f16>(1 + std::ldexp(1.0, -11)), Clamp,
       {"1", "1", "1.0009765625", "1", "1.0009765625"}},
      {"f64 -(1 + 2^-11 - 2^-40) to f16",
       element<f64, f16>(-(1 + std::ldexp(1.0, -11) - std::ldexp(1.0, -40))), Clamp,
       {"-1", "-1", "-1", "-1.0009765625", "-1"}},
      {"f64 2^-25 + 2^-60 to f16", element<f64, f16>(std::ldexp(1.0, -25) + std::ldexp(1.0, -60)),
       Clamp, {f16_tiny, "0", f16_tiny, "0", f16_tiny}},
      {"f64 65519.999 to f16", element<f64, f16>(65519.999), Clamp,
       {"65504", "65504", "inf", "65504", "65504"}},
      {"f64 65519.999 to f16, Unset", element<f64, f16>(65519.999), Unset,
       {"65504", "65504", range_error(65519.999, -65504, 65504), "65504", "65504"}},
      {"f64 65520 to f16, Unset", element<f64, f16>(65520), Unset,
       {range_error(65520, -65504, 65504), "65504", range_error(65520, -65504, 65504), "65504",
        range_error(65520, -65504, 65504)}},
      {"f64 1e300 to f16, Clamp", element<f64, f16>(1e300), Clamp,
       {"inf", "65504", "inf", "65504", "inf"}},
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

// The value of a binary16 pattern from its fields.
f64 f16_value(u16 bits) {
  const int exponent = (bits >> 10) & 0x1f;
  const int fraction = bits & 0x3ff;
  const f64 magnitude = exponent == 0x1f ? kInf
                        : exponent == 0  ? std::ldexp(fraction, -24)
                                         : std::ldexp(1024 + fraction, exponent - 25);
  return (bits & 0x8000) != 0 ? -magnitude : magnitude;
}

// A value of T and whether its pattern is even (infinities count as even).
struct Neighbour {
  f64 value;
  bool even;
};

// The two values of T around x (lo <= x <= hi, the same where T holds x),
// found without the kernels: a sorted list of every binary16 value, the
// compiler's conversion and std::nextafter for f32.
template <FloatElement T>
std::pair<Neighbour, Neighbour> neighbours(f64 x) {
  if constexpr (std::same_as<T, f16>) {
    static const std::vector<Neighbour> values = [] {
      std::vector<Neighbour> all;
      for (u32 b = 0; b < 0x10000; ++b) {
        const f64 v = f16_value(static_cast<u16>(b));
        if (!std::isnan(v) && b != 0x8000) all.push_back({v, (b & 1) == 0});
      }
      std::sort(all.begin(), all.end(),
                [](const Neighbour& a, const Neighbour& b) { return a.value < b.value; });
      return all;
    }();
    const auto by_value = [](const Neighbour& a, f64 v) { return a.value < v; };
    const auto hi = std::lower_bound(values.begin(), values.end(), x, by_value);
    if (hi->value == x) return {*hi, *hi};
    return {*(hi - 1), *hi};
  } else {
    const auto of = [](f32 v) { return Neighbour{v, (std::bit_cast<u32>(v) & 1) == 0}; };
    constexpr f32 kMax = std::numeric_limits<f32>::max();
    constexpr f32 kInf32 = std::numeric_limits<f32>::infinity();
    if (x > kMax) return {of(kMax), of(kInf32)};
    if (x < -kMax) return {of(-kInf32), of(-kMax)};
    const f32 c = static_cast<f32>(x);
    if (c == x) return {of(c), of(c)};
    if (c < x) return {of(c), of(std::nextafter(c, kInf32))};
    return {of(std::nextafter(c, -kInf32)), of(c)};
  }
}

// x (finite or infinite, not a NaN) rounded to T under `mode`; a tie with
// an infinity lies at `overflow_tie`, half a unit beyond the largest value.
template <FloatElement T>
f64 reference_rounding(f64 x, RoundingMode mode, f64 overflow_tie) {
  const auto [lo, hi] = neighbours<T>(x);
  if (lo.value == hi.value) return lo.value;
  switch (mode) {
    case RoundingMode::TowardsZero:
      return x > 0 ? lo.value : hi.value;
    case RoundingMode::TowardsPositive:
      return hi.value;
    case RoundingMode::TowardsNegative:
      return lo.value;
    case RoundingMode::NearestEven:
    case RoundingMode::NearestAway:
      break;
  }
  f64 mid = (lo.value + hi.value) / 2;
  if (hi.value == kInf) mid = overflow_tie;
  if (lo.value == -kInf) mid = -overflow_tie;
  if (x < mid) return lo.value;
  if (x > mid) return hi.value;
  if (mode == RoundingMode::NearestAway) {
    return std::fabs(lo.value) > std::fabs(hi.value) ? lo.value : hi.value;
  }
  return lo.even ? lo.value : hi.value;
}

// Every mode through both paths: the empty map, and a map whose one entry
// (-7) the values avoid.
template <FloatElement S, FloatElement T>
void expect_ieee_results(const std::vector<f64>& values) {
  const f64 overflow_tie = std::same_as<T, f16> ? 65520.0 : kF32Max + std::ldexp(1.0, 103);
  std::vector<S> in;
  for (f64 v : values) {
    if (v != -7.0) in.push_back(from_f64<S>(v));
  }
  const ScalarMap<S, T> unmatched_map = {{from_f64<S>(-7.0), T{}}};
  for (const ScalarMap<S, T>& map : {ScalarMap<S, T>{}, unmatched_map}) {
    for (auto mode : kRoundingModes) {
      std::vector<T> out(in.size());
      ASSERT_TRUE((convert_slice_float_to_float<S, T>(in, out, config_of<S, T>(mode, Clamp, map))));
      for (std::size_t i = 0; i < in.size(); ++i) {
        const f64 x = to_f64(in[i]);
        if (std::isnan(x)) {
          ASSERT_TRUE(is_nan(out[i]));
          continue;
        }
        ASSERT_EQ(to_f64(out[i]), reference_rounding<T>(x, mode, overflow_tie))
            << dtype_key_of<S> << " " << std::hexfloat << x << " mode "
            << static_cast<int>(mode) << (map.empty() ? "" : ", with a map");
        ASSERT_EQ(std::signbit(to_f64(out[i])), std::signbit(x));
      }
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

// f64 values where rounding to binary16 is decided: each binary16 midpoint,
// and points within and beyond half an f32 unit on either side of it (where
// a rounding by way of f32 would land on the midpoint); each binary16 value
// and its f64 neighbours; the overflow tie; f64 subnormals, huge values,
// infinities and NaNs with payloads.
std::vector<f64> f16_rounding_edges() {
  std::vector<f64> values = {0.0, -0.0, std::ldexp(1.0, -1074), -std::ldexp(1.0, -1022), 1e300,
                             -1e300, kInf, -kInf, kNaN, std::bit_cast<f64>(0xfff4'0000'0000'0001u),
                             std::bit_cast<f64>(0x7ff0'0000'0000'0001u), 65520.0,
                             std::nextafter(65520.0, 0.0), -std::nextafter(65520.0, kInf),
                             65520.0 - 0x1p-9, -(65520.0 - 0x1p-10), 65520.0 - 0x1p-30};
  for (u32 b = 0; b < 0x7bff; ++b) {
    const f64 v = f16_value(static_cast<u16>(b));
    const f64 next = f16_value(static_cast<u16>(b + 1));
    const f64 unit = next - v;
    const f64 mid = v + unit / 2;
    for (f64 point : {v, std::nextafter(v, kInf), mid, std::nextafter(mid, 0.0),
                      std::nextafter(mid, kInf), mid + unit * 0x1p-14, mid - unit * 0x1p-14,
                      mid + unit * 0x1p-15, mid - unit * 0x1p-20, mid + unit * 0x1p-40}) {
      values.push_back(point);
      values.push_back(-point);
    }
  }
  return values;
}

TEST(FloatToFloat, NarrowingsGiveTheIeeeResult) {
  std::vector<f64> to_f32_values = varied_values(kF32Max);
  for (f64 v : {std::ldexp(1.0, -150), std::ldexp(3.0, -151), 1e-46, -1e-46}) {
    to_f32_values.push_back(v);
  }
  expect_ieee_results<f64, f32>(to_f32_values);
  expect_ieee_results<f32, f16>(varied_values(65504));
  expect_ieee_results<f64, f16>(varied_values(65504));
  expect_ieee_results<f64, f16>(f16_rounding_edges());
}

constexpr f64 kUnmatched = 1234.25;

// Values that no mode takes beyond the range of T.
template <FloatElement S, FloatElement T>
std::vector<S> in_range_values() {
  const f64 largest = std::same_as<T, f16> ? 65504 : kF32Max;
  std::vector<S> values;
  for (f64 v : varied_values(largest)) {
    if (std::fabs(v) <= largest && v != kUnmatched) values.push_back(from_f64<S>(v));
  }
  return values;
}

// Copies of `clean` with one `intruder` in each block from the third on, at
// a place that moves from block to block.
template <FloatElement S>
std::vector<S> with_intruders(std::vector<S> clean, S intruder) {
  constexpr std::size_t kBlock = block::kElements;
  for (std::size_t base = 2 * kBlock; base < clean.size(); base += kBlock) {
    clean[std::min(clean.size() - 1, base + (base / kBlock * 37) % kBlock)] = intruder;
  }
  return clean;
}

// Clean blocks, blocks with one infinity, NaN or overflowing element each,
// and a mix of everything, under every pair of modes.
template <FloatElement S, FloatElement T>
void expect_fast_paths_for_pair() {
  const f64 largest = std::same_as<T, f16> ? 65504 : kF32Max;
  const std::vector<S> clean = in_range_values<S, T>();
  std::vector<std::vector<S>> inputs = {clean};
  for (f64 intruder : {kInf, -kInf, kNaN, -kNaN, largest * 1.01, -largest * 1.01,
                       std::nextafter(largest, kInf)}) {
    inputs.push_back(with_intruders(clean, from_f64<S>(intruder)));
  }
  std::vector<S> mixed;
  for (f64 v : varied_values(largest)) {
    if (v != kUnmatched) mixed.push_back(from_f64<S>(v));
  }
  mixed.insert(mixed.begin() + 100, from_f64<S>(kInf));
  mixed.insert(mixed.begin() + 200, from_f64<S>(kNaN));
  inputs.push_back(mixed);
  if constexpr (std::same_as<S, f64> && std::same_as<T, f16>) {
    inputs.push_back(f16_rounding_edges());
  }
  for (const std::vector<S>& input : inputs) {
    for (auto rounding : kRoundingModes) {
      for (auto mode : kOutOfRangeModes) {
        expect_fast_path_matches_frame<S, T>(input, from_f64<S>(kUnmatched), rounding, mode);
      }
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

#include <gtest/gtest.h>

#include "type_lists.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "float_kernel_test_support.hpp"
#include "prandel/prandel.hpp"
#include "variant_test_support.hpp"

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
  ASSERT_TRUE((convert_slice<f16, f16>(nans, out, config_of<f16, f16>(NE, Unset))));
  for (std::size_t i = 0; i < nans.size(); ++i) EXPECT_EQ(out[i].bits, nans[i].bits);
  EXPECT_EQ((convert_one<f16, f16>(f16{0xfd55}, NE, Unset, {{f16{0x7e00}, h(0.0)}})), "0");
  EXPECT_EQ((convert_one<f64, f32>(-kNaN, NE, Unset, {{kNaN, 1.0f}, {kNaN, 2.0f}})), "1");
  EXPECT_EQ((convert_one<f64, f32>(-0.0, NE, Unset, {{0.0, 7.0f}})), "7");
  EXPECT_EQ((convert_one<f64, f32>(1e300, NE, Unset, {{1e300, 2.5f}})), "2.5");
  const f64 payload_nan = std::bit_cast<f64>(0xfff0'0000'0000'0123u);
  std::vector<f64> same = {1.5, payload_nan, -0.0};
  ASSERT_TRUE((convert_slice<f64, f64>(same, same, config_of<f64, f64>(NE, Unset))));
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
  const CastResult result = convert_slice<S, T>(in, out, config_of<S, T>(mode, Wrap, map));
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
  ASSERT_TRUE((convert_slice<f64, f32>(in, out, config_of<f64, f32>(NE, Clamp))));
  EXPECT_EQ(out[1], std::numeric_limits<f32>::infinity());
  ASSERT_FALSE((convert_slice<f64, f32>(in, out, config_of<f64, f32>(NE, Wrap))));
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
    if (std::isinf(x)) return {of(static_cast<f32>(x)), of(static_cast<f32>(x))};
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

// The element rule under every mode against reference_rounding: the result
// under Clamp, and under Unset (Wrap alike) an OutOfRange error exactly for
// the finite values whose result is an infinity.
template <FloatElement S, FloatElement T>
void expect_ieee_results(const std::vector<f64>& values) {
  const f64 overflow_tie = std::same_as<T, f16> ? 65520.0 : kF32Max + std::ldexp(1.0, 103);
  const f64 largest = std::same_as<T, f16> ? 65504.0 : kF32Max;
  for (f64 value : values) {
    const S x = from_f64<S>(value);
    const f64 xd = to_f64(x);
    for (auto mode : kRoundingModes) {
      const ElementResult<T> clamped = float_to_float_element<T>(x, mode, Clamp);
      const ElementResult<T> checked = float_to_float_element<T>(x, mode, Unset);
      ASSERT_TRUE(clamped);
      if (std::isnan(xd)) {
        ASSERT_TRUE(is_nan(*clamped) && checked && is_nan(*checked));
        continue;
      }
      const f64 expected = reference_rounding<T>(xd, mode, overflow_tie);
      const auto context = [&] {
        std::ostringstream os;
        os << dtype_key_of<S> << " -> " << dtype_key_of<T> << " " << std::hexfloat << xd << " mode "
           << static_cast<int>(mode);
        return os.str();
      };
      ASSERT_EQ(to_f64(*clamped), expected) << context();
      ASSERT_EQ(std::signbit(to_f64(*clamped)), std::signbit(xd)) << context();
      if (std::isinf(expected) && !std::isinf(xd)) {
        ASSERT_FALSE(checked) << context();
        ASSERT_EQ(to_string(checked.error()), range_error(xd, -largest, largest)) << context();
      } else {
        ASSERT_TRUE(checked) << context();
        ASSERT_EQ(std::memcmp(&*checked, &*clamped, sizeof(T)), 0) << context();
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

TEST(FloatToFloat, ElementRuleGivesTheIeeeResult) {
  std::vector<f64> to_f32_values = varied_values(kF32Max);
  for (f64 v : {std::ldexp(1.0, -150), std::ldexp(3.0, -151), 1e-46, -1e-46, kF32Max, 0x1.ffffffp127,
                std::nextafter(0x1.ffffffp127, 0.0), std::nextafter(kF32Max, kInf), kInf, -kInf, kNaN}) {
    to_f32_values.push_back(v);
    to_f32_values.push_back(-v);
  }
  expect_ieee_results<f64, f32>(to_f32_values);
  expect_ieee_results<f32, f16>(varied_values(65504));
  expect_ieee_results<f64, f16>(varied_values(65504));
  expect_ieee_results<f64, f16>(f16_rounding_edges());
}

// Converted NaNs are quiet and keep their sign and top payload bits;
// identities keep every bit.
TEST(FloatToFloat, NaNPatternsInEveryVariant) {
  const std::vector<f64> f64_nans = {std::bit_cast<f64>(0x7ff0'0000'0000'0001u),
                                     std::bit_cast<f64>(0xfff4'0000'0000'0001u),
                                     std::bit_cast<f64>(0x7ffa'aaaa'aaaa'aaaau)};
  const std::vector<f32> f32_nans = {std::bit_cast<f32>(0x7f80'0001u), std::bit_cast<f32>(0xffa0'0000u)};
  const std::vector<f16> f16_nans = {f16{0x7c01}, f16{0xfd55}};
  for_each_supported_isa([&](Isa isa) {
    const auto run = [&]<class S, class T>(const std::vector<S>& in) {
      std::vector<T> out(in.size());
      EXPECT_TRUE((convert_slice_on<S, T>(isa, in, out, config_of<S, T>(RoundingMode::TowardsZero, Unset))));
      std::vector<typename FloatBits<T>::Bits> bits;
      for (T v : out) bits.push_back(FloatBits<T>::to_bits(v));
      return bits;
    };
    using V16 = std::vector<u16>;
    using V32 = std::vector<u32>;
    using V64 = std::vector<u64>;
    EXPECT_EQ((run.template operator()<f64, f32>(f64_nans)), (V32{0x7fc0'0000u, 0xffe0'0000u, 0x7fd5'5555u}));
    EXPECT_EQ((run.template operator()<f64, f16>(f64_nans)), (V16{0x7e00u, 0xff00u, 0x7eaau}));
    EXPECT_EQ((run.template operator()<f32, f16>(f32_nans)), (V16{0x7e00u, 0xff00u}));
    EXPECT_EQ((run.template operator()<f32, f64>(f32_nans)),
              (V64{0x7ff8'0000'2000'0000u, 0xfffc'0000'0000'0000u}));
    EXPECT_EQ((run.template operator()<f16, f32>(f16_nans)), (V32{0x7fc0'2000u, 0xffea'a000u}));
    EXPECT_EQ((run.template operator()<f16, f64>(f16_nans)),
              (V64{0x7ff8'0400'0000'0000u, 0xfffd'5400'0000'0000u}));
    EXPECT_EQ((run.template operator()<f64, f64>(f64_nans)),
              (V64{0x7ff0'0000'0000'0001u, 0xfff4'0000'0000'0001u, 0x7ffa'aaaa'aaaa'aaaau}));
  });
}

// --- Every variant against the element rule -----------------------------------

template <FloatElement S, FloatElement T>
auto element_rule(const CastConfig<S, T>& config) {
  return [&config](InputSlice<S> in, OutputSlice<T> out) {
    return convert_each(in, out, config.scalar_map, [&](S x) {
      return float_to_float_element<T>(x, config.rounding, config.out_of_range);
    });
  };
}

// The values of `in` the element rule converts without failure under the
// modes: so that a checked mode is held to every edge, not only to those
// before the first overflow.
template <FloatElement S, FloatElement T>
std::vector<S> without_failures(const std::vector<S>& in, const CastConfig<S, T>& config) {
  std::vector<S> kept;
  for (S x : in) {
    if (float_to_float_element<T>(x, config.rounding, config.out_of_range)) kept.push_back(x);
  }
  return kept;
}

// Values where the pair's results are decided, as S: every binary16 pattern
// from binary16; around every binary16 value and midpoint (and, from f64,
// around f32 values and midpoints across the range); subnormals; the
// overflow thresholds of every mode and their neighbours; infinities, NaNs
// with payloads, both zeros.
template <FloatElement S, FloatElement T>
std::vector<S> edge_values() {
  if constexpr (std::same_as<S, f16>) {
    std::vector<f16> all;
    for (u32 b = 0; b < 0x10000; ++b) all.push_back(f16{static_cast<u16>(b)});
    return all;
  } else {
    std::vector<f64> values = {0.0, kInf, kNaN, 65504, 65520, 0x1p-14, 0x1p-24, 0x1p-25, 0x1.8p-25,
                               kF32Max, 0x1.ffffffp127, 0x1p128, 0x1p-126, 0x1p-149, 0x1p-150, 0x1.8p-150,
                               0x1p-1074, 0x1p-1022, 1e300, std::numeric_limits<f64>::max()};
    for (f64 v : std::vector<f64>(values)) {
      for (f64 to : {0.0, kInf}) {
        values.push_back(std::nextafter(v, to));
        values.push_back(static_cast<f64>(std::nextafter(static_cast<f32>(v), static_cast<f32>(to))));
      }
    }
    if constexpr (std::same_as<S, f32>) {
      for (u32 b = 0; b < 0x7c00; ++b) {
        const f64 v = f16_value(static_cast<u16>(b));
        const f64 mid = v + (f16_value(static_cast<u16>(b + 1)) - v) / 2;
        for (f64 point : {v, mid}) {
          values.push_back(point);
          values.push_back(std::nextafter(static_cast<f32>(point), 0.0f));
          values.push_back(std::nextafter(static_cast<f32>(point), kInf));
        }
      }
    } else {
      std::mt19937_64 rng(29);
      for (int i = 0; i < 10000; ++i) {
        const f32 v = std::bit_cast<f32>(static_cast<u32>(rng() % 0x7f80'0000u));
        const f64 mid = (static_cast<f64>(v) + std::nextafter(v, std::numeric_limits<f32>::infinity())) / 2;
        for (f64 point : {static_cast<f64>(v), mid, std::nextafter(mid, 0.0), std::nextafter(mid, kInf)}) {
          values.push_back(point);
        }
      }
    }
    std::vector<S> out;
    for (f64 v : values) {
      out.push_back(from_f64<S>(v));
      out.push_back(from_f64<S>(-v));
    }
    if constexpr (std::same_as<S, f64>) {
      for (f64 v : f16_rounding_edges()) out.push_back(v);
    }
    out.push_back(std::bit_cast<S>(static_cast<typename FloatBits<S>::Bits>(FloatBits<S>::kInfinity | 1)));
    out.push_back(std::bit_cast<S>(static_cast<typename FloatBits<S>::Bits>(~typename FloatBits<S>::Bits{0})));
    return out;
  }
}

// Random patterns over the whole range (NaNs and infinities included), and
// magnitudes spread over T's range.
template <FloatElement S, FloatElement T>
std::vector<S> random_values(std::size_t n) {
  using Bits = typename FloatBits<S>::Bits;
  std::mt19937_64 rng(n);
  std::vector<S> out;
  for (std::size_t i = 0; i < n; ++i) out.push_back(FloatBits<S>::from_bits(static_cast<Bits>(rng())));
  for (f64 v : varied_values(std::same_as<T, f16> ? 65504.0 : kF32Max)) out.push_back(from_f64<S>(v));
  std::shuffle(out.begin(), out.end(), rng);
  return out;
}

// In-range data of `length` elements with one `intruder` per block from the
// second on, at a place that moves from block to block.
template <FloatElement S>
std::vector<S> with_intruders(std::size_t length, S intruder) {
  std::mt19937_64 rng(length);
  std::uniform_real_distribution<f64> unit(-60000.0, 60000.0);
  std::vector<S> data;
  for (std::size_t i = 0; i < length; ++i) data.push_back(from_f64<S>(unit(rng)));
  constexpr std::size_t kBlock = block::kElements;
  for (std::size_t base = kBlock; base < length; base += kBlock) {
    data[std::min(length - 1, base + (base / kBlock * 37) % kBlock)] = intruder;
  }
  return data;
}

template <FloatElement S, FloatElement T>
void expect_every_variant_on(const std::vector<S>& input, const CastConfig<S, T>& config) {
  for_each_supported_isa([&](Isa isa) { expect_variant_matches_reference(isa, input, config, element_rule(config)); });
}

// Every rounding and out-of-range mode: the whole input, and for the modes
// that fail, the input without the elements that fail.
template <FloatElement S, FloatElement T>
void expect_every_mode_on(const std::vector<S>& input, ScalarMap<S, T> map = {}) {
  for (auto rounding : kRoundingModes) {
    for (auto out_of_range : kOutOfRangeModes) {
      SCOPED_TRACE(std::string("rounding ") + std::to_string(static_cast<int>(rounding)) + ", out-of-range " +
                   std::to_string(static_cast<int>(out_of_range)) + ", " + std::to_string(input.size()) +
                   " elements");
      const CastConfig<S, T> config = config_of<S, T>(rounding, out_of_range, map);
      expect_every_variant_on(input, config);
      if (float_overflow_fails(out_of_range)) expect_every_variant_on(without_failures(input, config), config);
    }
  }
}

template <FloatElement S, FloatElement T>
void expect_variants_on_blocks() {
  const f64 largest = std::same_as<T, f16> ? 65504.0 : kF32Max;
  const f64 tie = std::same_as<T, f16> ? 65520.0 : 0x1.ffffffp127;
  expect_every_mode_on<S, T>(edge_values<S, T>());
  expect_every_mode_on<S, T>(random_values<S, T>(3000));
  std::vector<f64> intruders = {kInf, -kInf, kNaN, 1e300};
  if constexpr (float_to_float_narrows<S, T>) {
    for (f64 v : {largest, tie}) {
      for (f64 to : {0.0, kInf}) intruders.push_back(static_cast<f64>(std::nextafter(from_f64<S>(v), from_f64<S>(to))));
      intruders.push_back(v);
    }
  }
  for (f64 intruder : intruders) {
    for (std::size_t length : {std::size_t{1000}, std::size_t{2 * 256 + 17}}) {
      expect_every_mode_on<S, T>(with_intruders(length, from_f64<S>(intruder)));
      expect_every_mode_on<S, T>(with_intruders(length, from_f64<S>(-intruder)));
    }
  }
}

TEST(FloatToFloat, EveryVariantMatchesTheElementRule) {
  using namespace testing_types;
  for_each_pair(FloatTypes{}, FloatTypes{}, []<class S, class T>() {
    expect_variants_on_blocks<S, T>();
  });
}

// An overflow at lanes across a block (at and beside 64- and 128-element
// edges), after infinities (which do not fail) just before it and in
// earlier blocks: every output byte is the element rule's, so nothing at or
// after the overflow may be written. Maps of no, one and nine entries (the
// hashed frame) around it.
template <FloatElement S, FloatElement T>
void expect_overflow_positions() {
  const f64 huge = std::same_as<T, f16> ? 1e6 : 1e39;
  for (const std::size_t at : {256u, 256u + 63, 256u + 64, 256u + 127, 256u + 128, 256u + 255, 700u}) {
    for (auto rounding : {RoundingMode::NearestEven, RoundingMode::NearestAway, RoundingMode::TowardsPositive,
                          RoundingMode::TowardsNegative}) {
      const f64 sign = rounding == RoundingMode::TowardsNegative ? -1.0 : 1.0;
      std::vector<S> input(1100);
      for (std::size_t i = 0; i < input.size(); ++i) input[i] = from_f64<S>(1.5 + static_cast<f64>(i % 50));
      input[5] = from_f64<S>(kInf);
      input[300] = from_f64<S>(-kInf);
      input[at - 1] = from_f64<S>(sign * kInf);
      input[at] = from_f64<S>(sign * huge);
      for (const std::size_t entries : {0u, 1u, 9u}) {
        ScalarMap<S, T> map;
        for (std::size_t e = 0; e < entries; ++e) {
          map.push_back({from_f64<S>(e == 0 ? 3.5 : 60.0 + static_cast<f64>(e)), from_f64<T>(static_cast<f64>(e))});
        }
        const CastConfig<S, T> config = config_of<S, T>(rounding, Unset, map);
        SCOPED_TRACE("overflow at " + std::to_string(at) + ", rounding " +
                     std::to_string(static_cast<int>(rounding)) + ", entries " + std::to_string(entries));
        expect_every_variant_on(input, config);
      }
    }
  }
}

TEST(FloatToFloat, OverflowAnywhereInABlockWritesExactlyTheElementsBefore) {
  expect_overflow_positions<f64, f32>();
  expect_overflow_positions<f64, f16>();
  expect_overflow_positions<f32, f16>();
}

// Slices large enough that each staged block asks for the next one's input
// ahead, the last request past the slice's end; an overflow near the end.
template <FloatElement S, FloatElement T>
void expect_large_slice_matches_rule() {
  const std::size_t n = float_to_float_detail::kReadAheadBytes / sizeof(S) + 1000;
  std::vector<S> input(n);
  for (std::size_t i = 0; i < n; ++i) input[i] = from_f64<S>(static_cast<f64>(i % 5000) * 0.37 - 900.0);
  for (auto rounding : {RoundingMode::NearestEven, RoundingMode::NearestAway}) {
    SCOPED_TRACE("rounding " + std::to_string(static_cast<int>(rounding)));
    expect_every_variant_on(input, config_of<S, T>(rounding, Unset));
    std::vector<S> failing = input;
    failing[n - 300] = from_f64<S>(1e6);
    expect_every_variant_on(failing, config_of<S, T>(rounding, Unset));
  }
}

TEST(FloatToFloat, LargeSlicesMatchTheElementRule) {
  expect_large_slice_matches_rule<f64, f16>();
  expect_large_slice_matches_rule<f32, f16>();
}

// Map entries hit NaNs of any payload, both zeros, and values that would
// fail or round; a hit block still converts its other elements by the rule.
template <FloatElement S, FloatElement T>
void expect_variants_with_map_hits() {
  const f64 huge = std::same_as<T, f16> ? 1e5 : 1e39;
  std::vector<S> input = random_values<S, T>(1500);
  std::mt19937_64 rng(5);
  const std::vector<f64> keys = {kNaN, -0.0, huge, -huge, 1.5, kInf};
  for (S& x : input) {
    if (rng() % 8 == 0) x = from_f64<S>(keys[rng() % keys.size()]);
  }
  input[0] = std::bit_cast<S>(static_cast<typename FloatBits<S>::Bits>(FloatBits<S>::kInfinity | 3));
  const std::vector<ScalarMap<S, T>> maps = {
      {{from_f64<S>(kNaN), from_f64<T>(7)}},
      {{from_f64<S>(huge), from_f64<T>(1)}},
      {{from_f64<S>(0.0), from_f64<T>(-3)}, {from_f64<S>(kNaN), T{}}},
      {{from_f64<S>(huge), from_f64<T>(1)}, {from_f64<S>(-huge), from_f64<T>(2)}, {from_f64<S>(kNaN), T{}}},
      {{from_f64<S>(1.5), from_f64<T>(1)},
       {from_f64<S>(-0.0), from_f64<T>(2)},
       {from_f64<S>(huge), from_f64<T>(3)},
       {from_f64<S>(-huge), from_f64<T>(4)},
       {from_f64<S>(kInf), from_f64<T>(5)},
       {from_f64<S>(1.5), from_f64<T>(6)},
       {from_f64<S>(kNaN), from_f64<T>(7)},
       {from_f64<S>(-kNaN), from_f64<T>(8)}},
  };
  for (const ScalarMap<S, T>& map : maps) {
    expect_every_mode_on<S, T>(input, map);
    // Failures only where the map misses: the huge keys go, the rest stay.
    std::vector<S> mapped_only;
    for (S x : input) {
      if (lookup_scalar_map(map, x) != nullptr || std::fabs(to_f64(x)) < 1000) mapped_only.push_back(x);
    }
    expect_every_mode_on<S, T>(mapped_only, map);
  }
}

TEST(FloatToFloat, EveryVariantMatchesTheElementRuleWithMapHits) {
  using namespace testing_types;
  for_each_pair(FloatTypes{}, FloatTypes{}, []<class S, class T>() {
    expect_variants_with_map_hits<S, T>();
  });
}

// Slices at every byte offset within an element, in and out: the results of
// aligned memory.
template <FloatElement S, FloatElement T>
void expect_misaligned_slices_agree() {
  const std::vector<S> input = random_values<S, T>(700);
  for (auto rounding : kRoundingModes) {
    const CastConfig<S, T> config = config_of<S, T>(rounding, Clamp);
    std::vector<T> expected(input.size());
    ASSERT_TRUE((convert_slice_on<S, T>(Isa::Baseline, input, expected, config)));
    for_each_supported_isa([&](Isa isa) {
      for (std::size_t offset = 1; offset < std::max(sizeof(S), sizeof(T)); ++offset) {
        std::vector<std::byte> in_bytes(input.size() * sizeof(S) + offset);
        std::vector<std::byte> out_bytes(input.size() * sizeof(T) + offset);
        std::memcpy(in_bytes.data() + offset % sizeof(S), input.data(), input.size() * sizeof(S));
        ASSERT_TRUE((convert_slice_on<S, T>(isa, InputSlice<S>(in_bytes.data() + offset % sizeof(S), input.size()),
                                            OutputSlice<T>(out_bytes.data() + offset % sizeof(T), input.size()),
                                            config)));
        EXPECT_EQ(std::memcmp(out_bytes.data() + offset % sizeof(T), expected.data(), expected.size() * sizeof(T)), 0)
            << "offset " << offset << ", rounding " << static_cast<int>(rounding);
      }
    });
  }
}

TEST(FloatToFloat, MisalignedSlices) {
  using namespace testing_types;
  for_each_pair(FloatTypes{}, FloatTypes{}, []<class S, class T>() {
    expect_misaligned_slices_agree<S, T>();
  });
}

}  // namespace
}  // namespace prandel::test

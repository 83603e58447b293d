#include <gtest/gtest.h>

#include "type_lists.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "float_kernel_test_support.hpp"
#include "prandel/float_to_int.hpp"

namespace prandel::test {
namespace {

constexpr f64 kInf = std::numeric_limits<f64>::infinity();
constexpr f64 kNaN = std::numeric_limits<f64>::quiet_NaN();
constexpr f64 k2p31 = 2147483648.0;
constexpr f64 k2p32 = 4294967296.0;
constexpr f64 k2p63 = 9223372036854775808.0;
constexpr f64 k2p64 = 18446744073709551616.0;

constexpr auto NE = RoundingMode::NearestEven;
constexpr auto Unset = OutOfRangeMode::Unset;
constexpr auto Clamp = OutOfRangeMode::Clamp;
constexpr auto Wrap = OutOfRangeMode::Wrap;

// The f32 and f64 bounds are constant expressions.
static_assert(float_to_int_bounds<f32, i32>().upper == 2147483648.0f);
static_assert(float_to_int_bounds<f64, i64>().span == 18446744073709551616.0);

// --- Bounds of all 24 pairs --------------------------------------------------

struct BoundsRow {
  const char* pair;
  std::function<std::array<f64, 3>()> bounds;
  std::array<f64, 3> expected;  // lower, upper, span
};

template <FloatElement F, IntElement I>
std::function<std::array<f64, 3>()> bounds_of() {
  return [] {
    const FloatToIntBounds<F> b = float_to_int_bounds<F, I>();
    return std::array<f64, 3>{to_f64(b.lower), to_f64(b.upper), to_f64(b.span)};
  };
}

TEST(FloatToIntBounds, AllPairsMatchTheTable) {
  const std::vector<BoundsRow> rows = {
      {"f64 i8", bounds_of<f64, i8>(), {-128, 127, 256}},
      {"f64 u8", bounds_of<f64, u8>(), {0, 255, 256}},
      {"f64 i16", bounds_of<f64, i16>(), {-32768, 32767, 65536}},
      {"f64 u16", bounds_of<f64, u16>(), {0, 65535, 65536}},
      {"f64 i32", bounds_of<f64, i32>(), {-k2p31, 2147483647, k2p32}},
      {"f64 u32", bounds_of<f64, u32>(), {0, 4294967295, k2p32}},
      {"f64 i64", bounds_of<f64, i64>(), {-k2p63, k2p63, k2p64}},
      {"f64 u64", bounds_of<f64, u64>(), {0, k2p64, k2p64}},
      {"f32 i8", bounds_of<f32, i8>(), {-128, 127, 256}},
      {"f32 u8", bounds_of<f32, u8>(), {0, 255, 256}},
      {"f32 i16", bounds_of<f32, i16>(), {-32768, 32767, 65536}},
      {"f32 u16", bounds_of<f32, u16>(), {0, 65535, 65536}},
      {"f32 i32", bounds_of<f32, i32>(), {-k2p31, k2p31, k2p32}},
      {"f32 u32", bounds_of<f32, u32>(), {0, k2p32, k2p32}},
      {"f32 i64", bounds_of<f32, i64>(), {-k2p63, k2p63, k2p64}},
      {"f32 u64", bounds_of<f32, u64>(), {0, k2p64, k2p64}},
      {"f16 i8", bounds_of<f16, i8>(), {-128, 127, 256}},
      {"f16 u8", bounds_of<f16, u8>(), {0, 255, 256}},
      {"f16 i16", bounds_of<f16, i16>(), {-32768, 32768, kInf}},
      {"f16 u16", bounds_of<f16, u16>(), {0, kInf, kInf}},
      {"f16 i32", bounds_of<f16, i32>(), {-kInf, kInf, kInf}},
      {"f16 u32", bounds_of<f16, u32>(), {0, kInf, kInf}},
      {"f16 i64", bounds_of<f16, i64>(), {-kInf, kInf, kInf}},
      {"f16 u64", bounds_of<f16, u64>(), {0, kInf, kInf}},
  };
  for (const BoundsRow& row : rows) EXPECT_EQ(row.bounds(), row.expected) << row.pair;
}

// --- Element rule under all modes --------------------------------------------

TEST(FloatToInt, EdgeCasesUnderEveryRoundingMode) {
  const std::string nan_error = "Cannot cast NaN to integer type without scalar_map";
  const std::string i32_inf_error = range_error(kInf, -k2p31, 2147483647);
  const std::vector<ModeRow> rows = {
      {"f64 2.5 to i32", element<f64, i32>(2.5), Unset, {"2", "2", "3", "2", "3"}},
      {"f64 -2.5 to i32", element<f64, i32>(-2.5), Unset, {"-2", "-2", "-2", "-3", "-3"}},
      {"f16 2.5 to i8", element<f16, i8>(h(2.5)), Unset, {"2", "2", "3", "2", "3"}},
      {"f16 -2.5 to i8", element<f16, i8>(h(-2.5)), Unset, {"-2", "-2", "-2", "-3", "-3"}},
      // Ties away from zero, exactly: no sum is rounded on the way.
      {"f64 0.49999999999999994", element<f64, i8>(0.49999999999999994), Unset,
       {"0", "0", "1", "0", "0"}},
      {"f64 2^52 + 1", element<f64, i64>(4503599627370497.0), Unset,
       {"4503599627370497", "4503599627370497", "4503599627370497", "4503599627370497",
        "4503599627370497"}},
      {"f32 0.49999997", element<f32, i8>(0.49999997f), Unset, {"0", "0", "1", "0", "0"}},
      {"f32 2^23 + 1", element<f32, i32>(8388609.0f), Unset,
       {"8388609", "8388609", "8388609", "8388609", "8388609"}},
      {"f16 0.5 - 2^-12", element<f16, i8>(h(0.499755859375)), Unset, {"0", "0", "1", "0", "0"}},
      {"f64 NaN, Unset", element<f64, i32>(kNaN), Unset,
       {nan_error, nan_error, nan_error, nan_error, nan_error}},
      {"f32 NaN, Clamp", element<f32, u8>(std::numeric_limits<f32>::quiet_NaN()), Clamp,
       {nan_error, nan_error, nan_error, nan_error, nan_error}},
      {"f16 NaN, Wrap", element<f16, i64>(f16{0x7e00}), Wrap,
       {nan_error, nan_error, nan_error, nan_error, nan_error}},
      {"f64 300 to u8, Unset", element<f64, u8>(300.0), Unset,
       {"Value 300 out of range [0, 255]. Set out_of_range='clamp' or out_of_range='wrap' to "
        "handle this.",
        range_error(300, 0, 255), range_error(300, 0, 255), range_error(300, 0, 255),
        range_error(300, 0, 255)}},
      {"f64 300 to u8, Clamp", element<f64, u8>(300.0), Clamp, {"255", "255", "255", "255", "255"}},
      {"f64 300 to u8, Wrap", element<f64, u8>(300.0), Wrap, {"44", "44", "44", "44", "44"}},
      {"f64 -1 to u8, Clamp", element<f64, u8>(-1.0), Clamp, {"0", "0", "0", "0", "0"}},
      {"f64 -1 to u8, Wrap", element<f64, u8>(-1.0), Wrap, {"255", "255", "255", "255", "255"}},
      {"f64 200 to i8, Wrap", element<f64, i8>(200.0), Wrap, {"-56", "-56", "-56", "-56", "-56"}},
      {"f64 -129 to i8, Wrap", element<f64, i8>(-129.0), Wrap, {"127", "127", "127", "127", "127"}},
      // The error carries the rounded value.
      {"f64 255.5 to u8", element<f64, u8>(255.5), Unset,
       {range_error(256, 0, 255), "255", range_error(256, 0, 255), "255", range_error(256, 0, 255)}},
      // -0.0 is not below a bound of 0.
      {"f64 -0.4 to u8", element<f64, u8>(-0.4), Unset,
       {"0", "0", "0", range_error(-1, 0, 255), "0"}},
      {"f64 inf to i32, Unset", element<f64, i32>(kInf), Unset,
       {i32_inf_error, i32_inf_error, i32_inf_error, i32_inf_error, i32_inf_error}},
      {"f64 inf to i32, Clamp", element<f64, i32>(kInf), Clamp,
       {"2147483647", "2147483647", "2147483647", "2147483647", "2147483647"}},
      {"f64 -inf to i32, Clamp", element<f64, i32>(-kInf), Clamp,
       {"-2147483648", "-2147483648", "-2147483648", "-2147483648", "-2147483648"}},
      {"f64 inf to i32, Wrap", element<f64, i32>(kInf), Wrap,
       {"Cannot cast inf to integer type without scalar_map", non_finite_error(kInf),
        non_finite_error(kInf), non_finite_error(kInf), non_finite_error(kInf)}},
      // H lies above the maximum; a rounded value equal to H stores it.
      {"f32 2^31 to i32", element<f32, i32>(2147483648.0f), Unset,
       {"2147483647", "2147483647", "2147483647", "2147483647", "2147483647"}},
      {"f32 2^31 + 256 to i32", element<f32, i32>(2147483904.0f), Unset,
       {range_error(2147483904.0, -k2p31, k2p31), range_error(2147483904.0, -k2p31, k2p31),
        range_error(2147483904.0, -k2p31, k2p31), range_error(2147483904.0, -k2p31, k2p31),
        range_error(2147483904.0, -k2p31, k2p31)}},
      // d = 4294967552 rounds to 2^32 in f32, so the remainder is 0.
      {"f32 2^31 + 256 to i32, Wrap", element<f32, i32>(2147483904.0f), Wrap,
       {"-2147483648", "-2147483648", "-2147483648", "-2147483648", "-2147483648"}},
      {"f64 2^63 to i64", element<f64, i64>(k2p63), Unset,
       {"9223372036854775807", "9223372036854775807", "9223372036854775807",
        "9223372036854775807", "9223372036854775807"}},
      {"f64 2^64 to u64", element<f64, u64>(k2p64), Unset,
       {"18446744073709551615", "18446744073709551615", "18446744073709551615",
        "18446744073709551615", "18446744073709551615"}},
      // Binary16: infinite bounds.
      {"f16 inf to i32", element<f16, i32>(h(kInf)), Unset,
       {"2147483647", "2147483647", "2147483647", "2147483647", "2147483647"}},
      {"f16 inf to u16", element<f16, u16>(h(kInf)), Unset,
       {"65535", "65535", "65535", "65535", "65535"}},
      {"f16 -inf to i64", element<f16, i64>(h(-kInf)), Unset,
       {"-9223372036854775808", "-9223372036854775808", "-9223372036854775808",
        "-9223372036854775808", "-9223372036854775808"}},
      {"f16 -inf to u16", element<f16, u16>(h(-kInf)), Unset,
       {"Value -inf out of range [0, inf]. Set out_of_range='clamp' or out_of_range='wrap' to "
        "handle this.",
        range_error(-kInf, 0, kInf), range_error(-kInf, 0, kInf), range_error(-kInf, 0, kInf),
        range_error(-kInf, 0, kInf)}},
      {"f16 inf to u64, Wrap", element<f16, u64>(h(kInf)), Wrap,
       {non_finite_error(kInf), non_finite_error(kInf), non_finite_error(kInf),
        non_finite_error(kInf), non_finite_error(kInf)}},
      // Binary16 wrap with an infinite span.
      {"f16 -1 to u16, Wrap", element<f16, u16>(h(-1)), Wrap,
       {"65535", "65535", "65535", "65535", "65535"}},
      {"f16 -2 to u32, Wrap", element<f16, u32>(h(-2)), Wrap,
       {"4294967295", "4294967295", "4294967295", "4294967295", "4294967295"}},
      {"f16 -1 to u64, Wrap", element<f16, u64>(h(-1)), Wrap,
       {"18446744073709551615", "18446744073709551615", "18446744073709551615",
        "18446744073709551615", "18446744073709551615"}},
      {"f16 32768 to i16", element<f16, i16>(h(32768)), Unset,
       {"32767", "32767", "32767", "32767", "32767"}},
      {"f16 40000 to i16", element<f16, i16>(h(40000)), Unset,
       {range_error(40000, -32768, 32768), range_error(40000, -32768, 32768),
        range_error(40000, -32768, 32768), range_error(40000, -32768, 32768),
        range_error(40000, -32768, 32768)}},
      {"f16 40000 to i16, Clamp", element<f16, i16>(h(40000)), Clamp,
       {"32767", "32767", "32767", "32767", "32767"}},
      {"f16 40000 to i16, Wrap", element<f16, i16>(h(40000)), Wrap, {"0", "0", "0", "0", "0"}},
      {"f16 -40000 to i16, Wrap", element<f16, i16>(h(-40000)), Wrap,
       {"32767", "32767", "32767", "32767", "32767"}},
      {"f16 300 to u8, Wrap", element<f16, u8>(h(300)), Wrap, {"44", "44", "44", "44", "44"}},
      // d = 65632 overflows binary16; 65376 does not.
      {"f16 65504 to i8, Wrap", element<f16, i8>(h(65504)), Wrap, {"0", "0", "0", "0", "0"}},
      {"f16 65376 to i8, Wrap", element<f16, i8>(h(65376)), Wrap, {"96", "96", "96", "96", "96"}},
  };
  expect_rows(rows);
}

// --- Scalar map -----------------------------------------------------------------

TEST(FloatToInt, ScalarMapComesFirst) {
  const f64 other_nan = -std::numeric_limits<f64>::quiet_NaN();
  const ScalarMap<f64, i32> nan_map = {{kNaN, 1}, {kNaN, 2}};
  for (auto mode : kOutOfRangeModes) {
    EXPECT_EQ((convert_one<f64, i32>(other_nan, NE, mode, nan_map)), "1");
    EXPECT_EQ((convert_one<f64, i32>(1e300, NE, mode, {{1e300, 5}})), "5");
    EXPECT_EQ((convert_one<f64, i32>(kInf, NE, mode, {{kInf, 3}})), "3");
  }
  // A NaN entry never matches a number; -0.0 matches +0.0.
  EXPECT_EQ((convert_one<f64, i32>(7.0, NE, Unset, nan_map)), "7");
  EXPECT_EQ((convert_one<f64, i32>(0.0, NE, Unset, {{-0.0, 7}})), "7");
  EXPECT_EQ((convert_one<f16, u8>(f16{0xfe01}, NE, Unset, {{f16{0x7c01}, 9}})), "9");
}

// --- Partial writes ----------------------------------------------------------------

template <FloatElement F>
void expect_partial_write(std::size_t length, std::size_t failing, bool with_map) {
  std::vector<F> in(length, from_f64<F>(3.0));
  in[failing] = from_f64<F>(300.0);
  in[failing + 1] = from_f64<F>(400.0);
  std::vector<u8> out(length + 2, 0xaa);  // longer output: the tail stays too
  ScalarMap<F, u8> map;
  if (with_map) map.push_back({from_f64<F>(-7.0), 1});
  const CastResult result =
      convert_slice_float_to_int<F, u8>(in, out, config_of<F, u8>(NE, Unset, map));
  ASSERT_FALSE(result);
  EXPECT_EQ(to_string(result.error()), range_error(300, 0, 255));
  for (std::size_t i = 0; i < out.size(); ++i) {
    EXPECT_EQ(out[i], i < failing ? 3 : 0xaa) << "index " << i << " of " << length;
  }
}

TEST(FloatToInt, FailureWritesExactlyTheElementsBeforeIt) {
  for (bool with_map : {false, true}) {
    expect_partial_write<f64>(5, 2, with_map);
    expect_partial_write<f32>(1000, 300, with_map);  // inside the second block
    expect_partial_write<f16>(1000, 511, with_map);  // last of a block
    expect_partial_write<f16>(1000, 256, with_map);  // first of a block
  }
}

TEST(FloatToInt, ShorterSideSetsTheLength) {
  const std::vector<f64> in = {1, 2, 3, 4, 5};
  std::vector<i16> out(3, -1);
  ASSERT_TRUE((convert_slice_float_to_int<f64, i16>(in, out, config_of<f64, i16>(NE, Unset))));
  EXPECT_EQ(out, (std::vector<i16>{1, 2, 3}));
  std::vector<i16> longer(7, -1);
  ASSERT_TRUE((convert_slice_float_to_int<f64, i16>(std::vector<f64>{8, 9}, longer,
                                                    config_of<f64, i16>(NE, Unset))));
  EXPECT_EQ(longer, (std::vector<i16>{8, 9, -1, -1, -1, -1, -1}));
}

// --- Wrap against integer arithmetic --------------------------------------------

// While every step is exact, wrapping is two's-complement truncation.
template <IntElement I>
void expect_wrap_is_truncation() {
  std::mt19937_64 rng(7);
  std::uniform_int_distribution<i64> dist(-(i64{1} << 40), i64{1} << 40);
  std::vector<f64> in(2000);
  std::vector<I> expected(in.size());
  for (std::size_t i = 0; i < in.size(); ++i) {
    const i64 v = dist(rng);
    in[i] = static_cast<f64>(v);
    expected[i] = static_cast<I>(v);
  }
  std::vector<I> out(in.size());
  ASSERT_TRUE((convert_slice_float_to_int<f64, I>(in, out, config_of<f64, I>(NE, Wrap))));
  EXPECT_EQ(out, expected) << dtype_key_of<I>;
}

TEST(FloatToInt, WrapMatchesTwosComplementWhileExact) {
  expect_wrap_is_truncation<i8>();
  expect_wrap_is_truncation<u8>();
  expect_wrap_is_truncation<i16>();
  expect_wrap_is_truncation<u16>();
  expect_wrap_is_truncation<i32>();
  expect_wrap_is_truncation<u32>();
}

// --- Fast path against the per-element frame -----------------------------------

// Any value; values inside the range; values inside it that the 64-bit
// targets' vector conversion covers (|x| <= 2^51), so whole blocks take it.
enum class Spread { Any, InRange, Small };

template <FloatElement F, IntElement I>
std::vector<F> varied_input(Spread spread) {
  const FloatToIntBounds<F> b = float_to_int_bounds<F, I>();
  const f64 lo = std::max(to_f64(b.lower), -1e30), hi = std::min(to_f64(b.upper), 1e30);
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<f64> unit(0.0, 1.0);
  std::vector<f64> values;
  // The range's ends, and the ends of the 64-bit targets' fast conversion.
  for (f64 edge : {lo, hi, 0x1p51, -0x1p51}) {
    for (f64 d = -3; d <= 3; d += 0.25) values.push_back(edge + d * std::max(1.0, std::fabs(edge) * 1e-7));
  }
  for (f64 v : {0.0, -0.0, 0.5, -0.5, 1.5, 2.5, -2.5, 1e-40, -1e-300, 1e30, -1e30, kInf, -kInf}) {
    values.push_back(v);
  }
  while (values.size() < 3000) {
    const f64 u = unit(rng);
    values.push_back(lo + (hi - lo) * u);                                    // anywhere in range
    values.push_back(std::round((unit(rng) - 0.5) * 2000) / 2);              // halves
    values.push_back((unit(rng) - 0.5) * std::pow(2.0, unit(rng) * 80));     // any magnitude
  }
  std::shuffle(values.begin(), values.end(), rng);
  std::vector<F> out;
  for (f64 v : values) {
    const F x = from_f64<F>(v);
    const f64 xd = to_f64(x);
    if (is_nan(x) || xd == 1234.25) continue;
    if (spread != Spread::Any && !(xd >= lo + 1 && xd <= hi - 1)) continue;
    if (spread == Spread::Small && !(std::fabs(xd) <= 0x1p51)) continue;
    out.push_back(x);
  }
  return out;
}

template <FloatElement F, IntElement I>
void expect_fast_paths_for_pair() {
  const F unmatched = from_f64<F>(1234.25);
  for (Spread spread : {Spread::Any, Spread::InRange, Spread::Small}) {
    const std::vector<F> input = varied_input<F, I>(spread);
    for (auto rounding : kRoundingModes) {
      for (auto mode : kOutOfRangeModes) {
        expect_fast_path_matches_frame<F, I>(input, unmatched, rounding, mode);
      }
    }
  }
  // One intruder among values the fast conversion takes: the block holding it
  // must be redone, and a failure stops both at the same element.
  const std::vector<F> small = varied_input<F, I>(Spread::Small);
  ASSERT_GT(small.size(), 300u);
  const FloatToIntBounds<F> b = float_to_int_bounds<F, I>();
  std::vector<f64> intruders = {kNaN, kInf, -kInf};
  for (f64 edge : {to_f64(b.lower), to_f64(b.upper), 0x1p22, -0x1p22, 0x1p51, -0x1p51}) {
    for (f64 d : {-1.0, -0.5, 0.0, 0.5, 1.0}) intruders.push_back(edge + d);
  }
  for (f64 v : intruders) {
    std::vector<F> input = small;
    input.insert(input.begin() + static_cast<std::ptrdiff_t>(input.size() / 2), from_f64<F>(v));
    for (auto rounding : kRoundingModes) {
      for (auto mode : kOutOfRangeModes) {
        expect_fast_path_matches_frame<F, I>(input, unmatched, rounding, mode);
      }
    }
  }
}

template <FloatElement F>
void expect_fast_paths_for_source() {
  using namespace testing_types;
  for_each_pair(TypeList<F>{}, IntTypes{}, []<class S, class T>() {
    expect_fast_paths_for_pair<S, T>();
  });
}

TEST(FloatToInt, EmptyMapPathMatchesPerElementFrameF64) { expect_fast_paths_for_source<f64>(); }
TEST(FloatToInt, EmptyMapPathMatchesPerElementFrameF32) { expect_fast_paths_for_source<f32>(); }
TEST(FloatToInt, EmptyMapPathMatchesPerElementFrameF16) { expect_fast_paths_for_source<f16>(); }

}  // namespace
}  // namespace prandel::test

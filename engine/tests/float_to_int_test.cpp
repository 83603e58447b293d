#include "prandel/prandel.hpp"

#include <gtest/gtest.h>

#include "type_lists.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "float_kernel_test_support.hpp"
#include "prandel/mode_dispatch.hpp"
#include "variant_test_support.hpp"
#include "whole_number_reference.hpp"

namespace prandel::test {
namespace {

constexpr f64 kInf = std::numeric_limits<f64>::infinity();
constexpr f64 kNaN = std::numeric_limits<f64>::quiet_NaN();
constexpr f64 k2p31 = 2147483648.0;
constexpr f64 k2p63 = 9223372036854775808.0;
constexpr f64 k2p64 = 18446744073709551616.0;

constexpr auto NE = RoundingMode::NearestEven;
constexpr auto Unset = OutOfRangeMode::Unset;
constexpr auto Clamp = OutOfRangeMode::Clamp;
constexpr auto Wrap = OutOfRangeMode::Wrap;

std::array<std::string, 5> all5(const std::string& s) { return {s, s, s, s, s}; }

// One element through variant `isa`: its result as text, or the error message.
template <FloatElement F, IntElement I>
std::string convert_one_on(Isa isa, F x, RoundingMode rounding, OutOfRangeMode mode,
                           ScalarMap<F, I> map = {}) {
  const std::vector<F> in = {x};
  std::vector<I> out(1);
  const CastResult result =
      convert_slice_on<F, I>(isa, in, out, config_of<F, I>(rounding, mode, std::move(map)));
  return result ? text(out[0]) : to_string(result.error());
}

// A row of the edge table: one element, its results under the five rounding
// modes, which every variant must give.
struct EdgeRow {
  std::string label;
  std::function<std::string(Isa, RoundingMode)> run;
  std::array<std::string, 5> expected;
};

template <FloatElement F, IntElement I>
EdgeRow row(std::string label, F x, OutOfRangeMode mode, std::array<std::string, 5> expected) {
  return {std::move(label),
          [x, mode](Isa isa, RoundingMode rounding) {
            return convert_one_on<F, I>(isa, x, rounding, mode);
          },
          std::move(expected)};
}

// --- The element rule at its edges --------------------------------------------

TEST(FloatToInt, EdgeCasesUnderEveryRoundingMode) {
  const std::string nan_error = "Cannot cast NaN to integer type without scalar_map";
  const std::string i32_inf_error = range_error(kInf, -k2p31, 2147483647);
  const std::vector<EdgeRow> rows = {
      row<f64, i32>("f64 2.5 to i32", 2.5, Unset, {"2", "2", "3", "2", "3"}),
      row<f64, i32>("f64 -2.5 to i32", -2.5, Unset, {"-2", "-2", "-2", "-3", "-3"}),
      row<f16, i8>("f16 2.5 to i8", h(2.5), Unset, {"2", "2", "3", "2", "3"}),
      row<f16, i8>("f16 -2.5 to i8", h(-2.5), Unset, {"-2", "-2", "-2", "-3", "-3"}),
      // Ties away from zero, exactly: no sum is rounded on the way.
      row<f64, i8>("f64 0.49999999999999994", 0.49999999999999994, Unset,
                   {"0", "0", "1", "0", "0"}),
      row<f64, i8>("f64 -0.49999999999999994", -0.49999999999999994, Unset,
                   {"0", "0", "0", "-1", "0"}),
      row<f64, i64>("f64 2^52 + 1", 4503599627370497.0, Unset, all5("4503599627370497")),
      row<f64, i64>("f64 2^51 + 0.5", 2251799813685248.5, Unset,
                    {"2251799813685248", "2251799813685248", "2251799813685249",
                     "2251799813685248", "2251799813685249"}),
      row<f32, i8>("f32 0.49999997", 0.49999997f, Unset, {"0", "0", "1", "0", "0"}),
      row<f32, i32>("f32 2^23 + 1", 8388609.0f, Unset, all5("8388609")),
      row<f32, i32>("f32 2^22 + 0.5", 4194304.5f, Unset,
                    {"4194304", "4194304", "4194305", "4194304", "4194305"}),
      row<f16, i8>("f16 0.5 - 2^-12", h(0.499755859375), Unset, {"0", "0", "1", "0", "0"}),
      row<f64, i32>("f64 NaN, Unset", kNaN, Unset, all5(nan_error)),
      row<f32, u8>("f32 NaN, Clamp", std::numeric_limits<f32>::quiet_NaN(), Clamp,
                   all5(nan_error)),
      row<f16, i64>("f16 NaN, Wrap", f16{0x7e00}, Wrap, all5(nan_error)),
      row<f64, u8>("f64 300 to u8, Unset", 300.0, Unset,
                   all5("Value 300 out of range [0, 255]. Set out_of_range='clamp' or "
                        "out_of_range='wrap' to handle this.")),
      row<f64, u8>("f64 300 to u8, Clamp", 300.0, Clamp, all5("255")),
      row<f64, u8>("f64 300 to u8, Wrap", 300.0, Wrap, all5("44")),
      row<f64, u8>("f64 -1 to u8, Clamp", -1.0, Clamp, all5("0")),
      row<f64, u8>("f64 -1 to u8, Wrap", -1.0, Wrap, all5("255")),
      row<f64, i8>("f64 200 to i8, Wrap", 200.0, Wrap, all5("-56")),
      row<f64, i8>("f64 -129 to i8, Wrap", -129.0, Wrap, all5("127")),
      row<f64, u8>("f64 1e300 to u8, Wrap", 1e300, Wrap, all5("0")),
      // The error carries the rounded value.
      row<f64, u8>("f64 255.5 to u8", 255.5, Unset,
                   {range_error(256, 0, 255), "255", range_error(256, 0, 255), "255",
                    range_error(256, 0, 255)}),
      // -0.0 is not below a bound of 0.
      row<f64, u8>("f64 -0.4 to u8", -0.4, Unset, {"0", "0", "0", range_error(-1, 0, 255), "0"}),
      row<f64, i32>("f64 inf to i32, Unset", kInf, Unset, all5(i32_inf_error)),
      row<f64, i32>("f64 inf to i32, Clamp", kInf, Clamp, all5("2147483647")),
      row<f64, i32>("f64 -inf to i32, Clamp", -kInf, Clamp, all5("-2147483648")),
      row<f64, i32>("f64 inf to i32, Wrap", kInf, Wrap,
                    all5("Cannot cast inf to integer type without scalar_map")),
      // Limits that f32 and f64 round upwards are decided exactly, and shown as
      // the target's own.
      row<f32, i32>("f32 2^31 to i32", 2147483648.0f, Unset,
                    all5("Value 2147483648 out of range [-2147483648, 2147483647]. Set "
                         "out_of_range='clamp' or out_of_range='wrap' to handle this.")),
      row<f32, i32>("f32 2^31 to i32, Clamp", 2147483648.0f, Clamp, all5("2147483647")),
      row<f32, i32>("f32 2^31 to i32, Wrap", 2147483648.0f, Wrap, all5("-2147483648")),
      row<f32, i32>("f32 -2^31 to i32", -2147483648.0f, Unset, all5("-2147483648")),
      row<f32, i32>("f32 2^31 + 256 to i32", 2147483904.0f, Unset,
                    all5(range_error(2147483904.0, -k2p31, 2147483647))),
      row<f32, i32>("f32 2^31 + 256 to i32, Wrap", 2147483904.0f, Wrap, all5("-2147483392")),
      row<f32, u32>("f32 2^32 to u32", 4294967296.0f, Unset,
                    all5("Value 4294967296 out of range [0, 4294967295]. Set "
                         "out_of_range='clamp' or out_of_range='wrap' to handle this.")),
      row<f64, i64>("f64 2^63 to i64", k2p63, Unset,
                    all5("Value 9223372036854776000 out of range [-9223372036854776000, "
                         "9223372036854776000]. Set out_of_range='clamp' or "
                         "out_of_range='wrap' to handle this.")),
      row<f64, i64>("f64 2^63 to i64, Clamp", k2p63, Clamp, all5("9223372036854775807")),
      row<f64, i64>("f64 2^63 to i64, Wrap", k2p63, Wrap, all5("-9223372036854775808")),
      row<f64, u64>("f64 2^64 to u64", k2p64, Unset,
                    all5("Value 18446744073709552000 out of range [0, 18446744073709552000]. "
                         "Set out_of_range='clamp' or out_of_range='wrap' to handle this.")),
      row<f64, u64>("f64 2^64 + 2^12 to u64, Wrap", k2p64 + 4096, Wrap, all5("4096")),
      row<f32, i64>("f32 2^63 to i64", static_cast<f32>(k2p63), Unset,
                    all5(range_error(k2p63, -k2p63, k2p63))),
      // Binary16: every bound is finite.
      row<f16, i32>("f16 inf to i32", h(kInf), Unset, all5(i32_inf_error)),
      row<f16, u16>("f16 inf to u16", h(kInf), Unset, all5(range_error(kInf, 0, 65535))),
      row<f16, u64>("f16 inf to u64", h(kInf), Unset,
                    all5(range_error(kInf, 0, 18446744073709551615.0))),
      row<f16, i64>("f16 -inf to i64", h(-kInf), Unset,
                    all5(range_error(-kInf, -k2p63, 9223372036854775807.0))),
      row<f16, u16>("f16 -inf to u16", h(-kInf), Unset,
                    all5("Value -inf out of range [0, 65535]. Set out_of_range='clamp' or "
                         "out_of_range='wrap' to handle this.")),
      row<f16, u16>("f16 inf to u16, Clamp", h(kInf), Clamp, all5("65535")),
      row<f16, i32>("f16 -inf to i32, Clamp", h(-kInf), Clamp, all5("-2147483648")),
      row<f16, u64>("f16 inf to u64, Wrap", h(kInf), Wrap, all5(non_finite_error(kInf))),
      row<f16, i32>("f16 -inf to i32, Wrap", h(-kInf), Wrap, all5(non_finite_error(-kInf))),
      row<f16, u16>("f16 -1 to u16, Wrap", h(-1), Wrap, all5("65535")),
      row<f16, u16>("f16 -2 to u16, Wrap", h(-2), Wrap, all5("65534")),
      row<f16, u32>("f16 -2 to u32, Wrap", h(-2), Wrap, all5("4294967294")),
      row<f16, u64>("f16 -1 to u64, Wrap", h(-1), Wrap, all5("18446744073709551615")),
      row<f16, i16>("f16 32768 to i16", h(32768), Unset,
                    all5("Value 32768 out of range [-32768, 32767]. Set out_of_range='clamp' or "
                         "out_of_range='wrap' to handle this.")),
      row<f16, i16>("f16 40000 to i16", h(40000), Unset, all5(range_error(40000, -32768, 32767))),
      row<f16, i16>("f16 40000 to i16, Clamp", h(40000), Clamp, all5("32767")),
      row<f16, i16>("f16 40000 to i16, Wrap", h(40000), Wrap, all5("-25536")),
      row<f16, i16>("f16 -40000 to i16, Wrap", h(-40000), Wrap, all5("25536")),
      row<f16, u8>("f16 300 to u8, Wrap", h(300), Wrap, all5("44")),
      row<f16, i8>("f16 65504 to i8, Wrap", h(65504), Wrap, all5("-32")),
      row<f16, i8>("f16 65376 to i8, Wrap", h(65376), Wrap, all5("96")),
  };
  for_each_supported_isa([&](Isa isa) {
    for (const EdgeRow& r : rows) {
      for (std::size_t m = 0; m < kRoundingModes.size(); ++m) {
        EXPECT_EQ(r.run(isa, kRoundingModes[m]), r.expected[m])
            << r.label << ", rounding mode " << static_cast<int>(kRoundingModes[m]);
      }
    }
  });
}

// --- Scalar map -----------------------------------------------------------------

TEST(FloatToInt, ScalarMapComesFirst) {
  const f64 other_nan = -std::numeric_limits<f64>::quiet_NaN();
  const ScalarMap<f64, i32> nan_map = {{kNaN, 1}, {kNaN, 2}};
  for_each_supported_isa([&](Isa isa) {
    for (auto mode : kOutOfRangeModes) {
      EXPECT_EQ((convert_one_on<f64, i32>(isa, other_nan, NE, mode, nan_map)), "1");
      EXPECT_EQ((convert_one_on<f64, i32>(isa, 1e300, NE, mode, {{1e300, 5}})), "5");
      EXPECT_EQ((convert_one_on<f64, i32>(isa, kInf, NE, mode, {{kInf, 3}})), "3");
    }
    // A NaN entry never matches a number; -0.0 matches +0.0.
    EXPECT_EQ((convert_one_on<f64, i32>(isa, 7.0, NE, Unset, nan_map)), "7");
    EXPECT_EQ((convert_one_on<f64, i32>(isa, 0.0, NE, Unset, {{-0.0, 7}})), "7");
    EXPECT_EQ((convert_one_on<f16, u8>(isa, f16{0xfe01}, NE, Unset, {{f16{0x7c01}, 9}})), "9");
  });
}

// --- Partial writes ----------------------------------------------------------------

template <FloatElement F>
void expect_partial_write(Isa isa, std::size_t length, std::size_t failing, bool with_map) {
  std::vector<F> in(length, from_f64<F>(3.0));
  in[failing] = from_f64<F>(300.0);
  in[failing + 1] = from_f64<F>(400.0);
  std::vector<u8> out(length + 2, 0xaa);  // longer output: the tail stays too
  ScalarMap<F, u8> map;
  if (with_map) map.push_back({from_f64<F>(-7.0), 1});
  const CastResult result =
      convert_slice_on<F, u8>(isa, in, out, config_of<F, u8>(NE, Unset, map));
  ASSERT_FALSE(result);
  EXPECT_EQ(to_string(result.error()), range_error(300, 0, 255));
  for (std::size_t i = 0; i < out.size(); ++i) {
    EXPECT_EQ(out[i], i < failing ? 3 : 0xaa) << "index " << i << " of " << length;
  }
}

TEST(FloatToInt, FailureWritesExactlyTheElementsBeforeIt) {
  for_each_supported_isa([&](Isa isa) {
    for (bool with_map : {false, true}) {
      expect_partial_write<f64>(isa, 5, 2, with_map);
      expect_partial_write<f32>(isa, 1000, 300, with_map);  // inside the second block
      expect_partial_write<f16>(isa, 1000, 511, with_map);  // last of a block
      expect_partial_write<f16>(isa, 1000, 256, with_map);  // first of a block
    }
  });
}

TEST(FloatToInt, ShorterSideSetsTheLength) {
  for_each_supported_isa([&](Isa isa) {
    const std::vector<f64> in = {1, 2, 3, 4, 5};
    std::vector<i16> out(3, -1);
    ASSERT_TRUE((convert_slice_on<f64, i16>(isa, in, out, config_of<f64, i16>(NE, Unset))));
    EXPECT_EQ(out, (std::vector<i16>{1, 2, 3}));
    std::vector<i16> longer(7, -1);
    ASSERT_TRUE((convert_slice_on<f64, i16>(isa, std::vector<f64>{8, 9}, longer,
                                             config_of<f64, i16>(NE, Unset))));
    EXPECT_EQ(longer, (std::vector<i16>{8, 9, -1, -1, -1, -1, -1}));
  });
}

TEST(FloatToInt, ConvertsInPlace) {
  // Input and output in the same memory: each element is read before it is
  // written, and a failing block leaves the memory as it was.
  for_each_supported_isa([&](Isa isa) {
    for (OutOfRangeMode mode : kOutOfRangeModes) {
      std::vector<f64> data(600);
      for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<f64>(i) - 300.25;
      const std::vector<f64> before = data;
      const CastResult result = convert_slice_on<f64, i64>(
          isa, InputSlice<f64>(data.data(), data.size()),
          OutputSlice<i64>(data.data(), data.size()), config_of<f64, i64>(NE, mode));
      ASSERT_TRUE(result.ok());
      for (std::size_t i = 0; i < data.size(); ++i) {
        ASSERT_EQ(std::bit_cast<i64>(data[i]), static_cast<i64>(i) - 300) << i;
      }
      data = before;
      data[400] = kNaN;
      const CastResult failed = convert_slice_on<f64, i64>(
          isa, InputSlice<f64>(data.data(), data.size()),
          OutputSlice<i64>(data.data(), data.size()), config_of<f64, i64>(NE, mode));
      ASSERT_FALSE(failed.ok());
      for (std::size_t i = 0; i < data.size(); ++i) {
        if (i < 400) {
          ASSERT_EQ(std::bit_cast<i64>(data[i]), static_cast<i64>(i) - 300) << i;
        } else if (i > 400) {
          ASSERT_EQ(data[i], before[i]) << i;
        }
      }
    }
  });
}

// --- Every pair and mode against exact integer arithmetic ---------------------------

// The double a binary16 pattern stands for, decoded by hand.
f64 f16_image(u16 bits) {
  const int exponent = (bits >> 10) & 0x1f;
  const int fraction = bits & 0x3ff;
  const f64 sign = (bits & 0x8000) != 0 ? -1.0 : 1.0;
  if (exponent == 0x1f) return fraction != 0 ? kNaN : sign * kInf;
  if (exponent == 0) return sign * std::ldexp(fraction, -24);
  return sign * std::ldexp(fraction + 1024, exponent - 25);
}

template <FloatElement F>
f64 image(F x) {
  if constexpr (std::same_as<F, f16>) {
    return f16_image(x.bits);
  } else {
    return static_cast<f64>(x);
  }
}

// Values that every range decision, rounding and wrap meet: the neighbours of
// every integer limit and of the powers of two where the paths change, ties
// and their neighbours, values across the target's range and beyond, and
// random patterns over the type's whole range (huge values, subnormals,
// infinities, NaNs). For binary16: every pattern.
template <FloatElement F, IntElement I>
std::vector<F> sample_inputs() {
  std::vector<F> values;
  if constexpr (std::same_as<F, f16>) {
    for (u32 b = 0; b <= 0xffff; ++b) values.push_back(f16{static_cast<u16>(b)});
    return values;
  } else {
    using Bits = std::conditional_t<sizeof(F) == 8, u64, u32>;
    std::mt19937_64 rng(sizeof(F) * 100 + sizeof(I) * 2 + std::numeric_limits<I>::is_signed);
    std::uniform_real_distribution<f64> unit(0.0, 1.0);
    const f64 lo = static_cast<f64>(std::numeric_limits<I>::min());
    const f64 hi = static_cast<f64>(std::numeric_limits<I>::max());
    std::vector<f64> edges = {0.0, 0.5, 1.5, 2.5, lo, hi, lo - 1, hi + 1, kInf};
    for (int k : {7, 8, 15, 16, 21, 22, 23, 24, 31, 32, 51, 52, 53, 63, 64, 65, 80, 117}) {
      edges.push_back(std::ldexp(1.0, k));
      edges.push_back(std::ldexp(1.0, k) + 0.5);
    }
    for (f64 edge : edges) {
      for (f64 e : {edge, -edge}) {
        const F x = static_cast<F>(e);
        F up = x, down = x;
        values.push_back(x);
        for (int i = 0; i < 3; ++i) {
          up = std::nextafter(up, std::numeric_limits<F>::infinity());
          down = std::nextafter(down, -std::numeric_limits<F>::infinity());
          values.push_back(up);
          values.push_back(down);
        }
      }
    }
    for (int i = 0; i < 600; ++i) {
      values.push_back(std::bit_cast<F>(static_cast<Bits>(rng())));
      const f64 scale = std::ldexp(1.0, static_cast<int>(unit(rng) * 30));
      const F tie = static_cast<F>(std::floor((unit(rng) - 0.5) * scale) + 0.5);
      values.push_back(tie);
      values.push_back(std::nextafter(tie, F(1e30)));
      values.push_back(std::nextafter(tie, F(-1e30)));
      const f64 span = std::max(hi - lo, 1e6);
      values.push_back(static_cast<F>(lo - span + 3 * span * unit(rng)));
      const f64 magnitude = std::ldexp(1.0, static_cast<int>(unit(rng) * 80));
      values.push_back(static_cast<F>((unit(rng) - 0.5) * magnitude));
    }
    return values;
  }
}

template <FloatElement F, IntElement I>
struct Run {
  CastResult result;
  std::vector<I> out;
};

// What an output element holds before the conversion.
template <IntElement I>
constexpr I kPreset = I{0x5a};

// Converts `input` with variant `isa` into an output preset to kPreset,
// through the map-free path or, with `map`, the scalar-map path.
template <FloatElement F, IntElement I>
Run<F, I> run(Isa isa, const std::vector<F>& input, RoundingMode rounding, OutOfRangeMode mode,
              ScalarMap<F, I> map = {}) {
  Run<F, I> r{{}, std::vector<I>(input.size(), kPreset<I>)};
  r.result =
      convert_slice_on<F, I>(isa, input, r.out, config_of<F, I>(rounding, mode, std::move(map)));
  return r;
}

// A map whose one entry matches no sample (its source is left out of them),
// to send the samples through the scalar-map path.
template <FloatElement F>
f64 unmatched_source() {
  return image(from_f64<F>(1234.25));  // 1234 in binary16
}

template <FloatElement F, IntElement I>
ScalarMap<F, I> unmatched_map() {
  return {{from_f64<F>(unmatched_source<F>()), I{0}}};
}

template <FloatElement F, IntElement I>
std::string context(RoundingMode rounding, OutOfRangeMode mode, f64 x) {
  return std::string(dtype_key_of<F>) + " -> " + std::string(dtype_key_of<I>) + ", rounding " +
         std::to_string(static_cast<int>(rounding)) + ", out-of-range " +
         std::to_string(static_cast<int>(mode)) + ", x " + num(x);
}

// Every sample against the reference, under every mode and variant: the
// samples the rule accepts through both paths in one slice (so through
// every block form), each sample it refuses alone (so each decides its
// block's test by itself).
template <FloatElement F, IntElement I>
void expect_pair_matches_reference() {
  std::vector<F> samples = sample_inputs<F, I>();
  std::erase_if(samples, [](F x) { return image(x) == unmatched_source<F>(); });
  for (RoundingMode rounding : kRoundingModes) {
    for (OutOfRangeMode mode : kOutOfRangeModes) {
      std::vector<F> accepted, refused;
      std::vector<Wide> expected;
      std::vector<ExpectedOutcome> refusals;
      for (F x : samples) {
        ExpectedOutcome want = expected_conversion<I>(image(x), rounding, mode);
        if (want.value) {
          accepted.push_back(x);
          expected.push_back(*want.value);
        } else {
          refused.push_back(x);
          refusals.push_back(std::move(want));
        }
      }
      for_each_supported_isa([&](Isa isa) {
        for (bool with_map : {false, true}) {
          const ScalarMap<F, I> map = with_map ? unmatched_map<F, I>() : ScalarMap<F, I>{};
          const Run<F, I> got = run<F, I>(isa, accepted, rounding, mode, map);
          ASSERT_TRUE(got.result.ok()) << to_string(got.result.error());
          for (std::size_t i = 0; i < accepted.size(); ++i) {
            ASSERT_EQ(Wide{got.out[i]}, expected[i])
                << context<F, I>(rounding, mode, image(accepted[i]))
                << (with_map ? ", scalar-map path" : ", empty map");
          }
        }
        for (std::size_t i = 0; i < refused.size(); ++i) {
          const Run<F, I> got = run<F, I>(isa, {refused[i]}, rounding, mode);
          const std::string where = context<F, I>(rounding, mode, image(refused[i]));
          ASSERT_FALSE(got.result.ok()) << where;
          ASSERT_EQ(to_string(got.result.error()), to_string(*refusals[i].error)) << where;
          ASSERT_EQ(got.out[0], kPreset<I>) << where;
        }
      });
    }
  }
}

template <FloatElement F>
void expect_source_matches_reference() {
  using namespace testing_types;
  for_each_pair(TypeList<F>{}, IntTypes{},
                []<class S, class T>() { expect_pair_matches_reference<S, T>(); });
}

TEST(FloatToInt, EveryPairMatchesExactArithmeticF64) { expect_source_matches_reference<f64>(); }
TEST(FloatToInt, EveryPairMatchesExactArithmeticF32) { expect_source_matches_reference<f32>(); }
TEST(FloatToInt, EveryPairMatchesExactArithmeticF16) { expect_source_matches_reference<f16>(); }

// --- Clean blocks, and blocks with one intruder ----------------------------------

// 600 values the target holds under every rounding mode: small ones, with
// ties, or values across the whole target (as far as F reaches).
template <FloatElement F, IntElement I>
std::vector<F> inside_values(bool across_the_target) {
  const f64 largest = std::same_as<F, f16> ? 65504.0 : 1e300;
  const f64 lo = std::max(static_cast<f64>(std::numeric_limits<I>::min()), -largest);
  const f64 hi = std::min(static_cast<f64>(std::numeric_limits<I>::max()), largest);
  std::mt19937_64 rng(17);
  std::uniform_real_distribution<f64> unit(0.0, 1.0);
  std::vector<F> values;
  while (values.size() < 600) {
    const f64 v = across_the_target ? lo + (hi - lo) * unit(rng)
                                    : std::round((unit(rng) - 0.5) * 200) / 2 + (lo < 0 ? 0 : 50);
    const F x = from_f64<F>(v);
    const bool held = std::ranges::all_of(kRoundingModes, [&](RoundingMode rounding) {
      return expected_conversion<I>(image(x), rounding, Unset).value.has_value();
    });
    if (held && image(x) != unmatched_source<F>()) values.push_back(x);
  }
  return values;
}

template <IntElement I>
std::size_t first_difference(const std::vector<I>& got, const std::vector<Wide>& want) {
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (Wide{got[i]} != want[i]) return i;
  }
  return got.size();
}

template <FloatElement F, IntElement I>
void expect_intruders_for_pair() {
  const f64 lo = static_cast<f64>(std::numeric_limits<I>::min());
  const f64 hi = static_cast<f64>(std::numeric_limits<I>::max());
  std::vector<f64> intruders = {kNaN, kInf, -kInf, 0.49999999999999994, -2.5, 1e30, -1e30,
                                k2p63, k2p64, -k2p63, 0x1p22, -0x1p22, 0x1p51, -0x1p51};
  for (f64 edge : {lo, hi}) {
    for (f64 d : {-1.0, -0.5, 0.0, 0.5, 1.0}) intruders.push_back(edge + d);
  }
  const std::size_t positions[] = {0, 255, 256, 599};
  for (bool across : {false, true}) {
    const std::vector<F> base = inside_values<F, I>(across);
    for (RoundingMode rounding : kRoundingModes) {
      for (OutOfRangeMode mode : kOutOfRangeModes) {
        std::vector<Wide> clean;
        for (F x : base) clean.push_back(*expected_conversion<I>(image(x), rounding, mode).value);
        for_each_supported_isa([&](Isa isa) {
          const Run<F, I> whole = run<F, I>(isa, base, rounding, mode);
          ASSERT_TRUE(whole.result.ok());
          ASSERT_EQ(first_difference(whole.out, clean), base.size())
              << context<F, I>(rounding, mode, 0) << ", clean blocks";
          for (f64 v : intruders) {
            const F intruder = from_f64<F>(v);
            const ExpectedOutcome want = expected_conversion<I>(image(intruder), rounding, mode);
            for (std::size_t at : positions) {
              std::vector<F> input = base;
              input[at] = intruder;
              // Written up to the intruder; the rest keeps its preset on failure.
              std::vector<Wide> expected = clean;
              if (want.value) {
                expected[at] = *want.value;
              } else {
                std::fill(expected.begin() + static_cast<std::ptrdiff_t>(at), expected.end(),
                          Wide{kPreset<I>});
              }
              const std::string where =
                  context<F, I>(rounding, mode, image(intruder)) + " at " + std::to_string(at);
              for (bool with_map : {false, true}) {
                const Run<F, I> got =
                    run<F, I>(isa, input, rounding, mode,
                              with_map ? unmatched_map<F, I>() : ScalarMap<F, I>{});
                ASSERT_EQ(got.result.ok(), want.value.has_value()) << where;
                if (!want.value) {
                  ASSERT_EQ(to_string(got.result.error()), to_string(*want.error)) << where;
                }
                ASSERT_EQ(first_difference(got.out, expected), input.size()) << where;
              }
              // A map entry for the intruder holds even where the rule refuses it.
              const Run<F, I> mapped = run<F, I>(isa, input, rounding, mode, {{intruder, I{7}}});
              ASSERT_TRUE(mapped.result.ok()) << where;
              ASSERT_EQ(mapped.out[at], I{7}) << where;
            }
          }
        });
      }
    }
  }
}

template <FloatElement F>
void expect_intruders_for_source() {
  using namespace testing_types;
  for_each_pair(TypeList<F>{}, IntTypes{},
                []<class S, class T>() { expect_intruders_for_pair<S, T>(); });
}

TEST(FloatToInt, BlocksWithOneIntruderF64) { expect_intruders_for_source<f64>(); }
TEST(FloatToInt, BlocksWithOneIntruderF32) { expect_intruders_for_source<f32>(); }
TEST(FloatToInt, BlocksWithOneIntruderF16) { expect_intruders_for_source<f16>(); }

// --- Every variant against the element rule ------------------------------------

// The element rule over a whole slice, the reference for every variant.
template <FloatElement F, IntElement I>
auto element_rule(const CastConfig<F, I>& config) {
  return [&config](InputSlice<F> in, OutputSlice<I> out) {
    return convert_each(in, out, config.scalar_map, [&](F x) {
      return float_to_int_detail::convert_element<I>(x, config.rounding, config.out_of_range);
    });
  };
}

// `input` placed `offset` bytes past an aligned start (so its elements are
// misaligned for odd offsets) and converted into an output placed alike:
// the variant's outcome and every output byte against the element rule's.
template <FloatElement F, IntElement I>
void expect_misaligned_matches_reference(Isa isa, const std::vector<F>& input,
                                         const CastConfig<F, I>& config, std::size_t offset) {
  const std::size_t n = input.size();
  std::vector<std::byte> in_bytes(n * sizeof(F) + offset);
  std::memcpy(in_bytes.data() + offset, input.data(), n * sizeof(F));
  std::vector<std::byte> fast(n * sizeof(I) + offset, std::byte{0x5a});
  std::vector<std::byte> expected = fast;
  const InputSlice<F> in(in_bytes.data() + offset, n);
  const CastResult got =
      convert_slice_on<F, I>(isa, in, OutputSlice<I>(fast.data() + offset, n), config);
  const CastResult want = element_rule(config)(in, OutputSlice<I>(expected.data() + offset, n));
  ASSERT_EQ(got.ok(), want.ok()) << "offset " << offset;
  if (!got) {
    ASSERT_EQ(to_string(got.error()), to_string(want.error()));
  }
  ASSERT_TRUE(fast == expected) << "offset " << offset;
}

// Data for the block paths, all of one pair: values across the target with
// ties (every staging meets them), 10% of the elements beyond the target's
// limits (finite, up to F's largest), or random bit patterns; each with a
// sprinkle of NaNs, which a map may catch.
template <FloatElement F, IntElement I>
std::vector<F> block_data(int kind, std::size_t n, std::mt19937_64& rng) {
  using Limits = std::numeric_limits<I>;
  constexpr f64 kLargest = std::same_as<F, f16> ? 65504.0 : std::same_as<F, f32> ? 3.4e38 : 1.7e308;
  std::uniform_real_distribution<f64> unit(0.0, 1.0);
  const f64 lo = std::max(static_cast<f64>(Limits::min()), -kLargest);
  const f64 hi = std::min(static_cast<f64>(Limits::max()), kLargest);
  std::vector<F> values(n);
  for (F& x : values) {
    const f64 u = unit(rng);
    f64 v = std::floor(lo + (hi - lo) * unit(rng));
    if (u < 0.2) v += 0.5;  // a tie, or beyond hi by one half
    if (kind == 1 && u < 0.1) {
      const f64 beyond = std::ldexp(hi + 1, static_cast<int>(unit(rng) * 70));
      v = std::min(beyond, kLargest) * (unit(rng) < 0.5 && lo < 0 ? -1 : 1);
      if (lo == 0 && unit(rng) < 0.5) v = -1 - std::floor(unit(rng) * 1e6);
    }
    x = from_f64<F>(v);
    if (kind == 2) {
      if constexpr (std::same_as<F, f16>) {
        x = f16{static_cast<u16>(rng())};
      } else {
        x = std::bit_cast<F>(static_cast<typename FloatBits<F>::Bits>(rng()));
      }
    }
    const f64 special = unit(rng);
    if (special < 0.01) x = from_f64<F>(kNaN);
    if (special > 0.99) x = from_f64<F>(special > 0.995 ? 0.0 : -0.0);
  }
  return values;
}

// Maps for the block paths: none; one entry (the kernels' own sweeps take
// it) for NaN, for -0.0 (which +0.0 matches too) or for a value of the data;
// and eight entries whose keys catch values the rule would refuse (NaN,
// infinities, values beyond the target) besides ones it converts.
template <FloatElement F, IntElement I>
std::vector<ScalarMap<F, I>> block_maps(const std::vector<F>& data) {
  const f64 beyond = std::min(static_cast<f64>(std::numeric_limits<I>::max()) * 4 + 4,
                              std::same_as<F, f16> ? 65504.0 : 1e30);
  return {
      {},
      {{from_f64<F>(-kNaN), I{7}}},
      {{from_f64<F>(-0.0), I{5}}},
      {{data[5], I{6}}},
      {{from_f64<F>(kNaN), I{1}},
       {from_f64<F>(kInf), I{2}},
       {from_f64<F>(-kInf), I{3}},
       {from_f64<F>(beyond), I{4}},
       {from_f64<F>(-0.0), I{5}},
       {data[3], I{6}},
       {data[3], I{9}},  // a later duplicate never applies
       {from_f64<F>(-beyond), I{8}}},
  };
}

template <FloatElement F, IntElement I>
void expect_blocks_match_element_rule() {
  std::mt19937_64 rng(sizeof(F) * 31 + sizeof(I) * 7 + std::numeric_limits<I>::is_signed);
  const std::size_t n = 3 * block::kElements + 37;
  for (int kind = 0; kind < 3; ++kind) {
    const std::vector<F> data = block_data<F, I>(kind, n, rng);
    for (const ScalarMap<F, I>& map : block_maps<F, I>(data)) {
      for (RoundingMode rounding : kRoundingModes) {
        for (OutOfRangeMode mode : kOutOfRangeModes) {
          const CastConfig<F, I> config = config_of<F, I>(rounding, mode, map);
          SCOPED_TRACE((context<F, I>(rounding, mode, 0) + ", data " + std::to_string(kind) +
                        ", map entries " + std::to_string(map.size())));
          // A failure ends the call, so the blocks past it are checked again
          // with the elements the rule refuses (and the map leaves) made 1.
          std::vector<F> mended = data;
          for (F& x : mended) {
            if (!lookup_scalar_map(map, x) &&
                !expected_conversion<I>(image(x), rounding, mode).value) {
              x = from_f64<F>(1.0);
            }
          }
          for_each_supported_isa([&](Isa isa) {
            expect_variant_matches_reference(isa, data, config, element_rule(config));
            expect_variant_matches_reference(isa, mended, config, element_rule(config));
            expect_misaligned_matches_reference(isa, mended, config, static_cast<std::size_t>(kind) + 1);
          });
        }
      }
    }
  }
}

// A NaN at lanes across a block (run edges included), after map hits
// earlier in the block, under each out-of-range mode and with maps that take
// each frame path: exactly the elements before it written, whether the
// output is apart from the input or (equal widths) its own memory.
template <FloatElement F, IntElement I>
void expect_failure_positions() {
  for (const std::size_t at : {256u, 256u + 63, 256u + 64, 256u + 127, 256u + 128, 256u + 255,
                               700u}) {
    std::vector<F> input(1100);
    for (std::size_t i = 0; i < input.size(); ++i) {
      input[i] = from_f64<F>(static_cast<f64>(5 + i % 50));
    }
    input[257] = from_f64<F>(3.0);
    input[at - 1] = from_f64<F>(3.0);
    input[at] = from_f64<F>(kNaN);
    // No map; one entry and two (the kernel's own sweeps, or a per-entry
    // sweep); nine (hashed).
    for (const std::size_t entries : {0u, 1u, 2u, 9u}) {
      ScalarMap<F, I> map;
      for (std::size_t e = 0; e < entries; ++e) {
        map.push_back({from_f64<F>(e == 0 ? 3.0 : 60.0 + static_cast<f64>(e)),
                       static_cast<I>(1 + e)});
      }
      for (OutOfRangeMode mode : kOutOfRangeModes) {
        const CastConfig<F, I> config = config_of<F, I>(RoundingMode::NearestEven, mode, map);
        SCOPED_TRACE("NaN at " + std::to_string(at) + ", entries " + std::to_string(entries) +
                     ", mode " + std::to_string(static_cast<int>(mode)));
        for_each_supported_isa([&](Isa isa) {
          expect_variant_matches_reference(isa, input, config, element_rule(config));
          if constexpr (sizeof(F) == sizeof(I)) {
            expect_in_place_matches_reference(isa, input, config, element_rule(config));
          }
        });
      }
    }
  }
}

TEST(FloatToInt, FailureAnywhereInABlockWritesExactlyTheElementsBefore) {
  using namespace testing_types;
  for_each_pair(FloatTypes{}, IntTypes{},
                []<class S, class T>() { expect_failure_positions<S, T>(); });
}

template <FloatElement F>
void expect_blocks_for_source() {
  using namespace testing_types;
  for_each_pair(TypeList<F>{}, IntTypes{},
                []<class S, class T>() { expect_blocks_match_element_rule<S, T>(); });
}

TEST(FloatToInt, EveryVariantMatchesTheElementRuleOnBlocksF64) { expect_blocks_for_source<f64>(); }
TEST(FloatToInt, EveryVariantMatchesTheElementRuleOnBlocksF32) { expect_blocks_for_source<f32>(); }
TEST(FloatToInt, EveryVariantMatchesTheElementRuleOnBlocksF16) { expect_blocks_for_source<f16>(); }

}  // namespace
}  // namespace prandel::test

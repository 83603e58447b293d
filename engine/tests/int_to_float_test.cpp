#include "prandel/prandel.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "float_kernel_test_support.hpp"
#include "type_lists.hpp"
#include "variant_test_support.hpp"
#include "whole_number_reference.hpp"

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
      // Every mode judges the exact integer, not its f64 image.
      {"i64 2^53 + 1 to f32", element<i64, f32>((i64{1} << 53) + 1), Unset,
       {"9007199254740992", "9007199254740992", "9007200328482816", "9007199254740992",
        "9007199254740992"}},
      {"u64 max to f32", element<u64, f32>(std::numeric_limits<u64>::max()), Unset,
       {"18446744073709552000", "18446742974197924000", "18446744073709552000",
        "18446742974197924000", "18446744073709552000"}},
      {"i64 max to f32", element<i64, f32>(std::numeric_limits<i64>::max()), Unset,
       {"9223372036854776000", "9223371487098962000", "9223372036854776000",
        "9223371487098962000", "9223372036854776000"}},
      {"i64 2^53 + 1 to f64", element<i64, f64>((i64{1} << 53) + 1), Unset,
       {"9007199254740992", "9007199254740992", "9007199254740994", "9007199254740992",
        "9007199254740994"}},
      {"i64 -(2^53 + 1) to f64", element<i64, f64>(-(i64{1} << 53) - 1), Unset,
       {"-9007199254740992", "-9007199254740992", "-9007199254740992", "-9007199254740994",
        "-9007199254740994"}},
      {"i64 2^53 + 3 to f64", element<i64, f64>((i64{1} << 53) + 3), Unset,
       {"9007199254740996", "9007199254740994", "9007199254740996", "9007199254740994",
        "9007199254740996"}},
      {"u64 max to f64", element<u64, f64>(std::numeric_limits<u64>::max()), Unset,
       {"18446744073709552000", "18446744073709550000", "18446744073709552000",
        "18446744073709550000", "18446744073709552000"}},
      {"i64 min to f32", element<i64, f32>(std::numeric_limits<i64>::min()), Unset,
       {"-9223372036854776000", "-9223372036854776000", "-9223372036854776000",
        "-9223372036854776000", "-9223372036854776000"}},
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
  const u64 half = unit / 2;
  const int order = rest < half ? -1 : rest == half ? 0 : 1;
  const bool away = steps_away(mode, negative, order, rest != 0, ((kept >> shift) & 1) != 0);
  const bool toward_zero_mode = mode == RoundingMode::TowardsZero ||
                                (mode == RoundingMode::TowardsPositive && negative) ||
                                (mode == RoundingMode::TowardsNegative && !negative);
  f64 result = away ? up : down;
  if (result > largest) result = toward_zero_mode ? largest : kInf;
  return negative ? -result : result;
}

template <FloatElement T>
constexpr int kPrecision = std::same_as<T, f16> ? 11 : std::same_as<T, f32> ? 24 : 53;

template <FloatElement T>
constexpr f64 kLargest = std::same_as<T, f16>   ? 65504.0
                         : std::same_as<T, f32> ? f64{std::numeric_limits<f32>::max()}
                                                : std::numeric_limits<f64>::max();

// Every variant, and the element rule itself, against ieee_round.
template <IntElement S, FloatElement T>
void expect_ieee_results(const std::vector<S>& input) {
  for (auto mode : kRoundingModes) {
    std::vector<f64> expected(input.size());
    for (std::size_t i = 0; i < input.size(); ++i) {
      const S x = input[i];
      const bool negative = x < S{0};
      const u64 magnitude = negative ? u64{0} - static_cast<u64>(x) : static_cast<u64>(x);
      expected[i] = ieee_round(negative, magnitude, kPrecision<T>, kLargest<T>, mode);
    }
    const auto context = [&](std::size_t i) {
      return std::string(dtype_key_of<S>) + " " + std::to_string(+input[i]) + " -> " +
             std::string(dtype_key_of<T>) + ", mode " + std::to_string(static_cast<int>(mode));
    };
    for (std::size_t i = 0; i < input.size(); ++i) {
      ASSERT_EQ(to_f64(*int_to_float_element<T>(input[i], mode)), expected[i])
          << "element rule, " << context(i);
    }
    test::for_each_supported_isa([&](Isa isa) {
      std::vector<T> out(input.size());
      ASSERT_TRUE((convert_slice_on<S, T>(isa, input, out, config_of<S, T>(mode, Unset))));
      for (std::size_t i = 0; i < input.size(); ++i) {
        ASSERT_EQ(to_f64(out[i]), expected[i]) << context(i);
      }
    });
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
std::vector<S> random_values() {
  std::mt19937_64 rng(5);
  std::vector<S> values;
  for (int i = 0; i < 20000; ++i) {
    // Magnitudes spread over every bit width up to the type's, and the
    // full range.
    const u64 bits = rng();
    const int width = static_cast<int>(rng() % 65);
    values.push_back(static_cast<S>(width >= 64 ? bits : bits & ((u64{1} << width) - 1)));
  }
  return values;
}

// Where the rounding of a wide integer is decided: around every power of
// two, the f16, f32 and f64 ties above it (an odd multiple of half a unit)
// and their neighbours, with both signs, and the ends of the type. For f32
// also the f64 ties next to an f32 tie, which a rounding to f64 first
// would move onto it. For 64-bit types, sums of two 32-bit halves near
// their ends, where adding the halves carries.
template <IntElement S>
std::vector<S> rounding_edges() {
  std::vector<S> values = {std::numeric_limits<S>::min(), std::numeric_limits<S>::max(),
                           static_cast<S>(std::numeric_limits<S>::max() - 1)};
  const auto add = [&values](u64 m) {
    values.push_back(static_cast<S>(m));
    if constexpr (std::is_signed_v<S>) values.push_back(static_cast<S>(u64{0} - m));
  };
  for (int k = 0; k < 8 * static_cast<int>(sizeof(S)); ++k) {
    const u64 power = u64{1} << k;
    std::vector<u64> centres = {power};
    for (int precision : {11, 24, 53}) {
      if (k < precision) continue;
      const u64 half_unit = u64{1} << (k - precision);
      centres.push_back(power + half_unit);      // tie, the lower neighbour even
      centres.push_back(power + 3 * half_unit);  // tie, the upper neighbour even
      centres.push_back(power - half_unit / 2);  // below the power: half as wide a unit
    }
    if (k > 53) {
      const u64 f32_half = u64{1} << (k - 24);
      const u64 f64_half = u64{1} << (k - 53);
      for (u64 f32_tie : {power + f32_half, power + 3 * f32_half}) {
        centres.push_back(f32_tie + f64_half);
        centres.push_back(f32_tie - f64_half);
      }
    }
    for (u64 centre : centres) {
      for (u64 m : {centre - 1, centre, centre + 1}) add(m);
    }
  }
  if constexpr (sizeof(S) == 8) {
    for (u64 high : {0x0u, 0x1u, 0x1fffffu, 0x200000u, 0x7fff'ffffu, 0x8000'0000u, 0xffff'ffffu}) {
      for (u64 low : {0x0u, 0x1u, 0x7ff'ffffu, 0x7fff'ffffu, 0x8000'0000u, 0xffff'f000u,
                      0xffff'ffffu}) {
        add(high << 32 | low);
      }
    }
  }
  return values;
}

template <IntElement S>
std::vector<S> test_values() {
  if constexpr (sizeof(S) <= 2) {
    return every_value<S>();
  } else {
    std::vector<S> values = random_values<S>();
    const std::vector<S> edges = rounding_edges<S>();
    values.insert(values.begin() + 1000, edges.begin(), edges.end());
    return values;
  }
}

// Every pair under every mode: the values of 8- and 16-bit types all, wider
// ones at random and at the rounding edges.
TEST(IntToFloat, EveryVariantGivesTheIeeeResultOfTheExactInteger) {
  using namespace testing_types;
  for_each_pair(IntTypes{}, FloatTypes{}, []<class S, class T>() {
    expect_ieee_results<S, T>(test_values<S>());
  });
}

__extension__ typedef __int128 Wide;

template <FloatElement T>
Wide exact_integer(T y) {
  return static_cast<Wide>(y);  // y is a whole number of magnitude at most 2^65
}

// The result y of x under `mode` against the defining property of the mode,
// on exact integers: x itself where y holds it, else y and its two
// neighbours (from std::nextafter) bracket x as the mode says.
template <FloatElement T>
::testing::AssertionResult rounds_as_mode(Wide x, T y, RoundingMode mode) {
  constexpr T kInfT = std::numeric_limits<T>::infinity();
  if (std::trunc(y) != y) return ::testing::AssertionFailure() << "not a whole number";
  const Wide r = exact_integer(y);
  if (r == x) return ::testing::AssertionSuccess();  // exact under every mode
  // Inexact only where the neighbours are whole numbers too.
  const Wide above = exact_integer(std::nextafter(y, kInfT));
  const Wide below = exact_integer(std::nextafter(y, -kInfT));
  const auto distance = [x](Wide v) { return v > x ? v - x : x - v; };
  bool ok = false;
  switch (mode) {
    case RoundingMode::TowardsPositive:
      ok = below < x && x <= r;
      break;
    case RoundingMode::TowardsNegative:
      ok = r <= x && x < above;
      break;
    case RoundingMode::TowardsZero:
      ok = x < 0 ? (below < x && x <= r) : (r <= x && x < above);
      break;
    case RoundingMode::NearestEven:
    case RoundingMode::NearestAway: {
      const Wide other = x > r ? above : below;
      ok = distance(r) <= distance(other);
      if (ok && distance(r) == distance(other)) {
        const bool even = (std::bit_cast<typename FloatBits<T>::Bits>(y) & 1) == 0;
        const bool larger = (r < 0 ? -r : r) > (other < 0 ? -other : other);
        ok = mode == RoundingMode::NearestEven ? even : larger;
      }
      break;
    }
  }
  if (ok) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "mode " << static_cast<int>(mode) << " gave " << std::hexfloat << y;
}

template <IntElement S, FloatElement T>
void expect_rounds_as_mode(const std::vector<S>& input) {
  for (auto mode : kRoundingModes) {
    test::for_each_supported_isa([&](Isa isa) {
      std::vector<T> out(input.size());
      ASSERT_TRUE((convert_slice_on<S, T>(isa, input, out, config_of<S, T>(mode, Unset))));
      for (std::size_t i = 0; i < input.size(); ++i) {
        ASSERT_TRUE(rounds_as_mode(static_cast<Wide>(input[i]), out[i], mode))
            << dtype_key_of<S> << " " << input[i] << " -> " << dtype_key_of<T>;
      }
    });
  }
}

TEST(IntToFloat, WideIntegersRoundByExactComparison) {
  expect_rounds_as_mode<i64, f32>(test_values<i64>());
  expect_rounds_as_mode<u64, f32>(test_values<u64>());
  expect_rounds_as_mode<i64, f64>(test_values<i64>());
  expect_rounds_as_mode<u64, f64>(test_values<u64>());
}

template <IntElement S, FloatElement T>
auto element_rule(const CastConfig<S, T>& config) {
  return [&config](InputSlice<S> in, OutputSlice<T> out) {
    return convert_each(in, out, config.scalar_map,
                        [&config](S x) { return int_to_float_element<T>(x, config.rounding); });
  };
}

// Whole slices under every variant against the element frame: the test
// values, a tail of them whose length is no multiple of the block, and a
// single element; with no map, one entry, and eight (a repeated key among
// them, the first one winning).
template <IntElement S, FloatElement T>
void check_variants_against_element_rule() {
  const std::vector<S> values = test_values<S>();
  const std::size_t n = values.size();
  const std::vector<std::vector<S>> inputs = {
      values,
      std::vector<S>(values.end() - static_cast<std::ptrdiff_t>(std::min<std::size_t>(n, 5 * 256 + 37)),
                     values.end()),
      {values[n / 2]}};
  std::vector<ScalarMap<S, T>> maps = {{}, {{values[3], from_f64<T>(0.5)}}, {}};
  for (std::size_t i = 0; i < 7; ++i) {
    maps[2].push_back({values[(i * 7919) % n], from_f64<T>(static_cast<f64>(i) + 0.5)});
  }
  maps[2].push_back({values[0], from_f64<T>(-1.0)});
  for (const RoundingMode mode : kRoundingModes) {
    for (const ScalarMap<S, T>& map : maps) {
      const CastConfig<S, T> config = config_of<S, T>(mode, Unset, map);
      for (const std::vector<S>& input : inputs) {
        test::for_each_supported_isa([&](Isa isa) {
          SCOPED_TRACE("mode " + std::to_string(static_cast<int>(mode)) + ", " +
                       std::to_string(map.size()) + " map entries, length " +
                       std::to_string(input.size()));
          test::expect_variant_matches_reference(isa, input, config, element_rule(config));
        });
      }
    }
  }
}

TEST(IntToFloat, EveryVariantMatchesTheElementRule) {
  using namespace testing_types;
  for_each_pair(IntTypes{}, FloatTypes{}, []<class S, class T>() {
    check_variants_against_element_rule<S, T>();
  });
}

// Arrays at odd byte offsets, and (where the element sizes agree) the
// output in the input's own memory.
template <IntElement S, FloatElement T>
void check_misaligned_and_in_place() {
  const std::vector<S> all = test_values<S>();
  const std::vector<S> values(
      all.end() - static_cast<std::ptrdiff_t>(std::min<std::size_t>(all.size(), 3 * 256 + 5)),
      all.end());
  const std::size_t n = values.size();
  for (const RoundingMode mode : kRoundingModes) {
    const CastConfig<S, T> config = config_of<S, T>(mode, Unset);
    std::vector<T> expected(n);
    ASSERT_TRUE(element_rule(config)(InputSlice<S>(values), OutputSlice<T>(expected)));
    test::for_each_supported_isa([&](Isa isa) {
      std::vector<std::byte> in(n * sizeof(S) + 1), out(n * sizeof(T) + 3);
      std::memcpy(in.data() + 1, values.data(), n * sizeof(S));
      ASSERT_TRUE((convert_slice_on<S, T>(isa, InputSlice<S>(in.data() + 1, n),
                                          OutputSlice<T>(out.data() + 3, n), config)));
      EXPECT_EQ(std::memcmp(out.data() + 3, expected.data(), n * sizeof(T)), 0)
          << "misaligned, mode " << static_cast<int>(mode);
      if constexpr (sizeof(S) == sizeof(T)) {
        ASSERT_TRUE((convert_slice_on<S, T>(isa, InputSlice<S>(in.data() + 1, n),
                                            OutputSlice<T>(in.data() + 1, n), config)));
        EXPECT_EQ(std::memcmp(in.data() + 1, expected.data(), n * sizeof(T)), 0)
            << "in place, mode " << static_cast<int>(mode);
      }
    });
  }
}

TEST(IntToFloat, MisalignedAndInPlaceSlices) {
  using namespace testing_types;
  for_each_pair(IntTypes{}, FloatTypes{}, []<class S, class T>() {
    check_misaligned_and_in_place<S, T>();
  });
}

}  // namespace
}  // namespace prandel::test

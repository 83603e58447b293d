#include "prandel/prandel.hpp"

#include <gtest/gtest.h>

#include "type_lists.hpp"
#include "variant_test_support.hpp"

#include <algorithm>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace prandel {
namespace {

__extension__ typedef __int128 Wide;
constexpr OutOfRangeMode kModes[] = {OutOfRangeMode::Clamp, OutOfRangeMode::Wrap,
                                     OutOfRangeMode::Unset};

// The expected element result, from T's limits and modular arithmetic on
// 128-bit integers; nullopt means an OutOfRange error.
template <IntElement T>
std::optional<T> expected_element(Wide x, OutOfRangeMode mode) {
  const Wide lo = std::numeric_limits<T>::min();
  const Wide hi = std::numeric_limits<T>::max();
  if (lo <= x && x <= hi) return static_cast<T>(x);
  switch (mode) {
    case OutOfRangeMode::Clamp:
      return static_cast<T>(x < lo ? lo : hi);
    case OutOfRangeMode::Wrap: {
      const Wide modulus = Wide{1} << (8 * sizeof(T));
      Wide r = x % modulus;
      if (r < 0) r += modulus;
      if (r > hi) r -= modulus;
      return static_cast<T>(r);
    }
    case OutOfRangeMode::Unset:
      break;
  }
  return std::nullopt;
}

// Sample values of S: all of them for 8 and 16 bits, else the extremes and
// the neighbours of every integer type's limits.
template <IntElement S>
std::vector<S> sample_values() {
  std::vector<S> values;
  if constexpr (sizeof(S) <= 2) {
    for (Wide v = std::numeric_limits<S>::min(); v <= std::numeric_limits<S>::max(); ++v)
      values.push_back(static_cast<S>(v));
  } else {
    const Wide limits[] = {0, 1, 127, 128, 255, 256, 32767, 32768, 65535, 65536,
                           2147483647, 2147483648, 4294967295, 4294967296,
                           std::numeric_limits<i64>::max(),
                           Wide{std::numeric_limits<u64>::max()}};
    for (Wide l : limits) {
      for (Wide v : {l - 1, l, l + 1, -l - 1, -l, -l + 1}) {
        if (std::numeric_limits<S>::min() <= v && v <= std::numeric_limits<S>::max())
          values.push_back(static_cast<S>(v));
      }
    }
  }
  return values;
}

template <IntElement S, IntElement T>
void check_pair_against_wide_arithmetic() {
  const std::vector<S> input = sample_values<S>();
  for (OutOfRangeMode mode : kModes) {
    for (bool with_map : {false, true}) {
      // A map that matches nothing forces the per-element path, so both paths
      // are held to the same expectation.
      CastConfig<S, T> config{{}, mode, RoundingMode::NearestEven};
      if (with_map) config.scalar_map.push_back({std::numeric_limits<S>::max(), T{0}});
      for (const S x : input) {
        if (with_map && x == std::numeric_limits<S>::max()) continue;
        T out = T{42};
        const CastResult result = convert_slice<S, T>(
            std::span<const S>(&x, 1), std::span<T>(&out, 1), config);
        const std::optional<T> want = expected_element<T>(Wide{x}, mode);
        const bool agrees = want ? (result.ok() && out == *want)
                                 : (!result.ok() && out == T{42} &&
                                    result.error().value == static_cast<double>(x));
        ASSERT_TRUE(agrees) << dtype_key_of<S> << "->" << dtype_key_of<T>
                            << " x=" << static_cast<long long>(x)
                            << " mode=" << static_cast<int>(mode) << " map=" << with_map;
      }
      // The whole slice at once, under every variant, agrees with the
      // elements.
      test::for_each_supported_isa([&](Isa isa) {
        std::vector<T> out(input.size(), T{42});
        const CastResult result = convert_slice_on<S, T>(isa, input, out, config);
        std::size_t i = 0;
        for (; i < input.size(); ++i) {
          const std::optional<T> want = expected_element<T>(Wide{input[i]}, mode);
          const bool mapped = with_map && input[i] == std::numeric_limits<S>::max();
          if (mapped) {
            ASSERT_EQ(out[i], T{0});
            continue;
          }
          if (!want) break;
          ASSERT_EQ(out[i], *want) << "index " << i;
        }
        ASSERT_EQ(result.ok(), i == input.size());
        for (std::size_t j = i; j < input.size(); ++j) {
          ASSERT_EQ(out[j], T{42}) << "written after the failure, index " << j;
        }
      });
    }
  }
}

TEST(IntToInt, AllPairsAllModesMatchWideArithmetic) {
  using namespace testing_types;
  for_each_pair(IntTypes{}, IntTypes{}, []<class S, class T>() {
    check_pair_against_wide_arithmetic<S, T>();
  });
}

template <IntElement S, IntElement T>
std::string unset_message(S x) {
  T out{};
  const CastResult result = convert_slice<S, T>(
      std::span<const S>(&x, 1), std::span<T>(&out, 1), CastConfig<S, T>{});
  return result.ok() ? "ok" : to_string(result.error());
}

std::string range_message(const char* value, const char* lower, const char* upper) {
  return std::string("Value ") + value + " out of range [" + lower + ", " + upper +
         "]. Set out_of_range='clamp' or out_of_range='wrap' to handle this.";
}

TEST(IntToInt, ReportedBoundsAreTheCommonRange) {
  EXPECT_EQ((unset_message<u8, i8>(200)), range_message("200", "0", "127"));
  EXPECT_EQ((unset_message<i8, u8>(-1)), range_message("-1", "0", "127"));
  EXPECT_EQ((unset_message<i8, u64>(-1)), range_message("-1", "0", "127"));
  EXPECT_EQ((unset_message<i16, u8>(-1)), range_message("-1", "0", "255"));
  EXPECT_EQ((unset_message<i16, u32>(-1)), range_message("-1", "0", "32767"));
  EXPECT_EQ((unset_message<i32, i8>(128)), range_message("128", "-128", "127"));
  EXPECT_EQ((unset_message<i32, u64>(-5)), range_message("-5", "0", "2147483647"));
  EXPECT_EQ((unset_message<u32, i32>(2147483648u)),
            range_message("2147483648", "0", "2147483647"));
  EXPECT_EQ((unset_message<i64, i32>(2147483648)),
            range_message("2147483648", "-2147483648", "2147483647"));
  EXPECT_EQ((unset_message<i64, u64>(-1)), range_message("-1", "0", "9223372036854776000"));
  EXPECT_EQ((unset_message<u64, i64>(9223372036854775808u)),
            range_message("9223372036854776000", "0", "9223372036854776000"));
  EXPECT_EQ((unset_message<u64, u32>(4294967301u)),
            range_message("4294967301", "0", "4294967295"));
  EXPECT_EQ((unset_message<u64, i64>(9223372036854775807u)), "ok");
}

// Long slices of mostly in-range values with one out-of-range intruder per
// block at a varying position, and map entries that hit in-range and
// out-of-range values: every variant against the element rule.
template <IntElement S, IntElement T>
void check_blocks_against_element_rule() {
  using Range = IntRange<S, T>;
  std::mt19937_64 random(0x5eed);
  const std::size_t n = 5 * 256 + 37;
  std::vector<S> input(n);
  for (S& x : input) x = static_cast<S>(Range::lower + static_cast<S>(random() % 100));
  std::vector<S> intruded = input;
  if constexpr (!Range::lossless) {
    const S outside = Range::lower != std::numeric_limits<S>::min()
                          ? std::numeric_limits<S>::min()
                          : std::numeric_limits<S>::max();
    for (std::size_t base = 0; base < n; base += 256) {
      intruded[std::min(n - 1, base + (base / 7) % 200)] = outside;
    }
  }
  for (const OutOfRangeMode mode : kModes) {
    for (const bool with_map : {false, true}) {
      CastConfig<S, T> config{{}, mode, RoundingMode::NearestEven};
      if (with_map) {
        config.scalar_map = {{input[3], T{1}}, {std::numeric_limits<S>::max(), T{2}},
                             {std::numeric_limits<S>::min(), T{3}}, {input[3], T{4}}};
      }
      const auto reference = [&](InputSlice<S> in, OutputSlice<T> out) {
        return convert_each(in, out, config.scalar_map,
                            [&](S x) { return int_to_int_element<T>(x, mode); });
      };
      for (const std::vector<S>* data : {&input, &intruded}) {
        test::for_each_supported_isa([&](Isa isa) {
          test::expect_variant_matches_reference(isa, *data, config, reference);
        });
      }
    }
  }
}

TEST(IntToInt, EveryVariantMatchesTheElementRuleOnBlocks) {
  using namespace testing_types;
  for_each_pair(IntTypes{}, IntTypes{}, []<class S, class T>() {
    check_blocks_against_element_rule<S, T>();
  });
}

TEST(IntToInt, FailureWritesEverythingBeforeAndNothingAfter) {
  // Large enough that the failure sits in a later block of the checked path.
  std::vector<i16> input(1000, 7);
  input[600] = 300;
  for (bool with_map : {false, true}) {
    CastConfig<i16, u8> config;
    if (with_map) config.scalar_map.push_back({-5, 9});
    std::vector<u8> out(1000, 0);
    const CastResult result = convert_slice<i16, u8>(input, out, config);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(to_string(result.error()), range_message("300", "0", "255"));
    for (std::size_t i = 0; i < 600; ++i) ASSERT_EQ(out[i], 7) << i;
    for (std::size_t i = 600; i < 1000; ++i) ASSERT_EQ(out[i], 0) << i;
  }
}

// A failure at lanes across a block (run edges included), after map hits
// earlier in the block, with maps that take each frame path: the elements
// before it written as the rule writes them, none after, whether the output
// is apart from the input or, for equal widths, the input's own memory.
template <IntElement S, IntElement T>
void check_failure_positions() {
  using Range = IntRange<S, T>;
  if constexpr (!Range::lossless) {
    const S outside = Range::lower != std::numeric_limits<S>::min()
                          ? std::numeric_limits<S>::min()
                          : std::numeric_limits<S>::max();
    const S key = static_cast<S>(Range::lower + 1);
    const auto element = [](S x) { return int_to_int_element<T>(x, OutOfRangeMode::Unset); };
    for (const std::size_t at : {256u, 256u + 63, 256u + 64, 256u + 127, 256u + 128, 256u + 255,
                                 700u}) {
      std::vector<S> input(1100);
      for (std::size_t i = 0; i < input.size(); ++i) {
        input[i] = static_cast<S>(Range::lower + static_cast<S>(2 + i % 50));
      }
      input[257] = key;
      input[at - 1] = key;
      input[at] = outside;
      // No map; one entry and two (the kernel's own sweeps, or a per-entry
      // sweep); nine (hashed).
      for (const std::size_t entries : {0u, 1u, 2u, 9u}) {
        CastConfig<S, T> config;
        for (std::size_t e = 0; e < entries; ++e) {
          const S source = static_cast<S>(Range::lower + static_cast<S>(60 + e));
          config.scalar_map.push_back({e == 0 ? key : source, static_cast<T>(5 + e)});
        }
        const auto reference = [&](InputSlice<S> in, OutputSlice<T> out) {
          return convert_each(in, out, config.scalar_map, element);
        };
        test::for_each_supported_isa([&](Isa isa) {
          SCOPED_TRACE("failure at " + std::to_string(at) + ", entries " +
                       std::to_string(entries));
          test::expect_variant_matches_reference(isa, input, config, reference);
          if constexpr (sizeof(S) == sizeof(T)) {
            test::expect_in_place_matches_reference(isa, input, config, reference);
          }
        });
      }
    }
  }
}

TEST(IntToInt, FailureAnywhereInABlockWritesExactlyTheElementsBefore) {
  using namespace testing_types;
  for_each_pair(IntTypes{}, IntTypes{}, []<class S, class T>() {
    check_failure_positions<S, T>();
  });
}

TEST(IntToInt, LengthIsTheShorterSlice) {
  const std::vector<i32> five = {1, 2, 3, 4, 5};
  std::vector<i64> three(3, -1);
  EXPECT_TRUE((convert_slice<i32, i64>(five, three, {}).ok()));
  EXPECT_EQ(three, (std::vector<i64>{1, 2, 3}));

  const std::vector<i32> input = {1, 2, 3};
  std::vector<i8> out(5, -1);
  EXPECT_TRUE((convert_slice<i32, i8>(input, out, {}).ok()));
  EXPECT_EQ(out, (std::vector<i8>{1, 2, 3, -1, -1}));

  // Nothing to convert: success whatever the values and modes.
  const std::vector<i32> bad = {1000};
  std::vector<i8> none;
  EXPECT_TRUE((convert_slice<i32, i8>(bad, none, {}).ok()));
  EXPECT_TRUE((convert_slice<i32, i8>(std::span<const i32>(), out, {}).ok()));
}

TEST(IntToInt, FirstMatchingMapEntryWinsAndSkipsTheRangeTest) {
  CastConfig<u8, i8> config;
  config.scalar_map = {{200, 0}, {1, 10}, {1, 20}, {200, 5}};
  const std::vector<u8> input = {1, 200, 2, 201};
  std::vector<i8> out(4, -1);
  const CastResult result = convert_slice<u8, i8>(input, out, config);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(to_string(result.error()), range_message("201", "0", "127"));
  EXPECT_EQ(out, (std::vector<i8>{10, 0, 2, -1}));

  // A widening never fails, but the map still replaces its source value.
  CastConfig<i8, i64> widen;
  widen.scalar_map = {{-128, 99}};
  const std::vector<i8> w_in = {-128, 127, -1};
  std::vector<i64> w_out(3);
  EXPECT_TRUE((convert_slice<i8, i64>(w_in, w_out, widen).ok()));
  EXPECT_EQ(w_out, (std::vector<i64>{99, 127, -1}));
}

TEST(IntToInt, ConvertsInPlaceWhenInputAndOutputAreTheSameMemory) {
  std::vector<i32> data = {-1, 5, std::numeric_limits<i32>::min()};
  const InputSlice<i32> in(data.data(), data.size());
  const OutputSlice<u32> out(data.data(), data.size());
  CastConfig<i32, u32> config;
  config.out_of_range = OutOfRangeMode::Clamp;
  ASSERT_TRUE(convert_slice(in, out, config).ok());
  EXPECT_EQ(data, (std::vector<i32>{0, 5, 0}));
  config.out_of_range = OutOfRangeMode::Wrap;
  data = {-1, 5};
  ASSERT_TRUE(convert_slice(InputSlice<i32>(data.data(), 2),
                                       OutputSlice<u32>(data.data(), 2), config)
                  .ok());
  EXPECT_EQ(data, (std::vector<i32>{-1, 5}));
}

TEST(IntToInt, MisalignedSlices) {
  alignas(8) unsigned char in_bytes[1 + 3 * sizeof(i32)] = {};
  alignas(8) unsigned char out_bytes[1 + 3 * sizeof(i16)] = {};
  const i32 values[3] = {70000, -5, -70000};
  std::memcpy(in_bytes + 1, values, sizeof values);
  CastConfig<i32, i16> config;
  config.out_of_range = OutOfRangeMode::Clamp;
  ASSERT_TRUE(convert_slice(InputSlice<i32>(in_bytes + 1, 3),
                                       OutputSlice<i16>(out_bytes + 1, 3), config)
                  .ok());
  i16 got[3];
  std::memcpy(got, out_bytes + 1, sizeof got);
  EXPECT_EQ(got[0], 32767);
  EXPECT_EQ(got[1], -5);
  EXPECT_EQ(got[2], -32768);
}

}  // namespace
}  // namespace prandel

#include "prandel/modes.hpp"

#include <gtest/gtest.h>

#include <string>

namespace prandel {
namespace {

TEST(ModeParsing, AcceptsExactTexts) {
  const std::pair<const char*, RoundingMode> rounding[] = {
      {"nearest-even", RoundingMode::NearestEven},
      {"towards-zero", RoundingMode::TowardsZero},
      {"towards-positive", RoundingMode::TowardsPositive},
      {"towards-negative", RoundingMode::TowardsNegative},
      {"nearest-away", RoundingMode::NearestAway},
  };
  for (const auto& [text, mode] : rounding) {
    auto parsed = parse_rounding_mode(text);
    ASSERT_TRUE(parsed) << text;
    EXPECT_EQ(*parsed, mode) << text;
  }
  ASSERT_TRUE(parse_out_of_range_mode("clamp"));
  EXPECT_EQ(*parse_out_of_range_mode("clamp"), OutOfRangeMode::Clamp);
  ASSERT_TRUE(parse_out_of_range_mode("wrap"));
  EXPECT_EQ(*parse_out_of_range_mode("wrap"), OutOfRangeMode::Wrap);
}

TEST(ModeParsing, EncodingsAreOneByteWithUnsetTwo) {
  static_assert(sizeof(RoundingMode) == 1 && sizeof(OutOfRangeMode) == 1);
  static_assert(static_cast<int>(RoundingMode::NearestAway) == 4);
  static_assert(static_cast<int>(OutOfRangeMode::Unset) == 2);
}

TEST(ModeParsing, RejectsNearMissesVerbatim) {
  const std::string rejected[] = {
      "Nearest-Even", "NEAREST-EVEN", " nearest-even", "nearest-even ",
      "nearest_even", "nearest-eve",  "nearest",       "",
      "towards-zer0", "nearest-even\n", std::string("nearest-even\0", 13),
  };
  for (const std::string& text : rejected) {
    auto parsed = parse_rounding_mode(text);
    ASSERT_FALSE(parsed) << text;
    EXPECT_EQ(parsed.error(), "Unknown rounding mode: " + text);
  }
}

TEST(ModeParsing, RejectsOutOfRangeNearMissesVerbatim) {
  const std::string rejected[] = {"Clamp", "clamp ", "wrap ", "saturate",
                                  "none",  "None",   "",      "clam"};
  for (const std::string& text : rejected) {
    auto parsed = parse_out_of_range_mode(text);
    ASSERT_FALSE(parsed) << text;
    EXPECT_EQ(parsed.error(), "Unknown out_of_range mode: " + text);
  }
}

}  // namespace
}  // namespace prandel

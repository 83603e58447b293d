#include "prandel/cast_error.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace prandel {
namespace {

std::string display(double value) {
  std::string text;
  format_shortest_positional(value, text);
  return text;
}

TEST(ShortestPositional, Table) {
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    double value;
    std::string text;
  } rows[] = {
      {127, "127"},
      {-128, "-128"},
      {0.5, "0.5"},
      {0.0, "0"},
      {-0.0, "0"},
      {1.5e-5, "0.000015"},
      {-0.001, "-0.001"},
      {123.456, "123.456"},
      {9223372036854775808.0, "9223372036854776000"},
      {18446744073709551616.0, "18446744073709552000"},
      {3.4028234663852886e38, "340282346638528860000000000000000000000"},
      {-3.4028234663852886e38, "-340282346638528860000000000000000000000"},
      {1e300, std::string("1").append(300, '0')},
      {5e-324, std::string("0.").append(323, '0').append("5")},
      {0.1, "0.1"},
      {65504, "65504"},
      {std::nan(""), "NaN"},
      {-std::nan(""), "NaN"},
      {inf, "inf"},
      {-inf, "-inf"},
  };
  for (const auto& row : rows) EXPECT_EQ(display(row.value), row.text) << row.text;
}

TEST(CastErrorDisplay, Messages) {
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(to_string(CastError::out_of_range(200, 0, 127)),
            "Value 200 out of range [0, 127]. Set out_of_range='clamp' or "
            "out_of_range='wrap' to handle this.");
  EXPECT_EQ(to_string(CastError::out_of_range(18446744073709551615.0, 0,
                                              9223372036854775807.0)),
            "Value 18446744073709552000 out of range [0, 9223372036854776000]. "
            "Set out_of_range='clamp' or out_of_range='wrap' to handle this.");
  EXPECT_EQ(to_string(CastError::non_finite(std::nan(""))),
            "Cannot cast NaN to integer type without scalar_map");
  EXPECT_EQ(to_string(CastError::non_finite(-inf)),
            "Cannot cast -inf to integer type without scalar_map");
}

TEST(CastErrorDisplay, AppendsToSink) {
  std::string sink = "prefix: ";
  format_cast_error(CastError::non_finite(std::numeric_limits<double>::infinity()), sink);
  EXPECT_EQ(sink, "prefix: Cannot cast inf to integer type without scalar_map");
}

}  // namespace
}  // namespace prandel

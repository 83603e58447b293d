// The caller's rounding and out-of-range choices, and their exact-text parsers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "prandel/expected.hpp"

namespace prandel {

enum class RoundingMode : std::uint8_t {
  NearestEven = 0,
  TowardsZero = 1,
  TowardsPositive = 2,
  TowardsNegative = 3,
  NearestAway = 4,
};

// Carried as one byte wherever the choice travels; Unset (2) is "not given":
// an out-of-range value is then an error.
enum class OutOfRangeMode : std::uint8_t {
  Clamp = 0,
  Wrap = 1,
  Unset = 2,
};

// Exact text match (no case folding, trimming or aliases). On failure the
// result is the message "Unknown rounding mode: {text}".
Expected<RoundingMode, std::string> parse_rounding_mode(std::string_view text);

// As above for "clamp" and "wrap"; never yields Unset. On failure the message
// is "Unknown out_of_range mode: {text}".
Expected<OutOfRangeMode, std::string> parse_out_of_range_mode(
    std::string_view text);

}  // namespace prandel

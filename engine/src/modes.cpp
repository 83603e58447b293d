#include "prandel/modes.hpp"

#include <array>
#include <utility>

namespace prandel {
namespace {

template <class Mode, std::size_t N>
using ModeNames = std::array<std::pair<std::string_view, Mode>, N>;

constexpr ModeNames<RoundingMode, 5> kRoundingModeNames = {{
    {"nearest-even", RoundingMode::NearestEven},
    {"towards-zero", RoundingMode::TowardsZero},
    {"towards-positive", RoundingMode::TowardsPositive},
    {"towards-negative", RoundingMode::TowardsNegative},
    {"nearest-away", RoundingMode::NearestAway},
}};

constexpr ModeNames<OutOfRangeMode, 2> kOutOfRangeModeNames = {{
    {"clamp", OutOfRangeMode::Clamp},
    {"wrap", OutOfRangeMode::Wrap},
}};

// string_view equality compares the lengths before the bytes.
template <class Mode, std::size_t N>
Expected<Mode, std::string> parse_mode(const ModeNames<Mode, N>& names,
                                       std::string_view text,
                                       std::string_view message_prefix) {
  for (const auto& [name, mode] : names) {
    if (name == text) return mode;
  }
  std::string message;
  message.reserve(message_prefix.size() + text.size());
  message.append(message_prefix).append(text);
  return unexpected(std::move(message));
}

}  // namespace

Expected<RoundingMode, std::string> parse_rounding_mode(std::string_view text) {
  return parse_mode(kRoundingModeNames, text, "Unknown rounding mode: ");
}

Expected<OutOfRangeMode, std::string> parse_out_of_range_mode(
    std::string_view text) {
  return parse_mode(kOutOfRangeModeNames, text, "Unknown out_of_range mode: ");
}

}  // namespace prandel

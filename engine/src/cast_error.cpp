#include "prandel/cast_error.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>
#include <system_error>

namespace prandel {

void format_shortest_positional(double value, std::string& sink) {
  if (std::isnan(value)) {
    sink += "NaN";
    return;
  }
  if (std::isinf(value)) {
    sink += value < 0 ? "-inf" : "inf";
    return;
  }
  if (value == 0.0) {
    sink += '0';  // -0.0 too
    return;
  }
  // Shortest round-trip digits in scientific form, "-d.ddde+XX"; the point is
  // placed here because fixed-format to_chars prints every exact digit.
  std::array<char, 32> buf;
  const auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(),
                                       value, std::chars_format::scientific);
  (void)ec;  // 32 bytes always suffice for a double
  std::string_view text(buf.data(), static_cast<std::size_t>(end - buf.data()));
  if (text.front() == '-') {
    sink += '-';
    text.remove_prefix(1);
  }
  const std::size_t e_pos = text.find('e');
  std::string digits;
  digits.reserve(e_pos);
  for (char c : text.substr(0, e_pos)) {
    if (c != '.') digits += c;
  }
  int exponent = 0;
  std::string_view exp_text = text.substr(e_pos + 1);
  if (exp_text.front() == '+') exp_text.remove_prefix(1);
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);

  // The point stands after `int_digits` digits of the significand.
  const long int_digits = static_cast<long>(exponent) + 1;
  const long n = static_cast<long>(digits.size());
  if (int_digits <= 0) {
    sink += "0.";
    sink.append(static_cast<std::size_t>(-int_digits), '0');
    sink += digits;
  } else if (int_digits >= n) {
    sink += digits;
    sink.append(static_cast<std::size_t>(int_digits - n), '0');
  } else {
    sink.append(digits, 0, static_cast<std::size_t>(int_digits));
    sink += '.';
    sink.append(digits, static_cast<std::size_t>(int_digits));
  }
}

void format_cast_error(const CastError& error, std::string& sink) {
  switch (error.kind) {
    case CastError::Kind::NonFinite:
      sink += "Cannot cast ";
      format_shortest_positional(error.value, sink);
      sink += " to integer type without scalar_map";
      return;
    case CastError::Kind::OutOfRange:
      sink += "Value ";
      format_shortest_positional(error.value, sink);
      sink += " out of range [";
      format_shortest_positional(error.lower, sink);
      sink += ", ";
      format_shortest_positional(error.upper, sink);
      sink +=
          "]. Set out_of_range='clamp' or out_of_range='wrap' to handle this.";
      return;
  }
}

std::string to_string(const CastError& error) {
  std::string text;
  format_cast_error(error, text);
  return text;
}

}  // namespace prandel

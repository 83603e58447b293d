// Why an element failed to convert: numbers only, turned into text on display.
#pragma once

#include <optional>
#include <string>

#include "prandel/element_types.hpp"
#include "prandel/expected.hpp"

namespace prandel {

struct CastError {
  enum class Kind : unsigned char { NonFinite, OutOfRange };

  Kind kind;
  double value;
  double lower = 0.0;  // OutOfRange only
  double upper = 0.0;  // OutOfRange only

  static constexpr CastError non_finite(double value) {
    return {Kind::NonFinite, value, 0.0, 0.0};
  }
  static constexpr CastError out_of_range(double value, double lower,
                                          double upper) {
    return {Kind::OutOfRange, value, lower, upper};
  }
};

// Appends the error's message to `sink`:
//   "Cannot cast {value} to integer type without scalar_map"
//   "Value {value} out of range [{lower}, {upper}]. Set out_of_range='clamp' or out_of_range='wrap' to handle this."
void format_cast_error(const CastError& error, std::string& sink);
std::string to_string(const CastError& error);

// Appends `value` as the shortest decimal that reads back exactly, written
// positionally ("127", "0.5", "9223372036854776000"); "NaN", "inf", "-inf".
void format_shortest_positional(double value, std::string& sink);

// The outcome of a kernel call: success, or the first element's CastError.
class [[nodiscard]] CastResult {
 public:
  constexpr CastResult() = default;
  constexpr CastResult(CastError error) : error_(error) {}

  constexpr bool ok() const noexcept { return !error_.has_value(); }
  constexpr explicit operator bool() const noexcept { return ok(); }
  constexpr const CastError& error() const { return *error_; }

 private:
  std::optional<CastError> error_;
};

// One element's outcome under an element rule: the value, or why it failed.
template <Element T>
using ElementResult = Expected<T, CastError>;

}  // namespace prandel

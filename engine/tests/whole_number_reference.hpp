// An exact reference for the float-to-integer rule, in integer arithmetic
// (its rounding step serves the integer-to-float reference too):
// a double is split by frexp into an integer significand and a power of two,
// rounded by comparing its dropped bits with one half, and placed in an
// integer type with 128-bit bounds and modular arithmetic. It shares no code
// with the engine's rounding, range test or wrap.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "prandel/cast_error.hpp"
#include "prandel/element_types.hpp"
#include "prandel/modes.hpp"

namespace prandel::test {

__extension__ typedef __int128 Wide;
__extension__ typedef unsigned __int128 UWide;

// A whole number (-1)^negative * magnitude * 2^shift.
struct ExactWhole {
  bool negative;
  u64 magnitude;  // at most 2^53
  int shift;      // at least 0

  // Only while |value| < 2^118.
  Wide value() const {
    const Wide m = static_cast<Wide>(UWide{magnitude} << shift);
    return negative ? -m : m;
  }
  double as_f64_magnitude() const { return std::ldexp(static_cast<double>(magnitude), shift); }
  double as_f64() const { return negative ? -as_f64_magnitude() : as_f64_magnitude(); }
};

// Whether a magnitude cut to whole units steps one unit away from zero
// under `mode`: `order` compares the part cut off with half a unit (-1, 0 or
// 1), `inexact` says whether anything was cut off, `kept_odd` whether the
// units kept are odd. Shared by the exact references of the tests.
inline bool steps_away(RoundingMode mode, bool negative, int order, bool inexact, bool kept_odd) {
  switch (mode) {
    case RoundingMode::NearestEven:
      return inexact && (order > 0 || (order == 0 && kept_odd));
    case RoundingMode::NearestAway:
      return inexact && order >= 0;
    case RoundingMode::TowardsZero:
      return false;
    case RoundingMode::TowardsPositive:
      return inexact && !negative;
    case RoundingMode::TowardsNegative:
      return inexact && negative;
  }
  return false;
}

// The finite x rounded to a whole number under `mode`, exactly.
inline ExactWhole round_exactly(double x, RoundingMode mode) {
  const bool negative = std::signbit(x);
  int exponent = 0;
  const double fraction = std::frexp(std::fabs(x), &exponent);  // |x| = fraction * 2^exponent
  const u64 significand = static_cast<u64>(std::ldexp(fraction, 53));
  const int shift = exponent - 53;  // |x| = significand * 2^shift
  if (shift >= 0) return {negative, significand, shift};
  // |x| = q + rest / 2^k with 0 <= rest < 2^k; half is 2^(k-1).
  const int k = -shift;
  const u64 q = k < 64 ? significand >> k : 0;
  const UWide rest = k < 64 ? UWide{significand} - (UWide{q} << k) : UWide{significand};
  // rest against one half; beyond k = 100 rest (below 2^53) is far below it.
  const UWide half = k > 100 ? ~UWide{0} : UWide{1} << (k - 1);
  const int order = rest < half ? -1 : rest == half ? 0 : 1;
  const bool up = steps_away(mode, negative, order, rest != 0, (q & 1) != 0);
  return {negative, q + (up ? 1 : 0), 0};
}

// The expected outcome of converting the float value x (given as the double
// it equals) to I: the integer, or the error.
struct ExpectedOutcome {
  std::optional<Wide> value;
  std::optional<CastError> error;
};

template <IntElement I>
ExpectedOutcome expected_conversion(double x, RoundingMode rounding, OutOfRangeMode mode) {
  using Limits = std::numeric_limits<I>;
  const Wide lo = Limits::min();
  const Wide hi = Limits::max();
  const CastError range_error =
      CastError::out_of_range(0.0, static_cast<double>(Limits::min()),
                              static_cast<double>(Limits::max()));
  if (std::isnan(x)) return {std::nullopt, CastError::non_finite(x)};
  if (std::isinf(x)) {
    switch (mode) {
      case OutOfRangeMode::Clamp:
        return {x < 0 ? lo : hi, std::nullopt};
      case OutOfRangeMode::Wrap:
        return {std::nullopt, CastError::non_finite(x)};
      case OutOfRangeMode::Unset:
        break;
    }
    CastError e = range_error;
    e.value = x;
    return {std::nullopt, e};
  }
  const ExactWhole r = round_exactly(x, rounding);
  // With a shift of 64 or more r is outside every target and a multiple of
  // 2^64; below that it fits 128 bits.
  const bool huge = r.shift >= 64;
  const Wide v = huge ? 0 : r.value();
  if (!huge && lo <= v && v <= hi) return {v, std::nullopt};
  switch (mode) {
    case OutOfRangeMode::Clamp:
      return {r.negative ? lo : hi, std::nullopt};
    case OutOfRangeMode::Wrap: {
      // min + ((r - min) mod 2^bits); a huge r is 0 modulo 2^bits.
      const Wide modulus = Wide{1} << (8 * sizeof(I));
      Wide m = (v - lo) % modulus;
      if (m < 0) m += modulus;
      return {lo + m, std::nullopt};
    }
    case OutOfRangeMode::Unset:
      break;
  }
  CastError e = range_error;
  e.value = r.as_f64();
  return {std::nullopt, e};
}

inline std::string wide_text(Wide v) {
  if (v == 0) return "0";
  const bool negative = v < 0;
  UWide m = negative ? UWide(0) - static_cast<UWide>(v) : static_cast<UWide>(v);
  std::string digits;
  while (m != 0) {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(m % 10)));
    m /= 10;
  }
  return negative ? "-" + digits : digits;
}

// The expected outcome as text: the integer in decimal, or the message.
inline std::string outcome_text(const ExpectedOutcome& outcome) {
  return outcome.value ? wide_text(*outcome.value) : to_string(*outcome.error);
}

}  // namespace prandel::test

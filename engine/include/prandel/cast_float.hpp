// Per-float-type rounding to a whole number, for the float-to-integer
// kernels. f32 and f64 use the C library in their own type; binary16 widens
// to f32, rounds there and narrows back.
//
// Header-only so the kernels can inline it into their element loops. The
// floating-point environment is left alone: rint relies on the default
// round-to-nearest-even.
#pragma once

#include <cfloat>
#include <cmath>
#include <concepts>
#include <limits>

#include "prandel/binary16.hpp"
#include "prandel/element_types.hpp"
#include "prandel/modes.hpp"

namespace prandel {

template <FloatElement F>
struct CastFloat {
  // The value rounded to a whole number of F under `mode`, exactly;
  // infinities and NaNs pass through, a zero result keeps the sign of x.
  static F round_with_mode(F x, RoundingMode mode) noexcept;

  // Two exact forms of NearestAway for f32 and f64; round_with_mode takes
  // the sum where F arithmetic rounds to F, else the fraction.
  static F round_half_away_by_sum(F x) noexcept;
  static F round_half_away_by_fraction(F x) noexcept;
};

// Whether F arithmetic is rounded to F itself, not carried in a wider format
// (x87 carries it in 80 bits, and float may be carried as double).
template <FloatElement F>
inline constexpr bool kArithmeticRoundsToType =
    FLT_EVAL_METHOD == 0 || (FLT_EVAL_METHOD == 1 && std::same_as<F, f64>);

template <FloatElement F>
F CastFloat<F>::round_with_mode(F x, RoundingMode mode) noexcept {
  if constexpr (std::same_as<F, f16>) {
    // Every binary16 value and every whole number it rounds to are exact in
    // f32, so this is the exactly rounded result under every mode.
    return to_f16(CastFloat<f32>::round_with_mode(to_f32(x), mode));
  } else {
    switch (mode) {
      case RoundingMode::NearestEven:
        return std::rint(x);
      case RoundingMode::TowardsZero:
        return std::trunc(x);
      case RoundingMode::TowardsPositive:
        return std::ceil(x);
      case RoundingMode::TowardsNegative:
        return std::floor(x);
      case RoundingMode::NearestAway:
        if constexpr (kArithmeticRoundsToType<F>) {
          return round_half_away_by_sum(x);
        } else {
          return round_half_away_by_fraction(x);
        }
    }
    return x;  // not reached: every mode is handled above
  }
}

// trunc(x + h), h = 1/2 - 2^-(p+2) (the largest value below one half, p the
// fraction bits) with the sign of x. Exact when the sum is rounded once, to
// F: a fraction of one half or more brings the sum within 2^-(p+2) of the
// next whole number, which it rounds to (at one, the tie goes to the even
// 1.0); a smaller fraction leaves it at or below the value of F just under
// that number; and from 2^p on, where x is whole, h is below half a unit.
template <FloatElement F>
F CastFloat<F>::round_half_away_by_sum(F x) noexcept {
  const F h = std::copysign(F(0.5) - std::numeric_limits<F>::epsilon() / 4, x);
  const F sum = x + h;
  return std::trunc(sum);
}

// trunc(x), one step away from zero when the fraction x - trunc(x) (exact)
// is at least one half. Where x has a fraction its whole part is below 2^p,
// so the step is exact; the step carries the sign of x, so a zero result
// keeps it, and an infinity gives a NaN fraction and no step.
template <FloatElement F>
F CastFloat<F>::round_half_away_by_fraction(F x) noexcept {
  const F whole = std::trunc(x);
  const F fraction = x - whole;
  const F step = std::fabs(fraction) >= F(0.5) ? F(1) : F(0);
  return whole + std::copysign(step, x);
}

}  // namespace prandel

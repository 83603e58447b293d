// Per-float-type rounding to a whole number and Euclidean remainder, for the
// float-to-integer kernels. f32 and f64 use the C library in their own type;
// binary16 widens to f32, applies the f32 operation and narrows back.
//
// Header-only so the kernels can inline them into their element loops. The
// floating-point environment is left alone: rint relies on the default
// round-to-nearest-even.
#pragma once

#include <cmath>
#include <concepts>

#include "prandel/binary16.hpp"
#include "prandel/element_types.hpp"
#include "prandel/modes.hpp"

namespace prandel {

template <FloatElement F>
struct CastFloat {
  // The value rounded to a whole number of F under `mode`; infinities and NaNs
  // pass through, a zero result keeps the sign of x. NearestAway is
  // copysign(floor(|x| + 0.5), x) with the sum rounded to F.
  static F round_with_mode(F x, RoundingMode mode) noexcept;
  // fmod(a, b), plus |b| when that is negative (a NaN or -0.0 passes as is).
  static F rem_euclid(F a, F b) noexcept;
};

template <FloatElement F>
F CastFloat<F>::round_with_mode(F x, RoundingMode mode) noexcept {
  if constexpr (std::same_as<F, f16>) {
    // Every binary16 value and every |x| + 0.5 is exact in f32, so this is
    // the exactly rounded result under every mode.
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
      case RoundingMode::NearestAway: {
        // Named so the sum is rounded to F even where F arithmetic would be
        // carried out in a wider format.
        const F shifted = std::fabs(x) + F(0.5);
        return std::copysign(std::floor(shifted), x);
      }
    }
    return x;  // not reached: every mode is handled above
  }
}

template <FloatElement F>
F CastFloat<F>::rem_euclid(F a, F b) noexcept {
  if constexpr (std::same_as<F, f16>) {
    return to_f16(CastFloat<f32>::rem_euclid(to_f32(a), to_f32(b)));
  } else {
    const F m = std::fmod(a, b);
    return m < F(0) ? F(m + std::fabs(b)) : m;
  }
}

}  // namespace prandel

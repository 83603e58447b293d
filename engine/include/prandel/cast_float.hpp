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
#include "prandel/cpu_features.hpp"
#include "prandel/element_types.hpp"
#include "prandel/mode_dispatch.hpp"
#include "prandel/modes.hpp"

namespace prandel {

template <FloatElement F>
struct CastFloat {
  // The value rounded to a whole number of F under `mode`, exactly;
  // infinities and NaNs pass through, a zero result keeps the sign of x.
  static F round_with_mode(F x, RoundingMode mode) noexcept;

  // Two exact forms of NearestAway for f32 and f64; round_with_mode takes
  // the sum where F arithmetic rounds to F, else the fraction.
  // Always inline: vector loops in every instruction-set variant use them.
  PRANDEL_INLINE static F round_half_away_by_sum(F x) noexcept;
  PRANDEL_INLINE static F round_half_away_by_fraction(F x) noexcept;
};

// Whether F arithmetic is rounded to F itself, not carried in a wider format
// (x87 carries it in 80 bits, and float may be carried as double).
template <FloatElement F>
inline constexpr bool kArithmeticRoundsToType =
    FLT_EVAL_METHOD == 0 || (FLT_EVAL_METHOD == 1 && std::same_as<F, f64>);

// x (f32 or f64) rounded to a whole number under R, with the mode fixed at
// compile time: each form is one vector instruction where the instruction
// set has rounding (SSE4.1 and later), so loops over it vectorise.
template <RoundingMode R, class F>
  requires std::same_as<F, f32> || std::same_as<F, f64>
PRANDEL_INLINE F round_whole(F x) noexcept {
  if constexpr (R == RoundingMode::NearestEven) {
    return std::rint(x);
  } else if constexpr (R == RoundingMode::TowardsZero) {
    return std::trunc(x);
  } else if constexpr (R == RoundingMode::TowardsPositive) {
    return std::ceil(x);
  } else if constexpr (R == RoundingMode::TowardsNegative) {
    return std::floor(x);
  } else if constexpr (kArithmeticRoundsToType<F>) {
    return CastFloat<F>::round_half_away_by_sum(x);
  } else {
    return CastFloat<F>::round_half_away_by_fraction(x);
  }
}

// The same results from additions and comparisons only, for vector loops
// where the instruction set has no rounding (x86 before SSE4.1, where the
// library calls would stay per element). Below 2^p (p the fraction bits)
// |x| + 2^p lies where the unit in the last place is 1, so the sum less 2^p
// is |x| rounded to nearest, ties to even (the default environment); one
// step down where that passed |x| gives the whole part, and the modes step
// up from it by the exact fraction. From 2^p on x is whole (or not finite)
// and is its own result. Needs the sum rounded once, to F.
template <RoundingMode R, class F>
  requires(std::same_as<F, f32> || std::same_as<F, f64>) && kArithmeticRoundsToType<F>
PRANDEL_INLINE F round_whole_by_sum(F x) noexcept {
  constexpr F kUnitBinade = F(1) / std::numeric_limits<F>::epsilon();  // 2^p
  const F magnitude = std::fabs(x);
  const F nearest = (magnitude + kUnitBinade) - kUnitBinade;
  F rounded = nearest;
  if constexpr (R != RoundingMode::NearestEven) {
    const F whole = nearest > magnitude ? nearest - F(1) : nearest;
    const F fraction = magnitude - whole;
    bool up = false;
    if constexpr (R == RoundingMode::NearestAway) {
      up = fraction >= F(0.5);
    } else if constexpr (R == RoundingMode::TowardsPositive) {
      up = fraction > F(0) && !(x < F(0));
    } else if constexpr (R == RoundingMode::TowardsNegative) {
      up = fraction > F(0) && x < F(0);
    }
    rounded = up ? whole + F(1) : whole;
  }
  return magnitude < kUnitBinade ? std::copysign(rounded, x) : x;
}

template <FloatElement F>
F CastFloat<F>::round_with_mode(F x, RoundingMode mode) noexcept {
  if constexpr (std::same_as<F, f16>) {
    // Every binary16 value and every whole number it rounds to are exact in
    // f32, so this is the exactly rounded result under every mode.
    return to_f16(CastFloat<f32>::round_with_mode(to_f32(x), mode));
  } else {
    return with_rounding_mode(mode, [x]<RoundingMode R>() PRANDEL_INLINE_LAMBDA {
      return round_whole<R>(x);
    });
  }
}

// The largest value below one half, 1/2 - 2^-(p+2) (p the fraction bits):
// the addend of the ties-away rounding by a sum, here and in the vector
// kernels.
template <std::floating_point F>
inline constexpr F kLargestBelowHalf = F(0.5) - std::numeric_limits<F>::epsilon() / 4;

// trunc(x + h), h = 1/2 - 2^-(p+2) (the largest value below one half, p the
// fraction bits) with the sign of x. Exact when the sum is rounded once, to
// F: a fraction of one half or more brings the sum within 2^-(p+2) of the
// next whole number, which it rounds to (at one, the tie goes to the even
// 1.0); a smaller fraction leaves it at or below the value of F just under
// that number; and from 2^p on, where x is whole, h is below half a unit.
template <FloatElement F>
F CastFloat<F>::round_half_away_by_sum(F x) noexcept {
  const F h = std::copysign(kLargestBelowHalf<F>, x);
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

// The float-to-float element rule, for all nine pairs of binary16, f32 and
// f64.
//
// Identities keep the bit pattern (NaN payloads included) and widenings are
// exact, whatever the modes. The three narrowings (f64 to f32, f32 to
// binary16, f64 to binary16) give the IEEE result of the element under the
// rounding mode, in one rounding. A finite element whose result is infinite
// overflows: OutOfRange(element, -max, max) of the target, unless the
// out-of-range mode is Clamp, which writes that infinity.
#pragma once

#include <concepts>
#include <limits>

#include "prandel/binary16.hpp"
#include "prandel/cast_error.hpp"
#include "prandel/float_ops.hpp"
#include "prandel/mode_dispatch.hpp"
#include "prandel/modes.hpp"
#include "prandel/rounding_step.hpp"

namespace prandel {

template <FloatElement S, FloatElement T>
inline constexpr bool float_to_float_narrows = sizeof(T) < sizeof(S);

// Wrap has no meaning between float types: only Clamp lets an overflow
// through.
constexpr bool float_overflow_fails(OutOfRangeMode mode) noexcept {
  return mode != OutOfRangeMode::Clamp;
}

template <FloatElement T>
inline constexpr f64 kLargestFinite = [] {
  if constexpr (std::same_as<T, f16>) {
    return 65504.0;
  } else {
    return static_cast<f64>(std::numeric_limits<T>::max());
  }
}();

// Halfway between T's largest value and the power of two above it: from
// this magnitude up the nearest modes round to an infinity. Exact in every
// wider type.
template <FloatElement T>
inline constexpr f64 kOverflowTie = std::same_as<T, f16> ? 65520.0 : kF32OverflowTie;

// Whether the finite element x rounds to an infinity of T under R, decided
// on x itself so that a kernel can test it while it converts: the nearest
// modes from the tie up, towards-positive above the largest value,
// towards-negative below its negation, towards-zero never. Infinities and
// NaNs never overflow. Free of branches, so a loop of it vectorises.
template <FloatElement T, RoundingMode R, FloatElement S>
  requires float_to_float_narrows<S, T>
constexpr bool overflows_narrowing(S x) noexcept {
  constexpr S kInfinity = std::numeric_limits<S>::infinity();
  constexpr S kTie = static_cast<S>(kOverflowTie<T>);
  constexpr S kLargest = static_cast<S>(kLargestFinite<T>);
  const auto both = [](bool a, bool b) {
    return (static_cast<unsigned>(a) & static_cast<unsigned>(b)) != 0;
  };
  if constexpr (R == RoundingMode::NearestEven || R == RoundingMode::NearestAway) {
    return both(x >= kTie, x < kInfinity) || both(x <= -kTie, x > -kInfinity);
  } else if constexpr (R == RoundingMode::TowardsPositive) {
    return both(x > kLargest, x < kInfinity);
  } else if constexpr (R == RoundingMode::TowardsNegative) {
    return both(x < -kLargest, x > -kInfinity);
  } else {
    return false;
  }
}

template <FloatElement T, FloatElement S>
inline CastError narrowing_overflow_error(S x) noexcept {
  return CastError::out_of_range(to_f64(x), -kLargestFinite<T>, kLargestFinite<T>);
}

namespace float_to_float_detail {

// x converted to T to nearest, ties to even, in one rounding; exact unless T
// is narrower. A NaN stays a quiet NaN with its sign and top payload bits.
template <FloatElement T, FloatElement S>
inline T convert_nearest(S x) noexcept {
  if constexpr (std::same_as<S, T>) {
    return x;
  } else if constexpr (std::same_as<T, f16>) {
    return to_f16(x);
  } else if constexpr (std::same_as<S, f16>) {
    return static_cast<T>(to_f32(x));
  } else if constexpr (std::same_as<T, f32>) {
    return narrow_to_f32(x);
  } else {
    return static_cast<T>(x);
  }
}

}  // namespace float_to_float_detail

// The mode step: r, the nearest-even conversion of x, moved to x's result
// under R (at most one step, decided by exact comparison). A NaN stays.
template <RoundingMode R, FloatElement S, FloatElement T>
inline T float_rounding_step(S x, T r) noexcept {
  if constexpr (R == RoundingMode::NearestEven || !float_to_float_narrows<S, T>) {
    return r;
  } else {
    if (is_nan(x)) return r;
    return step_to_rounding_mode<R>(to_f64(x), r, to_f64(r));
  }
}

// The element rule with the modes fixed: the result of x under R, or (when
// kOverflowFails) the OutOfRange error of a finite x that rounds past T's
// range.
template <FloatElement T, RoundingMode R, bool kOverflowFails, FloatElement S>
inline ElementResult<T> float_to_float_element(S x) noexcept {
  if constexpr (float_to_float_narrows<S, T> && kOverflowFails) {
    if (overflows_narrowing<T, R>(x)) return unexpected(narrowing_overflow_error<T>(x));
  }
  return float_rounding_step<R>(x, float_to_float_detail::convert_nearest<T>(x));
}

// The same with the modes given at run time.
template <FloatElement T, FloatElement S>
inline ElementResult<T> float_to_float_element(S x, RoundingMode rounding,
                                               OutOfRangeMode out_of_range) noexcept {
  const auto with_rounding = [&]<bool kOverflowFails>() -> ElementResult<T> {
    return with_rounding_mode(rounding, [x]<RoundingMode R>() {
      return float_to_float_element<T, R, kOverflowFails>(x);
    });
  };
  return float_overflow_fails(out_of_range) ? with_rounding.template operator()<true>()
                                            : with_rounding.template operator()<false>();
}

}  // namespace prandel

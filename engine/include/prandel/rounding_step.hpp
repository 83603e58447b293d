// The rounding modes of the float-target kernels (integer to float, float to
// float). The value is converted to nearest, ties to even, in the default
// floating-point environment; a directed or ties-away mode then moves that
// result by at most one step, decided by an exact comparison of the source
// with the result. The environment is never changed.
#pragma once

#include <cmath>
#include <concepts>

#include "prandel/element_types.hpp"
#include "prandel/float_ops.hpp"
#include "prandel/modes.hpp"
#include "prandel/next_float.hpp"

namespace prandel {

namespace rounding_step_detail {

// `condition ? a : b` on bit patterns by masking: the conditions depend on the
// data, and a branch on them would mispredict on every other element.
template <std::unsigned_integral Bits>
constexpr Bits select_bits(bool condition, Bits a, Bits b) noexcept {
  const Bits mask = static_cast<Bits>(Bits{0} - static_cast<Bits>(condition));
  return static_cast<Bits>(b ^ ((a ^ b) & mask));
}

}  // namespace rounding_step_detail

// Where the source x lies against r, its nearest-even conversion: strictly
// above, strictly below (neither when r is exact), and the sign of x.
struct SourceSide {
  bool above;
  bool below;
  bool negative;
};

// Returns the result under mode R from `r`, the nearest-even conversion of a
// source (not a NaN) that lies on `side` of it. `is_midpoint(c)` tells
// whether the source lies exactly halfway between r and its neighbour c on
// the source's side; only NearestAway asks.
template <RoundingMode R, FloatElement T, class IsMidpoint>
inline T step_from_nearest(T r, SourceSide side,
                           [[maybe_unused]] IsMidpoint&& is_midpoint) noexcept {
  if constexpr (R == RoundingMode::NearestEven) {
    return r;
  } else {
    using rounding_step_detail::select_bits;
    using B = FloatBits<T>;
    const auto bits = B::to_bits(r);
    const auto up = B::to_bits(next_up(r));
    const auto down = B::to_bits(next_down(r));
    if constexpr (R == RoundingMode::TowardsZero) {
      // r lies beyond x, away from zero: one step back toward it.
      const bool beyond = side.negative ? side.above : side.below;
      return B::from_bits(select_bits(beyond, select_bits(side.negative, up, down), bits));
    } else if constexpr (R == RoundingMode::TowardsPositive) {
      return B::from_bits(select_bits(side.above, up, bits));
    } else if constexpr (R == RoundingMode::TowardsNegative) {
      return B::from_bits(select_bits(side.below, down, bits));
    } else {
      // Nearest-even settled a tie toward even; ties go away from zero
      // instead. An infinite neighbour never ties.
      const T c = B::from_bits(select_bits(side.above, up, down));
      const bool midpoint = is_midpoint(c);
      const bool larger = std::fabs(to_f64(c)) > std::fabs(to_f64(r));
      return B::from_bits(select_bits(midpoint && larger, B::to_bits(c), bits));
    }
  }
}

// The step for a source whose value is exactly `xd` (not a NaN); `rd` is r
// as f64. The mean of two neighbours is exact in f64, so the tie test is.
template <RoundingMode R, class T>
  requires std::same_as<T, f32> || std::same_as<T, f16>
inline T step_to_rounding_mode(f64 xd, T r, f64 rd) noexcept {
  return step_from_nearest<R>(r, SourceSide{xd > rd, rd > xd, xd < 0},
                              [&](T c) { return (rd + to_f64(c)) * 0.5 == xd; });
}

}  // namespace prandel

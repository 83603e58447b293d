// The rounding modes of the float-target kernels (integer to float, float to
// float). The value is converted to nearest, ties to even, in the default
// floating-point environment; a directed or ties-away mode then moves that
// result by at most one step, decided by comparing the source and the result
// as f64. The environment is never changed.
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

// `r` is the nearest-even conversion of a source whose f64 image is `xd`
// (not a NaN); `rd` is r as f64. Returns the result under mode R.
template <RoundingMode R, class T>
  requires std::same_as<T, f32> || std::same_as<T, f16>
inline T step_to_rounding_mode(f64 xd, T r, [[maybe_unused]] f64 rd) noexcept {
  if constexpr (R == RoundingMode::NearestEven) {
    return r;
  } else {
    using rounding_step_detail::select_bits;
    using B = FloatBits<T>;
    const auto bits = B::to_bits(r);
    const auto up = B::to_bits(next_up(r));
    const auto down = B::to_bits(next_down(r));
    // Where xd == rd the conversion counts as exact: every test below fails.
    if constexpr (R == RoundingMode::TowardsZero) {
      const auto toward_zero = select_bits(xd < 0, up, down);
      return B::from_bits(select_bits(std::fabs(rd) > std::fabs(xd), toward_zero, bits));
    } else if constexpr (R == RoundingMode::TowardsPositive) {
      return B::from_bits(select_bits(xd > rd, up, bits));
    } else if constexpr (R == RoundingMode::TowardsNegative) {
      return B::from_bits(select_bits(rd > xd, down, bits));
    } else {
      // Nearest-even settled a tie toward even; ties go away from zero
      // instead. The neighbour c lies on the side of x; the mean of two
      // neighbours is exact in f64, and an infinite neighbour never ties.
      const auto c = select_bits(xd > rd, up, down);
      const f64 cd = to_f64(B::from_bits(c));
      const bool away = ((rd + cd) * 0.5 == xd) & (std::fabs(cd) > std::fabs(rd));
      return B::from_bits(select_bits(away, c, bits));
    }
  }
}

}  // namespace prandel

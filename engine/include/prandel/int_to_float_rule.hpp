// The integer-to-float element rule, for all 32 pairs of the eight integer
// types with binary16, f32 and f64. It never fails.
//
// Each element is converted to nearest, ties to even (a single rounding of
// the exact integer; to binary16 by way of f32, which gives the same result
// for integers); another rounding mode then moves that result by at most one
// step, decided on the exact integer.
#pragma once

#include <cmath>
#include <concepts>
#include <limits>
#include <utility>

#include "prandel/binary16.hpp"
#include "prandel/float_ops.hpp"
#include "prandel/cast_error.hpp"
#include "prandel/mode_dispatch.hpp"
#include "prandel/rounding_step.hpp"

namespace prandel {

// Significand bits of each float type, the leading one included.
template <FloatElement T>
inline constexpr int kSignificandBits =
    std::same_as<T, f16> ? 11 : std::numeric_limits<T>::digits;

// Whether the rounding mode can change a result: the target cannot hold
// every source value (the source has more value bits than the target's
// significand). Every other pair converts exactly.
template <IntElement S, FloatElement T>
inline constexpr bool int_to_float_takes_mode =
    std::numeric_limits<S>::digits > kSignificandBits<T>;

namespace int_to_float_detail {

template <FloatElement T, IntElement S>
inline T convert_nearest(S x) noexcept {
  if constexpr (std::same_as<T, f16>) {
    return to_f16(static_cast<f32>(x));
  } else {
    return static_cast<T>(x);  // one rounding, in the default environment
  }
}

// Whether the f64 image of every source value is exact, or else settles the
// mode step all the same: for a binary16 target every integer beyond 2^53
// lies beyond the largest finite value and so does its image.
template <IntElement S, FloatElement T>
inline constexpr bool judged_by_f64_image = sizeof(S) < 8 || std::same_as<T, f16>;

// x - r exactly, for r the nearest f32 or f64 of a 64-bit x. r is a whole
// number of magnitude at most 2^64 within half a unit of x (under 2^40), so
// the difference is taken modulo 2^64 and read back as signed.
template <IntElement S, FloatElement T>
inline i64 residual_from_nearest(S x, T r) noexcept {
  const f64 rd = to_f64(r);
  const f64 magnitude = std::fabs(rd);
  const u64 low_bits = magnitude >= 0x1p64 ? u64{0} : static_cast<u64>(magnitude);
  const u64 r_modular = rd < 0 ? u64{0} - low_bits : low_bits;
  return static_cast<i64>(static_cast<u64>(x) - r_modular);
}

template <RoundingMode R, FloatElement T, IntElement S>
inline T step_from_integer(S x, T r) noexcept {
  const i64 d = residual_from_nearest(x, r);
  const f64 twice_distance = 2.0 * static_cast<f64>(d < 0 ? -d : d);
  return step_from_nearest<R>(r, SourceSide{d > 0, d < 0, std::cmp_less(x, 0)}, [&](T c) {
    // Neighbours differ by a power of two, exact in f64.
    return twice_distance == std::fabs(to_f64(c) - to_f64(r));
  });
}

}  // namespace int_to_float_detail

// x rounded to T under mode R: the IEEE result of the exact integer.
template <RoundingMode R, FloatElement T, IntElement S>
inline T round_int_to_float(S x) noexcept {
  using namespace int_to_float_detail;
  const T r = convert_nearest<T>(x);
  if constexpr (R == RoundingMode::NearestEven || !int_to_float_takes_mode<S, T>) {
    return r;
  } else if constexpr (judged_by_f64_image<S, T>) {
    return step_to_rounding_mode<R>(static_cast<f64>(x), r, to_f64(r));
  } else {
    return step_from_integer<R>(x, r);
  }
}

// The element rule with the mode held at run time. Pairs that take no mode
// convert exactly whatever `rounding` holds.
template <FloatElement T, IntElement S>
inline ElementResult<T> int_to_float_element(S x, RoundingMode rounding) noexcept {
  return with_rounding_mode(rounding, [x]<RoundingMode R>() -> ElementResult<T> {
    return round_int_to_float<R, T>(x);
  });
}

}  // namespace prandel

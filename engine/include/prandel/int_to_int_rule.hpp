// The integer-to-integer element rule, for all 64 pairs of the integer types.
#pragma once

#include <algorithm>
#include <limits>
#include <type_traits>
#include <utility>

#include "prandel/cast_error.hpp"
#include "prandel/modes.hpp"

namespace prandel {

// The values of S that T can hold form [lower, upper]: the larger minimum and
// the smaller maximum of the two types, both values of S.
template <IntElement S, IntElement T>
struct IntRange {
  using SL = std::numeric_limits<S>;
  using TL = std::numeric_limits<T>;

  static constexpr bool lossless = std::cmp_greater_equal(SL::min(), TL::min()) &&
                                   std::cmp_less_equal(SL::max(), TL::max());
  static constexpr S lower =
      std::cmp_less(SL::min(), TL::min()) ? static_cast<S>(TL::min()) : SL::min();
  static constexpr S upper =
      std::cmp_greater(SL::max(), TL::max()) ? static_cast<S>(TL::max()) : SL::max();

  using Unsigned = std::make_unsigned_t<S>;
  // upper - lower is 2^k - 1 for every pair, so x is in range exactly when
  // its offset from lower has no bit outside kOffsetBits; the offsets of a
  // run of elements, ORed together, tell whether all of it is in range.
  static constexpr Unsigned kOffsetBits =
      static_cast<Unsigned>(static_cast<Unsigned>(upper) - static_cast<Unsigned>(lower));
  static_assert((kOffsetBits & (kOffsetBits + 1u)) == 0);
  static constexpr Unsigned offset(S x) noexcept {
    return static_cast<Unsigned>(static_cast<Unsigned>(x) - static_cast<Unsigned>(lower));
  }

  static constexpr S clamp(S x) noexcept { return std::clamp(x, lower, upper); }
  static constexpr bool contains(S x) noexcept { return (offset(x) & ~kOffsetBits) == 0; }
  // C++20 integer conversion is modular: the low bits of the sign- or
  // zero-extended value, read as T.
  static constexpr T wrap(S x) noexcept { return static_cast<T>(x); }

  static CastError out_of_range_error(S x) noexcept {
    return CastError::out_of_range(static_cast<f64>(x), static_cast<f64>(lower),
                                   static_cast<f64>(upper));
  }
};

// A value T cannot hold is clamped, wrapped modulo 2^bits(T), or (Unset) an
// OutOfRange error carrying the value and [lower, upper] as f64.
template <IntElement T, IntElement S>
inline ElementResult<T> int_to_int_element(S x, OutOfRangeMode mode) noexcept {
  using Range = IntRange<S, T>;
  if (Range::lossless || Range::contains(x)) return static_cast<T>(x);
  switch (mode) {
    case OutOfRangeMode::Clamp:
      return static_cast<T>(Range::clamp(x));
    case OutOfRangeMode::Wrap:
      return Range::wrap(x);
    case OutOfRangeMode::Unset:
      break;
  }
  return unexpected(Range::out_of_range_error(x));
}

}  // namespace prandel

// Turns a mode held at run time into a template argument, so a kernel picks
// its loop once per slice instead of testing the mode for every element.
#pragma once

#include "prandel/cpu_features.hpp"
#include "prandel/modes.hpp"

namespace prandel {

// Calls `f.template operator()<Mode>()` for the mode in `mode`. Always
// inlined, so that a variant's kernel keeps its instruction set.
template <class F>
PRANDEL_INLINE decltype(auto) with_rounding_mode(RoundingMode mode, F&& f) {
  switch (mode) {
    case RoundingMode::TowardsZero:
      return f.template operator()<RoundingMode::TowardsZero>();
    case RoundingMode::TowardsPositive:
      return f.template operator()<RoundingMode::TowardsPositive>();
    case RoundingMode::TowardsNegative:
      return f.template operator()<RoundingMode::TowardsNegative>();
    case RoundingMode::NearestAway:
      return f.template operator()<RoundingMode::NearestAway>();
    case RoundingMode::NearestEven:
      break;
  }
  return f.template operator()<RoundingMode::NearestEven>();
}

// The same for an out-of-range mode.
template <class F>
PRANDEL_INLINE decltype(auto) with_out_of_range_mode(OutOfRangeMode mode, F&& f) {
  switch (mode) {
    case OutOfRangeMode::Clamp:
      return f.template operator()<OutOfRangeMode::Clamp>();
    case OutOfRangeMode::Wrap:
      return f.template operator()<OutOfRangeMode::Wrap>();
    case OutOfRangeMode::Unset:
      break;
  }
  return f.template operator()<OutOfRangeMode::Unset>();
}

}  // namespace prandel

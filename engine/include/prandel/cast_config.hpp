// What a driver hands a kernel for one call.
#pragma once

#include "prandel/modes.hpp"
#include "prandel/scalar_map.hpp"

namespace prandel {

// Each kernel family reads only the fields it uses: integer-to-integer never
// rounds and integer-to-float has no out-of-range behaviour.
template <Element S, Element T>
struct CastConfig {
  ScalarMap<S, T> scalar_map;
  OutOfRangeMode out_of_range = OutOfRangeMode::Unset;
  RoundingMode rounding = RoundingMode::NearestEven;
};

}  // namespace prandel

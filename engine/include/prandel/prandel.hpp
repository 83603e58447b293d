// The cast engine: modes, errors, the scalar map and the four kernel families,
// with `convert_slice` routing a (source, target) pair to its family.
#pragma once

#include "prandel/cast_config.hpp"
#include "prandel/cast_error.hpp"
#include "prandel/cast_float.hpp"
#include "prandel/element_types.hpp"
#include "prandel/float_to_float.hpp"
#include "prandel/float_to_int_blocks.hpp"
#include "prandel/int_to_float.hpp"
#include "prandel/int_to_int.hpp"
#include "prandel/modes.hpp"
#include "prandel/scalar_map.hpp"
#include "prandel/slice.hpp"

namespace prandel {

// Every pair has exactly one family; a family ignores the config fields it
// has no use for, so mode-free pairs are served by the same code.
template <Element S, Element T>
CastResult convert_slice(InputSlice<S> in, OutputSlice<T> out,
                         const CastConfig<S, T>& config) noexcept {
  if constexpr (IntElement<S> && IntElement<T>) {
    return convert_slice_int_to_int(in, out, config);
  } else if constexpr (FloatElement<S> && IntElement<T>) {
    return convert_slice_float_to_int(in, out, config);
  } else if constexpr (IntElement<S> && FloatElement<T>) {
    return convert_slice_int_to_float(in, out, config);
  } else {
    return convert_slice_float_to_float(in, out, config);
  }
}

}  // namespace prandel

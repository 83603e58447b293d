// The cast engine: modes, errors, the scalar map and the four kernel families,
// with `convert_slice_on` routing a (source, target) pair to its family. Its
// users include convert_slice.hpp, which declares it; this header, with every
// kernel, is for the units that compile the pairs (src/kernels) and tests.
#pragma once

#include "prandel/cast_config.hpp"
#include "prandel/cast_error.hpp"
#include "prandel/cast_float.hpp"
#include "prandel/convert_slice.hpp"
#include "prandel/cpu_features.hpp"
#include "prandel/element_types.hpp"
#include "prandel/float_to_float_blocks.hpp"
#include "prandel/float_to_int_blocks.hpp"
#include "prandel/int_to_float_blocks.hpp"
#include "prandel/int_to_int_blocks.hpp"
#include "prandel/modes.hpp"
#include "prandel/scalar_map.hpp"
#include "prandel/slice.hpp"

namespace prandel {

// Declared in convert_slice.hpp.
template <Element S, Element T>
CastResult convert_slice_on(Isa isa, InputSlice<S> in, OutputSlice<T> out,
                            const CastConfig<S, T>& config) noexcept {
  if constexpr (IntElement<S> && IntElement<T>) {
    return convert_slice_int_to_int(in, out, config, isa);
  } else if constexpr (FloatElement<S> && IntElement<T>) {
    return convert_slice_float_to_int(in, out, config, isa);
  } else if constexpr (IntElement<S> && FloatElement<T>) {
    return convert_slice_int_to_float(in, out, config, isa);
  } else {
    return convert_slice_float_to_float(in, out, config, isa);
  }
}

}  // namespace prandel

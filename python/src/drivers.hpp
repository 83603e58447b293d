// The typed drivers of one (source, target) pair: cast_array_into's in-place
// path and cast_array's allocating path.
#pragma once

#include "py_err.hpp"

#include "prandel/element_types.hpp"
#include "prandel/modes.hpp"

namespace prandel::py {

// The modes a driver passes to its kernel. Dispatch has already replaced any
// mode outside the pair's mode set by its neutral value (NearestEven, Unset).
struct CastModes {
  RoundingMode rounding = RoundingMode::NearestEven;
  OutOfRangeMode out_of_range = OutOfRangeMode::Unset;
};

// Converts `arr` into the caller's array `out`; returns None or the error.
// `scalar_map_entries` is null when the caller gave none or None.
template <Element S, Element T>
PyObjectResult do_cast_into(PyObject* arr, PyObject* out, CastModes modes,
                            PyObject* scalar_map_entries);

// Converts `arr` into a new C-ordered array of T; returns it or the error.
template <Element S, Element T>
PyObjectResult do_cast_alloc(PyObject* arr, CastModes modes,
                             PyObject* scalar_map_entries);

}  // namespace prandel::py

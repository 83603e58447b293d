// The two Python functions, from their fast-call arguments to the driver's
// result: binding, conversion of each argument, the dtype and shape tests.
#pragma once

#include "py_err.hpp"

namespace prandel::py {

// cast_array(arr, *, target_dtype, rounding_mode, out_of_range_mode=None,
//            scalar_map_entries=None) -> the new array
PyObjectResult cast_array(PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);

// cast_array_into(arr, out, *, rounding_mode, out_of_range_mode=None,
//                 scalar_map_entries=None) -> None
PyObjectResult cast_array_into(PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames);

}  // namespace prandel::py

// The two Python functions, from their fast-call arguments to the driver's
// result: binding, conversion of each argument, the dtype and shape tests.
#pragma once

#include "py_err.hpp"

namespace prandel::py {

// Once at module start-up, after NumPy's API is loaded: the interned texts and
// the dtype descriptors the two functions compare with. False with a Python
// error set on failure.
bool load_function_constants() noexcept;

// cast_array(arr, *, target_dtype, rounding_mode, out_of_range_mode=None,
//            scalar_map_entries=None) -> the new array
PyObjectResult cast_array(PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);

// cast_array_into(arr, out, *, rounding_mode, out_of_range_mode=None,
//                 scalar_map_entries=None) -> None
PyObjectResult cast_array_into(PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames);

}  // namespace prandel::py

// NumPy's C API for every translation unit of the module. The function table
// is filled once, by import_numpy_api() in numpy_api.cpp.
#pragma once

#include "py_ref.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL PRANDEL_ARRAY_API
#ifndef PRANDEL_NUMPY_IMPORT_UNIT
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
#include <numpy/npy_2_compat.h>

namespace prandel::py {

// Loads NumPy's C API table; returns false with a Python error set on failure.
bool import_numpy_api() noexcept;

}  // namespace prandel::py

// The shape of an array as a list of sizes, for cast_array_into's shape test.
#pragma once

#include "numpy_api.hpp"
#include "py_err.hpp"

#include <cstddef>
#include <span>
#include <string>
#include <vector>

namespace prandel::py {

// The sizes in `shape` (the object an array's `shape` attribute gave): a str
// is TypeError "Can't extract `str` to `Vec`", a non-sequence the usual
// conversion TypeError; an item that is not a non-negative machine-word
// integer fails as the interpreter's integer conversion does.
PyResult<std::vector<npy_intp>> read_shape_sizes(PyObject* shape);

class ArrayShape {
 public:
  // The sizes of `array.shape`. A base-class ndarray's attribute is its
  // dimension list, so that is read directly; a subclass goes through the
  // attribute, which it may override.
  static PyResult<ArrayShape> of(PyObject* array);

  // The array's own dimension list, whatever its type; no Python code runs.
  static ArrayShape dimensions_of(PyArrayObject* array) noexcept;

  // Copies borrowed dimensions, which Python code run later in the call
  // (a subclass's `shape` or `dtype`) could reshape or free.
  void detach();

  bool operator==(const ArrayShape& other) const noexcept;

  // "[2, 3]"; "[]" without axes.
  std::string to_string() const;

  std::span<const npy_intp> sizes() const noexcept {
    return borrowed_ ? dims_ : std::span<const npy_intp>(owned_);
  }

 private:
  bool borrowed_ = false;
  std::span<const npy_intp> dims_;  // the array's own dimensions
  std::vector<npy_intp> owned_;
};

// ValueError "Shape mismatch: input shape {input} != output shape {output}".
PyErr shape_mismatch_error(const ArrayShape& input, const ArrayShape& output);

}  // namespace prandel::py

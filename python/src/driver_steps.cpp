#include "driver_steps.hpp"

#include "array_shape.hpp"

#include <cstdint>
#include <cstring>
#include <limits>

namespace prandel::py {
namespace {

// True when the two runs share a byte without being the same elements.
bool overlaps_unevenly(const ElementRun& input, std::size_t input_size,
                       const ElementRun& output, std::size_t output_size) {
  if (input.count == 0 || output.count == 0) return false;
  const auto in_begin = reinterpret_cast<std::uintptr_t>(input.data);
  const auto out_begin = reinterpret_cast<std::uintptr_t>(output.data);
  const std::uintptr_t in_end = in_begin + input.count * input_size;
  const std::uintptr_t out_end = out_begin + output.count * output_size;
  if (in_end <= out_begin || out_end <= in_begin) return false;
  // Same elements: the conversions read element i before writing it.
  return !(in_begin == out_begin && input_size == output_size);
}

// A C-ordered base-class copy: no subclass hook runs, so no Python code.
PyResult<SourceRun> copy_in_c_order(PyArrayObject* array) {
  PyArray_Descr* descr = PyArray_DESCR(array);
  Py_INCREF(descr);  // stolen by PyArray_FromArray
  PyRef copy = PyRef::steal(PyArray_FromArray(
      array, descr,
      NPY_ARRAY_CARRAY | NPY_ARRAY_ENSURECOPY | NPY_ARRAY_ENSUREARRAY));
  if (!copy) return unexpected(PyErr::fetch());
  const ElementRun run = whole_run(reinterpret_cast<PyArrayObject*>(copy.get()));
  return SourceRun{std::move(copy), run};
}

PyResult<NewArray> new_c_array(int ndim, const npy_intp* dims,
                               ElementType type) {
  PyArray_Descr* descr = element_descr(type);
  Py_INCREF(descr);  // stolen by PyArray_NewFromDescr
  // Uninitialised: the conversion overwrites all but the tail, which the
  // driver zeroes afterwards; zero-filling first costs a second pass (up to
  // half the time of a cheap cast of 10^5..10^6 elements).
  PyRef array = PyRef::steal(PyArray_NewFromDescr(
      &PyArray_Type, descr, ndim, dims, nullptr, nullptr, 0, nullptr));
  if (!array) return unexpected(PyErr::fetch());
  auto* new_array = reinterpret_cast<PyArrayObject*>(array.get());
  if (!PyArray_IS_C_CONTIGUOUS(new_array) || !PyArray_ISWRITEABLE(new_array)) {
    return unexpected(
        PyErr::value_error("Failed to get mutable slice from output array"));
  }
  const ElementRun run = whole_run(new_array);
  return NewArray{std::move(array), run};
}

}  // namespace

PyErr input_not_contiguous_error() {
  return PyErr::value_error("Input array must be contiguous");
}

PyResult<SourceRun> settle_input(const ReadonlyArray& input,
                                 const ElementRun& output,
                                 ElementType output_type,
                                 PyObject* shaped_output) {
  PyArrayObject* array = input.get();
  auto* object = reinterpret_cast<PyObject*>(array);
  if (!is_array_of(object, input.type())) {
    return unexpected(not_an_array_error(object));
  }
  if (!input.is_contiguous()) return unexpected(input_not_contiguous_error());
  if (shaped_output != nullptr) {
    const ArrayShape input_shape = ArrayShape::dimensions_of(array);
    const ArrayShape output_shape = ArrayShape::dimensions_of(
        reinterpret_cast<PyArrayObject*>(shaped_output));
    if (!(input_shape == output_shape)) {
      return unexpected(shape_mismatch_error(input_shape, output_shape));
    }
  }
  const ElementRun run = whole_run(array);
  if (!PyArray_IS_C_CONTIGUOUS(array) ||
      overlaps_unevenly(run, element_size(input.type()), output,
                        element_size(output_type))) {
    return copy_in_c_order(array);
  }
  return SourceRun{PyRef(), run};
}

PyResult<NewArray> new_array_shaped_like(PyObject* arr, ElementType type) {
  if (PyArray_CheckExact(arr)) {
    // Its `shape` is its dimension list, read in place: creating a base-class
    // array of a built-in dtype runs no Python code that could change it.
    auto* base = reinterpret_cast<PyArrayObject*>(arr);
    return new_c_array(PyArray_NDIM(base), PyArray_DIMS(base), type);
  }
  PyResult<ArrayShape> shape = ArrayShape::of(arr);
  if (!shape) return unexpected(std::move(shape).error());
  const std::span<const npy_intp> sizes = shape->sizes();
  if (sizes.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    return unexpected(PyErr::value_error("too many dimensions"));
  }
  return new_c_array(static_cast<int>(sizes.size()), sizes.data(), type);
}

void zero_unwritten_tail(const ElementRun& run, std::size_t written,
                         std::size_t element_size) noexcept {
  if (written < run.count) {
    std::memset(run.data + written * element_size, 0,
                (run.count - written) * element_size);
  }
}

}  // namespace prandel::py

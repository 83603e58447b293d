#include "driver_steps.hpp"

#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

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

PyErr overflow_error(const char* message) {
  return LazyPyErr{PyExc_OverflowError, message};
}

// One size of the shape list: an int (or anything with __index__) read as an
// unsigned machine word; a negative or a non-integer raises as Python does.
PyResult<npy_intp> extract_size(PyObject* item) {
  unsigned long long value = 0;
  if (PyLong_Check(item)) {
    value = PyLong_AsUnsignedLongLong(item);
  } else {
    PyRef index = PyRef::steal(PyNumber_Index(item));
    if (!index) return unexpected(PyErr::fetch());
    value = PyLong_AsUnsignedLongLong(index.get());
  }
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    return unexpected(PyErr::fetch());
  }
  if (value > static_cast<unsigned long long>(NPY_MAX_INTP)) {
    return unexpected(
        overflow_error("Python int too large to convert to C ssize_t"));
  }
  return static_cast<npy_intp>(value);
}

// The sizes that the `shape` attribute of `arr` reports.
PyResult<std::vector<npy_intp>> read_shape_attribute(PyObject* arr) {
  PyRef shape = PyRef::steal(PyObject_GetAttrString(arr, "shape"));
  if (!shape) return unexpected(PyErr::fetch());
  if (PyUnicode_Check(shape.get())) {
    return unexpected(PyErr::type_error("Can't extract `str` to `Vec`"));
  }
  if (!PySequence_Check(shape.get())) {
    return unexpected(conversion_type_error(shape.get(), "Sequence"));
  }
  std::vector<npy_intp> sizes;
  // The length only sizes the list; a sequence without one is still walked.
  if (const Py_ssize_t length = PySequence_Size(shape.get()); length >= 0) {
    sizes.reserve(static_cast<std::size_t>(length));
  } else {
    PyErr_Clear();
  }
  PyRef iterator = PyRef::steal(PyObject_GetIter(shape.get()));
  if (!iterator) return unexpected(PyErr::fetch());
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    PyResult<npy_intp> size = extract_size(item.get());
    if (!size) return unexpected(std::move(size).error());
    sizes.push_back(*size);
  }
  if (PyErr_Occurred()) return unexpected(PyErr::fetch());
  return sizes;
}

PyResult<NewArray> new_c_array(int ndim, const npy_intp* dims,
                               int type_number) {
  PyArray_Descr* descr = PyArray_DescrFromType(type_number);
  if (descr == nullptr) return unexpected(PyErr::fetch());
  // Uninitialised: the conversion overwrites all but the tail, which the
  // driver zeroes afterwards; zero-filling first costs a second pass (up to
  // half the time of a cheap cast of 10^5..10^6 elements).
  PyRef array = PyRef::steal(PyArray_Empty(ndim, dims, descr, 0));
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
                                 std::size_t element_size,
                                 const ElementRun& output,
                                 std::size_t output_element_size) {
  PyArrayObject* array = input.get();
  auto* object = reinterpret_cast<PyObject*>(array);
  if (!is_array_of(object, input.type_number())) {
    return unexpected(not_an_array_error(object));
  }
  if (!input.is_contiguous()) return unexpected(input_not_contiguous_error());
  const ElementRun run = whole_run(array);
  if (!PyArray_IS_C_CONTIGUOUS(array) ||
      overlaps_unevenly(run, element_size, output, output_element_size)) {
    return copy_in_c_order(array);
  }
  return SourceRun{PyRef(), run};
}

PyResult<NewArray> new_array_shaped_like(PyObject* arr, int type_number) {
  if (PyArray_CheckExact(arr)) {
    // A plain ndarray's `shape` attribute is its dimension list.
    auto* array = reinterpret_cast<PyArrayObject*>(arr);
    return new_c_array(PyArray_NDIM(array), PyArray_DIMS(array), type_number);
  }
  PyResult<std::vector<npy_intp>> sizes = read_shape_attribute(arr);
  if (!sizes) return unexpected(std::move(sizes).error());
  if (sizes->size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    return unexpected(PyErr::value_error("too many dimensions"));
  }
  return new_c_array(static_cast<int>(sizes->size()), sizes->data(),
                     type_number);
}

void zero_unwritten_tail(const ElementRun& run, std::size_t written,
                         std::size_t element_size) noexcept {
  if (written < run.count) {
    std::memset(run.data + written * element_size, 0,
                (run.count - written) * element_size);
  }
}

}  // namespace prandel::py

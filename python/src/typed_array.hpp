// NumPy arrays taken as runs of one element type: the dtype test, the layout
// tests and the element counts that the drivers rely on.
#pragma once

#include "numpy_api.hpp"
#include "py_err.hpp"

#include <cstddef>
#include <optional>

#include "prandel/element_types.hpp"
#include "prandel/slice.hpp"

namespace prandel::py {

// NumPy's type number of each element type; its descriptor is native-endian.
template <Element T>
inline constexpr int kNumpyTypeNumber = [] {
  if constexpr (std::same_as<T, i8>) return NPY_INT8;
  else if constexpr (std::same_as<T, i16>) return NPY_INT16;
  else if constexpr (std::same_as<T, i32>) return NPY_INT32;
  else if constexpr (std::same_as<T, i64>) return NPY_INT64;
  else if constexpr (std::same_as<T, u8>) return NPY_UINT8;
  else if constexpr (std::same_as<T, u16>) return NPY_UINT16;
  else if constexpr (std::same_as<T, u32>) return NPY_UINT32;
  else if constexpr (std::same_as<T, u64>) return NPY_UINT64;
  else if constexpr (std::same_as<T, f16>) return NPY_HALF;
  else if constexpr (std::same_as<T, f32>) return NPY_FLOAT;
  else return NPY_DOUBLE;
}();

// An array's elements as one stretch of raw memory, possibly misaligned.
struct ElementRun {
  std::byte* data = nullptr;
  std::size_t count = 0;
};

template <Element T>
InputSlice<T> input_slice(const ElementRun& run) {
  return InputSlice<T>(run.data, run.count);
}
template <Element T>
OutputSlice<T> output_slice(const ElementRun& run) {
  return OutputSlice<T>(run.data, run.count);
}

// Takes a strong reference to NumPy's native descriptor of each element type,
// kept for the life of the process; once, at module start-up.
bool load_element_descrs() noexcept;

// The native descriptor of `type` (borrowed), as load_element_descrs took it.
PyArray_Descr* element_descr(ElementType type) noexcept;

// The element type of a built-in numeric descriptor by its kind and size,
// whatever its byte order; nullopt for any other descriptor.
std::optional<ElementType> builtin_element_type(PyArray_Descr* descr) noexcept;

// True when `object` is an ndarray (or a subclass) whose dtype NumPy holds
// equivalent to the native descriptor of `type`: a built-in numeric dtype of
// that kind and size (whatever its type number: 'l' and 'q' both hold int64
// on most platforms) in native byte order. A byte-swapped dtype of the same
// name is not.
bool is_array_of(PyObject* object, ElementType type) noexcept;

// TypeError "'{qualified type name}' object cannot be converted to
// 'PyArray<T, D>'".
PyErr not_an_array_error(PyObject* object);

// The product of the array's extents: 1 without axes, 0 with an empty axis.
inline std::size_t element_count(PyArrayObject* array) noexcept {
  const npy_intp* dims = PyArray_DIMS(array);
  std::size_t count = 1;
  for (int axis = 0, ndim = PyArray_NDIM(array); axis < ndim; ++axis) {
    count *= static_cast<std::size_t>(dims[axis]);
  }
  return count;
}

// The whole array in memory order: data pointer and element count.
inline ElementRun whole_run(PyArrayObject* array) noexcept {
  return {static_cast<std::byte*>(PyArray_DATA(array)), element_count(array)};
}

// `arr` accepted as a read-only array of one element type, held (a reference
// of its own) for the duration of a call.
class ReadonlyArray {
 public:
  // The TypeError of not_an_array_error when the dtype test fails.
  static PyResult<ReadonlyArray> extract(PyObject* object, ElementType type);

  PyArrayObject* get() const noexcept {
    return reinterpret_cast<PyArrayObject*>(array_.get());
  }
  ElementType type() const noexcept { return type_; }

  // C- or F-contiguous: the elements form one run in memory order.
  bool is_contiguous() const noexcept {
    return PyArray_CHKFLAGS(get(), NPY_ARRAY_C_CONTIGUOUS) ||
           PyArray_CHKFLAGS(get(), NPY_ARRAY_F_CONTIGUOUS);
  }

 private:
  ReadonlyArray(PyRef array, ElementType type)
      : array_(std::move(array)), type_(type) {}

  PyRef array_;
  ElementType type_;
};

// `out` taken as an array of one element type, its elements as one writable
// run in C index order. Fails with not_an_array_error, or with ValueError
// "Output array must be contiguous and writeable" when `out` is read-only or
// not C-contiguous (an array without elements always is).
PyResult<ElementRun> writable_c_run(PyObject* out, ElementType type);

}  // namespace prandel::py

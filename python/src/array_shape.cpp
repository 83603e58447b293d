#include "array_shape.hpp"

#include <algorithm>

namespace prandel::py {
namespace {

PyResult<npy_intp> read_size(PyObject* item) {
  PyRef index;
  if (!PyLong_Check(item)) {
    index = PyRef::steal(PyNumber_Index(item));
    if (!index) return unexpected(PyErr::fetch());
    item = index.get();
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(item);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    return unexpected(PyErr::fetch());
  }
  if (value > static_cast<unsigned long long>(NPY_MAX_INTP)) {
    return unexpected(PyErr(LazyPyErr{
        PyExc_OverflowError, "Python int too large to convert to C ssize_t"}));
  }
  return static_cast<npy_intp>(value);
}

}  // namespace

PyResult<std::vector<npy_intp>> read_shape_sizes(PyObject* shape) {
  if (PyUnicode_Check(shape)) {
    return unexpected(PyErr::type_error("Can't extract `str` to `Vec`"));
  }
  if (!PySequence_Check(shape)) {
    return unexpected(conversion_type_error(shape, "Sequence"));
  }
  std::vector<npy_intp> sizes;
  PyRef iterator = PyRef::steal(PyObject_GetIter(shape));
  if (!iterator) return unexpected(PyErr::fetch());
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    PyResult<npy_intp> size = read_size(item.get());
    if (!size) return unexpected(std::move(size).error());
    sizes.push_back(*size);
  }
  if (PyErr_Occurred()) return unexpected(PyErr::fetch());
  return sizes;
}

ArrayShape ArrayShape::dimensions_of(PyArrayObject* array) noexcept {
  ArrayShape shape;
  shape.borrowed_ = true;
  shape.dims_ = {PyArray_DIMS(array),
                 static_cast<std::size_t>(PyArray_NDIM(array))};
  return shape;
}

PyResult<ArrayShape> ArrayShape::of(PyObject* array) {
  if (PyArray_CheckExact(array)) {
    return dimensions_of(reinterpret_cast<PyArrayObject*>(array));
  }
  ArrayShape shape;
  PyRef attribute = PyRef::steal(PyObject_GetAttrString(array, "shape"));
  if (!attribute) return unexpected(PyErr::fetch());
  PyResult<std::vector<npy_intp>> sizes = read_shape_sizes(attribute.get());
  if (!sizes) return unexpected(std::move(sizes).error());
  shape.owned_ = std::move(*sizes);
  return shape;
}

void ArrayShape::detach() {
  if (!borrowed_) return;
  owned_.assign(dims_.begin(), dims_.end());
  dims_ = {};
  borrowed_ = false;
}

bool ArrayShape::operator==(const ArrayShape& other) const noexcept {
  return std::ranges::equal(sizes(), other.sizes());
}

std::string ArrayShape::to_string() const {
  std::string text = "[";
  const char* separator = "";
  for (const npy_intp size : sizes()) {
    text.append(separator).append(std::to_string(size));
    separator = ", ";
  }
  text += ']';
  return text;
}

PyErr shape_mismatch_error(const ArrayShape& input, const ArrayShape& output) {
  std::string message = "Shape mismatch: input shape ";
  message.append(input.to_string())
      .append(" != output shape ")
      .append(output.to_string());
  return PyErr::value_error(std::move(message));
}

}  // namespace prandel::py

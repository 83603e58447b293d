#include "extract_from_py.hpp"

namespace prandel::py::extract_detail {

PyResult<long> read_long(PyObject* object) {
  const long value = PyLong_AsLong(object);
  if (value == -1 && PyErr_Occurred()) return unexpected(PyErr::fetch());
  return value;
}

PyResult<long long> read_long_long(PyObject* object) {
  const long long value = PyLong_AsLongLong(object);
  if (value == -1 && PyErr_Occurred()) return unexpected(PyErr::fetch());
  return value;
}

namespace {
PyResult<unsigned long long> read_int_as_unsigned(PyObject* integer) {
  const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    return unexpected(PyErr::fetch());
  }
  return value;
}
}  // namespace

PyResult<unsigned long long> read_unsigned_long_long(PyObject* object) {
  // Unlike the signed readers, PyLong_AsUnsignedLongLong takes no __index__.
  if (PyLong_Check(object)) return read_int_as_unsigned(object);
  PyRef integer = PyRef::steal(PyNumber_Index(object));
  if (!integer) return unexpected(PyErr::fetch());
  return read_int_as_unsigned(integer.get());
}

PyResult<double> read_double_slow(PyObject* object) {
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) return unexpected(PyErr::fetch());
  return value;
}

PyErr out_of_range_error() {
  return LazyPyErr{PyExc_OverflowError,
                   "integer out of range for the element type"};
}

}  // namespace prandel::py::extract_detail

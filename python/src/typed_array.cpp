#include "typed_array.hpp"

namespace prandel::py {

bool is_array_of(PyObject* object, int type_number) noexcept {
  if (!PyArray_Check(object)) return false;
  PyArray_Descr* actual = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(object));
  PyRef expected = PyRef::steal(
      reinterpret_cast<PyObject*>(PyArray_DescrFromType(type_number)));
  if (!expected) {
    PyErr_Clear();
    return false;
  }
  auto* expected_descr = reinterpret_cast<PyArray_Descr*>(expected.get());
  return actual == expected_descr ||
         PyArray_EquivTypes(actual, expected_descr) != 0;
}

PyErr not_an_array_error(PyObject* object) {
  return conversion_type_error(object, "PyArray<T, D>");
}

PyResult<ReadonlyArray> ReadonlyArray::extract(PyObject* object,
                                               int type_number) {
  if (!is_array_of(object, type_number)) {
    return unexpected(not_an_array_error(object));
  }
  return ReadonlyArray(PyRef::borrow(object), type_number);
}

PyResult<ElementRun> writable_c_run(PyObject* out, int type_number) {
  if (!is_array_of(out, type_number)) {
    return unexpected(not_an_array_error(out));
  }
  auto* array = reinterpret_cast<PyArrayObject*>(out);
  if (!PyArray_ISWRITEABLE(array) || !PyArray_IS_C_CONTIGUOUS(array)) {
    return unexpected(
        PyErr::value_error("Output array must be contiguous and writeable"));
  }
  return whole_run(array);
}

}  // namespace prandel::py

#include "py_err.hpp"

namespace prandel::py {

PyErr PyErr::fetch() {
#if PY_VERSION_HEX >= 0x030C0000
  PyRef exception = PyRef::steal(PyErr_GetRaisedException());
#else
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && traceback != nullptr) {
    PyException_SetTraceback(value, traceback);
  }
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  PyRef exception = PyRef::steal(value);
#endif
  if (!exception) {
    return LazyPyErr{PyExc_SystemError, "error return without exception set"};
  }
  return PyErr(std::move(exception));
}

PyObject* PyErr::raised() const noexcept {
  const auto* exception = std::get_if<PyRef>(&state_);
  return exception != nullptr ? exception->get() : nullptr;
}

const LazyPyErr* PyErr::lazy() const noexcept {
  return std::get_if<LazyPyErr>(&state_);
}

bool PyErr::is_interrupt() const noexcept {
  if (const LazyPyErr* pending = lazy()) {
    return prandel::py::is_interrupt(pending->type);
  }
  return prandel::py::is_interrupt(raised());
}

void PyErr::restore() && {
  if (auto* exception = std::get_if<PyRef>(&state_)) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception->release());
#else
    PyObject* value = exception->release();
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value,
                  PyException_GetTraceback(value));
#endif
    return;
  }
  const LazyPyErr& lazy = std::get<LazyPyErr>(state_);
  const std::string_view text = lazy.text();
  PyRef message = PyRef::steal(PyUnicode_DecodeUTF8(
      text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!message) return;  // the decoding error is now the pending exception
  PyErr_SetObject(lazy.type, message.get());
}

bool is_interrupt(PyObject* exception) noexcept {
  // Both tests accept an exception class as well as an instance.
  return !PyErr_GivenExceptionMatches(exception, PyExc_Exception) ||
         PyErr_GivenExceptionMatches(exception, PyExc_MemoryError);
}

std::optional<PyErr> clear_unless_interrupt() {
  PyErr pending = PyErr::fetch();
  if (pending.is_interrupt()) return pending;
  return std::nullopt;
}

PyErr cast_error_to_pyerr(const CastError& error) {
  return PyErr::value_error(to_string(error));
}

PyErr conversion_type_error(PyObject* object, std::string_view expected) {
  PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
  if (!qualname) return PyErr::fetch();
  Py_ssize_t size = 0;
  const char* name = PyUnicode_AsUTF8AndSize(qualname.get(), &size);
  if (name == nullptr) return PyErr::fetch();
  std::string message;
  message.reserve(static_cast<std::size_t>(size) + expected.size() + 36);
  message.append("'").append(name, static_cast<std::size_t>(size));
  message.append("' object cannot be converted to '").append(expected);
  message.append("'");
  return PyErr::type_error(std::move(message));
}

}  // namespace prandel::py

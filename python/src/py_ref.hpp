// An owning handle for one strong reference to a Python object.
// A plain PyObject* anywhere else in this module is a borrowed reference.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace prandel::py {

class PyRef {
 public:
  constexpr PyRef() noexcept = default;

  // Takes over a new reference (which may be null).
  [[nodiscard]] static PyRef steal(PyObject* object) noexcept {
    return PyRef(object);
  }
  // Adds a reference to a borrowed object (which may be null).
  [[nodiscard]] static PyRef borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyRef(PyRef&& other) noexcept : object_(other.release()) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }

  // Hands the reference to the caller.
  [[nodiscard]] PyObject* release() noexcept {
    return std::exchange(object_, nullptr);
  }
  void reset(PyObject* new_reference = nullptr) noexcept {
    Py_XDECREF(std::exchange(object_, new_reference));
  }

 private:
  explicit PyRef(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace prandel::py

// Python errors carried as values and raised once, at the C entry.
#pragma once

#include "py_ref.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "prandel/cast_error.hpp"
#include "prandel/expected.hpp"

namespace prandel::py {

// The text of an error: a static string, or one it owns. Two plain members
// rather than a variant: moving a variant holding a std::string makes GCC
// warn (maybe-uninitialized) about the alternative that is not held.
class LazyMessage {
 public:
  LazyMessage(const char* static_text) noexcept : static_(static_text) {}
  LazyMessage(std::string owned) noexcept : owned_(std::move(owned)) {}

  std::string_view text() const noexcept {
    return static_ != nullptr ? std::string_view(static_) : std::string_view(owned_);
  }

 private:
  const char* static_ = nullptr;
  std::string owned_;
};

// An error not yet turned into an exception object: a built-in exception type
// and a message, static or owned.
struct LazyPyErr {
  PyObject* type;  // a built-in exception class, e.g. PyExc_TypeError
  LazyMessage message;

  std::string_view text() const noexcept { return message.text(); }
};

// The error side of every result on the Python side: a LazyPyErr, or an
// exception that the interpreter or a caller's object already raised, carried
// unchanged.
class PyErr {
 public:
  PyErr(LazyPyErr lazy) : state_(std::move(lazy)) {}

  static PyErr type_error(const char* static_message) {
    return LazyPyErr{PyExc_TypeError, static_message};
  }
  static PyErr type_error(std::string message) {
    return LazyPyErr{PyExc_TypeError, std::move(message)};
  }
  static PyErr value_error(const char* static_message) {
    return LazyPyErr{PyExc_ValueError, static_message};
  }
  static PyErr value_error(std::string message) {
    return LazyPyErr{PyExc_ValueError, std::move(message)};
  }

  // Takes the interpreter's pending exception (a SystemError if, against the
  // C API's contract, none is set).
  static PyErr fetch();

  // The pending-exception form, if that is what this holds (else nullptr).
  PyObject* raised() const noexcept;
  // The lazy form, if that is what this holds (else nullptr).
  const LazyPyErr* lazy() const noexcept;

  // True for an interrupt (see is_interrupt).
  bool is_interrupt() const noexcept;

  // Sets this error as the interpreter's current exception.
  void restore() &&;

 private:
  explicit PyErr(PyRef raised) : state_(std::move(raised)) {}
  std::variant<LazyPyErr, PyRef> state_;
};

// True for an exception that stops the call rather than reporting a bad value:
// one that is not an Exception (KeyboardInterrupt, SystemExit...) or that is
// a MemoryError, subclasses included. Where the system replaces a failure of
// the caller's code by its own error, an interrupt passes instead.
bool is_interrupt(PyObject* exception) noexcept;

// Clears the pending exception, unless it is an interrupt: that one is taken
// and returned.
std::optional<PyErr> clear_unless_interrupt();

template <class T>
using PyResult = Expected<T, PyErr>;

// A new reference (the new array, or None) or the error.
using PyObjectResult = PyResult<PyRef>;

// For steps that produce nothing but may fail.
using PyStatus = PyResult<std::monostate>;
inline PyStatus ok_status() { return std::monostate{}; }

// ValueError carrying the display text of the engine's error.
PyErr cast_error_to_pyerr(const CastError& error);

// TypeError "'{type qualname}' object cannot be converted to '{expected}'".
PyErr conversion_type_error(PyObject* object, std::string_view expected);

}  // namespace prandel::py

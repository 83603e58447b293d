// Reading one Python value as one element type, for scalar-map values.
#pragma once

#include "py_err.hpp"

#include <concepts>
#include <type_traits>
#include <utility>

#include "prandel/binary16.hpp"
#include "prandel/element_types.hpp"
#include "prandel/float_ops.hpp"

namespace prandel::py {

namespace extract_detail {

// The index protocol: an int (or int subclass) as it is, anything else through
// its __index__. Failures take the interpreter's exception out of the
// indicator, so it is clear on return either way.
PyResult<long> read_long(PyObject* object);
PyResult<long long> read_long_long(PyObject* object);
PyResult<unsigned long long> read_unsigned_long_long(PyObject* object);

// The float protocol for anything but an exact float.
PyResult<double> read_double_slow(PyObject* object);

inline PyResult<double> read_double(PyObject* object) {
  if (PyFloat_CheckExact(object)) return PyFloat_AS_DOUBLE(object);
  return read_double_slow(object);
}

// An integer that the index protocol read but the element type cannot hold.
PyErr out_of_range_error();

template <IntElement T>
auto read_index(PyObject* object) {
  if constexpr (std::is_unsigned_v<T> && sizeof(T) >= 4) {
    return read_unsigned_long_long(object);
  } else if constexpr (sizeof(T) == 8) {
    return read_long_long(object);
  } else {
    return read_long(object);
  }
}

}  // namespace extract_detail

// One implementation per element type: integers by the index protocol with a
// range test (never truncated, wrapped or clamped), floats by the float
// protocol, rounded once to nearest-even f32 or f16. A failure carries the interpreter's exception, already fetched.
template <Element T>
struct ExtractFromPy {
  static PyResult<T> extract_from_py(PyObject* object) {
    if constexpr (IntElement<T>) {
      auto read = extract_detail::read_index<T>(object);
      if (!read) return unexpected(std::move(read).error());
      if (!std::in_range<T>(*read)) {
        return unexpected(extract_detail::out_of_range_error());
      }
      return static_cast<T>(*read);
    } else {
      PyResult<f64> read = extract_detail::read_double(object);
      if (!read) return unexpected(std::move(read).error());
      if constexpr (std::same_as<T, f64>) {
        return *read;
      } else if constexpr (std::same_as<T, f32>) {
        return narrow_to_f32(*read);
      } else {
        return to_f16(*read);  // one rounding, straight from f64
      }
    }
  }
};

}  // namespace prandel::py

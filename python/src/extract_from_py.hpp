// Reading one Python value as one element type, for scalar-map values.
#pragma once

#include "py_err.hpp"

#include <concepts>
#include <limits>
#include <type_traits>
#include <utility>

#include "prandel/binary16.hpp"
#include "prandel/element_types.hpp"

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

// binary64 to binary32, nearest-even, overflowing to an infinity. The
// magnitudes that round past the largest binary32 are mapped explicitly, so
// the conversion below only ever sees values the target can hold.
inline f32 narrow_to_f32(f64 x) noexcept {
  constexpr f64 kOverflowThreshold = 0x1.ffffffp127;  // 2^128 - 2^103
  if (x >= kOverflowThreshold) return std::numeric_limits<f32>::infinity();
  if (x <= -kOverflowThreshold) return -std::numeric_limits<f32>::infinity();
  return static_cast<f32>(x);
}

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
// protocol, narrowed to f32 and then to f16 (two roundings, as the types
// nest). A failure carries the interpreter's exception, already fetched.
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
        return extract_detail::narrow_to_f32(*read);
      } else {
        return to_f16(extract_detail::narrow_to_f32(*read));
      }
    }
  }
};

}  // namespace prandel::py

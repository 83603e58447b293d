// Binding fast-call arguments to parameters and converting them, with the
// errors a Python function of the same signature would raise.
#pragma once

#include "py_err.hpp"

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

#include "prandel/element_types.hpp"
#include "prandel/modes.hpp"

namespace prandel::py {

// The parameters of a function as its text signature declares them: the
// first `positional` may be passed by position or by keyword, the others by
// keyword only; the first `required` have no default. At most 32.
struct Signature {
  const char* function;
  // Views of string literals, so data() is NUL-terminated.
  std::span<const std::string_view> parameters;
  std::size_t positional;
  std::size_t required;
  // The same names as interned str objects, filled by intern_argument_texts.
  std::span<PyObject*> interned_parameters;
};

// Interns, once at module start-up, the texts that callers' strings are
// compared with: the parameter names of `signatures`, the dtype keys and the
// mode names. The interpreter interns keyword names and identifier-like
// string constants, so a caller's text is usually one of these very objects
// and matches by pointer; any other str is compared by its text. The
// references are kept for the life of the process. False with a Python error
// set on failure.
bool intern_argument_texts(
    std::span<const Signature* const> signatures) noexcept;

// Binds the arguments of a METH_FASTCALL | METH_KEYWORDS call: afterwards
// slots[i] holds the object given for parameter i (borrowed) or null. A
// missing, surplus, unexpected or repeated argument fails with the TypeError
// that a Python function of the same signature raises, worded as the running
// interpreter words it.
PyStatus bind_arguments(const Signature& signature, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames,
                        std::span<PyObject*> slots);

// Steps that convert one argument. Their TypeErrors name the expected type
// only; argument_error adds the parameter name.
PyResult<PyObject*> array_argument(PyObject* object);
// The UTF-8 text of a str (or subclass), borrowed from the object.
PyResult<std::string_view> str_argument(PyObject* object);

// cast_array's target_dtype: a str, and the element type it names when it is
// an interned dtype key; any other text is looked up later, after the dtype
// of `arr`.
struct DtypeName {
  std::optional<ElementType> type;
  std::string_view text;  // set when `type` is not
};

struct DtypeNameArg {
  static PyResult<DtypeName> extract(PyObject* object);
};

struct RoundingModeArg {
  // A str naming a rounding mode; an unknown name is a ValueError.
  static PyResult<RoundingMode> extract(PyObject* object);
};

struct OutOfRangeModeArg {
  // A str naming an out-of-range mode; null or None is Unset.
  static PyResult<OutOfRangeMode> extract(PyObject* object);
};

// An error met while converting `parameter`: exactly TypeError (not a
// subclass) becomes TypeError "argument '{parameter}': {message}"; every
// other error passes unchanged.
PyErr argument_error(const char* parameter, PyErr error);

}  // namespace prandel::py

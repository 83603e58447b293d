// The steps of the in-place and allocating drivers that do not depend on the
// element types: settling the input run, creating cast_array's new array.
#pragma once

#include "typed_array.hpp"

#include <cstddef>

namespace prandel::py {

// ValueError "Input array must be contiguous".
PyErr input_not_contiguous_error();

// The input elements as the conversion reads them, in C index order.
struct SourceRun {
  PyRef copy;  // holds a private copy of the elements, when one was made
  ElementRun run;
};

// Takes the input run once no more Python code can run in the call. The
// caller's code run while the scalar map was parsed (or a subclass's `shape`)
// may have resized, reshaped or retyped `arr`, so its dtype and layout are
// tested again (with the messages of the first tests) and its data pointer
// and count read now.
//
// Given cast_array_into's `out` as `shaped_output`, the two arrays must then
// still have equal shapes, else the shape mismatch ValueError. They are
// compared as their own dimension lists, for a subclass too: the conversion
// counts its elements from these, and reading a subclass's `shape` again
// would run the caller's code once more, after the last test.
//
// The run is a copy of the elements when their memory order is not their C
// index order (F-contiguous only), or when they share memory with `output`
// other than element for element (same start, same element size): every
// output element then comes from the input element of the same index, as
// the input held it before the call.
PyResult<SourceRun> settle_input(const ReadonlyArray& input,
                                 const ElementRun& output,
                                 ElementType output_type,
                                 PyObject* shaped_output);

// cast_array's result: a new C-ordered base-class ndarray.
struct NewArray {
  PyRef array;
  ElementRun run;
};

// Reads the shape of `arr` (a subclass through its `shape` attribute, which
// may run Python code) and creates an array of `type` of that shape whose
// contents are unspecified: the caller writes the first elements and zeroes
// the rest with zero_unwritten_tail.
PyResult<NewArray> new_array_shaped_like(PyObject* arr, ElementType type);

// Zero bits are the value zero in each of the eleven element types.
void zero_unwritten_tail(const ElementRun& run, std::size_t written,
                         std::size_t element_size) noexcept;

}  // namespace prandel::py

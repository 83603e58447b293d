// The definitions of the two driver templates declared in drivers.hpp. Each
// is instantiated once per (source, target) pair, in the drivers_from_*.cpp
// files (signed, unsigned and float sources: each unit parses the Python,
// NumPy and engine headers once for its pairs).
#pragma once

#include "driver_steps.hpp"
#include "drivers.hpp"
#include "scalar_map_parse.hpp"
#include "typed_array.hpp"

#include <algorithm>

#include "prandel/convert_slice.hpp"

namespace prandel::py {

// What both paths do first, in this order: take `arr` as a read-only array
// of S with a contiguous layout, then parse the scalar map into the config.
template <Element S, Element T>
struct AcceptedInput {
  ReadonlyArray input;
  CastConfig<S, T> config;
};

template <Element S, Element T>
PyResult<AcceptedInput<S, T>> accept_input(PyObject* arr, CastModes modes,
                                           PyObject* scalar_map_entries) {
  PyResult<ReadonlyArray> input =
      ReadonlyArray::extract(arr, element_type_of<S>);
  if (!input) return unexpected(std::move(input).error());
  if (!input->is_contiguous()) return unexpected(input_not_contiguous_error());

  PyResult<ScalarMap<S, T>> map = parse_map_entries<S, T>(scalar_map_entries);
  if (!map) return unexpected(std::move(map).error());
  return AcceptedInput<S, T>{
      std::move(*input),
      CastConfig<S, T>{std::move(*map), modes.out_of_range, modes.rounding}};
}

// What both paths end with: take the input run against `output` (see
// settle_input, which also compares the shapes with cast_array_into's `out`
// when that is given) and convert it into `output`. Returns how many
// elements were written.
template <Element S, Element T>
PyResult<std::size_t> convert_accepted(const AcceptedInput<S, T>& accepted,
                                       const ElementRun& output,
                                       PyObject* shaped_output) {
  PyResult<SourceRun> source = settle_input(accepted.input, sizeof(S), output,
                                            sizeof(T), shaped_output);
  if (!source) return unexpected(std::move(source).error());
  const CastResult result = convert_slice<S, T>(
      input_slice<S>(source->run), output_slice<T>(output), accepted.config);
  if (!result) return unexpected(cast_error_to_pyerr(result.error()));
  return std::min(source->run.count, output.count);
}

template <Element S, Element T>
PyObjectResult do_cast_into(PyObject* arr, PyObject* out, CastModes modes,
                            PyObject* scalar_map_entries) {
  PyResult<AcceptedInput<S, T>> accepted =
      accept_input<S, T>(arr, modes, scalar_map_entries);
  if (!accepted) return unexpected(std::move(accepted).error());

  PyResult<ElementRun> output = writable_c_run(out, element_type_of<T>);
  if (!output) return unexpected(std::move(output).error());

  PyResult<std::size_t> written = convert_accepted(*accepted, *output, out);
  if (!written) return unexpected(std::move(written).error());
  return PyRef::borrow(Py_None);
}

template <Element S, Element T>
PyObjectResult do_cast_alloc(PyObject* arr, CastModes modes,
                             PyObject* scalar_map_entries) {
  PyResult<AcceptedInput<S, T>> accepted =
      accept_input<S, T>(arr, modes, scalar_map_entries);
  if (!accepted) return unexpected(std::move(accepted).error());

  // Shaped like `arr` as it is now, after the map's code; a subclass's
  // `shape` runs code of its own, so the input's count is read afterwards.
  PyResult<NewArray> output = new_array_shaped_like(arr, element_type_of<T>);
  if (!output) return unexpected(std::move(output).error());

  PyResult<std::size_t> written =
      convert_accepted(*accepted, output->run, nullptr);
  if (!written) return unexpected(std::move(written).error());
  zero_unwritten_tail(output->run, *written, sizeof(T));
  return std::move(output->array);
}

}  // namespace prandel::py

// Explicit instantiations of both drivers for every target of one source;
// used inside namespace prandel::py.
#define PRANDEL_INSTANTIATE_DRIVERS(S, T)                                    \
  template PyObjectResult do_cast_into<S, T>(PyObject*, PyObject*, CastModes, \
                                             PyObject*);                      \
  template PyObjectResult do_cast_alloc<S, T>(PyObject*, CastModes, PyObject*);

#define PRANDEL_INSTANTIATE_DRIVERS_FROM(S) \
  PRANDEL_INSTANTIATE_DRIVERS(S, i8)        \
  PRANDEL_INSTANTIATE_DRIVERS(S, i16)       \
  PRANDEL_INSTANTIATE_DRIVERS(S, i32)       \
  PRANDEL_INSTANTIATE_DRIVERS(S, i64)       \
  PRANDEL_INSTANTIATE_DRIVERS(S, u8)        \
  PRANDEL_INSTANTIATE_DRIVERS(S, u16)       \
  PRANDEL_INSTANTIATE_DRIVERS(S, u32)       \
  PRANDEL_INSTANTIATE_DRIVERS(S, u64)       \
  PRANDEL_INSTANTIATE_DRIVERS(S, f16)       \
  PRANDEL_INSTANTIATE_DRIVERS(S, f32)       \
  PRANDEL_INSTANTIATE_DRIVERS(S, f64)

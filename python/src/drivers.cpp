// The in-place and allocating drivers, written once for every pair.
#include "drivers.hpp"

#include "driver_steps.hpp"

#include <algorithm>

namespace prandel::py {
namespace {

// What both drivers do first, in this order: take `arr` as a read-only array
// of the pair's source with a contiguous layout, then parse the scalar map.
PyResult<ReadonlyArray> accept_input(PyObject* arr, PairCast& pair,
                                     PyObject* scalar_map_entries) {
  PyResult<ReadonlyArray> input = ReadonlyArray::extract(arr, pair.source());
  if (!input) return input;
  if (!input->is_contiguous()) return unexpected(input_not_contiguous_error());
  PyStatus parsed = pair.parse_map(scalar_map_entries);
  if (!parsed) return unexpected(std::move(parsed).error());
  return input;
}

// What both drivers end with: take the input run against `output` (see
// settle_input, which also compares the shapes with cast_array_into's `out`
// when that is given) and convert it into `output`. Returns how many
// elements were written.
PyResult<std::size_t> convert_accepted(const ReadonlyArray& input,
                                       const PairCast& pair,
                                       const ElementRun& output,
                                       PyObject* shaped_output) {
  PyResult<SourceRun> source =
      settle_input(input, output, pair.target(), shaped_output);
  if (!source) return unexpected(std::move(source).error());
  const CastResult result = pair.convert(source->run, output);
  if (!result) return unexpected(cast_error_to_pyerr(result.error()));
  return std::min(source->run.count, output.count);
}

}  // namespace

PyObjectResult cast_into(PyObject* arr, PyObject* out, PairCast& pair,
                         PyObject* scalar_map_entries) {
  PyResult<ReadonlyArray> input = accept_input(arr, pair, scalar_map_entries);
  if (!input) return unexpected(std::move(input).error());

  PyResult<ElementRun> output = writable_c_run(out, pair.target());
  if (!output) return unexpected(std::move(output).error());

  PyResult<std::size_t> written = convert_accepted(*input, pair, *output, out);
  if (!written) return unexpected(std::move(written).error());
  return PyRef::borrow(Py_None);
}

PyObjectResult cast_alloc(PyObject* arr, PairCast& pair,
                          PyObject* scalar_map_entries) {
  PyResult<ReadonlyArray> input = accept_input(arr, pair, scalar_map_entries);
  if (!input) return unexpected(std::move(input).error());

  // Shaped like `arr` as it is now, after the map's code; a subclass's
  // `shape` runs code of its own, so the input's count is read afterwards.
  PyResult<NewArray> output = new_array_shaped_like(arr, pair.target());
  if (!output) return unexpected(std::move(output).error());

  PyResult<std::size_t> written =
      convert_accepted(*input, pair, output->run, nullptr);
  if (!written) return unexpected(std::move(written).error());
  zero_unwritten_tail(output->run, *written, element_size(pair.target()));
  return std::move(output->array);
}

}  // namespace prandel::py

#include "functions.hpp"

#include "arguments.hpp"
#include "array_shape.hpp"
#include "dispatch.hpp"
#include "numpy_api.hpp"
#include "typed_array.hpp"

#include <array>
#include <string_view>

namespace prandel::py {
namespace {

constexpr std::string_view kCastArrayParameters[] = {
    "arr", "target_dtype", "rounding_mode", "out_of_range_mode",
    "scalar_map_entries"};
PyObject* g_cast_array_parameters[std::size(kCastArrayParameters)];
constexpr Signature kCastArraySignature{"cast_array", kCastArrayParameters, 1,
                                        3, g_cast_array_parameters};

constexpr std::string_view kCastArrayIntoParameters[] = {
    "arr", "out", "rounding_mode", "out_of_range_mode", "scalar_map_entries"};
PyObject* g_cast_array_into_parameters[std::size(kCastArrayIntoParameters)];
constexpr Signature kCastArrayIntoSignature{
    "cast_array_into", kCastArrayIntoParameters, 2, 3,
    g_cast_array_into_parameters};

// The arguments common to both functions once converted.
struct CastOptions {
  RoundingMode rounding;
  OutOfRangeMode out_of_range;
  PyObject* scalar_map_entries;  // null when omitted or None
};

// Converts the trailing rounding_mode, out_of_range_mode and
// scalar_map_entries slots, in that order.
PyResult<CastOptions> convert_options(PyObject* rounding_mode,
                                      PyObject* out_of_range_mode,
                                      PyObject* scalar_map_entries) {
  PyResult<RoundingMode> rounding = RoundingModeArg::extract(rounding_mode);
  if (!rounding) {
    return unexpected(
        argument_error("rounding_mode", std::move(rounding).error()));
  }
  PyResult<OutOfRangeMode> out_of_range =
      OutOfRangeModeArg::extract(out_of_range_mode);
  if (!out_of_range) {
    return unexpected(
        argument_error("out_of_range_mode", std::move(out_of_range).error()));
  }
  return CastOptions{
      *rounding, *out_of_range,
      scalar_map_entries == Py_None ? nullptr : scalar_map_entries};
}

}  // namespace

bool load_function_constants() noexcept {
  constexpr const Signature* kSignatures[] = {&kCastArraySignature,
                                              &kCastArrayIntoSignature};
  return intern_argument_texts(kSignatures) && load_element_descrs();
}

PyObjectResult cast_array(PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  std::array<PyObject*, 5> slots{};
  if (PyStatus bound =
          bind_arguments(kCastArraySignature, args, nargs, kwnames, slots);
      !bound) {
    return unexpected(std::move(bound).error());
  }
  PyResult<PyObject*> arr = array_argument(slots[0]);
  if (!arr) return unexpected(argument_error("arr", std::move(arr).error()));
  PyResult<DtypeName> target_dtype = DtypeNameArg::extract(slots[1]);
  if (!target_dtype) {
    return unexpected(
        argument_error("target_dtype", std::move(target_dtype).error()));
  }
  PyResult<CastOptions> options = convert_options(slots[2], slots[3], slots[4]);
  if (!options) return unexpected(std::move(options).error());

  PyResult<ElementType> source = array_element_type(*arr);
  if (!source) return unexpected(std::move(source).error());
  PyResult<ElementType> target = target_element_type(*target_dtype);
  if (!target) return unexpected(std::move(target).error());
  return dispatch_alloc(*arr, *source, *target, options->rounding,
                        options->out_of_range, options->scalar_map_entries);
}

PyObjectResult cast_array_into(PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  std::array<PyObject*, 5> slots{};
  if (PyStatus bound =
          bind_arguments(kCastArrayIntoSignature, args, nargs, kwnames, slots);
      !bound) {
    return unexpected(std::move(bound).error());
  }
  PyResult<PyObject*> arr = array_argument(slots[0]);
  if (!arr) return unexpected(argument_error("arr", std::move(arr).error()));
  PyResult<PyObject*> out = array_argument(slots[1]);
  if (!out) return unexpected(argument_error("out", std::move(out).error()));
  PyResult<CastOptions> options = convert_options(slots[2], slots[3], slots[4]);
  if (!options) return unexpected(std::move(options).error());

  PyResult<ElementType> source = array_element_type(*arr);
  if (!source) return unexpected(std::move(source).error());
  PyResult<ElementType> target = array_element_type(*out);
  if (!target) return unexpected(std::move(target).error());

  PyResult<ArrayShape> input_shape = ArrayShape::of(*arr);
  if (!input_shape) return unexpected(std::move(input_shape).error());
  if (!PyArray_CheckExact(*out)) input_shape->detach();
  PyResult<ArrayShape> output_shape = ArrayShape::of(*out);
  if (!output_shape) return unexpected(std::move(output_shape).error());
  if (!(*input_shape == *output_shape)) {
    return unexpected(shape_mismatch_error(*input_shape, *output_shape));
  }

  return dispatch_into(*arr, *out, *source, *target, options->rounding,
                       options->out_of_range, options->scalar_map_entries);
}

}  // namespace prandel::py

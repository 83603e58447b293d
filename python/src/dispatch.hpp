// Dtype keys of arrays, and the two static tables that hand a call to the
// driver of its (source, target) pair.
#pragma once

#include "arguments.hpp"
#include "drivers.hpp"
#include "py_err.hpp"

#include <limits>
#include <string_view>
#include <utility>

#include "prandel/element_types.hpp"
#include "prandel/modes.hpp"

namespace prandel::py {

// The modes that reach the drivers of a pair. A mode outside the set cannot
// change the pair's result, so the driver gets its neutral value instead.
struct ModeSet {
  bool rounding = false;
  bool out_of_range = false;
};

template <Element S, Element T>
constexpr ModeSet mode_set_of() {
  if constexpr (IntElement<S> && IntElement<T>) {
    // Out of range only when some source value does not fit the target.
    constexpr bool fits =
        std::cmp_greater_equal(std::numeric_limits<S>::min(),
                               std::numeric_limits<T>::min()) &&
        std::cmp_less_equal(std::numeric_limits<S>::max(),
                            std::numeric_limits<T>::max());
    return {false, !fits};
  } else if constexpr (IntElement<T>) {
    return {true, true};
  } else if constexpr (IntElement<S>) {
    // float16 rounds (or overflows) from every integer type, float32 from
    // 32- and 64-bit ones, float64 from 64-bit ones.
    if constexpr (std::same_as<T, f16>) return {true, false};
    else if constexpr (std::same_as<T, f32>) return {sizeof(S) >= 4, false};
    else return {sizeof(S) == 8, false};
  } else {
    constexpr bool plain_copy = std::same_as<S, T> && !std::same_as<S, f16>;
    return {!plain_copy, !plain_copy};
  }
}

// The element type whose dtype key is `array.dtype.name`: TypeError
// "Unsupported numpy dtype: {name}" for any other name; an error raised while
// reading `dtype` or `name` passes through.
PyResult<ElementType> array_element_type(PyObject* array);

// The element type named by cast_array's `target_dtype`, else TypeError
// "Unsupported target dtype: {target_dtype}".
PyResult<ElementType> target_element_type(const DtypeName& target_dtype);

// cast_array's hand-over: the allocating driver of (source, target).
PyObjectResult dispatch_alloc(PyObject* arr, ElementType source,
                              ElementType target, RoundingMode rounding,
                              OutOfRangeMode out_of_range,
                              PyObject* scalar_map_entries);

// cast_array_into's hand-over: the in-place driver of (source, target).
PyObjectResult dispatch_into(PyObject* arr, PyObject* out, ElementType source,
                             ElementType target, RoundingMode rounding,
                             OutOfRangeMode out_of_range,
                             PyObject* scalar_map_entries);

}  // namespace prandel::py

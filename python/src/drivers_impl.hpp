// The typed entry points declared in drivers.hpp. Each is instantiated once
// per (source, target) pair, in the drivers_from_*.cpp files; all they hold
// of their own is the pair's map parsing and its call into the engine.
#pragma once

#include "drivers.hpp"
#include "scalar_map_parse.hpp"
#include "typed_array.hpp"

#include "prandel/convert_slice.hpp"

namespace prandel::py {

template <Element S, Element T>
class TypedPairCast final : public PairCast {
 public:
  explicit TypedPairCast(CastModes modes) noexcept
      : PairCast(element_type_of<S>, element_type_of<T>),
        config_{{}, modes.out_of_range, modes.rounding} {}

  PyStatus parse_map(PyObject* scalar_map_entries) override {
    return parse_map_entries<S, T>(scalar_map_entries, config_.scalar_map);
  }

  CastResult convert(const ElementRun& input,
                     const ElementRun& output) const noexcept override {
    return convert_slice<S, T>(input_slice<S>(input), output_slice<T>(output),
                               config_);
  }

 private:
  CastConfig<S, T> config_;
};

template <Element S, Element T>
PyObjectResult do_cast_into(PyObject* arr, PyObject* out, CastModes modes,
                            PyObject* scalar_map_entries) {
  TypedPairCast<S, T> pair(modes);
  return cast_into(arr, out, pair, scalar_map_entries);
}

template <Element S, Element T>
PyObjectResult do_cast_alloc(PyObject* arr, CastModes modes,
                             PyObject* scalar_map_entries) {
  TypedPairCast<S, T> pair(modes);
  return cast_alloc(arr, pair, scalar_map_entries);
}

}  // namespace prandel::py

// Explicit instantiations of both entry points for every target of one
// source; used inside namespace prandel::py.
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

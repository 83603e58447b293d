// The drivers of cast_array_into (in place) and cast_array (allocating).
// Each is written once; what depends on the (source, target) pair, its
// scalar map and its conversion, is a PairCast that the pair's typed entry
// point builds on its stack.
#pragma once

#include "py_err.hpp"

#include "prandel/cast_error.hpp"
#include "prandel/element_types.hpp"
#include "prandel/modes.hpp"

namespace prandel::py {

struct ElementRun;  // typed_array.hpp

// The modes a driver passes to its kernel. Dispatch has already replaced any
// mode outside the pair's mode set by its neutral value (NearestEven, Unset).
struct CastModes {
  RoundingMode rounding = RoundingMode::NearestEven;
  OutOfRangeMode out_of_range = OutOfRangeMode::Unset;
};

// The typed half of one call: the pair's element types, its scalar map once
// parsed, and the engine's conversion under the call's modes.
class PairCast {
 public:
  ElementType source() const noexcept { return source_; }
  ElementType target() const noexcept { return target_; }

  // `scalar_map_entries` is null when the caller gave none or None.
  virtual PyStatus parse_map(PyObject* scalar_map_entries) = 0;
  // Converts min(input.count, output.count) elements.
  virtual CastResult convert(const ElementRun& input,
                             const ElementRun& output) const noexcept = 0;

 protected:
  PairCast(ElementType source, ElementType target) noexcept
      : source_(source), target_(target) {}
  ~PairCast() = default;

 private:
  ElementType source_;
  ElementType target_;
};

// Converts `arr` into the caller's array `out`; returns None or the error.
PyObjectResult cast_into(PyObject* arr, PyObject* out, PairCast& pair,
                         PyObject* scalar_map_entries);

// Converts `arr` into a new C-ordered array of the pair's target; returns it
// or the error.
PyObjectResult cast_alloc(PyObject* arr, PairCast& pair,
                          PyObject* scalar_map_entries);

// The entry points of one pair, which dispatch's tables hold.
template <Element S, Element T>
PyObjectResult do_cast_into(PyObject* arr, PyObject* out, CastModes modes,
                            PyObject* scalar_map_entries);

template <Element S, Element T>
PyObjectResult do_cast_alloc(PyObject* arr, CastModes modes,
                             PyObject* scalar_map_entries);

}  // namespace prandel::py

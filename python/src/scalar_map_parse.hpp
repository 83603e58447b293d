// Turning the caller's scalar_map_entries into the typed ScalarMap of a pair.
#pragma once

#include "py_err.hpp"

#include <cstddef>
#include <string_view>

#include "prandel/element_types.hpp"
#include "prandel/scalar_map.hpp"

namespace prandel::py {

// The caller's entries, in their order, appended to `map` (the caller's own,
// empty); `scalar_map_entries` is null when the caller gave none or None.
template <Element S, Element T>
PyStatus parse_map_entries(PyObject* scalar_map_entries, ScalarMap<S, T>& map);

namespace map_parse_detail {

// The typed end of the walks: walk_map_entries is written once for all pairs
// and hands each entry's values, source first, to the sink of its pair. A
// conversion that fails returns its exception, already out of the indicator;
// the walk then builds the value error from the keys given here.
class EntrySink {
 public:
  EntrySink(std::string_view source_key, std::string_view target_key)
      : source_key_(source_key), target_key_(target_key) {}

  std::string_view source_key() const noexcept { return source_key_; }
  std::string_view target_key() const noexcept { return target_key_; }

  virtual void reserve(std::size_t count) = 0;
  // Converts and keeps the source value of the next entry.
  virtual PyStatus take_source(PyObject* value) = 0;
  // Converts the target value and appends the entry.
  virtual PyStatus take_target(PyObject* value) = 0;

 protected:
  ~EntrySink() = default;

 private:
  std::string_view source_key_;
  std::string_view target_key_;
};

// Reads `value` as an element of `type` (ExtractFromPy) into `*element`, an
// object of that type: one function serves the entries of every pair.
PyStatus read_element(ElementType type, PyObject* value, void* element);

// The dict form (any dict subclass, walked over its own storage) or the
// iterable-of-pairs form; `scalar_map_entries` is not null.
PyStatus walk_map_entries(PyObject* scalar_map_entries, EntrySink& sink);

template <Element S, Element T>
class TypedEntrySink final : public EntrySink {
 public:
  explicit TypedEntrySink(ScalarMap<S, T>& map)
      : EntrySink(dtype_key_of<S>, dtype_key_of<T>), map_(map) {}

  void reserve(std::size_t count) override { map_.reserve(count); }

  PyStatus take_source(PyObject* value) override {
    return read_element(element_type_of<S>, value, &source_);
  }

  PyStatus take_target(PyObject* value) override {
    T target{};
    PyStatus read = read_element(element_type_of<T>, value, &target);
    if (!read) return read;
    // Without a reservation (the iterable form) start with room for four;
    // the vector doubles from there.
    if (map_.capacity() == 0) map_.reserve(4);
    map_.push_back({source_, target});
    return ok_status();
  }

 private:
  ScalarMap<S, T>& map_;
  S source_{};
};

}  // namespace map_parse_detail

// Filling the caller's map, rather than returning one in a result, keeps
// each pair's instance small: it is compiled for all 121 pairs.
template <Element S, Element T>
PyStatus parse_map_entries(PyObject* scalar_map_entries, ScalarMap<S, T>& map) {
  if (scalar_map_entries == nullptr) return ok_status();
  map_parse_detail::TypedEntrySink<S, T> sink(map);
  return map_parse_detail::walk_map_entries(scalar_map_entries, sink);
}

}  // namespace prandel::py

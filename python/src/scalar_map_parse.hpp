// Turning the caller's scalar_map_entries into the typed ScalarMap of a pair.
#pragma once

#include "py_err.hpp"

#include <cstddef>
#include <string_view>
#include <utility>

#include "extract_from_py.hpp"
#include "prandel/element_types.hpp"
#include "prandel/scalar_map.hpp"

namespace prandel::py {

// `scalar_map_entries` is null when the caller gave none or None.
template <Element S, Element T>
PyResult<ScalarMap<S, T>> parse_map_entries(PyObject* scalar_map_entries);

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

// The dict form (any dict subclass, walked over its own storage) or the
// iterable-of-pairs form; `scalar_map_entries` is not null.
PyStatus walk_map_entries(PyObject* scalar_map_entries, EntrySink& sink);

template <Element S, Element T>
class TypedEntrySink final : public EntrySink {
 public:
  TypedEntrySink() : EntrySink(dtype_key_of<S>, dtype_key_of<T>) {}

  void reserve(std::size_t count) override { map_.reserve(count); }

  PyStatus take_source(PyObject* value) override {
    PyResult<S> source = ExtractFromPy<S>::extract_from_py(value);
    if (!source) return unexpected(std::move(source).error());
    source_ = *source;
    return ok_status();
  }

  PyStatus take_target(PyObject* value) override {
    PyResult<T> target = ExtractFromPy<T>::extract_from_py(value);
    if (!target) return unexpected(std::move(target).error());
    // Without a reservation (the iterable form) start with room for four;
    // the vector doubles from there.
    if (map_.capacity() == 0) map_.reserve(4);
    map_.push_back({source_, *target});
    return ok_status();
  }

  ScalarMap<S, T> take_map() && { return std::move(map_); }

 private:
  ScalarMap<S, T> map_;
  S source_{};
};

}  // namespace map_parse_detail

template <Element S, Element T>
PyResult<ScalarMap<S, T>> parse_map_entries(PyObject* scalar_map_entries) {
  if (scalar_map_entries == nullptr) return ScalarMap<S, T>{};
  map_parse_detail::TypedEntrySink<S, T> sink;
  PyStatus walked = map_parse_detail::walk_map_entries(scalar_map_entries, sink);
  if (!walked) return unexpected(std::move(walked).error());
  return std::move(sink).take_map();
}

}  // namespace prandel::py

// The caller's value replacements, searched before any conversion rule.
#pragma once

#include <vector>

#include "prandel/element_types.hpp"
#include "prandel/float_ops.hpp"

namespace prandel {

template <Element S, Element T>
struct ScalarMapEntry {
  S source;
  T target;
};

// In the caller's order, duplicates kept: the first matching entry wins.
template <Element S, Element T>
using ScalarMap = std::vector<ScalarMapEntry<S, T>>;

// Integers match by equality. Floats match by IEEE equality (+0 matches -0,
// a NaN source never matches a number), except that a NaN element matches any
// NaN source whatever its sign and payload: that is how NaN gets an image.
template <Element S>
inline bool map_source_matches(S source, S x) noexcept {
  if constexpr (IntElement<S>) {
    return source == x;
  } else {
    return is_nan(x) ? is_nan(source) : source == x;
  }
}

// The target of the first entry whose source matches x, or nullptr.
template <Element S, Element T>
inline const T* lookup_scalar_map(const ScalarMap<S, T>& map, S x) noexcept {
  for (const auto& entry : map) {
    if (map_source_matches(entry.source, x)) return &entry.target;
  }
  return nullptr;
}

}  // namespace prandel

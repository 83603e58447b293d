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

// map_source_matches for one source against a run of elements: the source
// is classified once, so the test of an element is branch-free and a loop of
// them vectorises. binary16 is tested on its bit pattern.
template <Element S>
class SourceMatcher {
 public:
  SourceMatcher() = default;
  explicit SourceMatcher(S source) noexcept : source_(source) {
    if constexpr (std::same_as<S, f16>) {
      source_is_nan_ = is_nan(source);
      source_is_zero_ = is_zero(source);
    } else if constexpr (FloatElement<S>) {
      source_is_nan_ = is_nan(source);
    }
  }

  bool operator()(S x) const noexcept {
    if constexpr (IntElement<S>) {
      return x == source_;
    } else if constexpr (std::same_as<S, f16>) {
      const unsigned magnitude = x.bits & 0x7fffu;
      const bool nan = magnitude > 0x7c00u;
      // Equal patterns are equal values unless a NaN: a NaN source is
      // handled by the last term, and a NaN element never has its pattern.
      return (static_cast<unsigned>(x.bits == source_.bits && !source_is_nan_) |
              static_cast<unsigned>(source_is_zero_ && magnitude == 0) |
              static_cast<unsigned>(source_is_nan_ && nan)) != 0;
    } else {
      return (static_cast<unsigned>(x == source_) |
              static_cast<unsigned>(source_is_nan_ && x != x)) != 0;
    }
  }

 private:
  S source_{};
  bool source_is_nan_ = false;
  bool source_is_zero_ = false;
};

}  // namespace prandel

// The per-element frame every kernel family shares.
#pragma once

#include <algorithm>
#include <cstddef>

#include "prandel/cast_error.hpp"
#include "prandel/expected.hpp"
#include "prandel/scalar_map.hpp"
#include "prandel/slice.hpp"

namespace prandel {

template <Element T>
using ElementResult = Expected<T, CastError>;

template <Element S, Element T>
inline std::size_t frame_length(InputSlice<S> in, OutputSlice<T> out) noexcept {
  return std::min(in.size(), out.size());
}

// Converts elements 0..n-1 (n the shorter length) in index order: a map hit is
// written as stored; otherwise `rule(x)` gives the value or a CastError. The
// first error ends the call: earlier elements are written, later ones are
// left as they were.
template <Element S, Element T, class Rule>
CastResult convert_each(InputSlice<S> in, OutputSlice<T> out,
                        const ScalarMap<S, T>& map, Rule&& rule) {
  const std::size_t n = frame_length(in, out);
  for (std::size_t i = 0; i < n; ++i) {
    const S x = in[i];
    if (const T* target = lookup_scalar_map(map, x)) {
      out.store(i, *target);
      continue;
    }
    ElementResult<T> result = rule(x);
    if (!result) return result.error();
    out.store(i, *result);
  }
  return {};
}

}  // namespace prandel

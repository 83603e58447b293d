// The caller's value replacements, searched before any conversion rule.
#pragma once

#include <vector>

#include "prandel/element_types.hpp"
#include "prandel/float_bits.hpp"
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

namespace scalar_map_detail {
// What a source matcher compares: an integer itself, a float's bit pattern.
template <Element S>
struct MatchBits {
  using type = S;
};
template <FloatElement S>
struct MatchBits<S> {
  using type = typename FloatBits<S>::Bits;
};
}  // namespace scalar_map_detail

// map_source_matches for one source against a run of elements, as one
// test of the same form for every element: a loop of them vectorises.
// Integers compare as they are. A float source becomes a range of bit
// patterns that the element's pattern, under a mask, must fall in: a NaN
// source every NaN magnitude, a zero source both zeros, any other source its
// own pattern (no NaN has it, and no other value equals it).
template <Element S>
class SourceMatcher {
 public:
  SourceMatcher() = default;
  explicit SourceMatcher(S source) noexcept {
    if constexpr (IntElement<S>) {
      source_ = source;
    } else {
      using B = FloatBits<S>;
      const Bits bits = B::to_bits(source);
      const Bits magnitude = bits & B::kMagnitudeMask;
      if (magnitude > B::kInfinity) {
        mask_ = B::kMagnitudeMask;
        lowest_ = static_cast<Bits>(B::kInfinity + 1);
        span_ = static_cast<Bits>(B::kMagnitudeMask - lowest_);
      } else if (magnitude == 0) {
        mask_ = B::kMagnitudeMask;
      } else {
        lowest_ = bits;
      }
    }
  }

  // An integer source, for matching in vectors.
  S source() const noexcept
    requires IntElement<S>
  {
    return source_;
  }

  // The float form's range, for matching in vectors: a pattern matches when
  // ((pattern & mask) - lowest) <= span, in unsigned arithmetic of its width.
  auto mask() const noexcept { return mask_; }
  auto lowest() const noexcept { return lowest_; }
  auto span() const noexcept { return span_; }

  bool operator()(S x) const noexcept {
    if constexpr (IntElement<S>) {
      return x == source_;
    } else {
      const Bits bits = FloatBits<S>::to_bits(x);
      return static_cast<Bits>((bits & mask_) - lowest_) <= span_;
    }
  }

 private:
  using Bits = typename scalar_map_detail::MatchBits<S>::type;

  S source_{};  // integers
  Bits mask_ = static_cast<Bits>(~Bits{0});
  Bits lowest_ = 0;
  Bits span_ = 0;
};

}  // namespace prandel

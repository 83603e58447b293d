// The frames every kernel family shares: the element frame, which is the
// conversion rule itself, and the block frame that runs a family's vector
// kernels a block at a time with the same results.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <type_traits>

#include "prandel/cast_error.hpp"
#include "prandel/cpu_features.hpp"
#include "prandel/expected.hpp"
#include "prandel/scalar_map.hpp"
#include "prandel/slice.hpp"
#include "prandel/slice_blocks.hpp"

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
CastResult convert_each(InputSlice<S> in, OutputSlice<T> out, const ScalarMap<S, T>& map,
                        Rule&& rule) {
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

// A block kernel serves one (S, T) pair with fixed modes:
//
//   ElementResult<T> element(S x) const;
//     the element rule.
//   bool convert_block(InputSlice<S> in, OutputSlice<T> out) const;
//     converts in[0, k) into out[0, k) (k = in.size() = out.size(), at most
//     block::kElements) exactly as `element` would and returns true; or, when
//     some element fails, returns false having written nothing. `in` and
//     `out` may be the same memory (equal element sizes): an element is read
//     before it, or anything after it, is written.
//
// A kernel may also decline a block it has no fast path for by returning
// false; the frame then runs the element rule on that block.

namespace frame_detail {

// The unsigned integer as wide as S: lane masks kept in the element's own
// width vectorise without packing.
template <Element S>
using LaneMask = std::conditional_t<
    sizeof(S) == 1, u8,
    std::conditional_t<sizeof(S) == 2, u16, std::conditional_t<sizeof(S) == 4, u32, u64>>>;

// Whether any element of the block matches one of `count` (1 to 4)
// consecutive entries from `first`, in one sweep over the block.
template <std::size_t kWidth, Element S, Element T>
PRANDEL_INLINE bool block_matches_group(const ScalarMapEntry<S, T>* first, std::size_t count,
                                        InputSlice<S> in) noexcept {
  std::array<SourceMatcher<S>, kWidth> matchers{SourceMatcher<S>(first[0].source)};
  // A group narrower than the sweep repeats its first entry.
  for (std::size_t i = 1; i < kWidth; ++i) matchers[i] = SourceMatcher<S>(first[i < count ? i : 0].source);
  LaneMask<S> hit = 0;
  for (std::size_t j = 0; j < in.size(); ++j) {
    const S x = in[j];
    unsigned any = 0;
    for (const SourceMatcher<S>& matches : matchers) any |= static_cast<unsigned>(matches(x));
    hit |= static_cast<LaneMask<S>>(any);
  }
  return hit != 0;
}

// Whether any element of the block matches any entry's source. Entries are
// tested up to four to a sweep, so a larger map costs fewer passes.
template <Element S, Element T>
PRANDEL_INLINE bool block_has_map_hit(const ScalarMap<S, T>& map, InputSlice<S> in) noexcept {
  const std::size_t entries = map.size();
  for (std::size_t e = 0; e < entries; e += 4) {
    const std::size_t count = std::min<std::size_t>(4, entries - e);
    const bool hit = count == 1   ? block_matches_group<1>(&map[e], count, in)
                     : count == 2 ? block_matches_group<2>(&map[e], count, in)
                                  : block_matches_group<4>(&map[e], count, in);
    if (hit) return true;
  }
  return false;
}

// A block with map hits: the hit elements are replaced by zero, which every
// rule converts without failure, the kernel converts the block, and the
// first matching entry's target is put in place of each hit. Returns false,
// having written nothing, where the kernel fails on an element the map left.
template <class Kernel, Element S, Element T>
PRANDEL_INLINE bool convert_block_with_map(const Kernel& kernel, const ScalarMap<S, T>& map,
                                           InputSlice<S> in, OutputSlice<T> out) noexcept {
  const std::size_t k = in.size();
  S source[block::kElements];
  T target[block::kElements];
  T converted[block::kElements];
  LaneMask<S> hit[block::kElements];
  // Last entry first, so the first matching entry is the one that stays;
  // the pass of the first entry also neutralises the hits.
  const auto last = map.rend() - 1;
  for (auto entry = map.rbegin();; ++entry) {
    const SourceMatcher<S> matches(entry->source);
    const T entry_target = entry->target;
    const bool initial = entry == map.rbegin();
    for (std::size_t j = 0; j < k; ++j) {
      const S x = in[j];
      const bool m = matches(x);
      const LaneMask<S> earlier = initial ? LaneMask<S>{0} : hit[j];
      target[j] = m ? entry_target : (initial ? T{} : target[j]);
      hit[j] = static_cast<LaneMask<S>>(earlier | static_cast<LaneMask<S>>(m));
    }
    if (entry == last) break;
  }
  for (std::size_t j = 0; j < k; ++j) source[j] = hit[j] != 0 ? S{} : in[j];
  if (!kernel.convert_block(InputSlice<S>(source, k), OutputSlice<T>(converted, k))) return false;
  for (std::size_t j = 0; j < k; ++j) converted[j] = hit[j] != 0 ? target[j] : converted[j];
  block::store(out, 0, converted, k);
  return true;
}

}  // namespace frame_detail

// The element frame's results, a block at a time: each block goes through
// the kernel's convert_block (with map hits set aside and put back), and a
// block the kernel does not convert is redone by the element frame, which
// writes exactly the elements before a failure.
template <class Kernel, Element S, Element T>
PRANDEL_INLINE CastResult convert_blocks(const Kernel& kernel, InputSlice<S> in,
                                         OutputSlice<T> out,
                                         const ScalarMap<S, T>& map) noexcept {
  const std::size_t n = frame_length(in, out);
  for (std::size_t base = 0; base < n; base += block::kElements) {
    const std::size_t k = std::min(block::kElements, n - base);
    const InputSlice<S> in_block = block::sub_slice(in, base, k);
    const OutputSlice<T> out_block = block::sub_slice(out, base, k);
    const bool converted =
        map.empty() || !frame_detail::block_has_map_hit(map, in_block)
            ? kernel.convert_block(in_block, out_block)
            : frame_detail::convert_block_with_map(kernel, map, in_block, out_block);
    if (!converted) [[unlikely]] {
      const CastResult result =
          convert_each(in_block, out_block, map, [&](S x) { return kernel.element(x); });
      if (!result) return result;
    }
  }
  return {};
}

}  // namespace prandel

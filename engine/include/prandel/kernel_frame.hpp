// The frames every kernel family shares: the element frame, which is the
// conversion rule itself, and the block frame that runs a family's vector
// kernels a block at a time with the same results.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "prandel/cast_error.hpp"
#include "prandel/cpu_features.hpp"
#include "prandel/expected.hpp"
#include "prandel/hashed_map.hpp"
#include "prandel/map_keys.hpp"
#include "prandel/scalar_map.hpp"
#include "prandel/slice.hpp"
#include "prandel/slice_blocks.hpp"

namespace prandel {

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
//     some element fails, returns false having written nothing (a kernel
//     that knows the output shares no memory with the slice's input may
//     instead have written some of the elements before the first failing
//     one, as `element` does). `in` and `out` may be the same memory (equal
//     element sizes): an element is read before it, or anything after it,
//     is written.
//
// A kernel may also decline a block it has no fast path for by returning
// false; the frame then runs the element rule on that block.
//
// A kernel whose element test is a few operations may also offer (for
// every variant it is compiled for: the baseline variant's frame uses it
// too)
//   bool convert_block_with_entries(InputSlice<S> in, OutputSlice<T> out,
//                                   const EntryGroup<1, S, T>& entry) const;
// which applies a one-entry map in its own sweeps: an element that matches
// the entry gets its target and is never tested or converted. It may offer
//   bool takes_hashed_map() const;
//   template <bool kWindow>
//   bool convert_block_hashed(InputSlice<S> in, OutputSlice<T> out,
//                             const HashedMap<S, T>& map) const;
// which does the same for a map of several entries, looked up in the pass
// that converts (kWindow: the map's slots are windows of the bits), with
// convert_block's contract; the frame uses it where takes_hashed_map().

// `condition ? a : b`, a binary16 chosen by its bit pattern: a choice
// between structs does not vectorise.
template <Element T>
PRANDEL_INLINE T choose(bool condition, T a, T b) noexcept {
  if constexpr (std::is_same_v<T, f16>) {
    return f16{static_cast<u16>(condition ? a.bits : b.bits)};
  } else {
    return condition ? a : b;
  }
}

// Up to kWidth consecutive map entries, tested together in one sweep over a
// block. A group with fewer entries repeats its first one, which changes
// nothing: the first entry is the one applied last.
template <std::size_t kWidth, Element S, Element T>
struct EntryGroup {
  std::array<SourceMatcher<S>, kWidth> matches;
  std::array<T, kWidth> targets;

  EntryGroup(const ScalarMapEntry<S, T>* first, std::size_t count) noexcept {
    for (std::size_t i = 0; i < kWidth; ++i) {
      const ScalarMapEntry<S, T>& entry = first[i < count ? i : 0];
      matches[i] = SourceMatcher<S>(entry.source);
      targets[i] = entry.target;
    }
  }

  // Unrolled by the language, a fold over the entries, so that a sweep over
  // elements calling them vectorises: the optimiser unrolls a loop before
  // vectorising only from -O2 on.
  PRANDEL_INLINE bool any_match(S x) const noexcept {
    return any_match_of(x, std::make_index_sequence<kWidth>{});
  }

  // Whether x matches an entry of the group; if so `target` becomes the
  // first matching entry's target (entries are tried last to first, so the
  // first match is the one that stays), else it is left as it was.
  PRANDEL_INLINE bool first_match(S x, T& target) const noexcept {
    return first_match_of(x, target, std::make_index_sequence<kWidth>{});
  }

 private:
  template <std::size_t... i>
  PRANDEL_INLINE bool any_match_of(S x, std::index_sequence<i...>) const noexcept {
    return (static_cast<unsigned>(matches[i](x)) | ...) != 0;
  }

  template <std::size_t... k>
  PRANDEL_INLINE bool first_match_of(S x, T& target, std::index_sequence<k...>) const noexcept {
    // A comma fold: the entries are taken in this order.
    unsigned any = 0;
    ((any |= take_if_match(kWidth - 1 - k, x, target)), ...);
    return any != 0;
  }

  PRANDEL_INLINE unsigned take_if_match(std::size_t i, S x, T& target) const noexcept {
    const bool m = matches[i](x);
    target = choose(m, targets[i], target);
    return static_cast<unsigned>(m);
  }
};

// convert_block_with_entries for a kernel whose conversion is the
// language's own cast (exact, or nearest-even where the rule rounds so):
// the cast, a compare and a select per entry, one sweep.
// (`entries` is an EntryGroup, or anything with its first_match.)
template <Element S, Element T, class Entries>
PRANDEL_INLINE void cast_with_entries(InputSlice<S> in, OutputSlice<T> out,
                                      const Entries& entries) noexcept {
  for (std::size_t j = 0; j < in.size(); ++j) {
    const S x = in[j];
    T value = static_cast<T>(x);
    entries.first_match(x, value);
    out.store(j, value);
  }
}

namespace frame_detail {

// The unsigned integer as wide as S: lane masks kept in the element's own
// width vectorise without packing.
template <Element S>
using LaneMask = std::conditional_t<
    sizeof(S) == 1, u8,
    std::conditional_t<sizeof(S) == 2, u16, std::conditional_t<sizeof(S) == 4, u32, u64>>>;

// Calls visitor.visit(group, first, last) for the map's entries in groups
// of four (a shorter group repeats its first entry), the last group first;
// `first` and `last` mark the first and last call. One sweep width: these
// sweeps serve the paths that no benchmark row takes on AVX-512, and each
// width is another copy of every sweep for every pair. (A visitor
// with always-inline members rather than a lambda: a lambda's call operator
// is not reliably inlined into the variant's instruction set.)
template <Element S, Element T, class Visitor>
PRANDEL_INLINE void for_each_group_backwards(const ScalarMap<S, T>& map,
                                             Visitor& visitor) noexcept {
  const std::size_t entries = map.size();
  for (std::size_t end = entries; end > 0;) {
    const std::size_t count = end % 4 == 0 ? 4 : end % 4;
    const std::size_t begin = end - count;
    const bool first = end == entries;
    const bool last = begin == 0;
    visitor.visit(EntryGroup<4, S, T>(&map[begin], count), first, last);
    if (visitor.done()) return;
    end = begin;
  }
}

// Whether any element of the block matches any entry's source: a read-only
// sweep per group of entries.
template <Element S>
struct FindAnyHit {
  InputSlice<S> in;
  bool hit = false;

  template <std::size_t kWidth, Element T>
  PRANDEL_INLINE void visit(const EntryGroup<kWidth, S, T>& group, bool, bool) noexcept {
    LaneMask<S> any = 0;
    for (std::size_t j = 0; j < in.size(); ++j) {
      any |= static_cast<LaneMask<S>>(group.any_match(in[j]));
    }
    hit = any != 0;
  }
  bool done() const noexcept { return hit; }
};

template <Element S, Element T>
PRANDEL_INLINE bool block_has_map_hit(const ScalarMap<S, T>& map, InputSlice<S> in) noexcept {
  FindAnyHit<S> finder{in};
  for_each_group_backwards(map, finder);
  return finder.hit;
}

// One sweep per group of entries over a block: hit[j] becomes non-zero for
// the elements some entry matches, `source` the block with those replaced by
// zero (which every rule converts without failure), written by the last
// sweep, `any` whether anything matched, and target[j] the first matching
// entry's target: groups and entries are applied last to first, so the
// first match is the one that stays.
template <Element S, Element T>
struct MarkHits {
  InputSlice<S> in;
  LaneMask<S>* hit;
  S* source;
  T* target;
  bool any = false;

  template <std::size_t kWidth>
  PRANDEL_INLINE void visit(const EntryGroup<kWidth, S, T>& entries, bool first,
                            bool last) noexcept {
    // A local copy: one reached through a reference is reloaded after every
    // store, and the sweep does not vectorise.
    const EntryGroup<kWidth, S, T> group = entries;
    // A loop of its own for the last group: a branch inside does not
    // vectorise.
    if (last) {
      sweep<true>(group, first);
    } else {
      sweep<false>(group, first);
    }
  }
  bool done() const noexcept { return false; }

 private:
  template <bool kLast, std::size_t kWidth>
  PRANDEL_INLINE void sweep(const EntryGroup<kWidth, S, T>& group, bool first) noexcept {
    const std::size_t k = in.size();
    LaneMask<S> matched = 0;
    for (std::size_t j = 0; j < k; ++j) {
      // Everything is loaded before the choices: a load under a condition
      // does not vectorise.
      const S x = in[j];
      const LaneMask<S> earlier = hit[j];
      LaneMask<S> h = first ? LaneMask<S>{0} : earlier;
      const T earlier_target = target[j];
      T t = choose(first, T{}, earlier_target);
      h = static_cast<LaneMask<S>>(h | static_cast<LaneMask<S>>(group.first_match(x, t)));
      target[j] = t;
      hit[j] = h;
      if constexpr (kLast) {
        source[j] = choose(h != 0, S{}, x);
        matched = static_cast<LaneMask<S>>(matched | h);
      }
    }
    if constexpr (kLast) any = matched != 0;
  }
};

// Stores target[j] over each hit element of `out`.
template <Element S, Element T>
PRANDEL_INLINE void put_map_targets(OutputSlice<T> out, const LaneMask<S>* hit,
                                    const T* target) noexcept {
  const std::byte* const bytes = out.bytes();
  for (std::size_t j = 0; j < out.size(); ++j) {
    T converted;
    std::memcpy(&converted, bytes + j * sizeof(T), sizeof(T));
    out.store(j, choose(hit[j] != 0, target[j], converted));
  }
}

// Puts each map hit's target over the kernel's results: a sweep per group
// of entries reading the input again, so the output must not share its
// memory. It does not tell whether anything matched: that costs a second
// compare per vector.
template <Element S, Element T>
struct OverwriteHits {
  InputSlice<S> in;
  OutputSlice<T> out;

  template <std::size_t kWidth>
  PRANDEL_INLINE void visit(const EntryGroup<kWidth, S, T>& entries, bool, bool) noexcept {
    // A local copy: one reached through a reference is reloaded after every
    // store, and the sweep does not vectorise.
    const EntryGroup<kWidth, S, T> group = entries;
    const std::byte* const bytes = out.bytes();
    for (std::size_t j = 0; j < in.size(); ++j) {
      T value;
      std::memcpy(&value, bytes + j * sizeof(T), sizeof(T));
      group.first_match(in[j], value);
      out.store(j, value);
    }
  }
  bool done() const noexcept { return false; }
};

// What the paths with a map need of a kernel, behind two plain function
// pointers: those paths are then compiled once per pair and variant rather
// than once per kernel (its modes), and each kernel's block loops are
// compiled once more in all, not once per path. The price is a call per
// block, which the fastest kernels' map paths feel at 1e5 elements.
template <Element S, Element T>
struct ErasedKernel {
  const void* self;
  bool (*convert_block)(const void* self, InputSlice<S> in, OutputSlice<T> out);
  // The element frame over a block the kernel did not convert.
  CastResult (*convert_each)(const void* self, InputSlice<S> in, OutputSlice<T> out,
                             const ScalarMap<S, T>& map) noexcept;

  bool block(InputSlice<S> in, OutputSlice<T> out) const noexcept {
    return convert_block(self, in, out);
  }
  CastResult each(InputSlice<S> in, OutputSlice<T> out,
                  const ScalarMap<S, T>& map) const noexcept {
    return convert_each(self, in, out, map);
  }
};

// The kernel's convert_block as a variant kernel (cpu_features.hpp), so that
// variant_function gives it compiled for the kernel's own variant, in a
// function of its own whose address the erased kernel holds.
template <class Kernel, Element S, Element T>
struct ConvertBlockOf {
  // Compiled for Avx512Vbmi only for a kernel of that variant.
  static constexpr bool kUsesVbmi = true;

  template <Isa>
  PRANDEL_INLINE static bool run(const void* self, InputSlice<S> in, OutputSlice<T> out) noexcept {
    return static_cast<const Kernel*>(self)->convert_block(in, out);
  }
};

// The element frame by the kernel's rule: rare (a failing block, or one the
// kernel declines), so it keeps the baseline instruction set.
template <class Kernel, Element S, Element T>
PRANDEL_NOINLINE CastResult convert_each_of(const void* self, InputSlice<S> in,
                                            OutputSlice<T> out,
                                            const ScalarMap<S, T>& map) noexcept {
  const Kernel& kernel = *static_cast<const Kernel*>(self);
  return convert_each(in, out, map, [&](S x) { return kernel.element(x); });
}

template <Isa I, class Kernel, Element S, Element T>
ErasedKernel<S, T> erase(const Kernel& kernel) noexcept {
  return {&kernel,
          variant_function<I, ConvertBlockOf<Kernel, S, T>, const void*, InputSlice<S>,
                           OutputSlice<T>>(),
          &convert_each_of<Kernel, S, T>};
}

// Every frame's loop: `convert(in_block, out_block)` for each block in
// order, which converts the block as the element frame would or returns
// false having written nothing the element frame would not (see
// convert_block); such a block is redone by the element frame, which writes
// exactly the elements before a failure and ends the call there.
template <Element S, Element T, class Convert>
PRANDEL_INLINE CastResult for_each_block(const ErasedKernel<S, T>& kernel, InputSlice<S> in,
                                         OutputSlice<T> out, const ScalarMap<S, T>& map,
                                         Convert&& convert) noexcept {
  const std::size_t n = frame_length(in, out);
  for (std::size_t base = 0; base < n; base += block::kElements) {
    const std::size_t k = std::min(block::kElements, n - base);
    const InputSlice<S> in_block = block::sub_slice(in, base, k);
    const OutputSlice<T> out_block = block::sub_slice(out, base, k);
    if (!convert(in_block, out_block)) [[unlikely]] {
      const CastResult result = kernel.each(in_block, out_block, map);
      if (!result) return result;
    }
  }
  return {};
}

// A block's map hits set aside: hit[j] non-zero for the elements some entry
// matches, `source` the block with those replaced by zero (which every rule
// converts without failure) and target[j] the first matching entry's target.
template <Element S, Element T>
struct SetAside {
  S source[block::kElements];
  LaneMask<S> hit[block::kElements];
  T target[block::kElements];
};

// Fills `aside` for the block; returns whether anything matched.
template <Element S, Element T>
PRANDEL_INLINE bool set_hits_aside(const ScalarMap<S, T>& map, InputSlice<S> in,
                                   SetAside<S, T>& aside) noexcept {
  MarkHits<S, T> marks{in, aside.hit, aside.source, aside.target};
  for_each_group_backwards(map, marks);
  return marks.any;
}

// The frame for any map, with the hits found by comparing each entry. Hits
// tend to recur (NaN in a run of data, say): after a block with one, the
// next goes straight to the map path instead of being tested first. Where
// the output has memory of its own, a block with hits is converted as it
// stands and the hits' targets put over the results, which costs a sweep
// rather than the three of setting them aside; unless the kernel refuses a
// hit's own value (NaN to an integer, say), and then never again.
template <Isa I, Element S, Element T>
CastResult convert_blocks_with_map(const ErasedKernel<S, T>& kernel, InputSlice<S> in,
                                   OutputSlice<T> out, const ScalarMap<S, T>& map) noexcept {
  return call_out_of_line<I>([&]() PRANDEL_INLINE_LAMBDA {
    bool expect_hits = false;
    bool convert_hits = !block::overlap(in, out);
    SetAside<S, T> aside;
    return for_each_block(
        kernel, in, out, map,
        [&](InputSlice<S> in_block, OutputSlice<T> out_block) PRANDEL_INLINE_LAMBDA {
          if (!expect_hits && !block_has_map_hit(map, in_block)) {
            return kernel.block(in_block, out_block);
          }
          if (convert_hits && kernel.block(in_block, out_block)) {
            OverwriteHits<S, T> overwrite{in_block, out_block};
            for_each_group_backwards(map, overwrite);
            // The overwrite costs about what the test for hits does: from
            // here on blocks are overwritten untested.
            expect_hits = true;
            return true;
          }
          convert_hits = false;
          // The targets are found before the kernel writes, since the output
          // may be the input's memory.
          expect_hits = set_hits_aside(map, in_block, aside);
          if (!kernel.block(InputSlice<S>(aside.source, in_block.size()), out_block)) {
            return false;
          }
          if (expect_hits) put_map_targets<S>(out_block, aside.hit, aside.target);
          return true;
        });
  });
}

// The frame for a map of at most MapKeys::kMaxKeys distinct sources below
// AVX-512: `find` (FindKeys, compiled for the variant) numbers each
// element's key, a block without hits is the kernel's alone, and in one
// with hits the kernel converts the block as it stands (while it accepts the
// hits' own values and the output has memory of its own) or with the hits
// set to zero; then each hit's target goes over its result. The targets come
// from the numbers, not the input, since the output may be the input's
// memory.
template <Element S, Element T>
PRANDEL_NOINLINE CastResult convert_blocks_with_keys(const ErasedKernel<S, T>& kernel,
                                                     InputSlice<S> in, OutputSlice<T> out,
                                                     const ScalarMap<S, T>& map,
                                                     const MapTable<S, T>& table,
                                                     FindKeysFunction<S> find) noexcept {
  static_assert(KeyHits::kElements == block::kElements);
  bool convert_hits = !block::overlap(in, out);
  KeyHits hits{};
  S source[block::kElements];
  return for_each_block(
      kernel, in, out, map,
      [&](InputSlice<S> in_block, OutputSlice<T> out_block) PRANDEL_INLINE_LAMBDA {
        if (!find(&table.keys, in_block, &hits, convert_hits ? nullptr : source)) {
          return kernel.block(in_block, out_block);
        }
        bool converted = convert_hits && kernel.block(in_block, out_block);
        if (!converted) {
          if (convert_hits) {
            // From here on the sweep sets the hits aside as it finds them.
            convert_hits = false;
            find(&table.keys, in_block, &hits, source);
          }
          converted = kernel.block(InputSlice<S>(source, in_block.size()), out_block);
        }
        if (!converted) return false;
        hits.for_each([&](std::size_t j, u8 number) PRANDEL_INLINE_LAMBDA {
          out_block.store(j, table.targets[number]);
        });
        return true;
      });
}

template <class Kernel, Element S, Element T>
inline constexpr bool kFusesEntry =
    requires(const Kernel& kernel, InputSlice<S> in, OutputSlice<T> out,
             const EntryGroup<1, S, T>& entry) {
      kernel.convert_block_with_entries(in, out, entry);
    };

#if PRANDEL_X86_VARIANTS
// Whether variant I can find the map's hits of 8-bit elements in byte lanes
// (find_byte_hits); it does for a map with a byte_lookup().
template <Isa I, Element S>
inline constexpr bool kFindsByteHits = I == Isa::Avx512Vbmi && sizeof(S) == 1;

// A block's hits (hashed_map_avx512::find_block_hits), in byte lanes where
// `in_bytes`; the block with its hits zeroed goes to `set_aside` if given.
template <Isa I, Element S, Element T>
PRANDEL_INLINE void find_hits(const HashedMap<S, T>& hashed, InputSlice<S> in,
                              BlockHits<typename HashedMap<S, T>::Lane>& hits, S* set_aside,
                              bool in_bytes) noexcept {
  if constexpr (kFindsByteHits<I, S>) {
    if (in_bytes) {
      hashed_map_avx512::find_byte_hits(hashed, in, hits, set_aside);
      return;
    }
  }
  hashed_map_avx512::find_block_hits(hashed, in, hits, set_aside);
}

// The frame with the map's hits found by a hashed lookup (the AVX-512
// variants'): a block without hits is the kernel's alone; in one with hits
// the kernel converts the block as it stands (while it accepts the hits' own
// values and the output has memory of its own) or with the hits set to zero,
// and each hit's target goes over its result.
template <Isa I, Element S, Element T>
CastResult convert_blocks_hashed(const ErasedKernel<S, T>& kernel, InputSlice<S> in,
                                 OutputSlice<T> out, const ScalarMap<S, T>& map,
                                 const HashedMap<S, T>& hashed) noexcept {
  return call_out_of_line<I>([&]() PRANDEL_INLINE_LAMBDA {
    using Hits = BlockHits<typename HashedMap<S, T>::Lane>;
    static_assert(Hits::kElements == block::kElements);
    bool convert_hits = !block::overlap(in, out);
    const bool byte_hits = kFindsByteHits<I, S> && hashed.byte_lookup();
    Hits hits;
    S source[block::kElements];
    return for_each_block(
        kernel, in, out, map,
        [&](InputSlice<S> in_block, OutputSlice<T> out_block) PRANDEL_INLINE_LAMBDA {
          find_hits<I>(hashed, in_block, hits, convert_hits ? nullptr : source, byte_hits);
          if (hits.any == 0) return kernel.block(in_block, out_block);
          bool converted = convert_hits && kernel.block(in_block, out_block);
          if (!converted) {
            if (convert_hits) {
              // From here on the sweep sets the hits aside as it finds them.
              convert_hits = false;
              find_hits<I>(hashed, in_block, hits, source, byte_hits);
            }
            converted = kernel.block(InputSlice<S>(source, in_block.size()), out_block);
          }
          if (!converted) return false;
          if constexpr (kFindsByteHits<I, S>) {
            if (byte_hits) {
              hashed_map_avx512::put_targets<true>(hashed, hits, out_block);
              return true;
            }
          }
          hashed_map_avx512::put_targets<false>(hashed, hits, out_block);
          return true;
        });
  });
}

// A kernel whose runs take a hashed map only where its slots are windows of
// the bits (the other maps go to the shared sweep) says so.
template <class Kernel>
inline constexpr bool kRunsTakeWindowsOnly = requires { requires Kernel::kRunsTakeWindowsOnly; };

template <class Kernel, Element S, Element T>
inline constexpr bool kRunsTakeHashedMap =
    requires(const Kernel& kernel, InputSlice<S> in, OutputSlice<T> out,
             const HashedMap<S, T>& hashed) {
      kernel.takes_hashed_map();
      kernel.template convert_block_hashed<true>(in, out, hashed);
    };
#endif

// Below this many elements the hashed map's set-up outweighs what it saves
// (from one block on it costs less than comparing each entry: at 1,000
// elements a third of it).
inline constexpr std::size_t kHashedMapMinElements = block::kElements;

// Below this many elements the element rule alone costs less than a
// block's set-up (a kernel's range test, masked lanes, staging).
inline constexpr std::size_t kBlockMinElements = 4;

}  // namespace frame_detail

// The element frame's results, a block at a time: each block goes through
// the kernel's convert_block (with map hits set aside and put back), and a
// block the kernel does not convert is redone by the element frame, which
// writes exactly the elements before a failure. A slice of a few elements
// goes to the element frame straight away.
// `I` is the variant the caller is compiled for. Without a map, and with a
// map the kernel applies in its own sweeps, the kernel's loops run inline in
// a function of their own (call_out_of_line); any other map goes through
// paths shared by every kernel of the pair (ErasedKernel).
template <Isa I, class Kernel, Element S, Element T>
PRANDEL_INLINE CastResult convert_blocks(const Kernel& kernel, InputSlice<S> in,
                                         OutputSlice<T> out,
                                         const ScalarMap<S, T>& map) noexcept {
  const std::size_t n = frame_length(in, out);
  if (n < frame_detail::kBlockMinElements) {
    return convert_each(in, out, map, [&](S x) PRANDEL_INLINE_LAMBDA { return kernel.element(x); });
  }
  const frame_detail::ErasedKernel<S, T> erased = frame_detail::erase<I, Kernel, S, T>(kernel);
#if PRANDEL_X86_VARIANTS
  // Several entries: one table lookup per element instead of a compare per
  // entry.
  if constexpr (has_avx512(I)) {
    if (map.size() > 1 && n >= frame_detail::kHashedMapMinElements) {
      const auto hashed = HashedMap<S, T>::build(map);
      if (hashed) {
        if constexpr (frame_detail::kRunsTakeHashedMap<Kernel, S, T>) {
          constexpr bool kWindowsOnly = frame_detail::kRunsTakeWindowsOnly<Kernel>;
          if (kernel.takes_hashed_map() && (!kWindowsOnly || hashed->window())) {
            return call_out_of_line<I>([&]() PRANDEL_INLINE_LAMBDA {
              const auto runs = [&]<bool kWindow>() PRANDEL_INLINE_LAMBDA {
                return frame_detail::for_each_block(
                    erased, in, out, map,
                    [&](InputSlice<S> in_block, OutputSlice<T> out_block) PRANDEL_INLINE_LAMBDA {
                      return kernel.template convert_block_hashed<kWindow>(in_block, out_block,
                                                                           *hashed);
                    });
              };
              if constexpr (kWindowsOnly) {
                return runs.template operator()<true>();
              } else {
                return hashed->window() ? runs.template operator()<true>()
                                        : runs.template operator()<false>();
              }
            });
          }
        }
        // Float sources look every NaN up as the NaN key, with or without
        // one in the map: two operations a vector, against a second sweep.
        return frame_detail::convert_blocks_hashed<I>(erased, in, out, map, *hashed);
      }
    }
  }
#endif
  if (map.empty()) {
    // Below AVX-512 the kernel is called per block too, which keeps one copy
    // of its loops: a call per block of kElements is a few percent of the
    // loop's own time there, where the fastest AVX-512 casts would feel it.
    if constexpr (!has_avx512(I)) {
      return frame_detail::for_each_block(
          erased, in, out, map,
          [&](InputSlice<S> in_block, OutputSlice<T> out_block) PRANDEL_INLINE_LAMBDA {
            return erased.block(in_block, out_block);
          });
    } else {
      return call_out_of_line<I>([&]() PRANDEL_INLINE_LAMBDA {
        return frame_detail::for_each_block(
            erased, in, out, map,
            [&](InputSlice<S> in_block, OutputSlice<T> out_block) PRANDEL_INLINE_LAMBDA {
              return kernel.convert_block(in_block, out_block);
            });
      });
    }
  }
  // One entry in the kernel's own sweeps: a compare and a blend per vector,
  // where sweeps of their own took AVX2 two to four times the instructions
  // and the baseline variant (int8 to int8 at 1e5) five times the time.
  if constexpr (frame_detail::kFusesEntry<Kernel, S, T>) {
    if (map.size() == 1) {
      return call_out_of_line<I>([&]() PRANDEL_INLINE_LAMBDA {
        // Built here, a local of the loop's own function: one the loop
        // reached through a reference would be reloaded after every store.
        const EntryGroup<1, S, T> entry(map.data(), map.size());
        return frame_detail::for_each_block(
            erased, in, out, map,
            [&](InputSlice<S> in_block, OutputSlice<T> out_block) PRANDEL_INLINE_LAMBDA {
              return kernel.convert_block_with_entries(in_block, out_block, entry);
            });
      });
    }
  }
  // Below AVX-512 the maps the kernel does not fuse: each element's key
  // numbered in one sweep compiled for the variant, the hits' targets put
  // in place one at a time.
  if constexpr (!has_avx512(I)) {
    MapTable<S, T> table;
    if (table.fill(map)) {
      return frame_detail::convert_blocks_with_keys(
          erased, in, out, map, table,
          variant_function<I, FindKeys<S>, const MapKeys<S>*, InputSlice<S>, KeyHits*, S*>());
    }
  }
  // The sweeps that compare each entry: on AVX-512, where a map of several
  // entries on a long slice takes the table above and one entry the
  // kernel's own sweeps, for short slices; below it, for maps of more
  // distinct sources than the numbers hold.
  return frame_detail::convert_blocks_with_map<Isa::Baseline>(erased, in, out, map);
}

}  // namespace prandel

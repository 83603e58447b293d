// Integer-to-integer conversion of whole slices: the block kernels and the
// family's entry.
#pragma once

#include <cstddef>
#include <type_traits>

#include "prandel/cast_config.hpp"
#include "prandel/cpu_features.hpp"
#include "prandel/int_checked_lanes.hpp"
#include "prandel/int_to_int_rule.hpp"
#include "prandel/kernel_frame.hpp"
#include "prandel/mode_dispatch.hpp"
#include "prandel/slice_blocks.hpp"

namespace prandel {

namespace int_to_int_detail {

// Every loop below is a straight vectorisable loop; the variants differ only
// in the instruction set it is compiled for, but for the Avx512 variant's
// checked conversions.
template <IntElement S, IntElement T, OutOfRangeMode M, Isa V>
struct Blocks {
  using Range = IntRange<S, T>;

  // Whether the output shares no memory with the input: a failing block may
  // then be left with some of the elements before its first failure written.
  bool output_apart = false;

  ElementResult<T> element(S x) const noexcept { return int_to_int_element<T>(x, M); }

  PRANDEL_INLINE bool convert_block(InputSlice<S> in, OutputSlice<T> out) const noexcept {
    return convert_lanes(in, out, NoEntries{});
  }

#if PRANDEL_X86_VARIANTS
  // Where the result is the element's low bits (the same type, wrap) or a
  // checked narrowing, AVX-512 matches a hashed map of several entries in
  // the same pass as it converts (a checked one inside its runs, as it does
  // one entry). Not widening: the table holds the source's patterns.
  static constexpr bool kKeepsLowBits =
      (Range::lossless || M == OutOfRangeMode::Wrap) && sizeof(T) <= sizeof(S);
  static constexpr bool kRunsTakeHashedMap =
      has_avx512(V) && sizeof(T) <= sizeof(S) && (kKeepsLowBits || M != OutOfRangeMode::Clamp);

  // Whether convert_block_hashed may run: checked runs store as they pass.
  bool takes_hashed_map() const noexcept { return kKeepsLowBits || output_apart; }

  template <bool kWindow>
    requires kRunsTakeHashedMap
  PRANDEL_INLINE bool convert_block_hashed(InputSlice<S> in, OutputSlice<T> out,
                                           const HashedMap<S, T>& map) const noexcept {
    if constexpr (V == Isa::Avx512Vbmi && sizeof(S) == 1) {
      if (map.byte_lookup()) {
        return convert_hashed(in, out, map, hashed_map_avx512::ByteTable<S>::of(map));
      }
    }
    return convert_hashed(in, out, map, int_checked_lanes::HashedEntries<S, kWindow>::of(map));
  }
#endif

  // A small map costs a compare and a select per entry and element here,
  // where setting its hits aside would take sweeps of their own.
  template <std::size_t kWidth>
  PRANDEL_INLINE bool convert_block_with_entries(
      InputSlice<S> in, OutputSlice<T> out, const EntryGroup<kWidth, S, T>& entries) const noexcept {
    return convert_lanes(in, out, entries);
  }

 private:
  struct NoEntries {
    constexpr bool first_match(S, T&) const noexcept { return false; }
  };

  // The hashed map's entries one element at a time, for a block's last
  // elements that fill no run.
  struct HashedLookup {
    const HashedMap<S, T>& map;
    bool first_match(S x, T& target) const noexcept {
      const auto pattern = static_cast<typename HashedMap<S, T>::Lane>(
          static_cast<std::make_unsigned_t<S>>(x));
      const unsigned slot = map.slot_of(pattern);
      if (map.keys()[slot] != pattern) return false;
      target = map.target(slot);
      return true;
    }
  };

  template <class Entries>
  PRANDEL_INLINE bool convert_lanes(InputSlice<S> in, OutputSlice<T> out,
                                    const Entries& entries) const noexcept {
    const std::size_t k = in.size();
    if constexpr (Range::lossless || M == OutOfRangeMode::Wrap) {
      cast_with_entries(in, out, entries);
    } else if constexpr (M == OutOfRangeMode::Clamp) {
      for (std::size_t j = 0; j < k; ++j) {
        const S x = in[j];
        T value = static_cast<T>(Range::clamp(x));
        entries.first_match(x, value);
        out.store(j, value);
      }
    } else {
#if PRANDEL_X86_VARIANTS
      // Runs tested and converted in registers, each stored once it passes
      // (so a failing block may keep the runs before its failure); with no
      // map entry or one.
      if constexpr (has_avx512(V)) {
        if (output_apart) {
          if constexpr (std::is_same_v<Entries, NoEntries>) {
            return checked_runs(in, out, entries, int_checked_lanes::NoEntry{});
          } else if constexpr (std::is_same_v<Entries, EntryGroup<1, S, T>>) {
            return checked_runs(
                in, out, entries,
                int_checked_lanes::OneEntry::of(entries.matches[0].source(), entries.targets[0]));
          }
        }
      }
#endif
      return checked_without_runs(in, out, entries);
    }
    return true;
  }

#if PRANDEL_X86_VARIANTS
  // convert_block_hashed with the table in registers as `entries`.
  template <class Entries>
  PRANDEL_INLINE bool convert_hashed(InputSlice<S> in, OutputSlice<T> out,
                                     const HashedMap<S, T>& map,
                                     const Entries& entries) const noexcept {
    if constexpr (kKeepsLowBits) {
      const std::size_t k = in.size();
      const std::size_t j =
          int_checked_lanes::convert_low_bits<S, T>(in.bytes(), out.bytes(), k, entries);
      cast_with_entries(block::sub_slice(in, j, k - j), block::sub_slice(out, j, k - j),
                        HashedLookup{map});
      return true;
    } else {
      return checked_runs(in, out, HashedLookup{map}, entries);
    }
  }

  template <class Entries, class Entry>
  PRANDEL_INLINE static bool checked_runs(InputSlice<S> in, OutputSlice<T> out,
                                          const Entries& entries, const Entry& entry) noexcept {
    constexpr std::size_t kRun = int_checked_lanes::kRun<S, T>;
    const std::size_t k = in.size();
    std::size_t j = 0;
    for (; j + kRun <= k; j += kRun) {
      if (!int_checked_lanes::convert_run<S, T>(in.bytes() + j * sizeof(S),
                                                out.bytes() + j * sizeof(T), entry)) {
        return false;
      }
    }
    if (j == k) return true;
    return checked_without_runs(block::sub_slice(in, j, k - j), block::sub_slice(out, j, k - j),
                                entries);
  }
#endif

  template <class Entries>
  PRANDEL_INLINE static bool checked_without_runs(InputSlice<S> in, OutputSlice<T> out,
                                                  const Entries& entries) noexcept {
    if constexpr (sizeof(T) <= sizeof(S) && !std::is_same_v<Entries, NoEntries>) {
      // Not widening, with a map: one sweep matches, tests and converts into a
      // buffer, written out when every element passes (cheaper than matching
      // in two sweeps; without a map the read-only sweep below is cheaper
      // than the buffer, measured).
      using Unsigned = typename Range::Unsigned;
      const std::size_t k = in.size();
      Unsigned offsets = 0;
      T staged[block::kElements];
      for (std::size_t j = 0; j < k; ++j) {
        const S x = in[j];
        T value = static_cast<T>(x);
        offsets = static_cast<Unsigned>(
            offsets | (entries.first_match(x, value) ? Unsigned{0} : Range::offset(x)));
        staged[j] = value;
      }
      if ((offsets & ~Range::kOffsetBits) != 0) return false;
      block::store(out, 0, staged, k);
      return true;
    } else {
      return checked_sweeps(in, out, entries);
    }
  }

  // A read-only sweep first, so a failing block leaves the output as it
  // was; it ORs the elements' offsets from the range's lower end.
  template <class Entries>
  PRANDEL_INLINE static bool checked_sweeps(InputSlice<S> in, OutputSlice<T> out,
                                            const Entries& entries) noexcept {
    using Unsigned = typename Range::Unsigned;
    Unsigned offsets = 0;
    for (std::size_t j = 0; j < in.size(); ++j) {
      const S x = in[j];
      T unused{};
      offsets = static_cast<Unsigned>(
          offsets | (entries.first_match(x, unused) ? Unsigned{0} : Range::offset(x)));
    }
    if ((offsets & ~Range::kOffsetBits) != 0) return false;
    cast_with_entries(in, out, entries);
    return true;
  }
};

template <IntElement S, IntElement T>
struct Slice {
  // 8-bit sources look a map up in byte lanes there.
  static constexpr bool kUsesVbmi = sizeof(S) == 1;

  template <Isa I>
  PRANDEL_INLINE static CastResult run(InputSlice<S> in, OutputSlice<T> out,
                                       const CastConfig<S, T>* config) noexcept {
    const ScalarMap<S, T>& map = config->scalar_map;
    if constexpr (IntRange<S, T>::lossless) {
      return convert_blocks<I>(Blocks<S, T, OutOfRangeMode::Wrap, I>{}, in, out, map);
    } else {
      const bool apart = !block::overlap(in, out);
      return with_out_of_range_mode(
          config->out_of_range, [&]<OutOfRangeMode M>() PRANDEL_INLINE_LAMBDA {
            return convert_blocks<I>(Blocks<S, T, M, I>{apart}, in, out, map);
          });
    }
  }
};

}  // namespace int_to_int_detail

// Converts min(in.size(), out.size()) elements by int_to_int_element under
// config.out_of_range, a scalar-map hit stored as given; the first failure
// ends the call with the elements before it written. `isa` picks the
// instruction-set variant (tests run each one the processor supports).
template <IntElement S, IntElement T>
CastResult convert_slice_int_to_int(InputSlice<S> in, OutputSlice<T> out,
                                    const CastConfig<S, T>& config,
                                    Isa isa = best_isa()) noexcept {
  // Same width and modular (or the very same type): the bits are the result.
  constexpr bool copies_bits = sizeof(S) == sizeof(T);
  if (copies_bits && config.scalar_map.empty() &&
      (std::is_same_v<S, T> || config.out_of_range == OutOfRangeMode::Wrap)) {
    if constexpr (copies_bits) block::copy_bits(in, out, frame_length(in, out));
    return {};
  }
  return run_variant<int_to_int_detail::Slice<S, T>>(isa, in, out, &config);
}

}  // namespace prandel

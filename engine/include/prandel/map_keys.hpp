// A scalar map's hits in a block for the variants below AVX-512: one sweep
// compares each element with every distinct key pattern and leaves the
// number of the key it equals (0: none); the frame then puts each hit's
// target in place one at a time. Hits are a small share of most data, so
// that costs less than sweeps that select targets for every element, and the
// sweep depends on the source type alone: compiled once per source type and
// variant, not per pair.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstring>
#include <type_traits>
#include <utility>

#include "prandel/cpu_features.hpp"
#include "prandel/element_types.hpp"
#include "prandel/float_bits.hpp"
#include "prandel/scalar_map.hpp"
#include "prandel/slice.hpp"
#include "prandel/slice_blocks.hpp"

#if PRANDEL_X86_VARIANTS
#include <immintrin.h>
#endif

namespace prandel {

namespace map_keys_detail {

// The unsigned integer as wide as S: what an element is compared as.
template <Element S>
using Pattern = std::conditional_t<
    sizeof(S) == 1, u8,
    std::conditional_t<sizeof(S) == 2, u16, std::conditional_t<sizeof(S) == 4, u32, u64>>>;

// The pattern an element is matched by: an integer's own bits; a float's
// with every NaN as one NaN pattern and -0 as +0, so that
// map_source_matches becomes equality of patterns.
template <Element S>
PRANDEL_INLINE Pattern<S> pattern_of(S x) noexcept {
  using P = Pattern<S>;
  if constexpr (IntElement<S>) {
    return static_cast<P>(x);
  } else {
    using B = FloatBits<S>;
    const P bits = B::to_bits(x);
    const auto magnitude = static_cast<P>(bits & B::kMagnitudeMask);
    const P p = magnitude > B::kInfinity ? static_cast<P>(B::kInfinity + 1) : bits;
    return magnitude == 0 ? P{0} : p;
  }
}

}  // namespace map_keys_detail

// A map's distinct source patterns (map_keys_detail::pattern_of), numbered
// from 1 in the order of their first entries.
template <Element S>
class MapKeys {
 public:
  using Pattern = map_keys_detail::Pattern<S>;
  // Numbers fit the sweep's byte per element; a map with more distinct
  // sources goes to the sweeps that compare each entry.
  static constexpr std::size_t kMaxKeys = 64;

  std::size_t size() const noexcept { return count_; }
  Pattern operator[](std::size_t i) const noexcept { return patterns_[i]; }
  // The patterns in order, the slots past size() holding the first: a
  // vector of them finds an element's number as its first equal lane.
  const Pattern* data() const noexcept { return patterns_.data(); }

  // The number of the key with this pattern, 0 if none.
  std::size_t find(Pattern pattern) const noexcept {
    // Without a branch that the data decides: a search per hit that exits
    // at its key mispredicted about once a hit.
    std::size_t number = 0;
    for (std::size_t i = 0; i < count_; ++i) {
      number = patterns_[i] == pattern && number == 0 ? i + 1 : number;
    }
    return number;
  }

  // The number of the key with this pattern, adding it if new; 0 where
  // there is no room. Out of line: once per source type, not in each
  // pair's MapTable::build.
  PRANDEL_NOINLINE std::size_t number_of(Pattern pattern) noexcept {
    if (const std::size_t number = find(pattern)) return number;
    if (count_ == kMaxKeys) return 0;
    if (count_ == 0) patterns_.fill(pattern);
    patterns_[count_++] = pattern;
    return count_;
  }

 private:
  alignas(32) std::array<Pattern, kMaxKeys> patterns_;
  std::size_t count_ = 0;
};

// The keys with the target of each key's first entry.
template <Element S, Element T>
struct MapTable {
  MapKeys<S> keys;
  std::array<T, MapKeys<S>::kMaxKeys + 1> targets;  // by key number

  // Takes the map's keys; false where there are more than kMaxKeys. Filled
  // in place: a table built and returned by value costs each pair the code
  // of its copy.
  bool fill(const ScalarMap<S, T>& map) noexcept {
    for (const ScalarMapEntry<S, T>& entry : map) {
      const std::size_t before = keys.size();
      const std::size_t number = keys.number_of(map_keys_detail::pattern_of(entry.source));
      if (number == 0) return false;
      if (number > before) targets[number] = entry.target;
    }
    return true;
  }
};

namespace map_keys_detail {

// Keys compared together in one sweep. A group of fewer keys repeats its
// first, whose number the repeats then OR in again.
template <Element S, std::size_t kWidth>
struct KeyGroup {
  using P = Pattern<S>;
  std::array<P, kWidth> patterns;
  std::array<P, kWidth> numbers;

  KeyGroup(const MapKeys<S>& keys, std::size_t first) noexcept {
    const std::size_t count = std::min(kWidth, keys.size() - first);
    for (std::size_t i = 0; i < kWidth; ++i) {
      const std::size_t at = first + (i < count ? i : 0);
      patterns[i] = keys[at];
      numbers[i] = static_cast<P>(at + 1);
    }
  }

  // The number of the key equal to p, 0 if none: a fold, unrolled by the
  // language, so that the sweep vectorises at -O1. Keys are distinct, so at
  // most one number is ORed in.
  PRANDEL_INLINE P number(P p) const noexcept {
    return number_of(p, std::make_index_sequence<kWidth>{});
  }

  // 1 where p equals a key, else 0.
  PRANDEL_INLINE P hit(P p) const noexcept { return hit_of(p, std::make_index_sequence<kWidth>{}); }

 private:
  template <std::size_t... i>
  PRANDEL_INLINE P number_of(P p, std::index_sequence<i...>) const noexcept {
    return static_cast<P>(((p == patterns[i] ? numbers[i] : P{0}) | ...));
  }
  template <std::size_t... i>
  PRANDEL_INLINE P hit_of(P p, std::index_sequence<i...>) const noexcept {
    return static_cast<P>(((p == patterns[i] ? P{1} : P{0}) | ...));
  }
};

// Calls sweep.template operator()<kFirst, kWidth>(first) for each group of
// keys from `first` on: one of the fewest compares that hold up to eight
// keys, else one per eight.
template <class Sweep>
PRANDEL_INLINE void for_each_key_group(std::size_t count, Sweep&& sweep) {
  if (count == 1) {
    sweep.template operator()<true, 1>(0);
  } else if (count == 2) {
    sweep.template operator()<true, 2>(0);
  } else if (count <= 4) {
    sweep.template operator()<true, 4>(0);
  } else {
    sweep.template operator()<true, 8>(0);
    for (std::size_t first = 8; first < count; first += 8) {
      sweep.template operator()<false, 8>(first);
    }
  }
}

// Whether the sweeps find the keys' numbers of S's elements, rather than
// whether they are hits (then a search per hit finds the number): for 8-
// and 16-bit elements, whose data hold keys more often, and whose lanes hold
// more elements a vector.
template <Element S>
inline constexpr bool kSweepsNumber = sizeof(S) <= 2;

// codes[j] becomes (or, unless kFirst, is ORed with) the number of the
// group's key that in[j] equals (or 1, unless kSweepsNumber).
template <bool kFirst, Element S, std::size_t kWidth>
PRANDEL_INLINE void sweep_group(const MapKeys<S>& keys, std::size_t first, InputSlice<S> in,
                                u8* codes) noexcept {
  using P = Pattern<S>;
  // A local copy: one reached through a reference is reloaded after every
  // store, and the sweep does not vectorise.
  const KeyGroup<S, kWidth> group(keys, first);
  for (std::size_t j = 0; j < in.size(); ++j) {
    const P p = pattern_of(in[j]);
    const P code = kSweepsNumber<S> ? group.number(p) : group.hit(p);
    codes[j] = static_cast<u8>(kFirst ? code : (codes[j] | code));
  }
}

}  // namespace map_keys_detail

// A block's hits: bit j of the bits (64 a word) set where element j equals a
// key, and codes[j] that key's number there.
struct KeyHits {
  static constexpr std::size_t kElements = 256;
  static constexpr std::size_t kWords = kElements / 64;
  u64 bits[kWords];
  alignas(32) u8 codes[kElements];

  // Calls visit(j, codes[j]) for each hit j in order: a step per hit, and
  // no branch per element that the data decides.
  template <class Visit>
  PRANDEL_INLINE void for_each(Visit&& visit) const {
    for (std::size_t w = 0; w < kWords; ++w) {
      for (u64 word = bits[w]; word != 0; word &= word - 1) {
        const std::size_t j = 64 * w + static_cast<std::size_t>(std::countr_zero(word));
        visit(j, codes[j]);
      }
    }
  }
};

namespace map_keys_detail {

// The bits of the codes[0, k) that are not 0, for a variant without
// byte-mask instructions: each word of eight codes takes their top bits
// together by one product (codes stay below 128, so adding 127 sets bit 7
// alone, and carries cross no byte).
PRANDEL_INLINE void code_bits(const u8* codes, std::size_t k, u64* bits) noexcept {
  for (std::size_t w = 0; w < KeyHits::kWords; ++w) {
    u64 word_bits = 0;
    for (std::size_t i = 0; i < 8; ++i) {
      u64 word;
      std::memcpy(&word, codes + 64 * w + 8 * i, sizeof(word));
      if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
      const u64 set = ((word + 0x7f7f'7f7f'7f7f'7f7fu) & 0x8080'8080'8080'8080u) >> 7;
      word_bits |= ((set * 0x0102'0408'1020'4080u) >> 56) << (8 * i);
    }
    bits[w] = word_bits;
  }
  // Codes past k are left from an earlier block.
  for (std::size_t w = 0; w < KeyHits::kWords; ++w) {
    const std::size_t first = 64 * w;
    bits[w] &= k >= first + 64 ? ~u64{0} : k <= first ? 0 : (u64{1} << (k - first)) - 1;
  }
}

// Each hit's number by a search (a map of one key has only 1).
template <Element S>
PRANDEL_INLINE void number_hits(const MapKeys<S>& keys, InputSlice<S> in, KeyHits& hits) noexcept {
  const bool one = keys.size() == 1;
  hits.for_each([&](std::size_t j, u8) PRANDEL_INLINE_LAMBDA {
    hits.codes[j] = static_cast<u8>(one ? 1 : keys.find(pattern_of(in[j])));
  });
}

}  // namespace map_keys_detail

#if PRANDEL_X86_VARIANTS
PRANDEL_INTRINSICS_BEGIN
// FindKeys on AVX2: a compare per key and a mask move per vector give the
// hits' bits. The numbers of 8- and 16-bit keys come from the same
// vectors (their data hold keys more often); those of wider keys from a
// search per hit, which costs less than a pack per vector at the share of
// hits maps have.
namespace map_keys_avx2 {

template <std::size_t kBytes>
struct Lanes;

template <>
struct Lanes<1> {
  PRANDEL_TARGET_AVX2 static __m256i splat(u64 p) noexcept {
    return _mm256_set1_epi8(static_cast<char>(p));
  }
  PRANDEL_TARGET_AVX2 static __m256i eq(__m256i a, __m256i b) noexcept {
    return _mm256_cmpeq_epi8(a, b);
  }
  PRANDEL_TARGET_AVX2 static u64 bits(__m256i m) noexcept {
    return static_cast<u32>(_mm256_movemask_epi8(m));
  }
  // The lanes' key numbers into codes[0, 32), ORed into those there unless
  // kFirst.
  template <bool kFirst>
  PRANDEL_TARGET_AVX2 static void store_codes(u8* codes, __m256i numbers) noexcept {
    auto* const at = reinterpret_cast<__m256i*>(codes);
    _mm256_storeu_si256(at, kFirst ? numbers : _mm256_or_si256(numbers, _mm256_loadu_si256(at)));
  }
};

template <>
struct Lanes<2> {
  PRANDEL_TARGET_AVX2 static __m256i splat(u64 p) noexcept {
    return _mm256_set1_epi16(static_cast<short>(p));
  }
  PRANDEL_TARGET_AVX2 static __m256i eq(__m256i a, __m256i b) noexcept {
    return _mm256_cmpeq_epi16(a, b);
  }
  PRANDEL_TARGET_AVX2 static __m256i gt(__m256i a, __m256i b) noexcept {
    return _mm256_cmpgt_epi16(a, b);
  }
  // The pack keeps each 128-bit half's eight lanes, in bits 0-7 and 16-23.
  PRANDEL_TARGET_AVX2 static u64 bits(__m256i m) noexcept {
    const auto b = static_cast<u32>(_mm256_movemask_epi8(_mm256_packs_epi16(m, m)));
    return (b & 0xffu) | (b >> 8 & 0xff00u);
  }
  template <bool kFirst>
  PRANDEL_TARGET_AVX2 static void store_codes(u8* codes, __m256i numbers) noexcept {
    const __m128i bytes = _mm256_castsi256_si128(
        _mm256_permute4x64_epi64(_mm256_packus_epi16(numbers, numbers), 0b1000));
    auto* const at = reinterpret_cast<__m128i*>(codes);
    _mm_storeu_si128(at, kFirst ? bytes : _mm_or_si128(bytes, _mm_loadu_si128(at)));
  }
};

template <>
struct Lanes<4> {
  PRANDEL_TARGET_AVX2 static __m256i splat(u64 p) noexcept {
    return _mm256_set1_epi32(static_cast<int>(p));
  }
  PRANDEL_TARGET_AVX2 static __m256i eq(__m256i a, __m256i b) noexcept {
    return _mm256_cmpeq_epi32(a, b);
  }
  PRANDEL_TARGET_AVX2 static __m256i gt(__m256i a, __m256i b) noexcept {
    return _mm256_cmpgt_epi32(a, b);
  }
  PRANDEL_TARGET_AVX2 static u64 bits(__m256i m) noexcept {
    return static_cast<u32>(_mm256_movemask_ps(_mm256_castsi256_ps(m)));
  }
};

template <>
struct Lanes<8> {
  PRANDEL_TARGET_AVX2 static __m256i splat(u64 p) noexcept {
    return _mm256_set1_epi64x(static_cast<long long>(p));
  }
  PRANDEL_TARGET_AVX2 static __m256i eq(__m256i a, __m256i b) noexcept {
    return _mm256_cmpeq_epi64(a, b);
  }
  PRANDEL_TARGET_AVX2 static __m256i gt(__m256i a, __m256i b) noexcept {
    return _mm256_cmpgt_epi64(a, b);
  }
  PRANDEL_TARGET_AVX2 static u64 bits(__m256i m) noexcept {
    return static_cast<u32>(_mm256_movemask_pd(_mm256_castsi256_pd(m)));
  }
};

// map_keys_detail::pattern_of for a vector of elements.
template <Element S>
PRANDEL_TARGET_AVX2 inline __m256i patterns_of(__m256i x) noexcept {
  if constexpr (IntElement<S>) {
    return x;
  } else {
    using L = Lanes<sizeof(S)>;
    using B = FloatBits<S>;
    const __m256i magnitude = _mm256_and_si256(x, L::splat(B::kMagnitudeMask));
    const __m256i nan = L::gt(magnitude, L::splat(B::kInfinity));
    const __m256i p = _mm256_blendv_epi8(x, L::splat(B::kInfinity + 1), nan);
    return _mm256_andnot_si256(L::eq(magnitude, _mm256_setzero_si256()), p);
  }
}

// The group of keys from `first` (as KeyGroup) against the block's whole
// vectors: their bits ORed into hits.bits and, for 8- and 16-bit elements,
// their numbers into hits.codes (stored by the first group).
template <bool kFirst, Element S, std::size_t kWidth>
PRANDEL_TARGET_AVX2 inline void sweep_group(const MapKeys<S>& keys, std::size_t first,
                                            const std::byte* in, std::size_t vectors,
                                            KeyHits& hits) noexcept {
  using L = Lanes<sizeof(S)>;
  constexpr std::size_t kCount = 32 / sizeof(S);
  constexpr bool kCodes = map_keys_detail::kSweepsNumber<S>;
  const map_keys_detail::KeyGroup<S, kWidth> group(keys, first);
  __m256i patterns[kWidth], numbers[kWidth];
  PRANDEL_UNROLL_ALL
  for (std::size_t i = 0; i < kWidth; ++i) {
    patterns[i] = L::splat(group.patterns[i]);
    numbers[i] = L::splat(group.numbers[i]);
  }
  u64 word = 0;
  for (std::size_t v = 0; v < vectors; ++v) {
    const __m256i x =
        patterns_of<S>(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 32 * v)));
    u64 bits;
    if constexpr (kCodes) {
      // The hits are the lanes with a number.
      __m256i code = _mm256_setzero_si256();
      PRANDEL_UNROLL_ALL
      for (std::size_t i = 0; i < kWidth; ++i) {
        code = _mm256_or_si256(code, _mm256_and_si256(L::eq(x, patterns[i]), numbers[i]));
      }
      bits = L::bits(L::eq(code, _mm256_setzero_si256())) ^ ((u64{1} << kCount) - 1);
      L::template store_codes<kFirst>(hits.codes + kCount * v, code);
    } else {
      __m256i hit = _mm256_setzero_si256();
      PRANDEL_UNROLL_ALL
      for (std::size_t i = 0; i < kWidth; ++i) hit = _mm256_or_si256(hit, L::eq(x, patterns[i]));
      bits = L::bits(hit);
    }
    // A word of bits kept in a register and stored when full: ORed into
    // memory at every vector, each OR waited for the one before.
    word |= bits << (v * kCount % 64);
    if ((v + 1) * kCount % 64 == 0) {
      hits.bits[v * kCount / 64] |= word;
      word = 0;
    }
  }
  if (vectors * kCount % 64 != 0) hits.bits[vectors * kCount / 64] |= word;
}

// Each hit's number (map_keys_detail::number_hits): its pattern against a
// vector of eight keys at a time, the first equal lane its number; a search
// per key exits mispredicted.
template <Element S>
PRANDEL_TARGET_AVX2 inline void number_hits(const MapKeys<S>& keys, InputSlice<S> in,
                                            KeyHits& hits) noexcept {
  using L = Lanes<sizeof(S)>;
  constexpr std::size_t kPerVector = 32 / sizeof(S);
  const std::size_t groups = (keys.size() + 7) / 8;
  for (std::size_t w = 0; w < KeyHits::kWords; ++w) {
    for (u64 word = hits.bits[w]; word != 0; word &= word - 1) {
      const std::size_t j = 64 * w + static_cast<std::size_t>(std::countr_zero(word));
      const __m256i p = L::splat(map_keys_detail::pattern_of(in[j]));
      std::size_t number = 0;
      for (std::size_t g = 0; g < groups && number == 0; ++g) {
        u64 equal = 0;
        for (std::size_t h = 0; h < 8; h += kPerVector) {
          const __m256i keys_vector =
              _mm256_load_si256(reinterpret_cast<const __m256i*>(keys.data() + 8 * g + h));
          equal |= L::bits(L::eq(p, keys_vector)) << h;
        }
        number = equal != 0 ? 8 * g + static_cast<std::size_t>(std::countr_zero(equal)) + 1 : 0;
      }
      hits.codes[j] = static_cast<u8>(number);
    }
  }
}

template <Element S>
PRANDEL_TARGET_AVX2 inline bool find(const MapKeys<S>& keys, InputSlice<S> in,
                                     KeyHits& hits) noexcept {
  constexpr std::size_t kCount = 32 / sizeof(S);
  const std::size_t k = in.size();
  const std::size_t vectors = k / kCount;
  for (u64& word : hits.bits) word = 0;
  map_keys_detail::for_each_key_group(
      keys.size(), [&]<bool kFirst, std::size_t kWidth>(std::size_t first) PRANDEL_INLINE_LAMBDA {
        sweep_group<kFirst, S, kWidth>(keys, first, in.bytes(), vectors, hits);
      });
  if constexpr (!map_keys_detail::kSweepsNumber<S>) number_hits(keys, in, hits);
  // The last elements, short of a vector.
  for (std::size_t j = vectors * kCount; j < k; ++j) {
    const std::size_t number = keys.find(map_keys_detail::pattern_of(in[j]));
    hits.codes[j] = static_cast<u8>(number);
    hits.bits[j / 64] |= u64{number != 0} << (j % 64);
  }
  u64 any = 0;
  for (const u64 word : hits.bits) any |= word;
  return any != 0;
}

}  // namespace map_keys_avx2
PRANDEL_INTRINSICS_END
#endif

// The hits of a block's elements, as a variant kernel (cpu_features.hpp);
// returns whether there are any. Where there are and `set_aside` is given,
// the block goes there with zero in place of each hit (which every rule
// converts), copied in the variant's own vectors: the kernel's loads then
// take their data from stores of their own width (from narrower ones the
// store buffer cannot forward them, which took AVX2 twice the kernel's time).
template <Element S>
struct FindKeys {
  template <Isa I>
  PRANDEL_INLINE static bool run(const MapKeys<S>* keys, InputSlice<S> in, KeyHits* hits,
                                 S* set_aside) noexcept {
    if (!find<I>(*keys, in, *hits)) return false;
    if (set_aside != nullptr) {
      block::copy_bytes(reinterpret_cast<std::byte*>(set_aside), in.bytes(),
                        in.size() * sizeof(S));
      hits->for_each([&](std::size_t j, u8) PRANDEL_INLINE_LAMBDA { set_aside[j] = S{}; });
    }
    return true;
  }

 private:
  template <Isa I>
  PRANDEL_INLINE static bool find(const MapKeys<S>& keys, InputSlice<S> in,
                                  KeyHits& hits) noexcept {
#if PRANDEL_X86_VARIANTS
    if constexpr (I != Isa::Baseline) return map_keys_avx2::find(keys, in, hits);
#endif
    map_keys_detail::for_each_key_group(
        keys.size(), [&]<bool kFirst, std::size_t kWidth>(std::size_t first) PRANDEL_INLINE_LAMBDA {
          map_keys_detail::sweep_group<kFirst, S, kWidth>(keys, first, in, hits.codes);
        });
    map_keys_detail::code_bits(hits.codes, in.size(), hits.bits);
    if constexpr (!map_keys_detail::kSweepsNumber<S>) map_keys_detail::number_hits(keys, in, hits);
    u64 any = 0;
    for (const u64 word : hits.bits) any |= word;
    return any != 0;
  }
};

template <Element S>
using FindKeysFunction = bool (*)(const MapKeys<S>*, InputSlice<S>, KeyHits*, S*);

}  // namespace prandel

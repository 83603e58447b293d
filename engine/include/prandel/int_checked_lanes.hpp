// Checked integer conversion in AVX-512 registers: a run of vectors is
// loaded once, tested against the target's range and converted without
// going back to memory, and stored only when all of it is in range. Where 512-bit
// loads issue one a cycle, a separate read-only test sweep costs as much as
// the conversion itself.
#pragma once

#include <algorithm>
#include <cstddef>
#include <type_traits>

#include "prandel/cpu_features.hpp"
#include "prandel/element_types.hpp"
#include "prandel/hashed_map.hpp"
#include "prandel/int_to_int_rule.hpp"
#include "prandel/lanes512.hpp"

#if PRANDEL_X86_VARIANTS
#include <immintrin.h>

namespace prandel::int_checked_lanes {

using lanes512::equal;
using lanes512::set_lanes;
using lanes512::zero_lanes;

PRANDEL_INTRINSICS_BEGIN

// A vector of lanes as wide as S, each `value`.
template <IntElement S>
PRANDEL_TARGET_AVX512 inline __m512i splat(std::make_unsigned_t<S> value) noexcept {
  return lanes512::splat<sizeof(S)>(value);
}

// Each lane's offset from the range's lower end (IntRange::offset).
template <IntElement S, IntElement T>
PRANDEL_TARGET_AVX512 inline __m512i offsets(__m512i x) noexcept {
  constexpr auto lower = static_cast<std::make_unsigned_t<S>>(IntRange<S, T>::lower);
  if constexpr (lower == 0) {
    return x;
  } else if constexpr (sizeof(S) == 1) {
    return _mm512_sub_epi8(x, splat<S>(lower));
  } else if constexpr (sizeof(S) == 2) {
    return _mm512_sub_epi16(x, splat<S>(lower));
  } else if constexpr (sizeof(S) == 4) {
    return _mm512_sub_epi32(x, splat<S>(lower));
  } else {
    return _mm512_sub_epi64(x, splat<S>(lower));
  }
}

// Stores the lanes of x (elements of S) as elements of T, keeping their low
// bits: the value itself for a lane in range.
template <IntElement S, IntElement T>
PRANDEL_TARGET_AVX512 inline void store_low_bits(std::byte* out, __m512i x) noexcept {
  if constexpr (sizeof(S) == sizeof(T)) {
    _mm512_storeu_si512(out, x);
  } else if constexpr (sizeof(S) == 8 && sizeof(T) == 4) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm512_cvtepi64_epi32(x));
  } else if constexpr (sizeof(S) == 8 && sizeof(T) == 2) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm512_cvtepi64_epi16(x));
  } else if constexpr (sizeof(S) == 8) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm512_cvtepi64_epi8(x));
  } else if constexpr (sizeof(S) == 4 && sizeof(T) == 2) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm512_cvtepi32_epi16(x));
  } else if constexpr (sizeof(S) == 4) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm512_cvtepi32_epi8(x));
  } else {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm512_cvtepi16_epi8(x));
  }
}

// Elements of S as a vector of T, sign-extended (the pairs that widen and
// can fail take a signed S to a wider unsigned T).
template <IntElement S, IntElement T>
PRANDEL_TARGET_AVX512 inline __m512i load_widened(const std::byte* in) noexcept {
  static_assert(std::is_signed_v<S> && sizeof(S) < sizeof(T));
  if constexpr (sizeof(S) == 1 && sizeof(T) == 2) {
    return _mm512_cvtepi8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in)));
  } else if constexpr (sizeof(S) == 1 && sizeof(T) == 4) {
    return _mm512_cvtepi8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in)));
  } else if constexpr (sizeof(S) == 1) {
    return _mm512_cvtepi8_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(in)));
  } else if constexpr (sizeof(S) == 2 && sizeof(T) == 4) {
    return _mm512_cvtepi16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in)));
  } else if constexpr (sizeof(S) == 2) {
    return _mm512_cvtepi16_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in)));
  } else {
    return _mm512_cvtepi32_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in)));
  }
}

// Vectors converted together (of S, or of T where T is wider): eight, which
// stay in registers, or as many as a block holds.
template <IntElement S, IntElement T>
inline constexpr std::size_t kVectors =
    64 / std::max(sizeof(S), sizeof(T)) * 8 <= 256 ? 8 : 256 * sizeof(S) / 64;

// Elements converted together.
template <IntElement S, IntElement T>
inline constexpr std::size_t kRun = kVectors<S, T> * (64 / std::max(sizeof(S), sizeof(T)));

// No map entry.
struct NoEntry {
  static constexpr bool kActive = false;
};

// An Entry (below) says which lanes of a vector in convert_run's lanes
// match a map entry (`hits`) and puts their targets' bits in those lanes
// (`apply`; narrowing keeps the low bits, the target itself).

// One map entry in the lanes convert_run compares in (T's where it widens,
// else S's): its source, and its target's bits.
struct OneEntry {
  static constexpr bool kActive = true;
  __m512i source;
  __m512i target;

  template <std::size_t kBytes>
  PRANDEL_TARGET_AVX512 u64 hits(__m512i x) const noexcept {
    return equal<kBytes>(x, source);
  }
  template <std::size_t kBytes>
  PRANDEL_TARGET_AVX512 __m512i apply(__m512i y, u64 hit, __m512i) const noexcept {
    return set_lanes<kBytes>(y, hit, target);
  }

  template <IntElement S, IntElement T>
  PRANDEL_TARGET_AVX512 static OneEntry of(S source, T target) noexcept {
    using Lane = std::conditional_t<(sizeof(T) > sizeof(S)), T, S>;
    using Unsigned = std::make_unsigned_t<Lane>;
    // Widening sign-extends the elements (load_widened), and so the source.
    return {splat<Lane>(static_cast<Unsigned>(static_cast<Lane>(source))),
            splat<Lane>(static_cast<Unsigned>(static_cast<std::make_unsigned_t<T>>(target)))};
  }
};

// A map of several entries in S's own lanes (not widened), matched by its
// hashed table: a lane's slot, the key there, and where it matches, the
// target there. The table's lanes hold 8-bit elements widened to 16 bits,
// so a vector of them is matched as two halves.
template <IntElement S, bool kWindow>
struct HashedEntries {
  static constexpr bool kActive = true;
  hashed_map_avx512::TableInRegisters<S, kWindow> table;

  template <IntElement T>
  PRANDEL_TARGET_AVX512 static HashedEntries of(const HashedMap<S, T>& map) noexcept {
    return {hashed_map_avx512::TableInRegisters<S, kWindow>::of(map)};
  }

  template <std::size_t kBytes>
  PRANDEL_TARGET_AVX512 u64 hits(__m512i x) const noexcept {
    if constexpr (sizeof(S) == 1) {
      return u64{lane_hits(low_half(x))} | u64{lane_hits(high_half(x))} << 32;
    } else {
      return lane_hits(x);
    }
  }
  // The slots again rather than kept: a run's vectors already fill the
  // registers.
  template <std::size_t kBytes>
  PRANDEL_TARGET_AVX512 __m512i apply(__m512i y, u64 hit, __m512i x) const noexcept {
    if constexpr (sizeof(S) == 1) {
      const __m512i targets = _mm512_inserti64x4(
          _mm512_castsi256_si512(_mm512_cvtepi16_epi8(lane_targets(low_half(x)))),
          _mm512_cvtepi16_epi8(lane_targets(high_half(x))), 1);
      return set_lanes<1>(y, hit, targets);
    } else {
      return set_lanes<kBytes>(y, hit, lane_targets(x));
    }
  }

 private:
  PRANDEL_TARGET_AVX512 static __m512i low_half(__m512i x) noexcept {
    return _mm512_cvtepu8_epi16(_mm512_castsi512_si256(x));
  }
  PRANDEL_TARGET_AVX512 static __m512i high_half(__m512i x) noexcept {
    return _mm512_cvtepu8_epi16(_mm512_extracti64x4_epi64(x, 1));
  }
  PRANDEL_TARGET_AVX512 u64 lane_hits(__m512i lanes) const noexcept {
    return table.hits(lanes, table.slots(lanes));
  }
  PRANDEL_TARGET_AVX512 __m512i lane_targets(__m512i lanes) const noexcept {
    return table.targets(table.slots(lanes));
  }
};

// Converts the kRun<S, T> elements at `in` into `out` and returns true when
// every one lies within IntRange<S, T> or matches `entry`'s source (and so
// takes its target); otherwise returns false having written nothing. A
// widening is tested on the widened lanes, which the loads extend as they
// read.
template <IntElement S, IntElement T, class Entry>
PRANDEL_TARGET_AVX512 inline bool convert_run(const std::byte* in, std::byte* out,
                                              const Entry& entry) noexcept {
  constexpr bool kWidens = sizeof(T) > sizeof(S);
  using Lane = std::conditional_t<kWidens, T, S>;
  constexpr std::size_t kLanes = 64 / sizeof(Lane);
  constexpr std::size_t kCount = kVectors<S, T>;
  __m512i x[kCount];
  [[maybe_unused]] u64 hit[kCount];
  __m512i any = _mm512_setzero_si512();
  PRANDEL_UNROLL_ALL
  for (std::size_t r = 0; r < kCount; ++r) {
    __m512i offset;
    if constexpr (kWidens) {
      // From a signed S: lower is 0, and the offsets are the lanes.
      x[r] = load_widened<S, T>(in + r * kLanes * sizeof(S));
      offset = x[r];
    } else {
      x[r] = _mm512_loadu_si512(in + r * 64);
      offset = offsets<S, T>(x[r]);
    }
    if constexpr (Entry::kActive) {
      hit[r] = entry.template hits<sizeof(Lane)>(x[r]);
      offset = zero_lanes<sizeof(Lane)>(hit[r], offset);
    }
    any = _mm512_or_si512(any, offset);
  }
  using Unsigned = std::make_unsigned_t<Lane>;
  const __m512i outside = splat<Lane>(static_cast<Unsigned>(
      ~static_cast<Unsigned>(IntRange<S, T>::kOffsetBits)));
  if (_mm512_test_epi64_mask(any, outside) != 0) return false;
  PRANDEL_UNROLL_ALL
  for (std::size_t r = 0; r < kCount; ++r) {
    __m512i y = x[r];
    if constexpr (Entry::kActive) y = entry.template apply<sizeof(Lane)>(y, hit[r], x[r]);
    if constexpr (kWidens) {
      _mm512_storeu_si512(out + r * 64, y);
    } else {
      store_low_bits<S, T>(out + r * kLanes * sizeof(T), y);
    }
  }
  return true;
}

// The whole vectors of in[0, k) with `entry`'s targets over its hits,
// stored as T by their low bits (where that is the conversion: the same
// type, or wrap); returns how many elements that was.
template <IntElement S, IntElement T, class Entry>
PRANDEL_TARGET_AVX512 inline std::size_t convert_low_bits(const std::byte* in, std::byte* out,
                                                          std::size_t k,
                                                          const Entry& entry) noexcept {
  static_assert(sizeof(T) <= sizeof(S));
  constexpr std::size_t kLanes = 64 / sizeof(S);
  std::size_t j = 0;
  for (; j + kLanes <= k; j += kLanes) {
    const __m512i x = _mm512_loadu_si512(in + j * sizeof(S));
    const u64 hit = entry.template hits<sizeof(S)>(x);
    store_low_bits<S, T>(out + j * sizeof(T), entry.template apply<sizeof(S)>(x, hit, x));
  }
  return j;
}

// A map of several entries in the byte lanes of 8-bit elements, where it
// has a byte_lookup (hashed_map_avx512::ByteTable, the Avx512Vbmi variant):
// a vector's slots, hits and targets are one byte permute each.
// convert_run and convert_low_bits take the table through overloads of
// their own, compiled with VBMI as the generic ones are not: a function
// compiled without it may not inline one compiled with it.
template <IntElement S, IntElement T>
  requires(sizeof(S) == 1 && sizeof(T) == 1)
PRANDEL_TARGET_AVX512VBMI inline bool convert_run(const std::byte* in, std::byte* out,
                                                  const hashed_map_avx512::ByteTable<S>& table) noexcept {
  constexpr std::size_t kCount = kVectors<S, T>;
  __m512i x[kCount];
  __m512i at[kCount];
  u64 hit[kCount];
  __m512i any = _mm512_setzero_si512();
  PRANDEL_UNROLL_ALL
  for (std::size_t r = 0; r < kCount; ++r) {
    x[r] = _mm512_loadu_si512(in + r * 64);
    at[r] = table.slots(x[r]);
    hit[r] = table.hits(x[r], at[r]);
    any = _mm512_or_si512(any, zero_lanes<1>(hit[r], offsets<S, T>(x[r])));
  }
  const __m512i outside = splat<S>(static_cast<u8>(~IntRange<S, T>::kOffsetBits));
  if (_mm512_test_epi64_mask(any, outside) != 0) return false;
  PRANDEL_UNROLL_ALL
  for (std::size_t r = 0; r < kCount; ++r) {
    _mm512_storeu_si512(out + r * 64, set_lanes<1>(x[r], hit[r], table.targets_at(at[r])));
  }
  return true;
}

template <IntElement S, IntElement T>
  requires(sizeof(S) == 1 && sizeof(T) == 1)
PRANDEL_TARGET_AVX512VBMI inline std::size_t convert_low_bits(
    const std::byte* in, std::byte* out, std::size_t k,
    const hashed_map_avx512::ByteTable<S>& table) noexcept {
  // Four vectors loaded before any is stored: over data beyond the caches a
  // load after each store ran a fifth slower.
  constexpr std::size_t kCount = 4;
  std::size_t j = 0;
  for (; j + kCount * 64 <= k; j += kCount * 64) {
    __m512i x[kCount];
    PRANDEL_UNROLL_ALL
    for (std::size_t r = 0; r < kCount; ++r) x[r] = _mm512_loadu_si512(in + j + r * 64);
    PRANDEL_UNROLL_ALL
    for (std::size_t r = 0; r < kCount; ++r) {
      _mm512_storeu_si512(out + j + r * 64, table.with_targets(x[r]));
    }
  }
  for (; j + 64 <= k; j += 64) {
    _mm512_storeu_si512(out + j, table.with_targets(_mm512_loadu_si512(in + j)));
  }
  return j;
}

PRANDEL_INTRINSICS_END

}  // namespace prandel::int_checked_lanes

#endif

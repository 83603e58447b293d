// A scalar map of several entries matched by one table lookup per element
// rather than one compare per entry: every key pattern gets a slot of its
// own under a multiply-shift hash, so an element matches exactly when the
// slot it hashes to holds its own pattern.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <type_traits>

#include "prandel/cpu_features.hpp"
#include "prandel/element_types.hpp"
#include "prandel/float_bits.hpp"
#include "prandel/scalar_map.hpp"

#if PRANDEL_X86_VARIANTS
#include <immintrin.h>
#endif

namespace prandel {

namespace hashed_map_detail {

// The unsigned lane an element is matched in, as wide as the element (at
// least 16 bits).
template <Element S>
  requires(sizeof(S) >= 2)
using Lane = std::conditional_t<
    sizeof(S) == 2, u16, std::conditional_t<sizeof(S) == 4, u32, u64>>;

// The table is two 512-bit registers, whatever the lane width.
template <Element S>
inline constexpr std::size_t kSlots = 128 / sizeof(Lane<S>);

// What a 64-bit pattern's high half is multiplied by before it is folded
// into the low half: a plain xor would fold 0 and ~0 (0 and -1) together.
inline constexpr u32 kFoldMultiplier = 0x85eb'ca6bu;

// The top bits of the low 32 (16 for 16-bit lanes) of pattern * multiplier;
// a 64-bit pattern is folded to 32 bits first.
template <class L>
constexpr unsigned slot_of(L pattern, u32 multiplier) noexcept {
  if constexpr (sizeof(L) == 2) {
    return static_cast<u16>(static_cast<u32>(pattern) * (multiplier & 0xffffu)) >> 10;
  } else if constexpr (sizeof(L) == 4) {
    return static_cast<u32>(pattern * multiplier) >> 27;
  } else {
    const u32 folded =
        static_cast<u32>(pattern) ^ static_cast<u32>((pattern >> 32) * kFoldMultiplier);
    return static_cast<u32>(folded * multiplier) >> 28;
  }
}

// Where a NaN element's pattern goes when the map has a NaN key: every NaN
// is matched as this one.
template <FloatElement S>
inline constexpr auto kNanPattern = static_cast<Lane<S>>(FloatBits<S>::kInfinity + 1);

}  // namespace hashed_map_detail

// The map's distinct key patterns (a float's zero key as both zeros, its
// NaN key as kNanPattern) in slots of their own, each with the target of
// the first entry it matches. `build` gives nothing where no multiplier of
// the few it tries separates the patterns, or there are too many.
template <Element S, Element T>
  requires(sizeof(S) >= 2)
class HashedMap {
 public:
  using Lane = hashed_map_detail::Lane<S>;
  static constexpr std::size_t kSlots = hashed_map_detail::kSlots<S>;

  static std::optional<HashedMap> build(const ScalarMap<S, T>& map) noexcept {
    HashedMap hashed;
    std::array<Lane, kSlots / 2> patterns{};
    std::array<T, kSlots / 2> targets{};
    std::size_t count = 0;
    const auto add = [&](Lane pattern, T target) {
      for (std::size_t i = 0; i < count; ++i) {
        if (patterns[i] == pattern) return true;  // an earlier entry wins
      }
      if (count == patterns.size()) return false;
      patterns[count] = pattern;
      targets[count] = target;
      ++count;
      return true;
    };
    for (const ScalarMapEntry<S, T>& entry : map) {
      bool room;
      if constexpr (FloatElement<S>) {
        using B = FloatBits<S>;
        const auto bits = B::to_bits(entry.source);
        const auto magnitude = static_cast<decltype(bits)>(bits & B::kMagnitudeMask);
        if (magnitude > B::kInfinity) {
          hashed.nan_key_ = true;
          room = add(hashed_map_detail::kNanPattern<S>, entry.target);
        } else if (magnitude == 0) {
          room = add(0, entry.target) && add(static_cast<Lane>(B::kSign), entry.target);
        } else {
          room = add(static_cast<Lane>(bits), entry.target);
        }
      } else {
        room = add(static_cast<Lane>(static_cast<std::make_unsigned_t<S>>(entry.source)),
                   entry.target);
      }
      if (!room) return std::nullopt;
    }
    if (count == 0) return std::nullopt;

    // Random odd multipliers separate a handful of patterns in a few tries.
    u32 multiplier = 0x9e37'79b1u;
    for (int attempt = 0; attempt < 256; ++attempt, multiplier += 0x6a09'e668u) {
      std::uint64_t taken = 0;
      bool separate = true;
      for (std::size_t i = 0; i < count && separate; ++i) {
        const std::uint64_t bit = std::uint64_t{1}
                                  << hashed_map_detail::slot_of(patterns[i], multiplier);
        separate = (taken & bit) == 0;
        taken |= bit;
      }
      if (!separate) continue;
      hashed.multiplier_ = multiplier;
      // A free slot holds the first pattern, which hashes elsewhere: no
      // element that lands in the free slot equals it.
      hashed.keys_.fill(patterns[0]);
      hashed.targets_.fill(targets[0]);
      for (std::size_t i = 0; i < count; ++i) {
        const unsigned slot = hashed_map_detail::slot_of(patterns[i], multiplier);
        hashed.keys_[slot] = patterns[i];
        hashed.targets_[slot] = targets[i];
      }
      return hashed;
    }
    return std::nullopt;
  }

  // The slot of an element the table holds.
  unsigned slot(S x) const noexcept {
    Lane pattern;
    if constexpr (FloatElement<S>) {
      using B = FloatBits<S>;
      const auto bits = B::to_bits(x);
      pattern = nan_key_ && (bits & B::kMagnitudeMask) > B::kInfinity
                    ? hashed_map_detail::kNanPattern<S>
                    : static_cast<Lane>(bits);
    } else {
      pattern = static_cast<Lane>(static_cast<std::make_unsigned_t<S>>(x));
    }
    return hashed_map_detail::slot_of(pattern, multiplier_);
  }

  const Lane* keys() const noexcept { return keys_.data(); }
  T target(unsigned slot) const noexcept { return targets_[slot]; }
  u32 multiplier() const noexcept { return multiplier_; }
  // Whether NaN elements must be matched as kNanPattern; without a NaN key
  // their own patterns match nothing.
  bool nan_key() const noexcept { return nan_key_; }

 private:
  HashedMap() = default;

  alignas(64) std::array<Lane, kSlots> keys_{};
  std::array<T, kSlots> targets_{};
  u32 multiplier_ = 0;
  bool nan_key_ = false;
};

// The hits of one block: their positions and slots, in index order.
struct BlockHits {
  static constexpr std::size_t kCapacity = 256;
  std::size_t count = 0;
  std::array<u16, kCapacity> position;
  std::array<u8, kCapacity> slot;
};

#if PRANDEL_X86_VARIANTS
PRANDEL_INTRINSICS_BEGIN
namespace hashed_map_avx512 {

// One 512-bit vector of lanes: the load, the NaN test, the hash and the
// compare, for each lane width.
template <Element S>
struct Lanes;

template <Element S>
  requires(sizeof(S) == 2)
struct Lanes<S> {
  static constexpr std::size_t kCount = 32;
  using Mask = __mmask32;
  PRANDEL_TARGET_AVX512 static __m512i load(const std::byte* p, std::size_t n) noexcept {
    return n >= kCount ? _mm512_loadu_si512(p)
                       : _mm512_maskz_loadu_epi16(_cvtu32_mask32((1u << n) - 1u), p);
  }
  PRANDEL_TARGET_AVX512 static Mask nan_lanes(__m512i x) noexcept {
    const __m512i magnitude = _mm512_and_si512(x, _mm512_set1_epi16(0x7fff));
    return _mm512_cmpgt_epu16_mask(magnitude, _mm512_set1_epi16(0x7c00));
  }
  PRANDEL_TARGET_AVX512 static __m512i with(__m512i x, Mask lanes, u64 pattern) noexcept {
    return _mm512_mask_mov_epi16(x, lanes, _mm512_set1_epi16(static_cast<short>(pattern)));
  }
  PRANDEL_TARGET_AVX512 static __m512i slots(__m512i x, u32 multiplier) noexcept {
    const __m512i m = _mm512_set1_epi16(static_cast<short>(multiplier & 0xffffu));
    return _mm512_srli_epi16(_mm512_mullo_epi16(x, m), 10);
  }
  PRANDEL_TARGET_AVX512 static Mask matches(Mask valid, __m512i x, __m512i slots,
                                            __m512i keys_low, __m512i keys_high) noexcept {
    const __m512i key = _mm512_permutex2var_epi16(keys_low, slots, keys_high);
    return _mm512_mask_cmpeq_epi16_mask(valid, key, x);
  }
};

template <Element S>
  requires(sizeof(S) == 4)
struct Lanes<S> {
  static constexpr std::size_t kCount = 16;
  using Mask = __mmask16;
  PRANDEL_TARGET_AVX512 static __m512i load(const std::byte* p, std::size_t n) noexcept {
    return n >= kCount ? _mm512_loadu_si512(p)
                       : _mm512_maskz_loadu_epi32(static_cast<Mask>((1u << n) - 1u), p);
  }
  PRANDEL_TARGET_AVX512 static Mask nan_lanes(__m512i x) noexcept {
    const __m512 v = _mm512_castsi512_ps(x);
    return _mm512_cmp_ps_mask(v, v, _CMP_UNORD_Q);
  }
  PRANDEL_TARGET_AVX512 static __m512i with(__m512i x, Mask lanes, u64 pattern) noexcept {
    return _mm512_mask_mov_epi32(x, lanes, _mm512_set1_epi32(static_cast<int>(pattern)));
  }
  PRANDEL_TARGET_AVX512 static __m512i slots(__m512i x, u32 multiplier) noexcept {
    const __m512i m = _mm512_set1_epi32(static_cast<int>(multiplier));
    return _mm512_srli_epi32(_mm512_mullo_epi32(x, m), 27);
  }
  PRANDEL_TARGET_AVX512 static Mask matches(Mask valid, __m512i x, __m512i slots,
                                            __m512i keys_low, __m512i keys_high) noexcept {
    const __m512i key = _mm512_permutex2var_epi32(keys_low, slots, keys_high);
    return _mm512_mask_cmpeq_epi32_mask(valid, key, x);
  }
};

template <Element S>
  requires(sizeof(S) == 8)
struct Lanes<S> {
  static constexpr std::size_t kCount = 8;
  using Mask = __mmask8;
  PRANDEL_TARGET_AVX512 static __m512i load(const std::byte* p, std::size_t n) noexcept {
    return n >= kCount ? _mm512_loadu_si512(p)
                       : _mm512_maskz_loadu_epi64(static_cast<Mask>((1u << n) - 1u), p);
  }
  PRANDEL_TARGET_AVX512 static Mask nan_lanes(__m512i x) noexcept {
    const __m512d v = _mm512_castsi512_pd(x);
    return _mm512_cmp_pd_mask(v, v, _CMP_UNORD_Q);
  }
  PRANDEL_TARGET_AVX512 static __m512i with(__m512i x, Mask lanes, u64 pattern) noexcept {
    return _mm512_mask_mov_epi64(x, lanes, _mm512_set1_epi64(static_cast<long long>(pattern)));
  }
  // vpmuludq multiplies the low 32 bits of each lane; the table lookup reads
  // only the low 4 bits of a slot.
  PRANDEL_TARGET_AVX512 static __m512i slots(__m512i x, u32 multiplier) noexcept {
    const __m512i high = _mm512_mul_epu32(_mm512_srli_epi64(x, 32),
                                          _mm512_set1_epi64(hashed_map_detail::kFoldMultiplier));
    const __m512i folded = _mm512_xor_si512(x, high);
    return _mm512_srli_epi64(_mm512_mul_epu32(folded, _mm512_set1_epi64(multiplier)), 28);
  }
  PRANDEL_TARGET_AVX512 static Mask matches(Mask valid, __m512i x, __m512i slots,
                                            __m512i keys_low, __m512i keys_high) noexcept {
    const __m512i key = _mm512_permutex2var_epi64(keys_low, slots, keys_high);
    return _mm512_mask_cmpeq_epi64_mask(valid, key, x);
  }
};

// Fills `hits` with the block's elements that match the map. The vector
// sweep costs the same for any number of entries and has no branch that
// depends on the data (a mispredicted one would hold up the loads after it);
// the few hits are then read again one by one.
template <bool kNanKey, Element S, Element T>
PRANDEL_TARGET_AVX512 inline void find_hits(const HashedMap<S, T>& hashed, InputSlice<S> in,
                                            BlockHits& hits) noexcept {
  using L = Lanes<S>;
  constexpr std::size_t kPerTable = 64 / sizeof(typename HashedMap<S, T>::Lane);
  const __m512i keys_low = _mm512_load_si512(hashed.keys());
  const __m512i keys_high = _mm512_load_si512(hashed.keys() + kPerTable);
  const u32 multiplier = hashed.multiplier();
  const std::size_t k = in.size();
  u64 masks[BlockHits::kCapacity / L::kCount];
  u64 any = 0;
  for (std::size_t j = 0, v = 0; j < k; j += L::kCount, ++v) {
    const std::size_t n = std::min(L::kCount, k - j);
    __m512i x = L::load(in.bytes() + j * sizeof(S), n);
    if constexpr (kNanKey) {
      x = L::with(x, L::nan_lanes(x), hashed_map_detail::kNanPattern<S>);
    }
    const auto valid = static_cast<typename L::Mask>(n >= 64 ? ~u64{0} : (u64{1} << n) - 1);
    masks[v] = L::matches(valid, x, L::slots(x, multiplier), keys_low, keys_high);
    any |= masks[v];
  }
  std::size_t count = 0;
  if (any != 0) {
    for (std::size_t j = 0, v = 0; j < k; j += L::kCount, ++v) {
      for (u64 hit = masks[v]; hit != 0; hit &= hit - 1) {
        const std::size_t at = j + static_cast<std::size_t>(__builtin_ctzll(hit));
        hits.position[count] = static_cast<u16>(at);
        hits.slot[count] = static_cast<u8>(hashed.slot(in[at]));
        ++count;
      }
    }
  }
  hits.count = count;
}

}  // namespace hashed_map_avx512
PRANDEL_INTRINSICS_END
#endif

}  // namespace prandel

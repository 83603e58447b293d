// A scalar map of several entries matched by one table lookup per element
// rather than one compare per entry: every key pattern gets a slot of its
// own under a cheap hash, so an element matches exactly when the slot it
// hashes to holds its own pattern.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <type_traits>

#include "prandel/cpu_features.hpp"
#include "prandel/element_types.hpp"
#include "prandel/float_bits.hpp"
#include "prandel/lanes512.hpp"
#include "prandel/scalar_map.hpp"
#include "prandel/source_lanes.hpp"

#if PRANDEL_X86_VARIANTS
#include <immintrin.h>
#endif

namespace prandel {

namespace hashed_map_detail {

// The unsigned lane an element is matched in: its own width, 8-bit
// elements widened to 16 (a table of 64 slots serves them).
template <Element S>
using Lane = std::conditional_t<
    sizeof(S) <= 2, u16, std::conditional_t<sizeof(S) == 4, u32, u64>>;

// The table is two 512-bit registers, whatever the lane width.
template <Element S>
inline constexpr std::size_t kSlots = 128 / sizeof(Lane<S>);

// A slot: the low bits of (pattern * multiplier) >> shift, the multiplier
// taken modulo the lane and the product too. A multiplier of 1 makes the
// slot a window of the pattern's own bits, which a vector finds with one
// shift; other multipliers mix every bit into the top ones, which the shift
// then takes.
template <class L>
constexpr unsigned slot_of(L pattern, u64 multiplier, unsigned shift) noexcept {
  constexpr unsigned kMask = 128 / sizeof(L) - 1;
  if constexpr (sizeof(L) == 2) {
    const unsigned product =
        static_cast<u16>(static_cast<u32>(pattern) * static_cast<u16>(multiplier));
    return product >> shift & kMask;
  } else {
    return static_cast<unsigned>(static_cast<L>(pattern * static_cast<L>(multiplier)) >>
                                 shift) & kMask;
  }
}

// The shift that takes a product's top bits as the slot.
template <class L>
inline constexpr unsigned kTopShift = 8 * sizeof(L) - std::countr_zero(128 / sizeof(L));

// The odd multipliers tried: pseudo-random (an arithmetic run of them
// fails together on keys with regular differences), so a handful of
// patterns is separated in a few tries.
constexpr u64 hash_candidate(unsigned attempt) noexcept {
  u64 z = (attempt + u64{1}) * 0x9e37'79b9'7f4a'7c15u;  // splitmix64
  z = (z ^ (z >> 30)) * 0xbf58'476d'1ce4'e5b9u;
  z = (z ^ (z >> 27)) * 0x94d0'49bb'1331'11ebu;
  return (z ^ (z >> 31)) | 1u;
}
inline constexpr unsigned kHashCandidates = 256;

// Where a NaN element's pattern goes when the map has a NaN key: every NaN
// is matched as this one.
template <FloatElement S>
inline constexpr auto kNanPattern = static_cast<Lane<S>>(FloatBits<S>::kInfinity + 1);

}  // namespace hashed_map_detail

// The map's distinct key patterns (a float's zero key as both zeros, its
// NaN key as kNanPattern) in slots of their own, each with the target of
// the first entry it matches. `build` gives nothing where no hash of the
// few it tries separates the patterns, or there are too many.
template <Element S, Element T>
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

    // Windows of the patterns' bits first (the cheapest to find), then
    // multipliers.
    constexpr unsigned kWindows = hashed_map_detail::kTopShift<Lane> + 1;
    for (unsigned attempt = 0; attempt < kWindows + hashed_map_detail::kHashCandidates;
         ++attempt) {
      const bool window = attempt < kWindows;
      const u64 multiplier =
          window ? 1 : hashed_map_detail::hash_candidate(attempt - kWindows);
      const unsigned shift = window ? attempt : hashed_map_detail::kTopShift<Lane>;
      const auto slot_of = [&](Lane pattern) {
        return hashed_map_detail::slot_of(pattern, multiplier, shift);
      };
      std::uint64_t taken = 0;
      bool separate = true;
      for (std::size_t i = 0; i < count && separate; ++i) {
        const std::uint64_t bit = std::uint64_t{1} << slot_of(patterns[i]);
        separate = (taken & bit) == 0;
        taken |= bit;
      }
      if (!separate) continue;
      hashed.multiplier_ = multiplier;
      hashed.shift_ = shift;
      // A free slot holds the first pattern, which hashes elsewhere: no
      // element that lands in the free slot equals it.
      hashed.keys_.fill(patterns[0]);
      hashed.targets_.fill(targets[0]);
      for (std::size_t i = 0; i < count; ++i) {
        const unsigned slot = slot_of(patterns[i]);
        hashed.keys_[slot] = patterns[i];
        hashed.targets_[slot] = targets[i];
      }
      if constexpr (kTargetsInLanes) {
        for (std::size_t slot = 0; slot < kSlots; ++slot) {
          Lane bits = 0;
          std::memcpy(&bits, &hashed.targets_[slot], sizeof(T));
          hashed.target_bits_[slot] = bits;
        }
      } else if (count <= kWideTargets) {
        // Each slot names its pattern's target in a short table of full
        // width: the lookup in lanes finds the name, a second the target.
        hashed.wide_targets_ = true;
        for (std::size_t i = 0; i < count; ++i) {
          hashed.target_bits_[slot_of(patterns[i])] =
              static_cast<Lane>(i);
          std::memcpy(&hashed.wide_target_bits_[i], &targets[i], sizeof(T));
        }
      }
      if constexpr (sizeof(S) == 1) hashed.build_byte_lookup(patterns.data(), count);
      return hashed;
    }
    return std::nullopt;
  }

  // 8-bit elements: the table again in bytes, its keys and 8-bit targets,
  // and the slot of each window of seven of the element's bits (ByteTable).
  static constexpr std::size_t kByteSlots = sizeof(S) == 1 ? kSlots : 0;
  static constexpr std::size_t kByteWindows = sizeof(S) == 1 ? 128 : 0;

  // Whether a target fits a lane, so that a table lookup in lanes finds it
  // too.
  static constexpr bool kTargetsInLanes = sizeof(T) <= sizeof(Lane);
  // Wider targets: at most this many distinct ones, named by their index.
  static constexpr std::size_t kWideTargets = 16;
  using WideBits = std::conditional_t<sizeof(T) == 8, u64, u32>;

  const Lane* keys() const noexcept { return keys_.data(); }
  const u8* byte_keys() const noexcept { return byte_keys_.data(); }
  const u8* byte_targets() const noexcept { return byte_targets_.data(); }
  const u8* byte_slots() const noexcept { return byte_slots_.data(); }
  unsigned byte_shift() const noexcept { return byte_shift_; }
  T target(unsigned slot) const noexcept { return targets_[slot]; }
  // Per slot, the target's bit pattern zero-extended to the lane
  // (kTargetsInLanes), or its index in wide_target_bits (wide_targets).
  const Lane* target_bits() const noexcept { return target_bits_.data(); }
  bool wide_targets() const noexcept { return wide_targets_; }
  const WideBits* wide_target_bits() const noexcept { return wide_target_bits_.data(); }
  // The hash: an element's slot is slot_of(pattern), which is
  // hashed_map_detail::slot_of(pattern, multiplier(), shift()).
  unsigned slot_of(Lane pattern) const noexcept {
    return hashed_map_detail::slot_of(pattern, multiplier_, shift_);
  }
  u64 multiplier() const noexcept { return multiplier_; }
  unsigned shift() const noexcept { return shift_; }
  // Whether the slot is a window of the pattern's bits (multiplier 1).
  bool window() const noexcept { return multiplier_ == 1; }
  // Whether 8-bit patterns may be looked up in byte lanes (ByteTable): the
  // keys differ in the window of seven bits at byte_shift, 0 or 1 (unless
  // two keys differ in bit 7 alone and two in bit 0 alone).
  bool byte_lookup() const noexcept { return byte_lookup_; }

 private:
  HashedMap() = default;

  // byte_lookup's tables, once the slots are taken. A window that no key
  // has points anywhere: the key there is not the element.
  void build_byte_lookup(const Lane* patterns, std::size_t count) noexcept {
    for (std::size_t slot = 0; slot < kByteSlots; ++slot) {
      byte_keys_[slot] = static_cast<u8>(keys_[slot]);
      byte_targets_[slot] = static_cast<u8>(target_bits_[slot]);
    }
    for (const unsigned shift : {0u, 1u}) {
      std::array<bool, kByteWindows> taken{};
      bool separate = true;
      for (std::size_t i = 0; i < count && separate; ++i) {
        const unsigned window = patterns[i] >> shift & 127u;
        separate = !taken[window];
        taken[window] = true;
        byte_slots_[window] = static_cast<u8>(slot_of(patterns[i]));
      }
      if (separate) {
        byte_shift_ = shift;
        byte_lookup_ = true;
        return;
      }
    }
  }

  alignas(64) std::array<Lane, kSlots> keys_{};
  alignas(64) std::array<Lane, kSlots> target_bits_{};
  alignas(64) std::array<WideBits, kWideTargets> wide_target_bits_{};
  alignas(64) std::array<u8, kByteSlots> byte_keys_{};
  alignas(64) std::array<u8, kByteSlots> byte_targets_{};
  alignas(64) std::array<u8, kByteWindows> byte_slots_{};
  unsigned byte_shift_ = 0;
  bool byte_lookup_ = false;
  std::array<T, kSlots> targets_{};
  u64 multiplier_ = 1;
  unsigned shift_ = 0;
  bool wide_targets_ = false;
};

// The hits of a block of up to kElements, a lane mask per vector, and every
// lane's slot.
template <class Lane>
struct BlockHits {
  static constexpr std::size_t kElements = 256;
  static constexpr std::size_t kPerVector = 64 / sizeof(Lane);
  u64 any = 0;
  u64 masks[kElements / kPerVector];
  alignas(64) Lane slots[kElements];
  // Or, for 8-bit elements found in byte lanes (find_byte_hits), the slots
  // as bytes: widened only where a vector has hits.
  alignas(64) std::array<u8, sizeof(Lane) == 2 ? kElements : 0> byte_slots;
};

#if PRANDEL_X86_VARIANTS
PRANDEL_INTRINSICS_BEGIN
namespace hashed_map_avx512 {

// The targets named by `names` (a 32- or 64-bit index per lane, below 16)
// from a table of 16, stored over the lanes in `lanes`.
template <Element T>
PRANDEL_TARGET_AVX512 inline void store_named(std::byte* p, u64 lanes, __m512i names,
                                              __m512i low, __m512i high) noexcept {
  if constexpr (sizeof(T) == 4) {
    _mm512_mask_storeu_epi32(p, static_cast<__mmask16>(lanes),
                             _mm512_permutexvar_epi32(names, low));
  } else {
    _mm512_mask_storeu_epi64(p, static_cast<__mmask8>(lanes),
                             _mm512_permutex2var_epi64(low, names, high));
  }
}

// One 512-bit vector of lanes: the load (8-bit elements widened), the NaN
// test, the hash, the table lookup and the masked stores, for each lane
// width.
template <Element S>
struct Lanes;

// What the lane widths share: a lane's pattern set, the slots, the match.
template <std::size_t kBytes, class Mask>
struct LaneOps {
  PRANDEL_TARGET_AVX512 static __m512i splat(u64 v) noexcept {
    return lanes512::splat<kBytes>(v);
  }
  PRANDEL_TARGET_AVX512 static __m512i with(__m512i x, Mask lanes, u64 pattern) noexcept {
    return lanes512::set_lanes<kBytes>(x, lanes, splat(pattern));
  }
  // The lanes' slots, a window or a product's top bits (slot_of; `shift` is
  // the map's): the table lookup reads only the slot's bits.
  template <bool kWindow>
  PRANDEL_TARGET_AVX512 static __m512i slots(__m512i x, __m512i multiplier,
                                             __m128i shift) noexcept {
    return lanes512::shift_right<kBytes>(
        kWindow ? x : lanes512::multiply_low<kBytes>(x, multiplier), shift);
  }
  // The lanes whose slot holds their own pattern.
  PRANDEL_TARGET_AVX512 static Mask matches(__m512i x, __m512i keys) noexcept {
    return static_cast<Mask>(lanes512::equal<kBytes>(keys, x));
  }
};

template <Element S>
  requires(sizeof(S) <= 2)
struct Lanes<S> : LaneOps<2, __mmask32> {
  static constexpr std::size_t kCount = 32;
  using Mask = __mmask32;
  PRANDEL_TARGET_AVX512 static __m512i load(const std::byte* p, std::size_t n) noexcept {
    const Mask valid = _cvtu32_mask32(n >= kCount ? ~0u : (1u << n) - 1u);
    if constexpr (sizeof(S) == 1) {
      return _mm512_cvtepu8_epi16(_mm256_maskz_loadu_epi8(valid, p));
    } else {
      return _mm512_maskz_loadu_epi16(valid, p);
    }
  }
  PRANDEL_TARGET_AVX512 static Mask nan_lanes(__m512i x) noexcept {
    return source_lanes::nan_lanes<f16>(x);
  }
  // The table entries at the lanes' slots.
  PRANDEL_TARGET_AVX512 static __m512i lookup(__m512i slots, __m512i low, __m512i high) noexcept {
    return _mm512_permutex2var_epi16(low, slots, high);
  }
  // The low sizeof(T) bytes of the lanes in `lanes`, stored in place.
  template <Element T>
  PRANDEL_TARGET_AVX512 static void store_narrowed(std::byte* p, Mask lanes, __m512i v) noexcept {
    if constexpr (sizeof(T) == 1) {
      _mm512_mask_cvtepi16_storeu_epi8(p, lanes, v);
    } else {
      _mm512_mask_storeu_epi16(p, lanes, v);
    }
  }
  // The targets of wider type named by the lanes' indexes, in parts of a
  // vector each.
  template <Element T>
  PRANDEL_TARGET_AVX512 static void store_widened(std::byte* p, u64 lanes, __m512i names,
                                                  __m512i low, __m512i high) noexcept {
    if constexpr (sizeof(T) == 4) {
      store_named<T>(p, lanes & 0xffff, _mm512_cvtepu16_epi32(_mm512_castsi512_si256(names)),
                     low, high);
      store_named<T>(p + 64, lanes >> 16,
                     _mm512_cvtepu16_epi32(_mm512_extracti64x4_epi64(names, 1)), low, high);
    } else {
      store_named<T>(p, lanes & 0xff, _mm512_cvtepu16_epi64(_mm512_castsi512_si128(names)),
                     low, high);
      store_named<T>(p + 64, (lanes >> 8) & 0xff,
                     _mm512_cvtepu16_epi64(_mm512_extracti32x4_epi32(names, 1)), low, high);
      store_named<T>(p + 128, (lanes >> 16) & 0xff,
                     _mm512_cvtepu16_epi64(_mm512_extracti32x4_epi32(names, 2)), low, high);
      store_named<T>(p + 192, lanes >> 24,
                     _mm512_cvtepu16_epi64(_mm512_extracti32x4_epi32(names, 3)), low, high);
    }
  }
};

template <Element S>
  requires(sizeof(S) == 4)
struct Lanes<S> : LaneOps<4, __mmask16> {
  static constexpr std::size_t kCount = 16;
  using Mask = __mmask16;
  PRANDEL_TARGET_AVX512 static __m512i load(const std::byte* p, std::size_t n) noexcept {
    return n >= kCount ? _mm512_loadu_si512(p)
                       : _mm512_maskz_loadu_epi32(static_cast<Mask>((1u << n) - 1u), p);
  }
  PRANDEL_TARGET_AVX512 static Mask nan_lanes(__m512i x) noexcept {
    return source_lanes::nan_lanes<f32>(x);
  }
  // The table entries at the lanes' slots.
  PRANDEL_TARGET_AVX512 static __m512i lookup(__m512i slots, __m512i low, __m512i high) noexcept {
    return _mm512_permutex2var_epi32(low, slots, high);
  }
  template <Element T>
  PRANDEL_TARGET_AVX512 static void store_narrowed(std::byte* p, Mask lanes, __m512i v) noexcept {
    if constexpr (sizeof(T) == 1) {
      _mm512_mask_cvtepi32_storeu_epi8(p, lanes, v);
    } else if constexpr (sizeof(T) == 2) {
      _mm512_mask_cvtepi32_storeu_epi16(p, lanes, v);
    } else {
      _mm512_mask_storeu_epi32(p, lanes, v);
    }
  }
  template <Element T>
  PRANDEL_TARGET_AVX512 static void store_widened(std::byte* p, u64 lanes, __m512i names,
                                                  __m512i low, __m512i high) noexcept {
    store_named<T>(p, lanes & 0xff, _mm512_cvtepu32_epi64(_mm512_castsi512_si256(names)), low,
                   high);
    store_named<T>(p + 64, lanes >> 8,
                   _mm512_cvtepu32_epi64(_mm512_extracti64x4_epi64(names, 1)), low, high);
  }
};

template <Element S>
  requires(sizeof(S) == 8)
struct Lanes<S> : LaneOps<8, __mmask8> {
  static constexpr std::size_t kCount = 8;
  using Mask = __mmask8;
  PRANDEL_TARGET_AVX512 static __m512i load(const std::byte* p, std::size_t n) noexcept {
    return n >= kCount ? _mm512_loadu_si512(p)
                       : _mm512_maskz_loadu_epi64(static_cast<Mask>((1u << n) - 1u), p);
  }
  PRANDEL_TARGET_AVX512 static Mask nan_lanes(__m512i x) noexcept {
    return source_lanes::nan_lanes<f64>(x);
  }
  // The table entries at the lanes' slots.
  PRANDEL_TARGET_AVX512 static __m512i lookup(__m512i slots, __m512i low, __m512i high) noexcept {
    return _mm512_permutex2var_epi64(low, slots, high);
  }
  template <Element T>
  PRANDEL_TARGET_AVX512 static void store_narrowed(std::byte* p, Mask lanes, __m512i v) noexcept {
    if constexpr (sizeof(T) == 1) {
      _mm512_mask_cvtepi64_storeu_epi8(p, lanes, v);
    } else if constexpr (sizeof(T) == 2) {
      _mm512_mask_cvtepi64_storeu_epi16(p, lanes, v);
    } else if constexpr (sizeof(T) == 4) {
      _mm512_mask_cvtepi64_storeu_epi32(p, lanes, v);
    } else {
      _mm512_mask_storeu_epi64(p, lanes, v);
    }
  }
};

// The table in registers, for a sweep that looks it up: which lanes hit,
// and the target bits at the lanes' slots (HashedMap::target_bits: the
// target itself where kTargetsInLanes, else its name). Float lanes come
// with any NaN already set to kNanPattern where the map has a NaN key.
template <Element S, bool kWindow>
struct TableInRegisters {
  using L = Lanes<S>;
  __m512i keys_low, keys_high, targets_low, targets_high, multiplier;
  __m128i shift;

  template <Element T>
  PRANDEL_TARGET_AVX512 static TableInRegisters of(const HashedMap<S, T>& map) noexcept {
    constexpr std::size_t kPerTable = 64 / sizeof(typename HashedMap<S, T>::Lane);
    return {_mm512_load_si512(map.keys()), _mm512_load_si512(map.keys() + kPerTable),
            _mm512_load_si512(map.target_bits()),
            _mm512_load_si512(map.target_bits() + kPerTable), L::splat(map.multiplier()),
            _mm_cvtsi32_si128(static_cast<int>(map.shift()))};
  }

  PRANDEL_TARGET_AVX512 __m512i slots(__m512i lanes) const noexcept {
    return L::template slots<kWindow>(lanes, multiplier, shift);
  }
  // The lanes whose slot holds their own pattern.
  PRANDEL_TARGET_AVX512 typename L::Mask hits(__m512i lanes, __m512i at) const noexcept {
    return L::matches(lanes, L::lookup(at, keys_low, keys_high));
  }
  PRANDEL_TARGET_AVX512 __m512i targets(__m512i at) const noexcept {
    return L::lookup(at, targets_low, targets_high);
  }
};

// 8-bit elements in their own byte lanes, for a map whose byte_lookup()
// (the Avx512Vbmi variant): a byte permute takes a window of seven bits to
// the element's slot, and the 64 slots' keys and 8-bit targets fit one
// register of bytes each, so three permutes look 64 elements up where 16-bit
// lanes take two lookups and the widening of both halves.
template <Element S>
struct ByteTable {
  __m512i slots_low, slots_high, keys, targets;
  __m128i shift;

  template <Element T>
  PRANDEL_TARGET_AVX512 static ByteTable of(const HashedMap<S, T>& map) noexcept {
    static_assert(sizeof(S) == 1);
    return {_mm512_load_si512(map.byte_slots()), _mm512_load_si512(map.byte_slots() + 64),
            _mm512_load_si512(map.byte_keys()), _mm512_load_si512(map.byte_targets()),
            _mm_cvtsi32_si128(static_cast<int>(map.byte_shift()))};
  }
  // The permute reads a lane's low seven bits: a shift of at most 1 in
  // 16-bit lanes brings the next byte's bit 0 into bit 7 only.
  PRANDEL_TARGET_AVX512VBMI __m512i slots(__m512i x) const noexcept {
    return _mm512_permutex2var_epi8(slots_low, _mm512_srl_epi16(x, shift), slots_high);
  }
  PRANDEL_TARGET_AVX512VBMI u64 hits(__m512i x, __m512i at) const noexcept {
    return _mm512_cmpeq_epi8_mask(_mm512_permutexvar_epi8(at, keys), x);
  }
  // The 8-bit targets at the lanes' slots.
  PRANDEL_TARGET_AVX512VBMI __m512i targets_at(__m512i at) const noexcept {
    return _mm512_permutexvar_epi8(at, targets);
  }
  // x with each hit's 8-bit target in its place.
  PRANDEL_TARGET_AVX512VBMI __m512i with_targets(__m512i x) const noexcept {
    const __m512i at = slots(x);
    return lanes512::set_lanes<1>(x, hits(x, at), targets_at(at));
  }
};

// The sweep over a block's vectors that fills BlockHits (see find_hits).
template <bool kWindow, Element S, Element T>
struct HitSweep {
  using L = Lanes<S>;
  using Lane = typename HashedMap<S, T>::Lane;

  TableInRegisters<S, kWindow> table;
  const std::byte* in;
  BlockHits<Lane>& hits;
  S* set_aside;

  PRANDEL_TARGET_AVX512 HitSweep(const HashedMap<S, T>& hashed, const std::byte* in_bytes,
                                 BlockHits<Lane>& block_hits, S* aside) noexcept
      : table(TableInRegisters<S, kWindow>::of(hashed)),
        in(in_bytes),
        hits(block_hits),
        set_aside(aside) {}

  // Vector v (elements j = v * L::kCount on, n of them); its hit mask.
  template <bool kFull>
  PRANDEL_INLINE PRANDEL_TARGET_AVX512 u64 vector(std::size_t v, std::size_t n) noexcept {
    const std::size_t j = v * L::kCount;
    const __m512i raw = L::load(in + j * sizeof(S), kFull ? L::kCount : n);
    // A float's NaN is looked up as the NaN key's pattern, which a table
    // without that key does not hold.
    __m512i x = raw;
    if constexpr (FloatElement<S>) {
      x = L::with(x, L::nan_lanes(x), hashed_map_detail::kNanPattern<S>);
    }
    const __m512i slots = table.slots(x);
    _mm512_store_si512(hits.slots + j, slots);
    typename L::Mask hit = table.hits(x, slots);
    if constexpr (!kFull) hit = static_cast<typename L::Mask>(hit & ((u64{1} << n) - 1));
    hits.masks[v] = hit;
    if (set_aside != nullptr) {
      const auto valid =
          static_cast<typename L::Mask>(kFull ? ~u64{0} : (u64{1} << n) - 1);
      L::template store_narrowed<S>(reinterpret_cast<std::byte*>(set_aside + j), valid,
                                    L::with(raw, hit, 0));
    }
    return hit;
  }
};

// Fills `hits` for a block: the vector sweep costs the same for any number
// of entries and has no branch that depends on the data (a mispredicted one
// would hold up the loads after it). Given `set_aside`, it also writes the
// block there with zero in place of each hit (a branch per vector that
// always goes the same way, against a second copy of the sweep).
template <bool kWindow, Element S, Element T>
PRANDEL_TARGET_AVX512 inline void find_hits(const HashedMap<S, T>& hashed, InputSlice<S> in,
                                            BlockHits<typename HashedMap<S, T>::Lane>& hits,
                                            S* set_aside) noexcept {
  HitSweep<kWindow, S, T> sweep(hashed, in.bytes(), hits, set_aside);
  constexpr std::size_t kCount = Lanes<S>::kCount;
  const std::size_t k = in.size();
  const std::size_t full = k / kCount;
  u64 any = 0;
  for (std::size_t v = 0; v < full; ++v) any |= sweep.template vector<true>(v, kCount);
  if (k % kCount != 0) any |= sweep.template vector<false>(full, k % kCount);
  hits.any = any;
}

// find_hits with the sweep the map's hash needs.
template <Element S, Element T>
PRANDEL_TARGET_AVX512 inline void find_block_hits(const HashedMap<S, T>& hashed,
                                                  InputSlice<S> in,
                                                  BlockHits<typename HashedMap<S, T>::Lane>& hits,
                                                  S* set_aside) noexcept {
  if (hashed.window()) {
    find_hits<true>(hashed, in, hits, set_aside);
  } else {
    find_hits<false>(hashed, in, hits, set_aside);
  }
}

// find_block_hits for 8-bit elements in their own byte lanes, for a map
// whose byte_lookup() (ByteTable): 64 elements a lookup. The slots go to
// hits.byte_slots (put_targets<true> reads them there).
template <Element S, Element T>
  requires(sizeof(S) == 1)
PRANDEL_TARGET_AVX512VBMI inline void find_byte_hits(const HashedMap<S, T>& hashed,
                                                     InputSlice<S> in, BlockHits<u16>& hits,
                                                     S* set_aside) noexcept {
  const ByteTable<S> table = ByteTable<S>::of(hashed);
  const std::size_t k = in.size();
  u64 any = 0;
  for (std::size_t j = 0, v = 0; j < k; j += 64, v += 2) {
    const std::size_t n = k - j;
    const __mmask64 valid = _cvtu64_mask64(n >= 64 ? ~u64{0} : (u64{1} << n) - 1);
    const __m512i x = _mm512_maskz_loadu_epi8(valid, in.bytes() + j);
    const __m512i at = table.slots(x);
    const u64 hit = table.hits(x, at) & valid;
    hits.masks[v] = hit & 0xffff'ffffu;
    hits.masks[v + 1] = hit >> 32;
    _mm512_store_si512(hits.byte_slots.data() + j, at);
    if (set_aside != nullptr) {
      _mm512_mask_storeu_epi8(set_aside + j, valid, lanes512::zero_lanes<1>(hit, x));
    }
    any |= hit;
  }
  hits.any = any;
}

// The slots of the lanes of the vector at element j, from hits.slots or,
// where find_byte_hits filled the block's hits, from hits.byte_slots.
template <bool kByteSlots, class Lane>
PRANDEL_TARGET_AVX512 inline __m512i load_slots(const BlockHits<Lane>& hits,
                                                std::size_t j) noexcept {
  if constexpr (kByteSlots) {
    return _mm512_cvtepu8_epi16(
        _mm256_load_si256(reinterpret_cast<const __m256i*>(hits.byte_slots.data() + j)));
  }
  return _mm512_load_si512(hits.slots + j);
}

// Each hit's target over its element of `out`: where targets fit the lanes,
// a table lookup and a masked store per vector with a hit (dense hits, as
// where a few keys are a large share of the data's values, cost no more);
// otherwise one by one. With kByteSlots, the slots are in hits.byte_slots.
template <bool kByteSlots, Element S, Element T>
PRANDEL_TARGET_AVX512 inline void put_targets(const HashedMap<S, T>& hashed,
                                              const BlockHits<hashed_map_detail::Lane<S>>& hits,
                                              OutputSlice<T> out) noexcept {
  static_assert(!kByteSlots || sizeof(S) == 1, "only find_byte_hits fills byte_slots");
  using L = Lanes<S>;
  constexpr std::size_t kPerTable = 64 / sizeof(typename HashedMap<S, T>::Lane);
  const std::size_t k = out.size();
  if constexpr (HashedMap<S, T>::kTargetsInLanes) {
    const __m512i targets_low = _mm512_load_si512(hashed.target_bits());
    const __m512i targets_high = _mm512_load_si512(hashed.target_bits() + kPerTable);
    for (std::size_t j = 0, v = 0; j < k; j += L::kCount, ++v) {
      const auto hit = static_cast<typename L::Mask>(hits.masks[v]);
      if (hit == 0) continue;
      const __m512i targets =
          L::lookup(load_slots<kByteSlots>(hits, j), targets_low, targets_high);
      L::template store_narrowed<T>(out.bytes() + j * sizeof(T), hit, targets);
    }
  } else if (hashed.wide_targets()) {
    const __m512i names_low = _mm512_load_si512(hashed.target_bits());
    const __m512i names_high = _mm512_load_si512(hashed.target_bits() + kPerTable);
    const __m512i wide_low = _mm512_load_si512(hashed.wide_target_bits());
    // Sixteen 32-bit targets fill one register; 64-bit ones two.
    const __m512i wide_high =
        sizeof(T) == 8 ? _mm512_load_si512(hashed.wide_target_bits() + 8) : wide_low;
    for (std::size_t j = 0, v = 0; j < k; j += L::kCount, ++v) {
      if (hits.masks[v] == 0) continue;
      const __m512i names = L::lookup(load_slots<kByteSlots>(hits, j), names_low, names_high);
      L::template store_widened<T>(out.bytes() + j * sizeof(T), hits.masks[v], names, wide_low,
                                   wide_high);
    }
  } else {
    for (std::size_t j = 0, v = 0; j < k; j += L::kCount, ++v) {
      for (u64 hit = hits.masks[v]; hit != 0; hit &= hit - 1) {
        const std::size_t at = j + static_cast<std::size_t>(__builtin_ctzll(hit));
        unsigned slot;
        if constexpr (kByteSlots) {
          slot = hits.byte_slots[at];  // hits.slots was not written
        } else {
          slot = hits.slots[at];
        }
        out.store(at, hashed.target(slot & (HashedMap<S, T>::kSlots - 1)));
      }
    }
  }
}

}  // namespace hashed_map_avx512
PRANDEL_INTRINSICS_END
#endif

}  // namespace prandel

// Maps of several entries, which the widest variant matches through a hashed
// table: every variant against the map searched entry by entry, on every
// pair, with hits spread over many blocks, a failing element among them and
// the output in the input's own memory.
#include "prandel/hashed_map.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "prandel/binary16.hpp"
#include "prandel/float_bits.hpp"
#include "prandel/map_keys.hpp"
#include "prandel/prandel.hpp"
#include "type_lists.hpp"
#include "variant_test_support.hpp"

namespace prandel {
namespace {

template <Element S>
S ordinary(int k) {
  if constexpr (IntElement<S>) {
    return static_cast<S>(k);
  } else if constexpr (std::is_same_v<S, f16>) {
    return to_f16(static_cast<f32>(k) * 0.5f);
  } else {
    return static_cast<S>(k) * S{0.5};
  }
}

template <Element S>
S from_pattern(u64 bits) {
  S x;
  std::memcpy(&x, &bits, sizeof(S));  // little-endian: the low bytes
  return x;
}

// The integer keys: spread out; powers of two, which no window of their
// bits separates (the table's hash is then a product); with a pair that
// differs in bit 7 alone, which 8-bit elements' byte lanes separate by the
// window of bits 1 to 7; or with a pair that differs in bit 0 alone as well,
// which no window of seven bits separates (byte lanes are not used).
enum class IntKeys { kSpread, kPowers, kHighBit, kBothEnds };

// Eight entries with a duplicate source (the first must win) and, for
// floats, a NaN and a zero key; plus a source the data never holds.
template <Element S, Element T>
ScalarMap<S, T> several_entries(IntKeys keys) {
  ScalarMap<S, T> map;
  if constexpr (IntElement<S>) {
    if (keys == IntKeys::kPowers) {
      for (int k = 1; k <= 64; k *= 2) map.push_back({ordinary<S>(k), ordinary<T>(k % 7)});
      map.push_back({ordinary<S>(0), ordinary<T>(3)});
      return map;
    }
    if (keys == IntKeys::kHighBit || keys == IntKeys::kBothEnds) {
      const int pair = keys == IntKeys::kHighBit ? 17 : 61;
      for (int k : {5, 5 + 128, 60, pair, 0, 9, 99}) {
        map.push_back({static_cast<S>(k), ordinary<T>(k % 7)});
      }
      map.push_back({std::numeric_limits<S>::max(), ordinary<T>(3)});
      return map;
    }
  }
  if constexpr (FloatElement<S>) {
    map.push_back({from_pattern<S>(FloatBits<S>::kInfinity | FloatBits<S>::kQuietBit), T{}});
    map.push_back({ordinary<S>(0), ordinary<T>(2)});
  } else {
    map.push_back({ordinary<S>(0), ordinary<T>(2)});
    map.push_back({std::numeric_limits<S>::max(), ordinary<T>(3)});
  }
  for (int k : {5, 9, 5, 17, 60, 99}) map.push_back({ordinary<S>(k), ordinary<T>(k % 7)});
  return map;
}

// Ordinary values with `percent` of them map sources (NaNs of any sign and
// payload, negative zeros), and an element no mode converts into a narrower
// integer in the fourth block when `intruder` is set.
template <Element S>
std::vector<S> data_with_hits(bool intruder, unsigned percent) {
  std::mt19937_64 random(0x6a5d);
  std::vector<S> data(7 * 256 + 205);  // the last block: three vectors and a few elements
  for (S& x : data) {
    x = ordinary<S>(static_cast<int>(random() % 64));
    if (random() % 100 < percent) {
      switch (random() % 4) {
        case 0:
          x = ordinary<S>(5);
          break;
        case 1:
          x = ordinary<S>(60);
          break;
        default:
          if constexpr (FloatElement<S>) {
            using B = FloatBits<S>;
            const u64 payload = 1 + random() % B::kFractionMask;
            const u64 sign = random() % 2 ? u64{B::kSign} : 0;
            x = random() % 4 == 0 ? from_pattern<S>(sign)
                                  : from_pattern<S>(sign | B::kInfinity | payload);
          } else {
            x = std::numeric_limits<S>::max();
          }
      }
    }
  }
  if (intruder) {
    if constexpr (FloatElement<S>) {
      data[3 * 256 + 77] = from_pattern<S>(FloatBits<S>::kInfinity);
    } else {
      data[3 * 256 + 77] = std::is_signed_v<S> ? std::numeric_limits<S>::min() + 1
                                               : std::numeric_limits<S>::max() - 1;
    }
  }
  return data;
}

// The element frame with the map searched entry by entry, each element
// otherwise converted alone by the baseline variant with no map.
template <Element S, Element T>
CastResult reference(InputSlice<S> in, OutputSlice<T> out, const CastConfig<S, T>& config) {
  CastConfig<S, T> plain = config;
  plain.scalar_map.clear();
  return convert_each(in, out, config.scalar_map, [&](S x) -> ElementResult<T> {
    T y{};
    const CastResult r = convert_slice_on<S, T>(Isa::Baseline, InputSlice<S>(&x, 1),
                                                OutputSlice<T>(&y, 1), plain);
    if (!r) return unexpected(r.error());
    return y;
  });
}

template <Element S, Element T>
void check_several_entries() {
  for (const auto& [mode, keys] : {std::pair{OutOfRangeMode::Unset, IntKeys::kSpread},
                                   {OutOfRangeMode::Clamp, IntKeys::kSpread},
                                   {OutOfRangeMode::Wrap, IntKeys::kSpread},
                                   {OutOfRangeMode::Unset, IntKeys::kPowers},
                                   {OutOfRangeMode::Unset, IntKeys::kHighBit},
                                   {OutOfRangeMode::Wrap, IntKeys::kBothEnds}}) {
    if (FloatElement<S> && keys != IntKeys::kSpread) continue;
    const CastConfig<S, T> config{several_entries<S, T>(keys), mode, RoundingMode::NearestEven};
    const auto hashed = HashedMap<S, T>::build(config.scalar_map);
    ASSERT_TRUE(hashed.has_value());
    if (keys == IntKeys::kPowers) {
      EXPECT_FALSE(hashed->window());
    }
    if (sizeof(S) == 1) {
      EXPECT_EQ(hashed->byte_lookup(), keys != IntKeys::kBothEnds);
      if (keys == IntKeys::kHighBit) {
        EXPECT_EQ(hashed->byte_shift(), 1u);
      }
    }
    const auto ref = [&](InputSlice<S> in, OutputSlice<T> out) {
      return reference(in, out, config);
    };
    for (const auto& [intruder, percent] : {std::pair{false, 3u}, {true, 3u}, {false, 40u}}) {
      const std::vector<S> input = data_with_hits<S>(intruder, percent);
      test::for_each_supported_isa([&](Isa isa) {
        test::expect_variant_matches_reference(isa, input, config, ref);
        if constexpr (sizeof(S) == sizeof(T)) {
          // In place: the output is the input's memory.
          std::vector<S> buffer = input;
          std::vector<T> expected(input.size());
          std::memcpy(expected.data(), input.data(), input.size() * sizeof(S));
          const CastResult expected_result =
              ref(InputSlice<S>(input), OutputSlice<T>(expected));
          const CastResult result = convert_slice_on<S, T>(
              isa, InputSlice<S>(buffer.data(), buffer.size()),
              OutputSlice<T>(buffer.data(), buffer.size()), config);
          EXPECT_EQ(result.ok(), expected_result.ok());
          EXPECT_EQ(std::memcmp(buffer.data(), expected.data(), input.size() * sizeof(S)), 0);
        }
      });
    }
  }
}

TEST(HashedMap, EveryVariantAppliesSeveralEntriesAsTheElementFrameDoes) {
  using namespace testing_types;
  const auto check = []<class S, class T>() { check_several_entries<S, T>(); };
  for_each_pair(IntTypes{}, IntTypes{}, check);
  for_each_pair(IntTypes{}, FloatTypes{}, check);
  for_each_pair(FloatTypes{}, IntTypes{}, check);
  for_each_pair(FloatTypes{}, FloatTypes{}, check);
}

// Maps of one to seventy entries, which below AVX-512 take the key sweep
// of each width, several of them, and past the key table's room the sweeps
// that compare each entry; with a repeated source, sparse and dense hits.
template <Element S, Element T>
void check_map_sizes() {
  constexpr std::size_t kCounts[] = {1, 3, 12, MapKeys<S>::kMaxKeys + 6};
  for (const std::size_t count : kCounts) {
    ScalarMap<S, T> map;
    if constexpr (FloatElement<S>) {
      map.push_back({from_pattern<S>(FloatBits<S>::kInfinity | 1), ordinary<T>(1)});
    }
    for (int k = 0; map.size() < count; ++k) map.push_back({ordinary<S>(k), ordinary<T>(k % 7)});
    map.push_back({ordinary<S>(0), ordinary<T>(3)});
    for (const OutOfRangeMode mode : {OutOfRangeMode::Clamp, OutOfRangeMode::Unset}) {
      const CastConfig<S, T> config{map, mode, RoundingMode::NearestEven};
      const auto ref = [&](InputSlice<S> in, OutputSlice<T> out) {
        return reference(in, out, config);
      };
      for (const auto& [intruder, percent] : {std::pair{false, 3u}, {true, 40u}}) {
        const std::vector<S> input = data_with_hits<S>(intruder, percent);
        test::for_each_supported_isa([&](Isa isa) {
          SCOPED_TRACE("entries " + std::to_string(map.size()));
          test::expect_variant_matches_reference(isa, input, config, ref);
          if constexpr (sizeof(S) == sizeof(T)) {
            test::expect_in_place_matches_reference(isa, input, config, ref);
          }
        });
      }
    }
  }
}

TEST(HashedMap, EveryVariantAppliesMapsOfEachSize) {
  using namespace testing_types;
  const auto check = []<class S, class T>() { check_map_sizes<S, T>(); };
  for_each_pair(TypeList<i8, u16, i64>{}, TypeList<u8, i16, f32>{}, check);
  for_each_pair(FloatTypes{}, TypeList<i8, u32, f16, f64>{}, check);
}

// Keys that differ only in the bits a weak hash would drop, or in every
// bit (a pattern and its complement), still get slots of their own; a map
// with more patterns than half the slots is refused (the frame then
// compares per entry).
template <Element S>
void expect_own_slots(const ScalarMap<S, u8>& map) {
  const auto hashed = HashedMap<S, u8>::build(map);
  ASSERT_TRUE(hashed.has_value());
  for (const auto& entry : map) {
    using Lane = typename HashedMap<S, u8>::Lane;
    const auto pattern = static_cast<Lane>(static_cast<std::make_unsigned_t<S>>(entry.source));
    const unsigned slot = hashed->slot_of(pattern);
    EXPECT_EQ(hashed->keys()[slot], pattern);
    EXPECT_EQ(hashed->target(slot), entry.target);
  }
}

TEST(HashedMap, EveryKeyPatternHoldsItsOwnSlot) {
  ScalarMap<u64, u8> high_bits;
  ScalarMap<i64, u8> complements;
  ScalarMap<u32, u8> low_bits;
  for (u8 k = 0; k < 8; ++k) {
    high_bits.push_back({u64{k} << 40, k});
    complements.push_back({k % 2 == 0 ? i64{k} : ~i64{k - 1}, k});
    low_bits.push_back({u32{k} << 27 | 1u, k});
  }
  expect_own_slots(high_bits);
  expect_own_slots(complements);
  expect_own_slots(low_bits);
  // Eight distinct bits: no window holds them all apart, a product does.
  ScalarMap<u32, u8> one_bit_each;
  for (u8 k = 0; k < 8; ++k) one_bit_each.push_back({u32{1} << (3 * k), k});
  expect_own_slots(one_bit_each);
  EXPECT_FALSE((HashedMap<u32, u8>::build(one_bit_each)->window()));
  EXPECT_TRUE((HashedMap<u64, u8>::build(high_bits)->window()));
  high_bits.push_back({u64{1}, 8});
  EXPECT_FALSE((HashedMap<u64, u8>::build(high_bits).has_value()));
}

}  // namespace
}  // namespace prandel

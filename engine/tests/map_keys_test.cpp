// The key sweep that finds a map's hits below AVX-512: each variant's bits
// and key numbers against a search per element, for every source type, key
// count (one sweep of each width, several sweeps, a full table) and block
// length.
#include "prandel/map_keys.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "prandel/cpu_features.hpp"
#include "prandel/element_types.hpp"
#include "prandel/float_bits.hpp"

namespace prandel {
namespace {

template <Element S>
S from_pattern(u64 bits) {
  S x;
  std::memcpy(&x, &bits, sizeof(S));  // little-endian: the low bytes
  return x;
}

// `count` distinct sources (for floats a NaN and both zeros among them,
// which share keys) and data drawn from them and from other values, with
// float data holding NaNs of every sign and payload and both zeros.
template <Element S>
struct KeysAndData {
  std::vector<S> sources;
  std::vector<S> data;

  KeysAndData(std::size_t count, std::size_t length, unsigned seed) {
    std::mt19937_64 random(seed);
    const auto any = [&] { return from_pattern<S>(random()); };
    if constexpr (FloatElement<S>) {
      using B = FloatBits<S>;
      sources = {from_pattern<S>(B::kInfinity | B::kQuietBit), from_pattern<S>(0),
                 from_pattern<S>(B::kSign)};
    }
    while (sources.size() < count + (FloatElement<S> ? 1 : 0)) {
      const S x = any();
      if (!map_source_matches(x, x)) continue;  // one NaN source is enough
      bool known = false;
      for (const S s : sources) known |= map_source_matches(s, x);
      if (!known) sources.push_back(x);
    }
    for (std::size_t j = 0; j < length; ++j) {
      S x = random() % 4 == 0 ? sources[random() % sources.size()] : any();
      if constexpr (FloatElement<S>) {
        using B = FloatBits<S>;
        if (random() % 8 == 0) {
          x = from_pattern<S>((random() % 2 ? u64{B::kSign} : 0) | B::kInfinity |
                              (1 + random() % B::kFractionMask));
        }
      }
      data.push_back(x);
    }
  }
};

// The sweep compiled for the variant (one not compiled in gives the
// narrower one, which the caller then skips).
template <Element S>
FindKeysFunction<S> find_keys_for(Isa isa) {
  using Args = FindKeys<S>;
  return isa == Isa::Avx2
             ? variant_function<Isa::Avx2, Args, const MapKeys<S>*, InputSlice<S>, KeyHits*, S*>()
             : variant_function<Isa::Baseline, Args, const MapKeys<S>*, InputSlice<S>, KeyHits*,
                                S*>();
}

template <Element S>
void check_find_keys() {
  constexpr std::size_t kCounts[] = {1, 2, 3, 4, 5, 8, 9, 17, 62};
  constexpr std::size_t kLengths[] = {256, 255, 200, 33, 31, 5, 1};
  for (const std::size_t count : kCounts) {
    const KeysAndData<S> set(count, 3 * 256, static_cast<unsigned>(count));
    MapKeys<S> keys;
    for (const S s : set.sources) ASSERT_NE(keys.number_of(map_keys_detail::pattern_of(s)), 0u);
    for (const Isa isa : {Isa::Baseline, Isa::Avx2}) {
      if (isa != Isa::Baseline && !isa_supported(isa)) continue;
      SCOPED_TRACE(std::string(isa_name(isa)) + ", keys " + std::to_string(keys.size()));
      const FindKeysFunction<S> find = find_keys_for<S>(isa);
      KeyHits hits{};
      // Whole blocks, and blocks cut anywhere in or between vectors.
      for (const std::size_t k : kLengths) {
        for (std::size_t offset = 0; offset + k <= set.data.size(); offset += 256 + 37) {
          const InputSlice<S> in(set.data.data() + offset, k);
          const bool any = find(&keys, in, &hits, nullptr);
          bool expected_any = false;
          for (std::size_t j = 0; j < KeyHits::kElements; ++j) {
            const std::size_t number = j < k ? keys.find(map_keys_detail::pattern_of(in[j])) : 0;
            const bool hit = (hits.bits[j / 64] >> (j % 64) & 1) != 0;
            ASSERT_EQ(hit, number != 0) << "k " << k << ", element " << j;
            if (hit) {
              ASSERT_EQ(hits.codes[j], number) << "k " << k << ", element " << j;
            }
            expected_any |= hit;
          }
          EXPECT_EQ(any, expected_any);
        }
      }
    }
  }
}

TEST(MapKeys, EveryVariantFindsEachHitAndItsKey) {
  check_find_keys<i8>();
  check_find_keys<u8>();
  check_find_keys<i16>();
  check_find_keys<u16>();
  check_find_keys<i32>();
  check_find_keys<u32>();
  check_find_keys<i64>();
  check_find_keys<u64>();
  check_find_keys<f16>();
  check_find_keys<f32>();
  check_find_keys<f64>();
}

TEST(MapKeys, SharedKeysKeepTheFirstTargetAndTheTableHasRoom) {
  const f64 nan = std::numeric_limits<f64>::quiet_NaN();
  MapTable<f64, i8> table;
  ASSERT_TRUE(table.fill({{-0.0, 1}, {nan, 2}, {0.0, 3}, {-nan, 4}, {5.0, 5}}));
  EXPECT_EQ(table.keys.size(), 3u);
  EXPECT_EQ(table.targets[table.keys.find(map_keys_detail::pattern_of(0.0))], 1);
  EXPECT_EQ(table.targets[table.keys.find(map_keys_detail::pattern_of(-nan))], 2);
  ScalarMap<u16, u8> map;
  for (u16 k = 0; k < MapKeys<u16>::kMaxKeys; ++k) map.push_back({k, 0});
  EXPECT_TRUE((MapTable<u16, u8>{}.fill(map)));
  map.push_back({static_cast<u16>(map.size()), 0});
  EXPECT_FALSE((MapTable<u16, u8>{}.fill(map)));
}

}  // namespace
}  // namespace prandel

// The scalar map's matching: the per-element lookup is IEEE equality with
// every NaN matching a NaN source; the block form, which tests bit patterns,
// must agree with it on every pair of interesting values.
#include "prandel/scalar_map.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <vector>

#include "prandel/binary16.hpp"
#include "prandel/float_bits.hpp"

namespace prandel {
namespace {

// Zeros, infinities, NaNs of both signs with several payloads (quiet and
// signalling), subnormals, the extremes and ordinary numbers, each as a
// bit pattern of T.
template <FloatElement T>
std::vector<T> interesting_values() {
  using B = FloatBits<T>;
  using Bits = typename B::Bits;
  const Bits magnitudes[] = {0,
                             1,
                             2,
                             B::kFractionMask,
                             B::kFractionMask + 1,
                             static_cast<Bits>(B::kExponentBias) << B::kFractionBits,
                             (static_cast<Bits>(B::kExponentBias) << B::kFractionBits) + 1,
                             B::kLargestFinite,
                             B::kInfinity,
                             B::kInfinity + 1,
                             B::kInfinity | B::kQuietBit,
                             B::kMagnitudeMask};
  std::vector<T> values;
  for (const Bits magnitude : magnitudes) {
    values.push_back(B::from_bits(magnitude));
    values.push_back(B::from_bits(static_cast<Bits>(magnitude | B::kSign)));
  }
  return values;
}

template <FloatElement T>
void expect_matcher_agrees_with_lookup() {
  const std::vector<T> values = interesting_values<T>();
  for (const T source : values) {
    const SourceMatcher<T> matches(source);
    for (const T x : values) {
      EXPECT_EQ(matches(x), map_source_matches(source, x))
          << dtype_key_of<T> << " source 0x" << std::hex << FloatBits<T>::to_bits(source)
          << ", element 0x" << FloatBits<T>::to_bits(x);
    }
  }
}

TEST(ScalarMap, BlockMatchingAgreesWithTheLookupOnFloats) {
  expect_matcher_agrees_with_lookup<f16>();
  expect_matcher_agrees_with_lookup<f32>();
  expect_matcher_agrees_with_lookup<f64>();
}

TEST(ScalarMap, LookupIsIeeeEqualityWithNaNMatchingNaN) {
  const f64 nan = std::numeric_limits<f64>::quiet_NaN();
  const ScalarMap<f64, int> map = {{0.0, 1}, {nan, 2}, {1.5, 3}, {-0.0, 4}, {-nan, 5}};
  EXPECT_EQ(*lookup_scalar_map(map, -0.0), 1);  // -0 equals the first zero
  EXPECT_EQ(*lookup_scalar_map(map, -nan), 2);  // any NaN takes the first NaN
  EXPECT_EQ(*lookup_scalar_map(map, std::bit_cast<f64>(0x7ff0'0000'0000'0001u)), 2);
  EXPECT_EQ(*lookup_scalar_map(map, 1.5), 3);
  EXPECT_EQ(lookup_scalar_map(map, 1.25), nullptr);
}

}  // namespace
}  // namespace prandel

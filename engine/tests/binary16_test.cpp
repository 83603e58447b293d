#include "prandel/binary16.hpp"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace prandel {
namespace {

// One implementation of the two conversions, single-value and block forms,
// and the variant a processor needs to run it.
struct Binary16Path {
  const char* name;
  f32 (*widen)(f16);
  f16 (*narrow)(f32);
  void (*widen_block)(InputSlice<f16>, OutputSlice<f32>);
  void (*narrow_block)(InputSlice<f32>, OutputSlice<f16>);
  Isa needs;
};

template <Isa I>
void widen_on(InputSlice<f16> in, OutputSlice<f32> out) {
  widen_f16_block_on(I, in, out);
}
template <Isa I>
void narrow_on(InputSlice<f32> in, OutputSlice<f16> out) {
  narrow_f32_block_on(I, in, out);
}

// The dispatching functions and every variant best_isa() may choose.
const Binary16Path kPaths[] = {
    {"dispatch", &to_f32, &to_f16, &widen_f16_block, &narrow_f32_block, Isa::Baseline},
    {"software", &binary16_soft::to_f32, &binary16_soft::to_f16, &widen_on<Isa::Baseline>,
     &narrow_on<Isa::Baseline>, Isa::Baseline},
    {"f16c", &binary16_f16c::to_f32, &binary16_f16c::to_f16, &widen_on<Isa::Avx2>,
     &narrow_on<Isa::Avx2>, Isa::Avx2},
    {"avx512", &binary16_f16c::to_f32, &binary16_f16c::to_f16, &widen_on<Isa::Avx512>,
     &narrow_on<Isa::Avx512>, Isa::Avx512},
    {"avx512vbmi", &binary16_f16c::to_f32, &binary16_f16c::to_f16, &widen_on<Isa::Avx512Vbmi>,
     &narrow_on<Isa::Avx512Vbmi>, Isa::Avx512Vbmi},
};

class Binary16PathTest : public ::testing::TestWithParam<Binary16Path> {
 protected:
  void SetUp() override {
    if (!isa_supported(GetParam().needs)) {
      GTEST_SKIP() << "processor lacks variant " << isa_name(GetParam().needs);
    }
  }
};

f32 f32_from_bits(u32 bits) { return std::bit_cast<f32>(bits); }

struct NarrowRow {
  f32 input;
  u16 expected;
};

// Expected patterns worked out by hand from the binary16 layout.
const NarrowRow kNarrowRows[] = {
    {65519.99609375f, 0x7bff},  // just below the overflow tie: 65504
    {65520.0f, 0x7c00},         // tie between 65504 and 2^16: to even, inf
    {-65520.0f, 0xfc00},
    {65504.0f, 0x7bff},
    {32767.0f, 0x7800},         // 32768
    {2147483648.0f, 0x7c00},
    {-2147483648.0f, 0xfc00},
    {255.0f, 0x5bf8},
    {1.0f + 0x1p-11f, 0x3c00},              // tie, down to even
    {1.0f + 0x1p-11f + 0x1p-23f, 0x3c01},   // just above the tie
    {1.0f + 3 * 0x1p-11f, 0x3c02},          // tie, up to even
    {0x1p-24f, 0x0001},                     // smallest subnormal
    {-0x1p-24f, 0x8001},
    {0x1p-25f, 0x0000},                     // half of it: tie to zero
    {0x1p-25f * (1.0f + 0x1p-23f), 0x0001},
    {3 * 0x1p-25f, 0x0002},                 // 1.5 units: tie to even
    {5 * 0x1p-25f, 0x0002},                 // 2.5 units: tie to even
    {0x1p-14f - 0x1p-25f, 0x0400},          // rounds up into the normals
    {0x1p-14f, 0x0400},
    {0x1p-149f, 0x0000},                    // f32 subnormals vanish...
    {-0x1p-149f, 0x8000},                   // ...keeping their sign
    {-0.0f, 0x8000},
    {INFINITY, 0x7c00},
    {-INFINITY, 0xfc00},
    // NaNs: sign and top ten payload bits kept, always quiet.
    {f32_from_bits(0x7fc00000u), 0x7e00},
    {f32_from_bits(0xffc00000u), 0xfe00},
    {f32_from_bits(0x7f800001u), 0x7e00},  // signalling, payload below the cut
    {f32_from_bits(0x7fa00000u), 0x7f00},  // signalling, top payload bit set
    {f32_from_bits(0xff801000u), 0xfe00},
    {f32_from_bits(0x7fffe000u), 0x7fff},
};

TEST_P(Binary16PathTest, NarrowsEdgeCases) {
  for (const NarrowRow& row : kNarrowRows) {
    EXPECT_EQ(GetParam().narrow(row.input).bits, row.expected)
        << std::hexfloat << row.input << " (bits 0x" << std::hex
        << std::bit_cast<u32>(row.input) << ")";
  }
}

f64 f64_from_bits(u64 bits) { return std::bit_cast<f64>(bits); }

struct NarrowF64Row {
  f64 input;
  u16 expected;
};

// From f64 in one rounding; expected patterns worked out from the layout.
const NarrowF64Row kNarrowF64Rows[] = {
    {65519.999, 0x7bff},
    {65520.0, 0x7c00},
    {-65520.0, 0xfc00},
    {65520.0 - 0x1p-30, 0x7bff},  // through f32 this would reach 65520
    {1e300, 0x7c00},
    {-INFINITY, 0xfc00},
    {1.0 + 0x1p-11, 0x3c00},                // tie, down to even
    {1.0 + 0x1p-11 + 0x1p-30, 0x3c01},      // through f32 a tie, down to 1
    {1.0004882812509095, 0x3c01},
    {1.0 + 0x1p-11 - 0x1p-52, 0x3c00},
    {-(1.0 + 3 * 0x1p-11), 0xbc02},         // tie, up to even
    {0x1p-24, 0x0001},
    {0x1p-25, 0x0000},                      // tie to zero
    {0x1p-25 + 0x1p-77, 0x0001},
    {-3 * 0x1p-25, 0x8002},
    {0x1p-14 - 0x1p-25, 0x0400},            // tie, up into the normals
    {0x1p-14 - 0x1p-24, 0x03ff},
    {0x1p-1074, 0x0000},
    {-0x1p-1074, 0x8000},
    {-0.0, 0x8000},
    // NaNs: sign and top ten payload bits kept, always quiet.
    {f64_from_bits(0x7ff8'0000'0000'0000u), 0x7e00},
    {f64_from_bits(0xfff8'0000'0000'0000u), 0xfe00},
    {f64_from_bits(0x7ff0'0000'0000'0001u), 0x7e00},
    {f64_from_bits(0x7ff4'0000'0000'0000u), 0x7f00},
    {f64_from_bits(0xffff'ffff'ffff'ffffu), 0xffff},
};

TEST(Binary16FromF64, NarrowsEdgeCasesInOneRounding) {
  for (const NarrowF64Row& row : kNarrowF64Rows) {
    EXPECT_EQ(to_f16(row.input).bits, row.expected) << std::hexfloat << row.input;
  }
}

// A NaN keeps what the processor's f64-to-f32 conversion keeps of it.
TEST(Binary16FromF64, NaNsAsThroughF32) {
  std::mt19937_64 rng(11);
  for (int i = 0; i < 100000; ++i) {
    const u64 bits = rng() | 0x7ff0'0000'0000'0001u;
    const f64 nan = f64_from_bits(bits);
    ASSERT_EQ(to_f16(nan).bits, to_f16(static_cast<f32>(nan)).bits) << std::hex << bits;
  }
}

// Reference widening from the field definitions, computed in f64.
u32 reference_widened_bits(u16 h) {
  const bool negative = (h & 0x8000u) != 0;
  const int exponent = (h >> 10) & 0x1f;
  const int fraction = h & 0x3ff;
  if (exponent == 0x1f && fraction != 0) {
    return (negative ? 0x80000000u : 0u) | 0x7fc00000u |
           (static_cast<u32>(fraction) << 13);
  }
  double magnitude = exponent == 0x1f ? INFINITY
                     : exponent == 0  ? std::ldexp(fraction, -24)
                                      : std::ldexp(1024 + fraction, exponent - 25);
  return std::bit_cast<u32>(static_cast<f32>(negative ? -magnitude : magnitude));
}

TEST_P(Binary16PathTest, WidensEveryPatternExactly) {
  for (u32 h = 0; h <= 0xffffu; ++h) {
    const u32 got = std::bit_cast<u32>(GetParam().widen(f16{static_cast<u16>(h)}));
    ASSERT_EQ(got, reference_widened_bits(static_cast<u16>(h)))
        << "binary16 0x" << std::hex << h;
  }
}

// Element i of type T in a byte buffer, its elements starting at `offset`.
template <class T>
T element_at(const std::vector<unsigned char>& bytes, std::size_t offset, std::size_t i) {
  T value;
  std::memcpy(&value, bytes.data() + offset + i * sizeof(T), sizeof value);
  return value;
}

// Block forms on misaligned memory, every length around the vector width,
// with the shorter of the two slices deciding the count.
TEST_P(Binary16PathTest, BlockFormsConvertTheShorterLengthOnMisalignedMemory) {
  constexpr unsigned char kGuard = 0xa5;
  const f32 samples[] = {1.0f, -2.5f, 65520.0f, 0x1p-24f, -0.0f,
                         f32_from_bits(0x7fa00000u), 3.14159f, 1e-9f, 70000.0f};
  for (std::size_t in_len = 0; in_len <= 19; ++in_len) {
    for (std::size_t out_len : {in_len, in_len + 3, in_len / 2}) {
      const std::size_t n = std::min(in_len, out_len);
      std::vector<f32> values(in_len);
      for (std::size_t i = 0; i < in_len; ++i) {
        values[i] = samples[i % std::size(samples)];
      }

      // Narrowing: f32 at offset 1, f16 at offset 3.
      std::vector<unsigned char> src(1 + in_len * sizeof(f32));
      if (in_len != 0) std::memcpy(src.data() + 1, values.data(), in_len * sizeof(f32));
      std::vector<unsigned char> narrow_dst(3 + out_len * sizeof(f16) + 8, kGuard);
      GetParam().narrow_block(InputSlice<f32>(src.data() + 1, in_len),
                              OutputSlice<f16>(narrow_dst.data() + 3, out_len));
      for (std::size_t i = 0; i < n; ++i) {
        ASSERT_EQ(element_at<u16>(narrow_dst, 3, i), binary16_soft::to_f16(values[i]).bits)
            << GetParam().name << " in " << in_len << " out " << out_len << " at " << i;
      }
      for (std::size_t b = 3 + n * sizeof(f16); b < narrow_dst.size(); ++b) {
        ASSERT_EQ(narrow_dst[b], kGuard) << "narrow wrote past the count, in "
                                         << in_len << " out " << out_len;
      }
      for (std::size_t b = 0; b < 3; ++b) ASSERT_EQ(narrow_dst[b], kGuard);

      // Widening the narrowed values back: f16 at offset 3, f32 at offset 1.
      std::vector<unsigned char> widen_dst(1 + out_len * sizeof(f32) + 8, kGuard);
      GetParam().widen_block(InputSlice<f16>(narrow_dst.data() + 3, n),
                             OutputSlice<f32>(widen_dst.data() + 1, out_len));
      for (std::size_t i = 0; i < n; ++i) {
        ASSERT_EQ(element_at<u32>(widen_dst, 1, i),
                  reference_widened_bits(element_at<u16>(narrow_dst, 3, i)))
            << GetParam().name << " in " << in_len << " out " << out_len << " at " << i;
      }
      for (std::size_t b = 1 + n * sizeof(f32); b < widen_dst.size(); ++b) {
        ASSERT_EQ(widen_dst[b], kGuard) << "widen wrote past the count, n " << n;
      }
    }
  }
}

std::string path_name(const ::testing::TestParamInfo<Binary16Path>& path) {
  return path.param.name;
}
INSTANTIATE_TEST_SUITE_P(Paths, Binary16PathTest, ::testing::ValuesIn(kPaths), path_name);

f16 h(f32 x) { return to_f16(x); }

TEST(Binary16Arithmetic, AddAndSubtractRoundThroughF32) {
  struct Row {
    f16 result;
    u16 expected;
  };
  const Row rows[] = {
      {h(32768.0f) - h(-32768.0f), 0x7c00},  // 65536 overflows
      {h(65504.0f) + h(128.0f), 0x7c00},     // 65632 overflows
      {h(65376.0f) + h(128.0f), 0x7bff},     // exactly 65504
      {h(1.0f) + h(0x1p-11f), 0x3c00},       // tie back to 1
      {h(-0.0f) + h(-0.0f), 0x8000},
      {h(1.0f) - h(1.0f), 0x0000},
  };
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    EXPECT_EQ(rows[i].result.bits, rows[i].expected) << "row " << i;
  }
  EXPECT_TRUE(is_nan(h(INFINITY) - h(INFINITY)));
}

TEST(Binary16Arithmetic, ComparesInIeeeOrder) {
  const f16 nan = h(NAN), zero = h(0.0f), negative_zero = h(-0.0f);
  const f16 one = h(1.0f), two = h(2.0f), max = h(65504.0f), neg_inf = h(-INFINITY);
  EXPECT_TRUE(zero == negative_zero);
  EXPECT_FALSE(zero < negative_zero || negative_zero < zero);
  EXPECT_TRUE(zero <= negative_zero && zero >= negative_zero);
  EXPECT_FALSE(nan == nan);
  EXPECT_TRUE(nan != nan);
  EXPECT_FALSE(nan < one || nan > one || nan <= one || nan >= one);
  EXPECT_TRUE(one < two && two > one && one <= one && two >= one);
  EXPECT_TRUE(neg_inf < h(-65504.0f) && max > h(-1.0f));
  EXPECT_TRUE(h(-1.0f) < h(-0x1p-24f));  // sign-magnitude patterns ordered right
}

}  // namespace
}  // namespace prandel

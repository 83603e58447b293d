// Which code runs, where the results cannot tell: every variant gives the
// same bits, so a frame that calls a kernel's block function compiled for
// the wrong variant, or a variant that converts binary16 on the wrong path,
// passes every test of results. Here the frame runs a probe kernel on each
// of its paths, under every variant the processor runs, and each block
// function it calls through the erased kernel notes the variant it was
// compiled for; and the binary16 block forms say whether F16C converted.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include "prandel/binary16_bits.hpp"
#include "prandel/binary16_blocks.hpp"
#include "prandel/kernel_frame.hpp"
#include "prandel/mode_dispatch.hpp"
#include "variant_test_support.hpp"

namespace prandel::test {
namespace {

// What the frame ran of a probe.
struct ProbeLog {
  unsigned erased_variants = 0;  // a bit per Isa: the erased block functions'
  std::size_t erased_blocks = 0;
  std::size_t own_blocks = 0;  // converted in the frame's own function
};

template <Element S, Element T>
struct ProbeSetup {
  ScalarMap<S, T> map;
  S failing;  // the element rule refuses it
  ProbeLog* log;
};

// A kernel converting by the language's cast, refusing one value. It may
// offer the frame a one-entry map in its own sweeps (kFuses) and a hashed
// map in its runs (kHashes), which take the frame down its other paths.
template <Isa I, Element S, Element T, bool kFuses, bool kHashes>
struct Probe {
  const ProbeSetup<S, T>* setup;

  ElementResult<T> element(S x) const noexcept {
    if (x == setup->failing) return unexpected(CastError::non_finite(0.0));
    return static_cast<T>(x);
  }

  // The block as the element frame would convert it, map applied, or
  // false having written nothing.
  bool convert(InputSlice<S> in, OutputSlice<T> out, bool apply_map) const noexcept {
    for (std::size_t j = 0; j < in.size(); ++j) {
      const bool hit = apply_map && lookup_scalar_map(setup->map, in[j]) != nullptr;
      if (!hit && in[j] == setup->failing) return false;
    }
    for (std::size_t j = 0; j < in.size(); ++j) {
      const T* target = apply_map ? lookup_scalar_map(setup->map, in[j]) : nullptr;
      out.store(j, target != nullptr ? *target : static_cast<T>(in[j]));
    }
    return true;
  }

  bool convert_block(InputSlice<S> in, OutputSlice<T> out) const noexcept {
    ++setup->log->own_blocks;
    return convert(in, out, false);
  }

  bool convert_block_with_entries(InputSlice<S> in, OutputSlice<T> out,
                                  const EntryGroup<1, S, T>&) const noexcept
    requires kFuses
  {
    ++setup->log->own_blocks;
    return convert(in, out, true);
  }

  bool takes_hashed_map() const noexcept
    requires kHashes
  {
    return true;
  }

  template <bool kWindow>
  bool convert_block_hashed(InputSlice<S> in, OutputSlice<T> out,
                            const HashedMap<S, T>&) const noexcept
    requires kHashes
  {
    ++setup->log->own_blocks;
    return convert(in, out, true);
  }
};

}  // namespace
}  // namespace prandel::test

namespace prandel::frame_detail {

// The probe's erased block function: as the frame's own, compiled for the
// variant variant_function picks, and noting that variant.
template <Isa I, Element S, Element T, bool kFuses, bool kHashes>
struct ConvertBlockOf<test::Probe<I, S, T, kFuses, kHashes>, S, T> {
  static constexpr bool kUsesVbmi = true;

  template <Isa J>
  PRANDEL_INLINE static bool run(const void* self, InputSlice<S> in, OutputSlice<T> out) noexcept {
    const auto& probe = *static_cast<const test::Probe<I, S, T, kFuses, kHashes>*>(self);
    probe.setup->log->erased_variants |= 1u << static_cast<unsigned>(J);
    ++probe.setup->log->erased_blocks;
    return probe.convert(in, out, false);
  }
};

}  // namespace prandel::frame_detail

namespace prandel::test {
namespace {

// The frame over a probe, run as a slice of the engine is: from the
// variant's own function.
template <Element S, Element T, bool kFuses, bool kHashes>
struct ProbeSlice {
  static constexpr bool kUsesVbmi = true;

  template <Isa I>
  PRANDEL_INLINE static CastResult run(InputSlice<S> in, OutputSlice<T> out,
                                       const ProbeSetup<S, T>* setup) noexcept {
    return convert_blocks<I>(Probe<I, S, T, kFuses, kHashes>{setup}, in, out, setup->map);
  }
};

struct FrameCase {
  const char* name;
  std::size_t elements;
  std::size_t entries;
  bool failing;   // an element the rule refuses, in the third block
  bool in_place;  // the output in the input's memory (equal sizes; no failure)
};

constexpr std::size_t kBlock = block::kElements;

const FrameCase kFrameCases[] = {
    {"a few elements", 3, 0, false, false},
    {"a few elements, a map", 3, 2, false, false},
    {"no map", 3 * kBlock + 5, 0, false, false},
    {"no map, a failing block", 4 * kBlock, 0, true, false},
    {"one entry", 3 * kBlock + 5, 1, false, false},
    {"one entry, a failing block", 4 * kBlock, 1, true, false},
    {"one entry, in place", 3 * kBlock + 5, 1, false, true},
    {"several entries", 3 * kBlock + 5, 5, false, false},
    {"several entries, a failing block", 4 * kBlock, 5, true, false},
    {"several entries, in place", 3 * kBlock + 5, 5, false, true},
    {"several entries, under a block", kBlock - 1, 5, false, false},
    {"several entries, under a block, in place", 100, 5, false, true},
};

template <Element S>
S value(unsigned k) {
  return static_cast<S>(k);
}

template <Element S, Element T, bool kFuses, bool kHashes>
void expect_frame_runs_variant(Isa isa, const FrameCase& row) {
  constexpr unsigned kFailing = 77;  // beyond the data's 0..49
  ProbeLog log;
  ProbeSetup<S, T> setup{{}, value<S>(kFailing), &log};
  for (unsigned k = 0; k < row.entries; ++k) {
    setup.map.push_back({value<S>(7 * k + 3), value<T>(100 + k)});
  }
  std::vector<S> input(row.elements);
  for (std::size_t j = 0; j < input.size(); ++j) input[j] = value<S>(static_cast<unsigned>(j % 50));
  if (row.failing) input[2 * kBlock + 17] = setup.failing;

  // The element frame by the probe's rule: the results every path must give.
  std::vector<T> expected(input.size(), value<T>(99));
  const Probe<Isa::Baseline, S, T, kFuses, kHashes> reference{&setup};
  const CastResult expected_result =
      convert_each(InputSlice<S>(input), OutputSlice<T>(expected), setup.map,
                   [&](S x) { return reference.element(x); });

  std::vector<T> fast(input.size(), value<T>(99));
  CastResult result;
  if constexpr (sizeof(S) == sizeof(T)) {
    if (row.in_place) {
      std::vector<S> memory = input;
      result = run_variant<ProbeSlice<S, T, kFuses, kHashes>>(
          isa, InputSlice<S>(memory), OutputSlice<T>(memory.data(), memory.size()), &setup);
      std::memcpy(fast.data(), memory.data(), memory.size() * sizeof(S));
    }
  }
  if (!row.in_place || sizeof(S) != sizeof(T)) {
    result = run_variant<ProbeSlice<S, T, kFuses, kHashes>>(isa, InputSlice<S>(input),
                                                              OutputSlice<T>(fast), &setup);
  }

  EXPECT_EQ(result.ok(), expected_result.ok());
  EXPECT_EQ(std::memcmp(fast.data(), expected.data(), fast.size() * sizeof(T)), 0);
  // The slice runs as `isa` (ProbeSlice has code of its own for VBMI), and
  // whatever block function the erased kernel called must be its.
  if (log.erased_blocks != 0) {
    EXPECT_EQ(log.erased_variants, 1u << static_cast<unsigned>(isa))
        << "erased block functions of variants (bits) " << log.erased_variants;
  }
  if (row.elements >= frame_detail::kBlockMinElements) {
    EXPECT_GT(log.erased_blocks + log.own_blocks, 0u) << "no block function ran";
  }
}

template <Element S, Element T>
void expect_frame_runs_variant_on_every_path() {
  SCOPED_TRACE(std::string(dtype_key_of<S>) + " -> " + std::string(dtype_key_of<T>));
  for_each_supported_isa([](Isa isa) {
    for (const FrameCase& row : kFrameCases) {
      SCOPED_TRACE(row.name);
      expect_frame_runs_variant<S, T, false, false>(isa, row);
      expect_frame_runs_variant<S, T, true, false>(isa, row);
      expect_frame_runs_variant<S, T, false, true>(isa, row);
      expect_frame_runs_variant<S, T, true, true>(isa, row);
    }
  });
}

// Byte sources take the byte lanes' hashed lookup on VBMI; a float source
// takes sweeps compiled for the variant below AVX-512, an integer one the
// baseline's: each calls the kernel through the erased block function.
TEST(VariantPaths, FrameCallsTheBlockFunctionOfItsOwnVariant) {
  expect_frame_runs_variant_on_every_path<u8, u8>();
  expect_frame_runs_variant_on_every_path<u32, u64>();
  expect_frame_runs_variant_on_every_path<f32, i32>();
}

// The binary16 block forms, run as the variant, and whether F16C converted
// in each: a bit per form (widening into a slice, into a buffer; narrowing
// under the mode from a slice, from a buffer). Forms of one direction must
// agree on the bits; the slices' bits are checked against binary16_bits.
struct Binary16Forms {
  const std::vector<f16>* halves;
  const std::vector<f32>* floats;
  std::vector<f32> widened;
  std::vector<f16> narrowed;
  bool forms_agree = true;

  template <Isa I>
  PRANDEL_INLINE static unsigned run(Binary16Forms* forms, RoundingMode mode) noexcept {
    const std::size_t n = forms->halves->size();
    forms->widened.assign(n, 0.0f);
    std::vector<f32> buffer(n);
    unsigned f16c = binary16_blocks::widen<I>(InputSlice<f16>(*forms->halves),
                                              OutputSlice<f32>(forms->widened));
    f16c |= unsigned{binary16_blocks::widen<I>(InputSlice<f16>(*forms->halves), buffer.data())}
            << 1;
    forms->forms_agree = std::memcmp(buffer.data(), forms->widened.data(), n * sizeof(f32)) == 0;
    return with_rounding_mode(mode, [&]<RoundingMode R>() PRANDEL_INLINE_LAMBDA {
      const std::size_t m = forms->floats->size();
      forms->narrowed.assign(m, f16{0});
      std::vector<f16> from_buffer(m);
      unsigned narrow = binary16_blocks::narrow<I, R>(InputSlice<f32>(*forms->floats),
                                                      OutputSlice<f16>(forms->narrowed));
      narrow |= unsigned{binary16_blocks::narrow<I, R>(forms->floats->data(),
                                                       OutputSlice<f16>(from_buffer))}
                << 1;
      forms->forms_agree = forms->forms_agree &&
                           std::memcmp(from_buffer.data(), forms->narrowed.data(),
                                       m * sizeof(f16)) == 0;
      return f16c | narrow << 2;
    });
  }
};

TEST(VariantPaths, Binary16BlockFormsUseF16cExactlyWhereTheVariantHasIt) {
  // A vector of eight and a tail: ties, subnormals, overflow, signed
  // zeros, NaN payloads.
  const std::vector<f32> floats = {1.0f,      1.0f + 0x1p-11f, -65520.0f, 0x1p-25f,
                                   -0x1.8p-24f, 3.5f,          65504.0f,  -0.0f,
                                   1e9f,      -1e-40f,         std::bit_cast<f32>(0x7fc12345u),
                                   0.333333f, -2.0009765625f};
  std::vector<f16> halves;
  for (const u16 bits : std::initializer_list<u16>{0x3c00, 0x8001, 0x7bff, 0xfc00, 0x7e01, 0x0400, 0x3555, 0x8000, 0xc001,
                         0x03ff, 0x7c00}) {
    halves.push_back(f16{bits});
  }
  for_each_supported_isa([&](Isa isa) {
    for (const RoundingMode mode :
         {RoundingMode::NearestEven, RoundingMode::TowardsZero, RoundingMode::TowardsPositive,
          RoundingMode::TowardsNegative, RoundingMode::NearestAway}) {
      SCOPED_TRACE("rounding mode " + std::to_string(static_cast<int>(mode)));
      Binary16Forms forms{&halves, &floats, {}, {}};
      const unsigned f16c = run_variant<Binary16Forms>(isa, &forms, mode);
      // The instruction has every mode but nearest-away.
      const unsigned expected = !has_f16c(isa)                      ? 0x0u
                                : mode == RoundingMode::NearestAway ? 0x3u
                                                                    : 0xfu;
      EXPECT_EQ(f16c, expected) << "forms converted by F16C (bits)";
      EXPECT_TRUE(forms.forms_agree);
      for (std::size_t j = 0; j < halves.size(); ++j) {
        EXPECT_EQ(std::bit_cast<u32>(forms.widened[j]), binary16_bits::widen_bits(halves[j].bits))
            << j;
      }
      with_rounding_mode(mode, [&]<RoundingMode R>() {
        for (std::size_t j = 0; j < floats.size(); ++j) {
          EXPECT_EQ(forms.narrowed[j].bits,
                    binary16_bits::narrow_bits<R>(std::bit_cast<u32>(floats[j])))
              << j;
        }
      });
    }
  });
}

}  // namespace
}  // namespace prandel::test

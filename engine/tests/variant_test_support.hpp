// Running a check under every instruction-set variant the processor can
// execute, and holding a variant's whole-slice result to a reference.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "prandel/cast_error.hpp"
#include "prandel/cpu_features.hpp"
#include "prandel/prandel.hpp"

namespace prandel::test {

// Calls check(isa) for each variant this processor supports; the variant's
// name goes into every failure message. Variants it cannot run are listed in
// the test's output, so a run that tested less says so.
template <class Check>
void for_each_supported_isa(Check&& check) {
  for (const Isa isa : kIsas) {
    if (!isa_supported(isa)) {
      ::testing::Test::RecordProperty(std::string("skipped_variant_") + std::string(isa_name(isa)),
                                      "processor lacks it");
      continue;
    }
    SCOPED_TRACE(std::string("variant ") + std::string(isa_name(isa)));
    check(isa);
  }
}

// The slice converted by convert_slice_on(isa) and by `reference(in, out)`
// (the element rule), into outputs preset alike: the same outcome, the same
// error text and the same bytes in the whole output, so elements after a
// failure must be untouched by both.
template <Element S, Element T, class Reference>
void expect_variant_matches_reference(Isa isa, const std::vector<S>& input,
                                      const CastConfig<S, T>& config, Reference&& reference) {
  std::vector<T> fast(input.size()), expected(input.size());
  std::memset(fast.data(), 0x5a, fast.size() * sizeof(T));
  std::memset(expected.data(), 0x5a, expected.size() * sizeof(T));
  const CastResult fast_result = convert_slice_on<S, T>(isa, input, fast, config);
  const CastResult expected_result =
      reference(InputSlice<S>(input), OutputSlice<T>(expected));
  ASSERT_EQ(fast_result.ok(), expected_result.ok())
      << (expected_result.ok() ? "unexpected error: " + to_string(fast_result.error())
                               : "missed error: " + to_string(expected_result.error()));
  if (!fast_result) {
    EXPECT_EQ(to_string(fast_result.error()), to_string(expected_result.error()));
  }
  for (std::size_t i = 0; i < input.size(); ++i) {
    if (std::memcmp(&fast[i], &expected[i], sizeof(T)) != 0) {
      ADD_FAILURE() << "first differing element at index " << i << " of " << input.size();
      return;
    }
  }
}

// The same with the output in the input's own memory (equal element
// sizes): both convert a copy of `input` in place.
template <Element S, Element T, class Reference>
void expect_in_place_matches_reference(Isa isa, const std::vector<S>& input,
                                       const CastConfig<S, T>& config, Reference&& reference) {
  static_assert(sizeof(S) == sizeof(T));
  std::vector<S> fast = input, expected = input;
  const CastResult fast_result = convert_slice_on<S, T>(
      isa, InputSlice<S>(fast), OutputSlice<T>(fast.data(), fast.size()), config);
  const CastResult expected_result =
      reference(InputSlice<S>(expected), OutputSlice<T>(expected.data(), expected.size()));
  ASSERT_EQ(fast_result.ok(), expected_result.ok()) << "in place";
  if (std::memcmp(fast.data(), expected.data(), fast.size() * sizeof(S)) != 0) {
    ADD_FAILURE() << "in place: the memory differs from the reference's";
  }
}

}  // namespace prandel::test

// Shared helpers for the float kernel tests: running one element through a
// kernel as text, mode-table rows, and the check that the empty-map fast
// paths agree with the per-element frame.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "prandel/binary16.hpp"
#include "prandel/cast_config.hpp"
#include "prandel/cast_error.hpp"
#include "prandel/float_ops.hpp"
#include "prandel/float_to_int_blocks.hpp"
#include "prandel/int_to_float_blocks.hpp"
#include "prandel/prandel.hpp"

namespace prandel::test {

inline constexpr std::array<RoundingMode, 5> kRoundingModes = {
    RoundingMode::NearestEven, RoundingMode::TowardsZero, RoundingMode::TowardsPositive,
    RoundingMode::TowardsNegative, RoundingMode::NearestAway};

inline constexpr std::array<OutOfRangeMode, 3> kOutOfRangeModes = {
    OutOfRangeMode::Clamp, OutOfRangeMode::Wrap, OutOfRangeMode::Unset};

inline f16 h(f64 x) { return to_f16(static_cast<f32>(x)); }

// The source value x (exactly representable) as a T.
template <Element T>
T from_f64(f64 x) {
  if constexpr (std::same_as<T, f16>) {
    return h(x);
  } else {
    return static_cast<T>(x);
  }
}

// Integers in decimal; floats in shortest positional form, with "-0".
template <Element T>
std::string text(T v) {
  if constexpr (IntElement<T>) {
    return std::to_string(v);
  } else {
    const f64 d = to_f64(v);
    if (d == 0.0) return std::signbit(d) ? "-0" : "0";
    std::string s;
    format_shortest_positional(d, s);
    return s;
  }
}
inline std::string num(f64 v) { return text(v); }
inline std::string range_error(f64 value, f64 lower, f64 upper) {
  return to_string(CastError::out_of_range(value, lower, upper));
}
inline std::string non_finite_error(f64 value) { return to_string(CastError::non_finite(value)); }

// The library's own compiled pair (convert_slice), not a copy of its kernels
// instantiated here.
template <Element S, Element T>
CastResult run_kernel(InputSlice<S> in, OutputSlice<T> out, const CastConfig<S, T>& config) {
  return convert_slice(in, out, config);
}

template <Element S, Element T>
CastConfig<S, T> config_of(RoundingMode rounding, OutOfRangeMode out_of_range,
                           ScalarMap<S, T> map = {}) {
  CastConfig<S, T> config;
  config.scalar_map = std::move(map);
  config.rounding = rounding;
  config.out_of_range = out_of_range;
  return config;
}

// One element through the kernel: its result as text, or the error message.
template <Element S, Element T>
std::string convert_one(S x, RoundingMode rounding, OutOfRangeMode out_of_range,
                        ScalarMap<S, T> map = {}) {
  const std::array<S, 1> in = {x};
  std::array<T, 1> out{};
  const CastResult result =
      run_kernel<S, T>(in, out, config_of<S, T>(rounding, out_of_range, std::move(map)));
  return result ? text(out[0]) : to_string(result.error());
}

// A row of a mode table: the results under the five rounding modes, in the
// order of kRoundingModes.
struct ModeRow {
  std::string label;
  std::function<std::string(RoundingMode, OutOfRangeMode)> run;
  OutOfRangeMode out_of_range;
  std::array<std::string, 5> expected;
};

template <Element S, Element T>
std::function<std::string(RoundingMode, OutOfRangeMode)> element(S x) {
  return [x](RoundingMode r, OutOfRangeMode o) { return convert_one<S, T>(x, r, o); };
}

inline void expect_rows(const std::vector<ModeRow>& rows) {
  for (const ModeRow& row : rows) {
    for (std::size_t m = 0; m < kRoundingModes.size(); ++m) {
      EXPECT_EQ(row.run(kRoundingModes[m], row.out_of_range), row.expected[m])
          << row.label << ", rounding mode " << static_cast<int>(kRoundingModes[m])
          << ", out-of-range mode " << static_cast<int>(row.out_of_range);
    }
  }
}

// The empty-map path against the per-element frame: the same input once
// with an empty map and once with a map whose only entry matches nothing,
// into outputs preset alike. Results, errors and every output byte agree.
template <Element S, Element T>
void expect_fast_path_matches_frame(const std::vector<S>& input, S unmatched_source,
                                    RoundingMode rounding, OutOfRangeMode out_of_range) {
  std::vector<T> fast(input.size()), framed(input.size());
  std::memset(fast.data(), 0x5a, fast.size() * sizeof(T));
  std::memset(framed.data(), 0x5a, framed.size() * sizeof(T));
  const CastResult fast_result =
      run_kernel<S, T>(input, fast, config_of<S, T>(rounding, out_of_range));
  const CastResult framed_result = run_kernel<S, T>(
      input, framed, config_of<S, T>(rounding, out_of_range, {{unmatched_source, T{}}}));
  const std::string context = std::string(dtype_key_of<S>) + " -> " +
                              std::string(dtype_key_of<T>) + ", rounding " +
                              std::to_string(static_cast<int>(rounding)) + ", out-of-range " +
                              std::to_string(static_cast<int>(out_of_range));
  ASSERT_EQ(fast_result.ok(), framed_result.ok()) << context;
  if (!fast_result) {
    EXPECT_EQ(to_string(fast_result.error()), to_string(framed_result.error())) << context;
  }
  EXPECT_EQ(std::memcmp(fast.data(), framed.data(), fast.size() * sizeof(T)), 0) << context;
}

}  // namespace prandel::test

// Integer-to-float conversion for all 32 pairs of the eight integer types with
// binary16, f32 and f64. It never fails.
//
// Each element is converted to nearest, ties to even (a single rounding; to
// binary16 by way of f32, which gives the same result for integers); another
// rounding mode then moves that result by at most one step.
#pragma once

#include <algorithm>
#include <concepts>
#include <cstddef>

#include "prandel/binary16.hpp"
#include "prandel/cast_config.hpp"
#include "prandel/float_ops.hpp"
#include "prandel/kernel_frame.hpp"
#include "prandel/mode_dispatch.hpp"
#include "prandel/rounding_step.hpp"
#include "prandel/slice_blocks.hpp"

namespace prandel {

// Whether the rounding mode can change a result: T is binary16, or f32 with
// a source of 32 bits or more. Every other pair converts exactly, except
// i64/u64 to f64, where the result is the f64 image that the mode step
// compares against, so the mode never moves it.
template <IntElement S, FloatElement T>
inline constexpr bool int_to_float_takes_mode =
    std::same_as<T, f16> || (std::same_as<T, f32> && sizeof(S) >= 4);

namespace int_to_float_detail {

template <FloatElement T, IntElement S>
inline T convert_nearest(S x) noexcept {
  if constexpr (std::same_as<T, f16>) {
    return to_f16(static_cast<f32>(x));
  } else {
    return static_cast<T>(x);  // one rounding, in the default environment
  }
}

template <RoundingMode R, FloatElement T, IntElement S>
inline T convert_element(S x) noexcept {
  const T r = convert_nearest<T>(x);
  if constexpr (R == RoundingMode::NearestEven || !int_to_float_takes_mode<S, T>) {
    return r;
  } else {
    return step_to_rounding_mode<R>(static_cast<f64>(x), r, to_f64(r));
  }
}

// Binary16 targets go through f32 a block at a time, so the narrowing (and,
// for the other modes, the widening back for the comparison) is done by the
// block conversions.
template <RoundingMode R, IntElement S>
void convert_unmapped_to_f16(InputSlice<S> in, OutputSlice<f16> out) noexcept {
  if constexpr (R == RoundingMode::NearestEven) {
    block::narrow_to_f16_through_f32(in, out);
  } else {
    const std::size_t n = frame_length(in, out);
    f16 nearest[block::kElements];
    f32 wide[block::kElements];
    for (std::size_t base = 0; base < n; base += block::kElements) {
      const std::size_t k = std::min(block::kElements, n - base);
      block::narrow_to_f16_through_f32(block::sub_slice(in, base, k),
                                       OutputSlice<f16>(nearest, k));
      widen_f16_block(InputSlice<f16>(nearest, k), OutputSlice<f32>(wide, k));
      for (std::size_t j = 0; j < k; ++j) {
        out.store(base + j, step_to_rounding_mode<R>(static_cast<f64>(in[base + j]),
                                                     nearest[j],
                                                     static_cast<f64>(wide[j])));
      }
    }
  }
}

template <RoundingMode R, IntElement S, FloatElement T>
void convert_unmapped(InputSlice<S> in, OutputSlice<T> out) noexcept {
  if constexpr (std::same_as<T, f16>) {
    convert_unmapped_to_f16<R>(in, out);
  } else {
    const std::size_t n = frame_length(in, out);
    for (std::size_t i = 0; i < n; ++i) out.store(i, convert_element<R, T>(in[i]));
  }
}

}  // namespace int_to_float_detail

// Converts min(in.size(), out.size()) elements in index order; a scalar-map
// hit is stored as given, any other element is converted under
// config.rounding. Always succeeds. Pairs that take no mode
// (int_to_float_takes_mode false) convert to nearest whatever config.rounding
// holds, which is what the rule gives for them under every mode.
template <IntElement S, FloatElement T>
CastResult convert_slice_int_to_float(InputSlice<S> in, OutputSlice<T> out,
                                      const CastConfig<S, T>& config) noexcept {
  const auto run = [&]<RoundingMode R>() {
    if (config.scalar_map.empty()) {
      int_to_float_detail::convert_unmapped<R>(in, out);
    } else {
      (void)convert_each(in, out, config.scalar_map, [](S x) -> ElementResult<T> {
        return int_to_float_detail::convert_element<R, T>(x);
      });
    }
  };
  if constexpr (int_to_float_takes_mode<S, T>) {
    with_rounding_mode(config.rounding, run);
  } else {
    run.template operator()<RoundingMode::NearestEven>();
  }
  return {};
}

}  // namespace prandel

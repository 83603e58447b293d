// Float-to-float conversion for all nine pairs of binary16, f32 and f64.
//
// The identities and widenings are exact. The three narrowings (f64 to f32,
// f32 to binary16, f64 to binary16) convert to nearest, ties to even, in one
// rounding, then move by at most one step for another rounding mode; a finite
// element that ends up infinite fails with OutOfRange unless the out-of-range
// mode is Clamp, which writes the infinity.
#pragma once

#include <algorithm>
#include <bit>
#include <concepts>
#include <cstddef>
#include <limits>

#include "prandel/binary16.hpp"
#include "prandel/cast_config.hpp"
#include "prandel/float_ops.hpp"
#include "prandel/kernel_frame.hpp"
#include "prandel/mode_dispatch.hpp"
#include "prandel/rounding_step.hpp"
#include "prandel/slice_blocks.hpp"

namespace prandel {

template <FloatElement S, FloatElement T>
inline constexpr bool float_to_float_narrows = sizeof(T) < sizeof(S);

namespace float_to_float_detail {

// x converted to T to nearest, ties to even; exact unless T is narrower.
template <FloatElement T, FloatElement S>
inline T convert_nearest(S x) noexcept {
  if constexpr (std::same_as<S, T>) {
    return x;
  } else if constexpr (std::same_as<T, f16>) {
    return to_f16(x);
  } else if constexpr (std::same_as<S, f16>) {
    return static_cast<T>(to_f32(x));
  } else if constexpr (std::same_as<T, f32>) {
    return narrow_to_f32(x);
  } else {
    return static_cast<T>(x);
  }
}

// x with its fraction cut to f32's width, rounding to odd: toward zero, with
// the lowest kept bit set when that drops anything. f32 holds more than two
// bits beyond binary16's precision and a wider exponent range, so rounding
// this value (exact in f32 in its normal range) to binary16 to nearest gives
// the single rounding of x, overflow and subnormals included (values below
// the f32 normal range round to a binary16 zero whatever f32 makes of them).
// On the bit pattern, without compares, so that a block loop vectorises; a
// NaN keeps its top payload bits.
inline f64 round_to_odd_at_f32_width(f64 x) noexcept {
  using B = FloatBits<f64>;
  constexpr u64 kDropped = (u64{1} << (B::kFractionBits - FloatBits<f32>::kFractionBits)) - 1;
  const u64 bits = B::to_bits(x);
  // Adding the mask to the dropped bits carries into the lowest kept bit
  // exactly when one of them is set, and reaches no higher.
  return B::from_bits((bits | ((bits & kDropped) + kDropped)) & ~kDropped);
}

// Whether a block holds an element that narrow_to_f32 maps explicitly (a
// magnitude from the f32 overflow tie up), an infinity or a NaN. Magnitude
// patterns order like their values: one carry into the sign position per
// element, so that the scan vectorises, gathered in several partial flags so
// that it is not held up by one chain of ORs.
inline bool any_beyond_f32_range(InputSlice<f64> in) noexcept {
  using B = FloatBits<f64>;
  constexpr u64 kOffset = B::kSign - B::to_bits(kF32OverflowTie);
  const auto flag = [&](std::size_t j) {
    return (B::to_bits(in[j]) & B::kMagnitudeMask) + kOffset;
  };
  constexpr std::size_t kChains = 8;
  u64 flags[kChains] = {};
  std::size_t j = 0;
  for (; j + kChains <= in.size(); j += kChains) {
    for (std::size_t c = 0; c < kChains; ++c) flags[c] |= flag(j + c);
  }
  for (; j < in.size(); ++j) flags[0] |= flag(j);
  u64 any = 0;
  for (u64 f : flags) any |= f;
  return (any & B::kSign) != 0;
}

// f64 to f32 of a block: the plain conversion, which vectorises, where the
// block holds only values inside the f32 range.
inline void narrow_f64_block_to_f32(InputSlice<f64> in, OutputSlice<f32> out) noexcept {
  const std::size_t n = frame_length(in, out);
  for (std::size_t base = 0; base < n; base += block::kElements) {
    const std::size_t k = std::min(block::kElements, n - base);
    const InputSlice<f64> part = block::sub_slice(in, base, k);
    if (any_beyond_f32_range(part)) {
      for (std::size_t j = 0; j < k; ++j) out.store(base + j, narrow_to_f32(part[j]));
    } else {
      for (std::size_t j = 0; j < k; ++j) out.store(base + j, static_cast<f32>(part[j]));
    }
  }
}

// The nearest-even binary16 of each f64 (one rounding), through an f32
// buffer a block at a time so the last step runs in vector-wide steps.
inline void narrow_f64_block_to_f16(InputSlice<f64> in, OutputSlice<f16> out) noexcept {
  const std::size_t n = frame_length(in, out);
  f32 odd[block::kElements];
  for (std::size_t base = 0; base < n; base += block::kElements) {
    const std::size_t k = std::min(block::kElements, n - base);
    const InputSlice<f64> part = block::sub_slice(in, base, k);
    if (any_beyond_f32_range(part)) {
      for (std::size_t j = 0; j < k; ++j) {
        odd[j] = narrow_to_f32(round_to_odd_at_f32_width(part[j]));
      }
    } else {
      for (std::size_t j = 0; j < k; ++j) {
        odd[j] = static_cast<f32>(round_to_odd_at_f32_width(part[j]));
      }
    }
    narrow_f32_block(InputSlice<f32>(odd, k), block::sub_slice(out, base, k));
  }
}

template <FloatElement T>
inline constexpr f64 kLargestFinite = [] {
  if constexpr (std::same_as<T, f16>) {
    return 65504.0;
  } else {
    return static_cast<f64>(std::numeric_limits<T>::max());
  }
}();

template <FloatElement T, FloatElement S>
inline CastError overflow_error(S x) noexcept {
  return CastError::out_of_range(to_f64(x), -kLargestFinite<T>, kLargestFinite<T>);
}

// On the bit patterns, so that a scan over a block vectorises.
inline bool infinite_pattern(f16 x) noexcept { return (x.bits & 0x7fffu) == 0x7c00u; }
inline bool infinite_pattern(f32 x) noexcept {
  return (std::bit_cast<u32>(x) & 0x7fff'ffffu) == 0x7f80'0000u;
}
inline bool infinite_pattern(f64 x) noexcept {
  return (std::bit_cast<u64>(x) & 0x7fff'ffff'ffff'ffffu) == 0x7ff0'0000'0000'0000u;
}

// Non-zero for an infinity or a NaN: the exponent field is all ones exactly
// when adding one to its lowest bit carries into the sign position.
inline u32 non_finite_flag(f16 x) noexcept {
  return static_cast<u32>(((x.bits & 0x7c00u) + 0x0400u) & 0x8000u);
}
inline u32 non_finite_flag(f32 x) noexcept {
  return ((std::bit_cast<u32>(x) & 0x7f80'0000u) + 0x0080'0000u) & 0x8000'0000u;
}

// Only finite elements can overflow; an infinite one stays itself.
template <FloatElement S, FloatElement T>
inline bool overflowed(S x, T r) noexcept {
  // Unsigned operands keep the test free of a branch.
  return (static_cast<unsigned>(infinite_pattern(r)) & static_cast<unsigned>(!infinite_pattern(x))) != 0;
}

// The mode step for a narrowing; r is the nearest-even result, rd its f64.
template <RoundingMode R, FloatElement S, FloatElement T>
inline T apply_mode(S x, T r, [[maybe_unused]] f64 rd) noexcept {
  if constexpr (R == RoundingMode::NearestEven) {
    return r;
  } else {
    if (is_nan(x)) return r;
    return step_to_rounding_mode<R>(to_f64(x), r, rd);
  }
}

template <RoundingMode R, bool kCheckOverflow, FloatElement T, FloatElement S>
inline ElementResult<T> narrow_element(S x) noexcept {
  T r = convert_nearest<T>(x);
  if constexpr (R != RoundingMode::NearestEven) r = apply_mode<R>(x, r, to_f64(r));
  if constexpr (kCheckOverflow) {
    if (overflowed(x, r)) return unexpected(overflow_error<T>(x));
  }
  return r;
}

// Nearest-even narrowing of min(in.size(), out.size()) elements.
template <FloatElement S, FloatElement T>
inline void narrow_nearest(InputSlice<S> in, OutputSlice<T> out) noexcept {
  if constexpr (std::same_as<S, f32>) {  // to binary16
    narrow_f32_block(in, out);
  } else if constexpr (std::same_as<T, f16>) {
    narrow_f64_block_to_f16(in, out);
  } else {
    narrow_f64_block_to_f32(in, out);
  }
}

// Narrowing with an empty map, a block at a time: convert the block to
// nearest into a buffer, settle the mode and test for overflow, then copy the
// buffer out. On an overflow only the elements before it are copied.
template <RoundingMode R, bool kCheckOverflow, FloatElement S, FloatElement T>
CastResult narrow_unmapped(InputSlice<S> in, OutputSlice<T> out) noexcept {
  if constexpr (R == RoundingMode::NearestEven && !kCheckOverflow) {
    narrow_nearest(in, out);  // nothing can fail
    return {};
  } else {
    const std::size_t n = frame_length(in, out);
    T result[block::kElements];
    for (std::size_t base = 0; base < n; base += block::kElements) {
      const std::size_t k = std::min(block::kElements, n - base);
      if constexpr (R == RoundingMode::NearestEven && std::same_as<S, f64> &&
                    std::same_as<T, f32>) {
        // A scan beats a buffer: a block without an infinity, a NaN or a
        // value past the f32 range converts straight into the output.
        if (!any_beyond_f32_range(block::sub_slice(in, base, k))) {
          for (std::size_t j = 0; j < k; ++j) out.store(base + j, static_cast<f32>(in[base + j]));
          continue;
        }
      }
      narrow_nearest(block::sub_slice(in, base, k), OutputSlice<T>(result, k));
      if constexpr (R == RoundingMode::NearestEven) {
        // Overflows are rare: a vectorisable scan for any non-finite result
        // first, the exact test only in a block that has one.
        u32 any_non_finite = 0;
        for (std::size_t j = 0; j < k; ++j) any_non_finite |= non_finite_flag(result[j]);
        if (any_non_finite != 0) {
          for (std::size_t j = 0; j < k; ++j) {
            if (overflowed(in[base + j], result[j])) {
              block::store(out, base, result, j);
              return overflow_error<T>(in[base + j]);
            }
          }
        }
      } else {
        [[maybe_unused]] f32 widened[block::kElements];  // binary16 results, for rd
        if constexpr (std::same_as<T, f16>) {
          widen_f16_block(InputSlice<f16>(result, k), OutputSlice<f32>(widened, k));
        }
        for (std::size_t j = 0; j < k; ++j) {
          const S x = in[base + j];
          f64 rd;
          if constexpr (std::same_as<T, f16>) {
            rd = static_cast<f64>(widened[j]);
          } else {
            rd = static_cast<f64>(result[j]);
          }
          result[j] = apply_mode<R>(x, result[j], rd);
          if constexpr (kCheckOverflow) {
            if (overflowed(x, result[j])) {
              block::store(out, base, result, j);
              return overflow_error<T>(x);
            }
          }
        }
      }
      block::store(out, base, result, k);
    }
    return {};
  }
}

// Identities and widenings with an empty map.
template <FloatElement S, FloatElement T>
void convert_exact_unmapped(InputSlice<S> in, OutputSlice<T> out) noexcept {
  const std::size_t n = frame_length(in, out);
  if constexpr (std::same_as<S, T>) {
    block::copy_bits(in, out, n);
  } else if constexpr (std::same_as<S, f16> && std::same_as<T, f32>) {
    widen_f16_block(in, out);
  } else if constexpr (std::same_as<S, f16>) {  // to f64
    f32 wide[block::kElements];
    for (std::size_t base = 0; base < n; base += block::kElements) {
      const std::size_t k = std::min(block::kElements, n - base);
      widen_f16_block(block::sub_slice(in, base, k), OutputSlice<f32>(wide, k));
      for (std::size_t j = 0; j < k; ++j) out.store(base + j, static_cast<f64>(wide[j]));
    }
  } else {  // f32 to f64
    for (std::size_t i = 0; i < n; ++i) out.store(i, static_cast<f64>(in[i]));
  }
}

}  // namespace float_to_float_detail

// Converts min(in.size(), out.size()) elements in index order; a scalar-map
// hit is stored as given. Identities keep the bit pattern (NaN payloads
// included) and widenings are exact, whatever the modes. Narrowings round by
// config.rounding; a finite element whose result is infinite fails with
// OutOfRange(element, -max, max) of the target unless config.out_of_range is
// Clamp. The first failure ends the call with the earlier elements written.
template <FloatElement S, FloatElement T>
CastResult convert_slice_float_to_float(InputSlice<S> in, OutputSlice<T> out,
                                        const CastConfig<S, T>& config) noexcept {
  namespace ff = float_to_float_detail;
  if constexpr (!float_to_float_narrows<S, T>) {
    if (config.scalar_map.empty()) {
      ff::convert_exact_unmapped(in, out);
      return {};
    }
    return convert_each(in, out, config.scalar_map, [](S x) -> ElementResult<T> {
      return ff::convert_nearest<T>(x);
    });
  } else {
    const auto run = [&]<RoundingMode R, bool kCheckOverflow>() -> CastResult {
      if (config.scalar_map.empty()) return ff::narrow_unmapped<R, kCheckOverflow>(in, out);
      return convert_each(in, out, config.scalar_map, [](S x) {
        return ff::narrow_element<R, kCheckOverflow, T>(x);
      });
    };
    const bool check_overflow = config.out_of_range != OutOfRangeMode::Clamp;
    return with_rounding_mode(config.rounding, [&]<RoundingMode R>() {
      return check_overflow ? run.template operator()<R, true>()
                            : run.template operator()<R, false>();
    });
  }
}

}  // namespace prandel

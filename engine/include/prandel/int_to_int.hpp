// Integer-to-integer conversion for all 64 pairs of the integer types.
#pragma once

#include <algorithm>
#include <cstddef>
#include <limits>
#include <utility>

#include "prandel/cast_config.hpp"
#include "prandel/cpu_features.hpp"
#include "prandel/kernel_frame.hpp"
#include "prandel/slice_blocks.hpp"

namespace prandel {

// The values of S that T can hold form [lower, upper]: the larger minimum and
// the smaller maximum of the two types, both values of S.
template <IntElement S, IntElement T>
struct IntRange {
  using SL = std::numeric_limits<S>;
  using TL = std::numeric_limits<T>;

  static constexpr bool lossless = std::cmp_greater_equal(SL::min(), TL::min()) &&
                                   std::cmp_less_equal(SL::max(), TL::max());
  static constexpr S lower =
      std::cmp_less(SL::min(), TL::min()) ? static_cast<S>(TL::min()) : SL::min();
  static constexpr S upper =
      std::cmp_greater(SL::max(), TL::max()) ? static_cast<S>(TL::max()) : SL::max();

  // `&`, not `&&`: branch-free, so block tests vectorise.
  static constexpr bool contains(S x) noexcept { return (lower <= x) & (x <= upper); }
  static constexpr T clamp(S x) noexcept {
    return static_cast<T>(std::clamp(x, lower, upper));
  }
  // C++20 integer conversion is modular: the low bits of the sign- or
  // zero-extended value, read as T.
  static constexpr T wrap(S x) noexcept { return static_cast<T>(x); }

  static CastError out_of_range_error(S x) noexcept {
    return CastError::out_of_range(static_cast<f64>(x), static_cast<f64>(lower),
                                   static_cast<f64>(upper));
  }
};

namespace int_to_int_detail {

// The empty-map loops of the pairs that need more than a copy.
enum class IntLoop { Convert, Clamp, Checked };

// Convert and Clamp are straight loops the compiler vectorises. Checked
// (Unset) first tests each block as a whole (a vectorisable reduction) and
// then converts it in one sweep; a block holding a bad element is redone
// element by element, so that everything before the bad element is written
// and nothing after it.
template <IntLoop L, IntElement S, IntElement T>
[[gnu::always_inline]] inline CastResult int_loop_body(InputSlice<S> in, OutputSlice<T> out,
                                                       std::size_t n) noexcept {
  using Range = IntRange<S, T>;
  if constexpr (L == IntLoop::Convert) {
    for (std::size_t i = 0; i < n; ++i) out.store(i, static_cast<T>(in[i]));
  } else if constexpr (L == IntLoop::Clamp) {
    for (std::size_t i = 0; i < n; ++i) out.store(i, Range::clamp(in[i]));
  } else {
    constexpr std::size_t kBlock = 256;
    for (std::size_t base = 0; base < n; base += kBlock) {
      const std::size_t end = std::min(n, base + kBlock);
      unsigned out_of_range = 0;
      for (std::size_t i = base; i < end; ++i) out_of_range |= !Range::contains(in[i]);
      if (out_of_range == 0) [[likely]] {
        for (std::size_t i = base; i < end; ++i) out.store(i, static_cast<T>(in[i]));
        continue;
      }
      for (std::size_t i = base; i < end; ++i) {
        const S x = in[i];
        if (!Range::contains(x)) return Range::out_of_range_error(x);
        out.store(i, static_cast<T>(x));
      }
    }
  }
  return {};
}

template <IntLoop L, IntElement S, IntElement T>
CastResult int_loop_baseline(InputSlice<S> in, OutputSlice<T> out, std::size_t n) noexcept {
  return int_loop_body<L>(in, out, n);
}

#if PRANDEL_X86_VARIANTS
// 64-bit lane comparisons (clamping or testing i64 and u64) need AVX2.
template <IntLoop L, IntElement S, IntElement T>
PRANDEL_TARGET_AVX2 CastResult int_loop_avx2(InputSlice<S> in, OutputSlice<T> out,
                                               std::size_t n) noexcept {
  return int_loop_body<L>(in, out, n);
}
#endif

template <IntLoop L, IntElement S, IntElement T>
CastResult run_int_loop(InputSlice<S> in, OutputSlice<T> out, std::size_t n) noexcept {
#if PRANDEL_X86_VARIANTS
  if (cpu_features().avx2) return int_loop_avx2<L>(in, out, n);
#endif
  return int_loop_baseline<L>(in, out, n);
}

}  // namespace int_to_int_detail

// Converts min(in.size(), out.size()) elements. A value T cannot hold is
// clamped, wrapped modulo 2^bits(T), or (Unset) ends the call with
// OutOfRange carrying the value and [lower, upper] as f64.
template <IntElement S, IntElement T>
CastResult convert_slice_int_to_int(InputSlice<S> in, OutputSlice<T> out,
                                    const CastConfig<S, T>& config) noexcept {
  using Range = IntRange<S, T>;
  const std::size_t n = frame_length(in, out);
  const OutOfRangeMode mode = config.out_of_range;

  if (!config.scalar_map.empty()) {
    return convert_each(in, out, config.scalar_map, [mode](S x) -> ElementResult<T> {
      if (Range::lossless || Range::contains(x)) return static_cast<T>(x);
      switch (mode) {
        case OutOfRangeMode::Clamp:
          return Range::clamp(x);
        case OutOfRangeMode::Wrap:
          return Range::wrap(x);
        case OutOfRangeMode::Unset:
          break;
      }
      return unexpected(Range::out_of_range_error(x));
    });
  }

  if constexpr (std::is_same_v<S, T>) {
    block::copy_bits(in, out, n);
    return {};
  } else if constexpr (Range::lossless) {
    return int_to_int_detail::run_int_loop<int_to_int_detail::IntLoop::Convert>(in, out, n);
  } else {
    switch (mode) {
      case OutOfRangeMode::Clamp:
        return int_to_int_detail::run_int_loop<int_to_int_detail::IntLoop::Clamp>(in, out, n);
      case OutOfRangeMode::Wrap:
        if constexpr (sizeof(S) == sizeof(T)) {
          block::copy_bits(in, out, n);
          return {};
        } else {
          return int_to_int_detail::run_int_loop<int_to_int_detail::IntLoop::Convert>(in, out, n);
        }
      case OutOfRangeMode::Unset:
        break;
    }
    return int_to_int_detail::run_int_loop<int_to_int_detail::IntLoop::Checked>(in, out, n);
  }
}

}  // namespace prandel

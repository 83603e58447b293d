// Float-to-integer conversion for the 24 pairs of (binary16, f32, f64) with
// the eight integer types.
//
// An element is rounded to a whole number in its own float type F, tested
// against the target's limits converted to F, and handled outside them by the
// out-of-range mode. Only the final store converts to the integer type, and it
// saturates, so no out-of-range float ever reaches a C++ float-to-integer
// conversion.
#pragma once

#include <algorithm>
#include <bit>
#include <concepts>
#include <cstddef>
#include <cstring>
#include <limits>
#include <type_traits>

#include "prandel/binary16.hpp"
#include "prandel/cast_config.hpp"
#include "prandel/cast_float.hpp"
#include "prandel/cpu_dispatch.hpp"
#include "prandel/float_ops.hpp"
#include "prandel/kernel_frame.hpp"
#include "prandel/mode_dispatch.hpp"
#include "prandel/slice_blocks.hpp"

namespace prandel {

// The range of integer type I as seen from float type F: lower and upper are
// the limits of I converted to F (nearest, ties to even; binary16 by way of
// f32, so it may be infinite), span is (upper - lower) + 1 with each step
// rounded to F. Where a limit has no exact image the bound lies beyond it:
// f32 sees int32's maximum as 2^31.
template <FloatElement F>
struct FloatToIntBounds {
  F lower;
  F upper;
  F span;
};

template <FloatElement F, IntElement I>
constexpr FloatToIntBounds<F> float_to_int_bounds() noexcept {
  using Limits = std::numeric_limits<I>;
  if constexpr (std::same_as<F, f16>) {
    const f16 lower = to_f16(static_cast<f32>(Limits::min()));
    const f16 upper = to_f16(static_cast<f32>(Limits::max()));
    const f16 difference = upper - lower;
    return {lower, upper, difference + to_f16(1.0f)};
  } else {
    const F lower = static_cast<F>(Limits::min());
    const F upper = static_cast<F>(Limits::max());
    const F difference = upper - lower;
    return {lower, upper, static_cast<F>(difference + F(1))};
  }
}

namespace float_to_int_detail {

// Binary16 elements are handled in f32: every binary16 value, every whole
// number the rounding makes of one and every sum |x| + 0.5 is exact there, so
// rounding and comparing in f32 gives the binary16 results exactly. Only the
// wrap, whose steps round to binary16, is computed in binary16 itself.
template <FloatElement F>
using Compute = std::conditional_t<std::same_as<F, f16>, f32, F>;

inline f32 widen_for_compute(f16 x) noexcept { return to_f32(x); }
inline f32 widen_for_compute(f32 x) noexcept { return x; }
inline f64 widen_for_compute(f64 x) noexcept { return x; }

template <FloatElement F>
inline F narrow_from_compute(Compute<F> x) noexcept {
  if constexpr (std::same_as<F, f16>) {
    return to_f16(x);  // exact for the whole numbers rounding produces
  } else {
    return x;
  }
}

// The store for a non-NaN whole number v: a value at or beyond a limit of I
// gives that limit, anything else converts exactly. The value is clamped
// before the conversion, so the conversion never sees an out-of-range value,
// and the clamp and conversion vectorise. hi is the image of I's maximum in C;
// where that lies above the maximum (2^31 for int32 in f32), no value of C
// lies between the two, and the largest value below hi fits.
template <IntElement I, class C>
inline I saturate_number(C v) noexcept {
  using Limits = std::numeric_limits<I>;
  constexpr C lo = static_cast<C>(Limits::min());  // 0 or -2^k: exact
  constexpr C hi = static_cast<C>(Limits::max());
  constexpr int kDropped = Limits::digits - std::numeric_limits<C>::digits;
  constexpr C hi_inside =
      kDropped > 0 ? static_cast<C>(Limits::max() - ((I{1} << (kDropped > 0 ? kDropped : 0)) - 1))
                   : hi;
  C c = v > lo ? v : lo;
  c = c < hi_inside ? c : hi_inside;
  const I converted = static_cast<I>(c);
  // Where C holds I's maximum exactly, the clamp already gives it.
  if constexpr (kDropped <= 0) return converted;
  return v >= hi ? Limits::max() : converted;
}

// The saturating store of any value: a NaN gives 0.
template <IntElement I, class C>
inline I saturate(C v) noexcept {
  return v != v ? I{0} : saturate_number<I>(v);
}

// d = r - lower, m = rem_euclid(d, span), w = m + lower, each rounded to F.
template <FloatElement F>
inline F wrap_into_range(F r, const FloatToIntBounds<F>& bounds) noexcept {
  const F d = r - bounds.lower;
  const F m = CastFloat<F>::rem_euclid(d, bounds.span);
  const F w = m + bounds.lower;
  return w;
}

// A rounded, non-NaN value r outside [lower, upper], or an infinity under
// Wrap, handled by `mode`.
template <IntElement I, FloatElement F>
[[gnu::noinline]] ElementResult<I> convert_outside_range(
    F r, OutOfRangeMode mode, const FloatToIntBounds<F>& bounds) noexcept {
  switch (mode) {
    case OutOfRangeMode::Clamp:
      return saturate<I>(widen_for_compute(r < bounds.lower ? bounds.lower : bounds.upper));
    case OutOfRangeMode::Wrap:
      if (is_inf(r)) return unexpected(CastError::non_finite(to_f64(r)));
      return saturate<I>(widen_for_compute(wrap_into_range(r, bounds)));
    case OutOfRangeMode::Unset:
      break;
  }
  return unexpected(CastError::out_of_range(to_f64(r), to_f64(bounds.lower),
                                            to_f64(bounds.upper)));
}

// The element rule, computed in F through CastFloat, for elements the scalar
// map did not catch.
template <RoundingMode R, IntElement I, FloatElement F>
inline ElementResult<I> convert_element(F x, OutOfRangeMode mode,
                                        const FloatToIntBounds<F>& bounds) noexcept {
  if (is_nan(x)) return unexpected(CastError::non_finite(to_f64(x)));
  const F r = CastFloat<F>::round_with_mode(x, R);
  // Under Wrap an infinity fails even where a bound is infinite.
  if (r < bounds.lower || r > bounds.upper || (mode == OutOfRangeMode::Wrap && is_inf(r))) {
    return convert_outside_range<I>(r, mode, bounds);
  }
  return saturate<I>(widen_for_compute(r));
}

// The empty-map loop over elements already in the compute type, for one
// rounding mode, a block at a time: a first sweep rounds the block and tests
// it, a second rounds it again and stores it; both vectorise, and rounding
// twice is cheaper than a buffer. A block whose rounded values all lie in
// [lower, upper] is stored by a plain conversion where every such value fits
// I. Under Clamp a block holding values outside the range but no NaN or
// infinity is stored saturated. Any other block is redone element by
// element, which writes exactly the elements before a failure.
template <RoundingMode R, bool kClamp, FloatElement F, IntElement I>
[[gnu::always_inline]] inline CastResult convert_run_body(
    InputSlice<Compute<F>> in, OutputSlice<I> out, OutOfRangeMode mode,
    const FloatToIntBounds<F>& bounds) noexcept {
  using C = Compute<F>;
  using Bits = std::conditional_t<sizeof(C) == 8, u64, u32>;
  using Limits = std::numeric_limits<I>;
  const C lo = widen_for_compute(bounds.lower);
  const C hi = widen_for_compute(bounds.upper);
  // Whether every finite value in [lo, hi] converts to I as it is: I's
  // maximum must be exact in C and no finite value of F above hi may exceed it.
  constexpr C largest_finite = std::same_as<F, f16> ? C{65504} : std::numeric_limits<C>::max();
  constexpr bool kMaxExact = Limits::digits <= std::numeric_limits<C>::digits;
  const bool plain_conversion_fits =
      kMaxExact && (hi < largest_finite ? hi : largest_finite) <= static_cast<C>(Limits::max());
  const std::size_t n = frame_length(in, out);
  for (std::size_t base = 0; base < n; base += block::kElements) {
    const std::size_t end = std::min(n, base + block::kElements);
    // The distance of r from [lo, hi] is 0 exactly for the elements inside;
    // its bits without the sign are OR-ed up (float comparisons feeding an
    // integer reduction would not vectorise). r - r is NaN for a NaN or an
    // infinity.
    Bits outside = 0;
    for (std::size_t i = base; i < end; ++i) {
      const C r = CastFloat<C>::round_with_mode(in[i], R);
      C nearest_inside = r > lo ? r : lo;
      nearest_inside = nearest_inside < hi ? nearest_inside : hi;
      outside |= static_cast<Bits>(std::bit_cast<Bits>(r - nearest_inside) << 1);
    }
    if (outside == 0 && plain_conversion_fits) [[likely]] {
      for (std::size_t i = base; i < end; ++i) {
        out.store(i, static_cast<I>(CastFloat<C>::round_with_mode(in[i], R)));
      }
      continue;
    }
    Bits nonfinite = 0;
    if (kClamp && outside != 0) {
      for (std::size_t i = base; i < end; ++i) {
        const C r = CastFloat<C>::round_with_mode(in[i], R);
        nonfinite |= static_cast<Bits>(std::bit_cast<Bits>(r - r) << 1);
      }
    }
    if (outside == 0 || (kClamp && nonfinite == 0)) {
      for (std::size_t i = base; i < end; ++i) {
        out.store(i, saturate_number<I>(CastFloat<C>::round_with_mode(in[i], R)));
      }
      continue;
    }
    for (std::size_t i = base; i < end; ++i) {
      const C x = in[i];
      const C r = CastFloat<C>::round_with_mode(x, R);
      if (r != r) return CastError::non_finite(static_cast<f64>(x));
      const bool inside = r >= lo && r <= hi && !(mode == OutOfRangeMode::Wrap && is_inf(r));
      if (kClamp || inside) {
        out.store(i, saturate_number<I>(r));
        continue;
      }
      const ElementResult<I> v = convert_outside_range<I>(narrow_from_compute<F>(r), mode, bounds);
      if (!v) return v.error();
      out.store(i, *v);
    }
  }
  return {};
}

template <RoundingMode R, bool kClamp, FloatElement F, IntElement I>
CastResult convert_run_baseline(InputSlice<Compute<F>> in, OutputSlice<I> out,
                                OutOfRangeMode mode, const FloatToIntBounds<F>& bounds) noexcept {
  return convert_run_body<R, kClamp, F>(in, out, mode, bounds);
}

#if PRANDEL_HAVE_AVX2_VARIANT
template <RoundingMode R, bool kClamp, FloatElement F, IntElement I>
PRANDEL_TARGET_AVX2 CastResult convert_run_avx2(InputSlice<Compute<F>> in, OutputSlice<I> out,
                                                  OutOfRangeMode mode,
                                                  const FloatToIntBounds<F>& bounds) noexcept {
  return convert_run_body<R, kClamp, F>(in, out, mode, bounds);
}
#endif

template <RoundingMode R, bool kClamp, FloatElement F, IntElement I>
CastResult convert_run(InputSlice<Compute<F>> in, OutputSlice<I> out, OutOfRangeMode mode,
                       const FloatToIntBounds<F>& bounds, bool avx2) noexcept {
#if PRANDEL_HAVE_AVX2_VARIANT
  if (avx2) return convert_run_avx2<R, kClamp, F>(in, out, mode, bounds);
#else
  (void)avx2;
#endif
  return convert_run_baseline<R, kClamp, F>(in, out, mode, bounds);
}

template <RoundingMode R, bool kClamp, FloatElement F, IntElement I>
CastResult convert_unmapped(InputSlice<F> in, OutputSlice<I> out, OutOfRangeMode mode,
                            const FloatToIntBounds<F>& bounds) noexcept {
  const bool avx2 = cpu_has_avx2();
  if constexpr (std::same_as<F, f16>) {
    const std::size_t n = frame_length(in, out);
    f32 wide[block::kElements];
    for (std::size_t base = 0; base < n; base += block::kElements) {
      const std::size_t k = std::min(block::kElements, n - base);
      widen_f16_block(block::sub_slice(in, base, k), OutputSlice<f32>(wide, k));
      const CastResult result = convert_run<R, kClamp, F>(
          InputSlice<f32>(wide, k), block::sub_slice(out, base, k), mode, bounds, avx2);
      if (!result) return result;
    }
    return {};
  } else {
    return convert_run<R, kClamp, F>(in, out, mode, bounds, avx2);
  }
}

}  // namespace float_to_int_detail

// Converts min(in.size(), out.size()) elements in index order; a scalar-map
// hit is stored as given. Otherwise: NaN fails (NonFinite); the element is
// rounded by config.rounding; outside [lower, upper] Clamp stores the nearer
// limit, Wrap wraps the value by the span (an infinity fails with NonFinite)
// and Unset fails with OutOfRange(rounded value, lower, upper). The first
// failure ends the call with the earlier elements written.
template <FloatElement F, IntElement I>
CastResult convert_slice_float_to_int(InputSlice<F> in, OutputSlice<I> out,
                                      const CastConfig<F, I>& config) noexcept {
  const FloatToIntBounds<F> bounds = float_to_int_bounds<F, I>();
  const OutOfRangeMode mode = config.out_of_range;
  return with_rounding_mode(config.rounding, [&]<RoundingMode R>() -> CastResult {
    if (!config.scalar_map.empty()) {
      return convert_each(in, out, config.scalar_map, [&](F x) {
        return float_to_int_detail::convert_element<R, I>(x, mode, bounds);
      });
    }
    return mode == OutOfRangeMode::Clamp
               ? float_to_int_detail::convert_unmapped<R, true>(in, out, mode, bounds)
               : float_to_int_detail::convert_unmapped<R, false>(in, out, mode, bounds);
  });
}

}  // namespace prandel

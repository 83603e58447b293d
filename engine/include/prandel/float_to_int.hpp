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
#include <cfloat>
#include <concepts>
#include <cstddef>
#include <cstring>
#include <limits>
#include <type_traits>

#include "prandel/binary16.hpp"
#include "prandel/cast_config.hpp"
#include "prandel/cast_float.hpp"
#include "prandel/cpu_features.hpp"
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

// The unsigned integer as wide as f32 or f64, for bit tests on values.
template <class C>
using BitsOf = std::conditional_t<sizeof(C) == 8, u64, u32>;

// v limited to [lo, hi] in a form that vectorises (max, then min); a NaN
// gives lo.
template <class C>
inline C clamp_between(C v, C lo, C hi) noexcept {
  const C at_least_lo = v > lo ? v : lo;
  return at_least_lo < hi ? at_least_lo : hi;
}

// The largest value of C that is at most I's maximum (below 2^31 for int32
// in f32, where the maximum itself rounds up to 2^31).
template <IntElement I, class C>
constexpr C largest_fitting() noexcept {
  using Limits = std::numeric_limits<I>;
  constexpr int kDropped = Limits::digits - std::numeric_limits<C>::digits;
  if constexpr (kDropped > 0) {
    return static_cast<C>(Limits::max() - ((I{1} << kDropped) - 1));
  } else {
    return static_cast<C>(Limits::max());
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
  constexpr C hi_inside = largest_fitting<I, C>();
  const I converted = static_cast<I>(clamp_between(v, lo, hi_inside));
  // Where C holds I's maximum exactly, the clamp already gives it.
  if constexpr (Limits::digits <= std::numeric_limits<C>::digits) return converted;
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

// The empty-map loop stages a block at a time (see stage_block) in one of two
// ways. f32 to a 32-bit integer converts clamped values with the processor's
// own conversion, which would serve every pair. Every other pair is faster
// staged through the bits of a sum:
//
// For a stage type G with p fraction bits (f32: 23, f64: 52), a window of
// whole numbers [-B, 2^k - B) and the sum x + (2^p + B): when x rounds into
// the window the sum lies in [2^p, 2^(p+1)), where G's unit in the last place
// is 1, so the sum is x rounded to nearest, ties to even (2^p + B is even; the
// FP environment's default rounding, which rint relies on as well), and its
// bits are those of 2^p plus rint(x) + B. The bits above the low k are then
// exactly those of 2^p; every other sum (below 2^p, at or above 2^(p+1),
// negative or NaN) differs there. So the OR and the AND of a block's bits
// test it whole, and the bits less those of 2^p + B are the result. This
// needs the sum rounded once, to G: where arithmetic runs in a wider format
// (x87), every pair takes the conversion.
inline constexpr bool kSumRoundsOnce = FLT_EVAL_METHOD == 0 || FLT_EVAL_METHOD == 1;

template <FloatElement F, IntElement I>
inline constexpr bool kStagesByConversion =
    !kSumRoundsOnce || (std::same_as<F, f32> && sizeof(I) == 4);

// The window is all of I where G has the bits for it, else its part around
// zero: [-2^51, 2^51) or [0, 2^52) for 64-bit targets, and from binary16
// (whose finite values all lie within +-2^16) [-2^22, 2^22) or [0, 2^23). It
// lies inside [lower, upper] (lower is I's minimum, upper at least its
// maximum), so a clean block needs no mode.
template <FloatElement F, IntElement I>
struct SumBits {
  // f32 where the window can be the whole of I or, from binary16, hold every
  // finite value: f64 would take twice the lanes.
  using Stage =
      std::conditional_t<std::same_as<Compute<F>, f32> && (sizeof(I) <= 2 || std::same_as<F, f16>),
                         f32, f64>;
  using Bits = BitsOf<Stage>;
  static constexpr int kFraction = std::numeric_limits<Stage>::digits - 1;
  static constexpr int kWidth = std::min(std::numeric_limits<I>::digits +
                                             (std::numeric_limits<I>::is_signed ? 1 : 0),
                                         kFraction);
  static constexpr Bits kBias = std::numeric_limits<I>::is_signed ? Bits{1} << (kWidth - 1) : 0;
  static constexpr Stage kAddend = static_cast<Stage>((Bits{1} << kFraction) + kBias);
  static constexpr Bits kLowMask = (Bits{1} << kWidth) - 1;
  static constexpr Bits kBinadeBits = std::bit_cast<Bits>(static_cast<Stage>(Bits{1} << kFraction));
};

// Stages one block: rounds each element of in[base, base + k), converts it
// into staged[0, k) and returns whether every element lay in the window, in
// which case staged holds the block's exact results. Both forms vectorise and
// are defined for every input (a NaN or a value beyond the window is
// converted to something, and reported).
template <RoundingMode R, FloatElement F, IntElement I>
[[gnu::always_inline]] inline bool stage_block(InputSlice<Compute<F>> in, std::size_t base,
                                               std::size_t k, const FloatToIntBounds<F>& bounds,
                                               I* staged) noexcept {
  using C = Compute<F>;
  if constexpr (kStagesByConversion<F, I>) {
    using Bits = BitsOf<C>;
    const C lower = widen_for_compute(bounds.lower);
    // Up to the largest value of C that fits I: f32's 2^31 is inside the
    // bounds but not in int32.
    const C upper = std::min(widen_for_compute(bounds.upper), largest_fitting<I, C>());
    // The distance of r from [lower, upper] is 0 exactly for the elements
    // inside; its bits are OR-ed up and the sign dropped at the end (float
    // comparisons feeding an integer reduction would not vectorise). A NaN is
    // clamped to lower for the conversion and leaves a NaN distance.
    Bits beyond = 0;
    for (std::size_t j = 0; j < k; ++j) {
      const C r = CastFloat<C>::round_with_mode(in[base + j], R);
      const C w = clamp_between(r, lower, upper);
      beyond |= std::bit_cast<Bits>(r - w);
      staged[j] = static_cast<I>(w);
    }
    return static_cast<Bits>(beyond << 1) == 0;
  } else {
    using Sum = SumBits<F, I>;
    using Bits = typename Sum::Bits;
    Bits any = 0;
    Bits all = ~Bits{0};
    for (std::size_t j = 0; j < k; ++j) {
      C x = in[base + j];
      if constexpr (R != RoundingMode::NearestEven) x = CastFloat<C>::round_with_mode(x, R);
      const Bits bits = std::bit_cast<Bits>(static_cast<typename Sum::Stage>(x) + Sum::kAddend);
      any |= bits;
      all &= bits;
      staged[j] = static_cast<I>(
          static_cast<std::make_signed_t<Bits>>(bits - Sum::kBinadeBits - Sum::kBias));
    }
    return (any & ~Sum::kLowMask) == Sum::kBinadeBits && (all & ~Sum::kLowMask) == Sum::kBinadeBits;
  }
}

// Converts in[base, end) to out when the block did not stage cleanly. One
// sweep tests the block: under Clamp for a NaN or an infinity, otherwise
// against [lower, upper]. A block that passes is stored saturated (which
// under Clamp is the clamped result); any other block is redone element by
// element, which writes exactly the elements before a failure.
template <RoundingMode R, bool kClamp, FloatElement F, IntElement I>
[[gnu::always_inline]] inline CastResult convert_block_checked(
    InputSlice<Compute<F>> in, OutputSlice<I> out, std::size_t base, std::size_t end,
    OutOfRangeMode mode, const FloatToIntBounds<F>& bounds) noexcept {
  using C = Compute<F>;
  using Bits = BitsOf<C>;
  const C lo = widen_for_compute(bounds.lower);
  const C hi = widen_for_compute(bounds.upper);
  // Bits OR-ed up as in stage_block, the sign dropped at the end: r - r is NaN
  // for a NaN or an infinity, and r less its nearest value in [lo, hi] is
  // zero for the elements inside.
  Bits failing = 0;
  for (std::size_t i = base; i < end; ++i) {
    const C r = CastFloat<C>::round_with_mode(in[i], R);
    if constexpr (kClamp) {
      failing |= std::bit_cast<Bits>(r - r);
    } else {
      failing |= std::bit_cast<Bits>(r - clamp_between(r, lo, hi));
    }
  }
  if (static_cast<Bits>(failing << 1) == 0) {
    for (std::size_t i = base; i < end; ++i) {
      out.store(i, saturate_number<I>(CastFloat<C>::round_with_mode(in[i], R)));
    }
    return {};
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
  return {};
}

// The empty-map loop over elements already in the compute type, for one
// rounding mode, a block at a time: a block is staged in a stack buffer and
// copied out whole when clean, so nothing reaches the output before its block
// is known to be clean; any other block takes the checked path.
template <RoundingMode R, bool kClamp, FloatElement F, IntElement I>
[[gnu::always_inline]] inline CastResult convert_run_body(
    InputSlice<Compute<F>> in, OutputSlice<I> out, OutOfRangeMode mode,
    const FloatToIntBounds<F>& bounds) noexcept {
  const std::size_t n = frame_length(in, out);
  I staged[block::kElements];
  for (std::size_t base = 0; base < n; base += block::kElements) {
    const std::size_t k = std::min(n - base, block::kElements);
    if (stage_block<R, F>(in, base, k, bounds, staged)) [[likely]] {
      block::store(out, base, staged, k);
      continue;
    }
    const CastResult result =
        convert_block_checked<R, kClamp, F>(in, out, base, base + k, mode, bounds);
    if (!result) return result;
  }
  return {};
}

template <RoundingMode R, bool kClamp, FloatElement F, IntElement I>
CastResult convert_run_baseline(InputSlice<Compute<F>> in, OutputSlice<I> out,
                                OutOfRangeMode mode, const FloatToIntBounds<F>& bounds) noexcept {
  return convert_run_body<R, kClamp, F>(in, out, mode, bounds);
}

#if PRANDEL_X86_VARIANTS
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
#if PRANDEL_X86_VARIANTS
  if (avx2) return convert_run_avx2<R, kClamp, F>(in, out, mode, bounds);
#else
  (void)avx2;
#endif
  return convert_run_baseline<R, kClamp, F>(in, out, mode, bounds);
}

template <RoundingMode R, bool kClamp, FloatElement F, IntElement I>
CastResult convert_unmapped(InputSlice<F> in, OutputSlice<I> out, OutOfRangeMode mode,
                            const FloatToIntBounds<F>& bounds) noexcept {
  const bool avx2 = cpu_features().avx2;
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

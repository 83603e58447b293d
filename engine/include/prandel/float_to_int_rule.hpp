// The float-to-integer element rule, for the 24 pairs of (binary16, f32,
// f64) with the eight integer types: an element is rounded to a whole number
// r, then r is decided against the target's own limits [min, max], exactly,
// and handled outside them by the out-of-range mode. Everything here is exact:
// the rounding, the range test (its limits are 0 or powers of two, which f32
// and f64 hold) and the wrap (the low bits of r, taken from its significand).
//
// The block paths (float_to_int_blocks.hpp) decide by the same range test and
// end in the same functions, so they give this rule's results.
#pragma once

#include <algorithm>
#include <concepts>
#include <limits>
#include <type_traits>

#include "prandel/binary16.hpp"
#include "prandel/cast_float.hpp"
#include "prandel/cpu_features.hpp"
#include "prandel/element_types.hpp"
#include "prandel/float_bits.hpp"
#include "prandel/float_ops.hpp"
#include "prandel/cast_error.hpp"
#include "prandel/modes.hpp"

namespace prandel {

namespace float_to_int_detail {

// Binary16 elements are handled in f32: every binary16 value and every whole
// number it rounds to is exact there, so rounding and deciding in f32 gives
// the binary16 results exactly.
template <FloatElement F>
using Compute = std::conditional_t<std::same_as<F, f16>, f32, F>;

inline f32 widen_for_compute(f16 x) noexcept { return to_f32(x); }
inline f32 widen_for_compute(f32 x) noexcept { return x; }
inline f64 widen_for_compute(f64 x) noexcept { return x; }

// v limited to [lo, hi] in a form that vectorises (max, then min); a NaN
// gives lo.
template <class C>
inline C clamp_between(C v, C lo, C hi) noexcept {
  const C at_least_lo = v > lo ? v : lo;
  return at_least_lo < hi ? at_least_lo : hi;
}

}  // namespace float_to_int_detail

// The two extremes of a run of float values, from their bit patterns: the
// largest pattern read as a signed integer is the largest value when any is
// positive (a positive NaN lies above +inf), and the largest read as unsigned
// is the most negative value when any is negative (a negative NaN lies below
// -inf). Integer maxima, which vector units take faster than comparisons of
// values, and on binary16 patterns as they are. Zero, the starting point,
// stands for the run when it has no value of that sign.
//
// The element rule fails on the values outside an interval that holds 0 (a
// rounded value outside the target, a NaN, under Wrap an infinity), and
// rounding keeps the order, so it converts every value of the run exactly
// when it converts both extremes: that is the block kernels' test.
template <FloatElement F>
struct BitEnvelope {
  using Bits = typename FloatBits<F>::Bits;
  using Signed = std::make_signed_t<Bits>;

  Signed largest_signed = 0;
  Bits largest_unsigned = 0;

  PRANDEL_INLINE void add(Bits bits) noexcept {
    largest_signed = std::max(largest_signed, static_cast<Signed>(bits));
    largest_unsigned = std::max(largest_unsigned, bits);
  }

  F largest() const noexcept { return FloatBits<F>::from_bits(static_cast<Bits>(largest_signed)); }
  F most_negative() const noexcept { return FloatBits<F>::from_bits(largest_unsigned); }
};

// The values of integer type I in compute type C (f32 or f64), as the
// half-open [lower, end): lower is I's minimum (0 or -2^k) and end its
// maximum plus one (2^k), so both are exact in C, and a whole number lies in
// [min, max] exactly when it lies in [lower, end).
template <IntElement I, class C>
struct TargetRange {
  using Limits = std::numeric_limits<I>;
  static constexpr C lower = static_cast<C>(Limits::min());
  static constexpr C end = C(2) * static_cast<C>(u64{1} << (Limits::digits - 1));
  // The largest value of C below end: I's maximum where C holds it, else the
  // maximum less the low bits C lacks (2^31 - 128 for int32 in f32).
  static constexpr C last = [] {
    constexpr int kDropped = Limits::digits - std::numeric_limits<C>::digits;
    if constexpr (kDropped > 0) {
      return static_cast<C>(Limits::max() - ((I{1} << kDropped) - 1));
    } else {
      return static_cast<C>(Limits::max());
    }
  }();

  // The range decision of the element rule: false for a NaN and the
  // infinities.
  static constexpr bool contains(C r) noexcept { return r >= lower && r < end; }
};

namespace float_to_int_detail {

// The Clamp store of a non-NaN whole number v: at or beyond a limit of I that
// limit, else v itself. v is clamped before the conversion, so the conversion
// never sees a value outside I, and both vectorise.
template <IntElement I, class C>
inline I clamp_to_target(C v) noexcept {
  using Range = TargetRange<I, C>;
  const I inside = static_cast<I>(clamp_between(v, Range::lower, Range::last));
  // Where C holds I's maximum, the clamp already gives it.
  if constexpr (Range::last == Range::end - C(1)) return inside;
  return v >= Range::end ? std::numeric_limits<I>::max() : inside;
}

// The low 64 bits of the two's complement of a whole, finite r. r is its
// significand s times 2^e, so they are s shifted by e (a right shift drops
// only zero bits, r being whole; from e = 64 on nothing is left), negated for
// a negative r. Exact at every magnitude, and free of branches.
template <class C>
inline u64 low_bits_of_whole(C r) noexcept {
  using Layout = FloatBits<C>;
  const typename Layout::Bits bits = Layout::to_bits(r);
  const int biased = static_cast<int>((bits & Layout::kExponentMask) >> Layout::kFractionBits);
  const u64 implicit = biased != 0 ? u64{1} << Layout::kFractionBits : 0;
  const u64 significand = static_cast<u64>(bits & Layout::kFractionMask) | implicit;
  const int e = biased - Layout::kExponentBias - Layout::kFractionBits;
  const u64 up = e < 64 ? significand << std::clamp(e, 0, 63) : 0;
  const u64 down = significand >> std::clamp(-e, 0, 63);
  const u64 magnitude = e >= 0 ? up : down;
  return (bits & Layout::kSign) != 0 ? u64{0} - magnitude : magnitude;
}

// Wrap: min + ((r - min) mod 2^bits), which is the low bits of r read as I
// (the conversion of an unsigned value to I is modular).
template <IntElement I, class C>
inline I wrap_to_target(C r) noexcept {
  return static_cast<I>(low_bits_of_whole(r));
}

// Whether `mode` converts a rounded, non-NaN r outside the target: Clamp
// always, Wrap when r is finite, Unset never.
template <class C>
inline bool mode_converts_outside(C r, OutOfRangeMode mode) noexcept {
  return mode == OutOfRangeMode::Clamp || (mode == OutOfRangeMode::Wrap && !is_inf(r));
}

// Whether the rule converts an element rounded to r: the whole decision of
// convert_rounded below, which the block kernels take on a block's
// extremes.
template <IntElement I, class C>
bool rule_converts(C r, OutOfRangeMode mode) noexcept {
  return TargetRange<I, C>::contains(r) || (r == r && mode_converts_outside(r, mode));
}

// A rounded, non-NaN r outside the target, handled by `mode`.
template <IntElement I, class C>
[[gnu::noinline]] ElementResult<I> convert_outside_range(C r, OutOfRangeMode mode) noexcept {
  if (!mode_converts_outside(r, mode)) {
    if (mode == OutOfRangeMode::Wrap) return unexpected(CastError::non_finite(to_f64(r)));
    using Limits = std::numeric_limits<I>;
    return unexpected(CastError::out_of_range(to_f64(r), static_cast<f64>(Limits::min()),
                                              static_cast<f64>(Limits::max())));
  }
  return mode == OutOfRangeMode::Clamp ? clamp_to_target<I>(r) : wrap_to_target<I>(r);
}

// The rule for an element x of the compute type, already rounded to r.
template <IntElement I, class C>
inline ElementResult<I> convert_rounded(C x, C r, OutOfRangeMode mode) noexcept {
  if (TargetRange<I, C>::contains(r)) [[likely]] return static_cast<I>(r);
  if (r != r) return unexpected(CastError::non_finite(to_f64(x)));
  return convert_outside_range<I>(r, mode);
}

// The element rule, for elements the scalar map did not catch: a NaN fails
// (NonFinite); otherwise x is rounded under `rounding` to r; an r in [min,
// max] is stored; outside, Clamp stores the nearer limit, Wrap the low bits
// of r (an infinity fails with NonFinite), and Unset fails with
// OutOfRange(r, min, max).
template <IntElement I, FloatElement F>
inline ElementResult<I> convert_element(F x, RoundingMode rounding,
                                        OutOfRangeMode mode) noexcept {
  using C = Compute<F>;
  const C wide = widen_for_compute(x);
  return convert_rounded<I>(wide, CastFloat<C>::round_with_mode(wide, rounding), mode);
}

}  // namespace float_to_int_detail

}  // namespace prandel

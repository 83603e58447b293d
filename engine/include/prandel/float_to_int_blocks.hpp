// Float-to-integer conversion of whole slices: the scalar-map path, element
// by element, and the empty-map path, a block at a time. Every path gives the
// element rule's results (float_to_int_rule.hpp): a block is written whole
// only when each of its elements passed the rule's range test, and any other
// block is redone through the rule itself.
#pragma once

#include <algorithm>
#include <bit>
#include <concepts>
#include <cstddef>
#include <limits>
#include <type_traits>

#include "prandel/binary16.hpp"
#include "prandel/cast_config.hpp"
#include "prandel/cast_float.hpp"
#include "prandel/cpu_features.hpp"
#include "prandel/float_to_int_rule.hpp"
#include "prandel/kernel_frame.hpp"
#include "prandel/mode_dispatch.hpp"
#include "prandel/slice_blocks.hpp"

namespace prandel {

namespace float_to_int_detail {

// The unsigned integer as wide as f32 or f64, for bit tests on values.
template <class C>
using BitsOf = std::conditional_t<sizeof(C) == 8, u64, u32>;

// The empty-map loop stages a block at a time (see stage_block) in one of two
// ways. f32 to a 32-bit integer converts the values with the processor's own
// conversion, which would serve every pair. Every other pair is faster
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
// needs the sum rounded once, to G: where G's arithmetic runs in a wider
// format (x87), the pair takes the conversion (see kStagesByConversion).
//
// The window is all of I where G has the bits for it, else its part around
// zero: [-2^51, 2^51) or [0, 2^52) for 64-bit targets, and from binary16
// (whose finite values all lie within +-2^16) [-2^22, 2^22) or [0, 2^23). It
// never reaches beyond I, so a block whose elements all lie in the window
// passes the range test, and needs no mode.
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

template <FloatElement F, IntElement I>
inline constexpr bool kStagesByConversion =
    (std::same_as<F, f32> && sizeof(I) == 4) ||
    !kArithmeticRoundsToType<typename SumBits<F, I>::Stage>;

// Stages one block: rounds each element of in[base, base + k), converts it
// into staged[0, k) and returns whether every element lay inside I, in which
// case staged holds the block's exact results. Both forms vectorise and are
// defined for every input (a NaN or a value beyond I is staged as something,
// and reported).
template <RoundingMode R, FloatElement F, IntElement I>
[[gnu::always_inline]] inline bool stage_block(InputSlice<Compute<F>> in, std::size_t base,
                                               std::size_t k, I* staged) noexcept {
  using C = Compute<F>;
  if constexpr (kStagesByConversion<F, I>) {
    // The range test itself; an element outside is staged as 0, so the
    // conversion never sees a value beyond I. The test's mask is AND-ed up
    // as it stands, all ones or zero, which costs one vector AND.
    using Bits = BitsOf<C>;
    Bits all_inside = ~Bits{0};
    for (std::size_t j = 0; j < k; ++j) {
      const C r = CastFloat<C>::round_with_mode(in[base + j], R);
      const bool inside = TargetRange<I, C>::contains(r);
      all_inside &= inside ? ~Bits{0} : Bits{0};
      staged[j] = static_cast<I>(inside ? r : C(0));
    }
    return all_inside != 0;
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
// sweep tests the block: under Clamp for a NaN (every other value has its
// clamped result), otherwise by the range test. A block that passes is
// stored through the clamp (which inside I is the value itself); any other
// block is redone element by element through the rule, which writes exactly
// the elements before a failure.
template <RoundingMode R, bool kClamp, FloatElement F, IntElement I>
[[gnu::always_inline]] inline CastResult convert_block_checked(InputSlice<Compute<F>> in,
                                                               OutputSlice<I> out,
                                                               std::size_t base, std::size_t end,
                                                               OutOfRangeMode mode) noexcept {
  using C = Compute<F>;
  using Bits = BitsOf<C>;
  Bits all_pass = ~Bits{0};
  for (std::size_t i = base; i < end; ++i) {
    const C r = CastFloat<C>::round_with_mode(in[i], R);
    const bool passes = kClamp ? r == r : TargetRange<I, C>::contains(r);
    all_pass &= passes ? ~Bits{0} : Bits{0};
  }
  if (all_pass != 0) {
    for (std::size_t i = base; i < end; ++i) {
      out.store(i, clamp_to_target<I>(CastFloat<C>::round_with_mode(in[i], R)));
    }
    return {};
  }
  for (std::size_t i = base; i < end; ++i) {
    const C x = in[i];
    const ElementResult<I> v = convert_rounded<I>(x, CastFloat<C>::round_with_mode(x, R), mode);
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
[[gnu::always_inline]] inline CastResult convert_run_body(InputSlice<Compute<F>> in,
                                                          OutputSlice<I> out,
                                                          OutOfRangeMode mode) noexcept {
  const std::size_t n = frame_length(in, out);
  I staged[block::kElements];
  for (std::size_t base = 0; base < n; base += block::kElements) {
    const std::size_t k = std::min(n - base, block::kElements);
    if (stage_block<R, F>(in, base, k, staged)) [[likely]] {
      block::store(out, base, staged, k);
      continue;
    }
    const CastResult result = convert_block_checked<R, kClamp, F>(in, out, base, base + k, mode);
    if (!result) return result;
  }
  return {};
}

template <RoundingMode R, bool kClamp, FloatElement F, IntElement I>
CastResult convert_run_baseline(InputSlice<Compute<F>> in, OutputSlice<I> out,
                                OutOfRangeMode mode) noexcept {
  return convert_run_body<R, kClamp, F>(in, out, mode);
}

#if PRANDEL_X86_VARIANTS
template <RoundingMode R, bool kClamp, FloatElement F, IntElement I>
PRANDEL_TARGET_AVX2 CastResult convert_run_avx2(InputSlice<Compute<F>> in, OutputSlice<I> out,
                                                  OutOfRangeMode mode) noexcept {
  return convert_run_body<R, kClamp, F>(in, out, mode);
}
#endif

template <RoundingMode R, bool kClamp, FloatElement F, IntElement I>
CastResult convert_run(InputSlice<Compute<F>> in, OutputSlice<I> out, OutOfRangeMode mode,
                       bool avx2) noexcept {
#if PRANDEL_X86_VARIANTS
  if (avx2) return convert_run_avx2<R, kClamp, F>(in, out, mode);
#else
  (void)avx2;
#endif
  return convert_run_baseline<R, kClamp, F>(in, out, mode);
}

template <RoundingMode R, bool kClamp, FloatElement F, IntElement I>
CastResult convert_unmapped(InputSlice<F> in, OutputSlice<I> out, OutOfRangeMode mode) noexcept {
  const bool avx2 = cpu_features().avx2;
  if constexpr (std::same_as<F, f16>) {
    const std::size_t n = frame_length(in, out);
    f32 wide[block::kElements];
    for (std::size_t base = 0; base < n; base += block::kElements) {
      const std::size_t k = std::min(block::kElements, n - base);
      widen_f16_block(block::sub_slice(in, base, k), OutputSlice<f32>(wide, k));
      const CastResult result = convert_run<R, kClamp, F>(
          InputSlice<f32>(wide, k), block::sub_slice(out, base, k), mode, avx2);
      if (!result) return result;
    }
    return {};
  } else {
    return convert_run<R, kClamp, F>(in, out, mode, avx2);
  }
}

}  // namespace float_to_int_detail

// Converts min(in.size(), out.size()) elements in index order; a scalar-map
// hit is stored as given, any other element by the element rule
// (float_to_int_detail::convert_element). The first failure ends the call
// with the earlier elements written.
template <FloatElement F, IntElement I>
CastResult convert_slice_float_to_int(InputSlice<F> in, OutputSlice<I> out,
                                      const CastConfig<F, I>& config) noexcept {
  const OutOfRangeMode mode = config.out_of_range;
  return with_rounding_mode(config.rounding, [&]<RoundingMode R>() -> CastResult {
    if (!config.scalar_map.empty()) {
      return convert_each(in, out, config.scalar_map, [&](F x) {
        return float_to_int_detail::convert_element<R, I>(x, mode);
      });
    }
    return mode == OutOfRangeMode::Clamp
               ? float_to_int_detail::convert_unmapped<R, true>(in, out, mode)
               : float_to_int_detail::convert_unmapped<R, false>(in, out, mode);
  });
}

}  // namespace prandel

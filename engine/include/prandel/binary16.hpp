// IEEE binary16 (`f16`): classification, conversion to and from f32 (and
// from f64), and the arithmetic the kernels need, all computed through f32.
//
// The two conversions use the processor's F16C instructions where the
// variant chosen for it (best_isa()) has them, and otherwise a software
// conversion with bit-identical results.
#pragma once

#include <cstddef>

#include "prandel/cpu_features.hpp"
#include "prandel/element_types.hpp"
#include "prandel/slice.hpp"

namespace prandel {

// --- Classification on the bit pattern -------------------------------------

constexpr bool is_nan(f16 x) noexcept { return (x.bits & 0x7fffu) > 0x7c00u; }
constexpr bool is_inf(f16 x) noexcept { return (x.bits & 0x7fffu) == 0x7c00u; }
constexpr bool is_zero(f16 x) noexcept { return (x.bits & 0x7fffu) == 0; }
constexpr bool sign_bit(f16 x) noexcept { return (x.bits & 0x8000u) != 0; }

// --- The single-value implementations ---------------------------------------

// Exposed so tests can compare them bit for bit; everything else goes through
// the dispatching functions below.
namespace binary16_soft {
f32 to_f32(f16 x) noexcept;
f16 to_f16(f32 x) noexcept;
}  // namespace binary16_soft

namespace binary16_f16c {  // callable only where isa_supported(Isa::Avx2)
f32 to_f32(f16 x) noexcept;
f16 to_f16(f32 x) noexcept;
}  // namespace binary16_f16c

// --- Conversions -------------------------------------------------------------

// Exact; a NaN stays a NaN of the same sign, quiet, payload in the top bits.
inline f32 to_f32(f16 x) noexcept {
  return has_f16c(best_isa()) ? binary16_f16c::to_f32(x) : binary16_soft::to_f32(x);
}
// Round to nearest, ties to even; magnitudes of 65520 and above become the
// infinity of their sign; a NaN stays a quiet NaN with its sign and top
// payload bits.
inline f16 to_f16(f32 x) noexcept {
  return has_f16c(best_isa()) ? binary16_f16c::to_f16(x) : binary16_soft::to_f16(x);
}
// The same from f64, rounded once (not by way of f32, which would round
// twice): magnitudes of 65520 and above become infinities; a NaN keeps its
// sign and top payload bits, as through f32. Software only, on the bit
// pattern, so it does not depend on the floating-point environment.
f16 to_f16(f64 x) noexcept;

// Block forms of the two conversions over min(in.size(), out.size()) elements,
// in array memory of any alignment: run as variant best_isa().
void widen_f16_block(InputSlice<f16> in, OutputSlice<f32> out) noexcept;
void narrow_f32_block(InputSlice<f32> in, OutputSlice<f16> out) noexcept;

// The same run as variant `isa`, which must be supported; for tests to hold
// each variant to the others.
void widen_f16_block_on(Isa isa, InputSlice<f16> in, OutputSlice<f32> out) noexcept;
void narrow_f32_block_on(Isa isa, InputSlice<f32> in, OutputSlice<f16> out) noexcept;

// --- Arithmetic and comparison, through f32 ----------------------------------

inline f16 operator+(f16 a, f16 b) noexcept { return to_f16(to_f32(a) + to_f32(b)); }
inline f16 operator-(f16 a, f16 b) noexcept { return to_f16(to_f32(a) - to_f32(b)); }

// IEEE 754 order: a NaN is unordered with everything and -0 equals +0.
constexpr bool operator==(f16 a, f16 b) noexcept {
  return !is_nan(a) && !is_nan(b) &&
         (a.bits == b.bits || (is_zero(a) && is_zero(b)));
}
inline bool operator<(f16 a, f16 b) noexcept { return to_f32(a) < to_f32(b); }
inline bool operator>(f16 a, f16 b) noexcept { return b < a; }
inline bool operator<=(f16 a, f16 b) noexcept { return to_f32(a) <= to_f32(b); }
inline bool operator>=(f16 a, f16 b) noexcept { return b <= a; }

}  // namespace prandel

// Classification and exact widening shared by f16, f32 and f64, so generic
// kernels can treat the three float types alike, and the one narrowing of
// f64 to f32.
#pragma once

#include <cmath>
#include <limits>

#include "prandel/binary16.hpp"
#include "prandel/element_types.hpp"

namespace prandel {

inline bool is_nan(f32 x) noexcept { return std::isnan(x); }
inline bool is_nan(f64 x) noexcept { return std::isnan(x); }
inline bool is_inf(f32 x) noexcept { return std::isinf(x); }
inline bool is_inf(f64 x) noexcept { return std::isinf(x); }

// Exact for every value of every float type.
inline f64 to_f64(f16 x) noexcept { return static_cast<f64>(to_f32(x)); }
inline f64 to_f64(f32 x) noexcept { return static_cast<f64>(x); }
inline f64 to_f64(f64 x) noexcept { return x; }

// Nearest, ties to even, in the default environment; a NaN stays a quiet NaN
// with its sign and top payload bits. The language leaves converting a
// finite value beyond the f32 range undefined, so the magnitudes that round
// past the largest f32 (from 2^128 - 2^103, the tie between it and 2^128) are
// mapped to the infinity of their sign here.
inline constexpr f64 kF32OverflowTie = 0x1.ffffffp127;

inline f32 narrow_to_f32(f64 x) noexcept {
  constexpr f32 kInfinity = std::numeric_limits<f32>::infinity();
  if (std::fabs(x) >= kF32OverflowTie) return x > 0 ? kInfinity : -kInfinity;
  return static_cast<f32>(x);
}

}  // namespace prandel

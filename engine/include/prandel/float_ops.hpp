// Classification and exact widening shared by f16, f32 and f64, so generic
// kernels can treat the three float types alike.
#pragma once

#include <cmath>

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

}  // namespace prandel

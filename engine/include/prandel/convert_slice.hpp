// Converting a slice of one element type into another: the entry of the
// engine, declared for its users. Every pair is compiled once, in the
// engine library; prandel.hpp holds the definition and every kernel.
#pragma once

#include "prandel/cast_config.hpp"
#include "prandel/cast_error.hpp"
#include "prandel/cpu_features.hpp"
#include "prandel/element_types.hpp"
#include "prandel/slice.hpp"

namespace prandel {

// Converts min(in.size(), out.size()) elements of the pair by its family's
// rule, with the variant for instruction set `isa` (which the processor must
// support). Every pair has exactly one family; a family ignores the config
// fields it has no use for, so mode-free pairs are served by the same code.
template <Element S, Element T>
CastResult convert_slice_on(Isa isa, InputSlice<S> in, OutputSlice<T> out,
                            const CastConfig<S, T>& config) noexcept;

// As convert_slice_on, with the widest variant the processor supports.
template <Element S, Element T>
CastResult convert_slice(InputSlice<S> in, OutputSlice<T> out,
                         const CastConfig<S, T>& config) noexcept {
  return convert_slice_on(best_isa(), in, out, config);
}

// Every pair is compiled once, into the engine library (src/kernels: a unit
// per source type, three for float sources, whose integer targets weigh
// most), rather than in each user of this header.
#define PRANDEL_FOR_EACH_SIGNED_TARGET(X, S) X(S, i8) X(S, i16) X(S, i32) X(S, i64)
#define PRANDEL_FOR_EACH_UNSIGNED_TARGET(X, S) X(S, u8) X(S, u16) X(S, u32) X(S, u64)
#define PRANDEL_FOR_EACH_INT_TARGET(X, S) \
  PRANDEL_FOR_EACH_SIGNED_TARGET(X, S) PRANDEL_FOR_EACH_UNSIGNED_TARGET(X, S)
#define PRANDEL_FOR_EACH_FLOAT_TARGET(X, S) X(S, f16) X(S, f32) X(S, f64)
#define PRANDEL_FOR_EACH_TARGET(X, S) \
  PRANDEL_FOR_EACH_INT_TARGET(X, S) PRANDEL_FOR_EACH_FLOAT_TARGET(X, S)
#define PRANDEL_CONVERT_SLICE_ON(S, T)                                                 \
  template CastResult convert_slice_on<S, T>(Isa, InputSlice<S>, OutputSlice<T>, \
                                             const CastConfig<S, T>&) noexcept;
#define PRANDEL_DECLARE_CONVERT_SLICE_ON(S, T) extern PRANDEL_CONVERT_SLICE_ON(S, T)
PRANDEL_FOR_EACH_TARGET(PRANDEL_DECLARE_CONVERT_SLICE_ON, i8)
PRANDEL_FOR_EACH_TARGET(PRANDEL_DECLARE_CONVERT_SLICE_ON, i16)
PRANDEL_FOR_EACH_TARGET(PRANDEL_DECLARE_CONVERT_SLICE_ON, i32)
PRANDEL_FOR_EACH_TARGET(PRANDEL_DECLARE_CONVERT_SLICE_ON, i64)
PRANDEL_FOR_EACH_TARGET(PRANDEL_DECLARE_CONVERT_SLICE_ON, u8)
PRANDEL_FOR_EACH_TARGET(PRANDEL_DECLARE_CONVERT_SLICE_ON, u16)
PRANDEL_FOR_EACH_TARGET(PRANDEL_DECLARE_CONVERT_SLICE_ON, u32)
PRANDEL_FOR_EACH_TARGET(PRANDEL_DECLARE_CONVERT_SLICE_ON, u64)
PRANDEL_FOR_EACH_TARGET(PRANDEL_DECLARE_CONVERT_SLICE_ON, f16)
PRANDEL_FOR_EACH_TARGET(PRANDEL_DECLARE_CONVERT_SLICE_ON, f32)
PRANDEL_FOR_EACH_TARGET(PRANDEL_DECLARE_CONVERT_SLICE_ON, f64)
#undef PRANDEL_DECLARE_CONVERT_SLICE_ON

}  // namespace prandel

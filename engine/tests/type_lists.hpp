// Element type lists for tests that run one check over many (S, T) pairs.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "prandel/element_types.hpp"

namespace prandel::testing_types {

template <class... T>
struct TypeList {};

using IntTypes = TypeList<i8, i16, i32, i64, u8, u16, u32, u64>;
using FloatTypes = TypeList<f16, f32, f64>;

// One pair's check, in a function of its own: inlined into one function,
// the checks of a hundred pairs take the optimiser minutes.
template <class Source, class Target, class Check>
[[gnu::noinline]] void check_pair(Check& check) {
  SCOPED_TRACE(std::string(dtype_key_of<Source>) + " -> " + std::string(dtype_key_of<Target>));
  check.template operator()<Source, Target>();
}

// Calls check.template operator()<S, T>() for every S of Sources and every T
// of Targets, sources in the outer loop, with the pair named in the trace of
// any failure.
template <class... S, class... T, class Check>
void for_each_pair(TypeList<S...>, TypeList<T...>, Check&& check) {
  ([&]<class Source>() { (check_pair<Source, T>(check), ...); }.template operator()<S>(), ...);
}

}  // namespace prandel::testing_types

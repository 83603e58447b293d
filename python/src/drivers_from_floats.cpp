// Both drivers of every pair whose source is a float type.
#include "drivers_impl.hpp"

namespace prandel::py {
PRANDEL_INSTANTIATE_DRIVERS_FROM(f16)
PRANDEL_INSTANTIATE_DRIVERS_FROM(f32)
PRANDEL_INSTANTIATE_DRIVERS_FROM(f64)
}  // namespace prandel::py

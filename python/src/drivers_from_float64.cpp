// Both drivers of every pair whose source is float64.
#include "drivers_impl.hpp"

namespace prandel::py {
PRANDEL_INSTANTIATE_DRIVERS_FROM(f64)
}  // namespace prandel::py

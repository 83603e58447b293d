// Both drivers of every pair whose source is int32.
#include "drivers_impl.hpp"

namespace prandel::py {
PRANDEL_INSTANTIATE_DRIVERS_FROM(i32)
}  // namespace prandel::py

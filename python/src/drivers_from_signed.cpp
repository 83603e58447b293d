// Both drivers of every pair whose source is a signed integer type.
#include "drivers_impl.hpp"

namespace prandel::py {
PRANDEL_INSTANTIATE_DRIVERS_FROM(i8)
PRANDEL_INSTANTIATE_DRIVERS_FROM(i16)
PRANDEL_INSTANTIATE_DRIVERS_FROM(i32)
PRANDEL_INSTANTIATE_DRIVERS_FROM(i64)
}  // namespace prandel::py

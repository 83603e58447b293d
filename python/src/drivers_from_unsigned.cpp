// Both drivers of every pair whose source is an unsigned integer type.
#include "drivers_impl.hpp"

namespace prandel::py {
PRANDEL_INSTANTIATE_DRIVERS_FROM(u8)
PRANDEL_INSTANTIATE_DRIVERS_FROM(u16)
PRANDEL_INSTANTIATE_DRIVERS_FROM(u32)
PRANDEL_INSTANTIATE_DRIVERS_FROM(u64)
}  // namespace prandel::py

// Both drivers of every pair whose source is uint32.
#include "drivers_impl.hpp"

namespace prandel::py {
PRANDEL_INSTANTIATE_DRIVERS_FROM(u32)
}  // namespace prandel::py

// Both drivers of every pair whose source is uint8.
#include "drivers_impl.hpp"

namespace prandel::py {
PRANDEL_INSTANTIATE_DRIVERS_FROM(u8)
}  // namespace prandel::py

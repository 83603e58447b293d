// Both drivers of every pair whose source is uint16.
#include "drivers_impl.hpp"

namespace prandel::py {
PRANDEL_INSTANTIATE_DRIVERS_FROM(u16)
}  // namespace prandel::py

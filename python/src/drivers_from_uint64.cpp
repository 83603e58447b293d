// Both drivers of every pair whose source is uint64.
#include "drivers_impl.hpp"

namespace prandel::py {
PRANDEL_INSTANTIATE_DRIVERS_FROM(u64)
}  // namespace prandel::py

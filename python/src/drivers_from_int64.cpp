// Both drivers of every pair whose source is int64.
#include "drivers_impl.hpp"

namespace prandel::py {
PRANDEL_INSTANTIATE_DRIVERS_FROM(i64)
}  // namespace prandel::py

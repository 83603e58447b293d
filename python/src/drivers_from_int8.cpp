// Both drivers of every pair whose source is int8.
#include "drivers_impl.hpp"

namespace prandel::py {
PRANDEL_INSTANTIATE_DRIVERS_FROM(i8)
}  // namespace prandel::py

// Both drivers of every pair whose source is int16.
#include "drivers_impl.hpp"

namespace prandel::py {
PRANDEL_INSTANTIATE_DRIVERS_FROM(i16)
}  // namespace prandel::py

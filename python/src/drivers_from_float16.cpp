// Both drivers of every pair whose source is float16.
#include "drivers_impl.hpp"

namespace prandel::py {
PRANDEL_INSTANTIATE_DRIVERS_FROM(f16)
}  // namespace prandel::py

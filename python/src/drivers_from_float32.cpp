// Both drivers of every pair whose source is float32.
#include "drivers_impl.hpp"

namespace prandel::py {
PRANDEL_INSTANTIATE_DRIVERS_FROM(f32)
}  // namespace prandel::py

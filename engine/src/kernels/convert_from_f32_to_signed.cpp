// Every pair from f32 to a signed integer type, compiled once for all users.
#include "prandel/prandel.hpp"

namespace prandel {
PRANDEL_FOR_EACH_SIGNED_TARGET(PRANDEL_CONVERT_SLICE_ON, f32)
}  // namespace prandel

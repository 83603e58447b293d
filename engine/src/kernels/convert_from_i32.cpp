// Every pair whose source is i32, compiled once for all users.
#include "prandel/prandel.hpp"

namespace prandel {
PRANDEL_FOR_EACH_TARGET(PRANDEL_CONVERT_SLICE_ON, i32)
}  // namespace prandel

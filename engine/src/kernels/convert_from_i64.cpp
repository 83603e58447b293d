// Every pair whose source is i64, compiled once for all users.
#include "prandel/prandel.hpp"

namespace prandel {
PRANDEL_FOR_EACH_TARGET(PRANDEL_CONVERT_SLICE_ON, i64)
}  // namespace prandel

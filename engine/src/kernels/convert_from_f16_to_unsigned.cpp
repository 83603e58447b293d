// Every pair from f16 to an unsigned integer type, compiled once for all users.
#include "prandel/prandel.hpp"

namespace prandel {
PRANDEL_FOR_EACH_UNSIGNED_TARGET(PRANDEL_CONVERT_SLICE_ON, f16)
}  // namespace prandel

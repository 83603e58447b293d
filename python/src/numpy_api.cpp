#define PRANDEL_NUMPY_IMPORT_UNIT
#include "numpy_api.hpp"

namespace prandel::py {

bool import_numpy_api() noexcept {
  // NumPy's own loader picks numpy._core or numpy.core by the running version.
  return PyArray_ImportNumPyAPI() == 0;
}

}  // namespace prandel::py

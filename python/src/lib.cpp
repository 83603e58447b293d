// Module start-up and the C entries of the two functions.
#include "functions.hpp"
#include "numpy_api.hpp"
#include "py_err.hpp"
#include "prandel/cpu_features.hpp"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>

namespace prandel::py {
namespace {

// Raises `_prandel.PanicException` (a BaseException subclass, so handlers
// for Exception let it through) for a C++ exception that reached an entry.
// The class is made on first use and kept for the process.
void raise_panic(const char* what) noexcept {
  static PyObject* panic_type = nullptr;
  std::fprintf(stderr, "_prandel: internal fault: %s\n", what);
  if (panic_type == nullptr) {
    panic_type = PyErr_NewExceptionWithDoc(
        "_prandel.PanicException",
        "An internal fault of _prandel; the call did not complete.",
        PyExc_BaseException, nullptr);
  }
  const auto length = static_cast<Py_ssize_t>(std::strlen(what));
  PyObject* message = panic_type == nullptr
                          ? nullptr
                          : PyUnicode_DecodeUTF8(what, length, "replace");
  if (message == nullptr) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
  PyErr_SetObject(panic_type, message);
  Py_DECREF(message);
}

// Runs an entry's body: returns its new reference, or raises its error and
// returns null. No C++ exception leaves.
template <class Body>
PyObject* run_entry(Body&& body) noexcept {
  try {
    PyObjectResult result = body();
    if (result) return std::move(result).value().release();
    std::move(result).error().restore();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& fault) {
    raise_panic(fault.what());
  } catch (...) {
    raise_panic("unknown C++ exception");
  }
  return nullptr;
}

template <PyObjectResult (*Function)(PyObject* const*, Py_ssize_t, PyObject*)>
PyObject* fastcall_entry(PyObject* /*module*/, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return run_entry([&] { return Function(args, nargs, kwnames); });
}

template <PyObjectResult (*Function)(PyObject* const*, Py_ssize_t, PyObject*)>
PyCFunction c_entry() {
  // The usual cast of a METH_FASTCALL | METH_KEYWORDS function to the
  // generic pointer type that PyMethodDef stores.
  return reinterpret_cast<PyCFunction>(
      reinterpret_cast<void (*)()>(&fastcall_entry<Function>));
}

constexpr char kCastArrayDoc[] =
    "cast_array(arr, *, target_dtype, rounding_mode, out_of_range_mode=None, "
    "scalar_map_entries=None)\n"
    "--\n"
    "\n"
    "Cast a numpy array to a new dtype, allocating a new output array.\n"
    "\n"
    "# Arguments\n"
    "\n"
    "* `arr` - Input numpy array\n"
    "* `target_dtype` - Target dtype string (e.g. \"uint8\", \"float32\")\n"
    "* `rounding_mode` - Rounding mode string (e.g. \"nearest-even\")\n"
    "* `out_of_range_mode` - Optional out-of-range handling (\"clamp\" or "
    "\"wrap\")\n"
    "* `scalar_map_entries` - Optional list of [source, target] pairs\n"
    "\n"
    "# Returns\n"
    "\n"
    "A new numpy array with the target dtype.\n"
    "\n"
    "# Errors\n"
    "\n"
    "Returns `PyValueError` for invalid rounding/out-of-range modes or\n"
    "conversion errors. Returns `PyTypeError` for unsupported dtypes.";

constexpr char kCastArrayIntoDoc[] =
    "cast_array_into(arr, out, *, rounding_mode, out_of_range_mode=None, "
    "scalar_map_entries=None)\n"
    "--\n"
    "\n"
    "Cast a numpy array into a pre-allocated output array.\n"
    "\n"
    "# Arguments\n"
    "\n"
    "* `arr` - Input numpy array\n"
    "* `out` - Pre-allocated output numpy array (must match input shape)\n"
    "* `rounding_mode` - Rounding mode string (e.g. \"nearest-even\")\n"
    "* `out_of_range_mode` - Optional out-of-range handling (\"clamp\" or "
    "\"wrap\")\n"
    "* `scalar_map_entries` - Optional list of [source, target] pairs\n"
    "\n"
    "# Returns\n"
    "\n"
    "None on success.\n"
    "\n"
    "# Errors\n"
    "\n"
    "Returns `PyValueError` for shape mismatch, invalid modes, or conversion\n"
    "errors. Returns `PyTypeError` for unsupported dtypes.";

static_assert(sizeof(kCastArrayDoc) - 1 == 671);
static_assert(sizeof(kCastArrayIntoDoc) - 1 == 629);

// Added to the module by populate_module, in this order.
PyMethodDef g_functions[] = {
    {"cast_array", c_entry<&cast_array>(), METH_FASTCALL | METH_KEYWORDS,
     kCastArrayDoc},
    {"cast_array_into", c_entry<&cast_array_into>(),
     METH_FASTCALL | METH_KEYWORDS, kCastArrayIntoDoc},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "_prandel",
    "",
    0,  // no per-module state; with -1 another interpreter would get a copy
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The interpreter that created the module, and the module itself (a strong
// reference kept for the life of the process).
std::atomic<std::int64_t> g_interpreter_id{-1};
PyObject* g_module = nullptr;

// Adds one function to the module and its name to __all__.
PyStatus add_function(PyObject* module, PyObject* module_name,
                      PyMethodDef* definition) {
  PyRef function =
      PyRef::steal(PyCFunction_NewEx(definition, module, module_name));
  if (!function) return unexpected(PyErr::fetch());
  PyRef name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return unexpected(PyErr::fetch());

  PyObject* dict = PyModule_GetDict(module);
  PyObject* all = PyDict_GetItemString(dict, "__all__");
  if (all == nullptr) {
    PyRef new_all = PyRef::steal(PyList_New(0));
    if (!new_all || PyDict_SetItemString(dict, "__all__", new_all.get()) != 0) {
      return unexpected(PyErr::fetch());
    }
    all = new_all.get();  // the module's dict now holds it
  }
  if (PyList_Append(all, name.get()) != 0 ||
      PyObject_SetAttr(module, name.get(), function.get()) != 0) {
    return unexpected(PyErr::fetch());
  }
  return ok_status();
}

PyStatus populate_module(PyObject* module) {
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return unexpected(PyErr::fetch());
  for (PyMethodDef& definition : g_functions) {
    PyStatus added = add_function(module, module_name.get(), &definition);
    if (!added) return added;
  }
  return ok_status();
}

PyObjectResult create_module() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return unexpected(PyErr::fetch());
  std::int64_t owner = -1;
  if (!g_interpreter_id.compare_exchange_strong(owner, id) && owner != id) {
    return unexpected(PyErr(LazyPyErr{
        PyExc_ImportError,
        "_prandel does not support sub-interpreters; it is already loaded in "
        "another interpreter"}));
  }
  if (g_module != nullptr) return PyRef::borrow(g_module);

  if (!import_numpy_api() || !load_function_constants()) {
    return unexpected(PyErr::fetch());
  }
  PyRef module = PyRef::steal(PyModule_Create(&g_module_def));
  if (!module) return unexpected(PyErr::fetch());
  PyStatus populated = populate_module(module.get());
  if (!populated) return unexpected(std::move(populated).error());
  g_module = Py_NewRef(module.get());
  return module;
}

}  // namespace
}  // namespace prandel::py

PyMODINIT_FUNC PyInit__prandel() {
  return prandel::py::run_entry(prandel::py::create_module);
}

// The kernel variant this build runs on this processor ("baseline", "avx2",
// ...), for the benchmark's report: a C symbol that ctypes finds, since the
// module itself holds its two functions and nothing else.
extern "C" [[gnu::visibility("default")]] const char* prandel_kernel_variant() noexcept {
  return prandel::isa_name(prandel::best_isa()).data();
}

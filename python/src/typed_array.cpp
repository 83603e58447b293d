#include "typed_array.hpp"

#include <array>
#include <utility>

namespace prandel::py {
namespace {

std::array<PyArray_Descr*, kElementTypeCount> g_element_descrs{};

constexpr std::array<int, kElementTypeCount> kTypeNumbers =
    element_type_table([]<Element T>() { return kNumpyTypeNumber<T>; });

// The element size's position among 1, 2, 4 and 8 bytes.
std::optional<std::size_t> size_rank(npy_intp size) noexcept {
  switch (size) {
    case 1: return 0;
    case 2: return 1;
    case 4: return 2;
    case 8: return 3;
    default: return std::nullopt;
  }
}

}  // namespace

bool load_element_descrs() noexcept {
  for (std::size_t i = 0; i < kElementTypeCount; ++i) {
    if (g_element_descrs[i] != nullptr) continue;
    g_element_descrs[i] = PyArray_DescrFromType(kTypeNumbers[i]);
    if (g_element_descrs[i] == nullptr) return false;
  }
  return true;
}

PyArray_Descr* element_descr(ElementType type) noexcept {
  return g_element_descrs[static_cast<std::size_t>(type)];
}

std::optional<ElementType> builtin_element_type(
    PyArray_Descr* descr) noexcept {
  const int type_number = descr->type_num;
  if (!PyTypeNum_ISINTEGER(type_number) && !PyTypeNum_ISFLOAT(type_number)) {
    return std::nullopt;
  }
  const std::optional<std::size_t> rank = size_rank(PyDataType_ELSIZE(descr));
  if (!rank) return std::nullopt;
  using Row = std::array<std::optional<ElementType>, 4>;
  static constexpr Row kSigned = {ElementType::I8, ElementType::I16,
                                  ElementType::I32, ElementType::I64};
  static constexpr Row kUnsigned = {ElementType::U8, ElementType::U16,
                                    ElementType::U32, ElementType::U64};
  static constexpr Row kFloat = {std::nullopt, ElementType::F16,
                                 ElementType::F32, ElementType::F64};
  switch (descr->kind) {
    case 'i': return kSigned[*rank];
    case 'u': return kUnsigned[*rank];
    case 'f': return kFloat[*rank];
    default: return std::nullopt;
  }
}

bool is_array_of(PyObject* object, ElementType type) noexcept {
  if (!PyArray_Check(object)) return false;
  PyArray_Descr* actual =
      PyArray_DESCR(reinterpret_cast<PyArrayObject*>(object));
  if (actual == element_descr(type)) return true;
  return builtin_element_type(actual) == type &&
         PyArray_ISNBO(actual->byteorder);
}

PyErr not_an_array_error(PyObject* object) {
  return conversion_type_error(object, "PyArray<T, D>");
}

PyResult<ReadonlyArray> ReadonlyArray::extract(PyObject* object,
                                               ElementType type) {
  if (!is_array_of(object, type)) {
    return unexpected(not_an_array_error(object));
  }
  return ReadonlyArray(PyRef::borrow(object), type);
}

PyResult<ElementRun> writable_c_run(PyObject* out, ElementType type) {
  if (!is_array_of(out, type)) {
    return unexpected(not_an_array_error(out));
  }
  auto* array = reinterpret_cast<PyArrayObject*>(out);
  if (!PyArray_ISWRITEABLE(array) || !PyArray_IS_C_CONTIGUOUS(array)) {
    return unexpected(
        PyErr::value_error("Output array must be contiguous and writeable"));
  }
  return whole_run(array);
}

}  // namespace prandel::py

#include "arguments.hpp"

#include "numpy_api.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace prandel::py {
namespace {

// Keyword names are matched by value; a str subclass matches as its text.
bool keyword_is(PyObject* keyword, std::string_view parameter) {
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(keyword) != 0) {
    PyErr_Clear();
    return false;
  }
#endif
  return PyUnicode_IS_ASCII(keyword) &&
         static_cast<std::size_t>(PyUnicode_GET_LENGTH(keyword)) ==
             parameter.size() &&
         std::memcmp(PyUnicode_DATA(keyword), parameter.data(),
                     parameter.size()) == 0;
}

std::optional<std::size_t> parameter_index(const Signature& signature,
                                           PyObject* keyword) {
  for (std::size_t i = 0; i < signature.interned_parameters.size(); ++i) {
    if (keyword == signature.interned_parameters[i]) return i;
  }
  for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
    if (keyword_is(keyword, signature.parameters[i])) return i;
  }
  return std::nullopt;
}

// The text of a str held as compact ASCII (as nearly every str a caller
// passes is), read in place; nullopt for any other object.
std::optional<std::string_view> ascii_text(PyObject* object) noexcept {
  if (!PyUnicode_Check(object) || !PyUnicode_IS_COMPACT_ASCII(object)) {
    return std::nullopt;
  }
  return std::string_view(
      static_cast<const char*>(PyUnicode_DATA(object)),
      static_cast<std::size_t>(PyUnicode_GET_LENGTH(object)));
}

// A mode's name, as an interned str too, with the mode the engine parses it
// as.
template <class Mode>
struct InternedMode {
  std::string_view name;
  PyObject* text = nullptr;
  Mode mode{};
};

constexpr std::string_view kRoundingModeNames[] = {
    "nearest-even", "towards-zero", "towards-positive", "towards-negative",
    "nearest-away"};
constexpr std::string_view kOutOfRangeModeNames[] = {"clamp", "wrap"};

std::array<PyObject*, kElementTypeCount> g_dtype_keys{};
std::array<InternedMode<RoundingMode>, std::size(kRoundingModeNames)>
    g_rounding_modes;
std::array<InternedMode<OutOfRangeMode>, std::size(kOutOfRangeModeNames)>
    g_out_of_range_modes;

bool intern(PyObject*& slot, std::string_view text) noexcept {
  if (slot == nullptr) slot = PyUnicode_InternFromString(text.data());
  return slot != nullptr;
}

template <class Mode, std::size_t N, class Parse>
bool intern_modes(std::array<InternedMode<Mode>, N>& table,
                  const std::string_view (&names)[N], Parse parse) noexcept {
  for (std::size_t i = 0; i < N; ++i) {
    auto mode = parse(names[i]);
    if (!mode) continue;  // unknown to the engine: left to its parser
    table[i].name = names[i];
    table[i].mode = *mode;
    if (!intern(table[i].text, names[i])) return false;
  }
  return true;
}

// The mode named by `object`: an interned name by pointer, an ASCII str by
// its text; nullopt leaves the object to the parser (and its messages).
template <class Mode, std::size_t N>
std::optional<Mode> known_mode(const std::array<InternedMode<Mode>, N>& table,
                               PyObject* object) noexcept {
  for (const InternedMode<Mode>& entry : table) {
    if (object == entry.text) return entry.mode;
  }
  if (const auto text = ascii_text(object)) {
    for (const InternedMode<Mode>& entry : table) {
      if (entry.text != nullptr && *text == entry.name) return entry.mode;
    }
  }
  return std::nullopt;
}

// Raises TypeError with a message formatted by the interpreter (so that the
// caller's keyword object is shown as the interpreter shows it) and takes it.
template <class... Args>
PyErr formatted_type_error(const char* format, Args... args) {
  PyErr_Format(PyExc_TypeError, format, args...);
  return PyErr::fetch();
}

#if PY_VERSION_HEX >= 0x030D0000
// The interpreter's "Did you mean" choice for a misspelt keyword: a weighted
// edit distance over UTF-8 bytes where a case flip costs less than any other
// change, and no more than a third of the characters may change.
constexpr std::size_t kMoveCost = 2;
constexpr std::size_t kCaseCost = 1;
constexpr std::size_t kMaxSuggestionLength = 40;

std::size_t substitution_cost(char a, char b) {
  if ((a & 31) != (b & 31)) return kMoveCost;
  if (a == b) return 0;
  if ('A' <= a && a <= 'Z') a = static_cast<char>(a + ('a' - 'A'));
  if ('A' <= b && b <= 'Z') b = static_cast<char>(b + ('a' - 'A'));
  return a == b ? kCaseCost : kMoveCost;
}

std::size_t edit_distance(std::string_view a, std::string_view b,
                          std::size_t max_cost) {
  while (!a.empty() && !b.empty() && a.front() == b.front()) {
    a.remove_prefix(1);
    b.remove_prefix(1);
  }
  while (!a.empty() && !b.empty() && a.back() == b.back()) {
    a.remove_suffix(1);
    b.remove_suffix(1);
  }
  if (a.empty() || b.empty()) return (a.size() + b.size()) * kMoveCost;
  if (a.size() > kMaxSuggestionLength || b.size() > kMaxSuggestionLength) {
    return max_cost + 1;
  }
  if (b.size() < a.size()) std::swap(a, b);
  if ((b.size() - a.size()) * kMoveCost > max_cost) return max_cost + 1;

  // One row of the distance matrix, updated in place.
  std::size_t row[kMaxSuggestionLength];
  for (std::size_t i = 0; i < a.size(); ++i) row[i] = (i + 1) * kMoveCost;
  std::size_t result = 0;
  for (std::size_t b_index = 0; b_index < b.size(); ++b_index) {
    std::size_t distance = result = b_index * kMoveCost;
    std::size_t minimum = static_cast<std::size_t>(-1);
    for (std::size_t index = 0; index < a.size(); ++index) {
      const std::size_t substitute =
          distance + substitution_cost(b[b_index], a[index]);
      distance = row[index];
      const std::size_t insert_delete = std::min(result, distance) + kMoveCost;
      result = std::min(insert_delete, substitute);
      row[index] = result;
      minimum = std::min(minimum, result);
    }
    if (minimum > max_cost) return max_cost + 1;
  }
  return result;
}

const char* suggested_parameter(const Signature& signature, PyObject* keyword) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(keyword, &size);
  if (text == nullptr) {
    PyErr_Clear();  // a name without UTF-8 form gets no suggestion
    return nullptr;
  }
  const std::string_view name(text, static_cast<std::size_t>(size));
  const char* suggestion = nullptr;
  std::size_t suggestion_distance = static_cast<std::size_t>(PY_SSIZE_T_MAX);
  for (const std::string_view candidate : signature.parameters) {
    const std::size_t max_distance =
        std::min((name.size() + candidate.size() + 3) * kMoveCost / 6,
                 suggestion_distance - 1);
    const std::size_t distance = edit_distance(name, candidate, max_distance);
    if (distance > max_distance) continue;
    if (suggestion == nullptr || distance < suggestion_distance) {
      suggestion = candidate.data();
      suggestion_distance = distance;
    }
  }
  return suggestion;
}
#endif

PyErr unexpected_keyword_error(const Signature& signature, PyObject* keyword) {
#if PY_VERSION_HEX >= 0x030D0000
  if (const char* suggestion = suggested_parameter(signature, keyword)) {
    return formatted_type_error(
        "%s() got an unexpected keyword argument '%S'. Did you mean '%s'?",
        signature.function, keyword, suggestion);
  }
#endif
  return formatted_type_error("%s() got an unexpected keyword argument '%S'",
                              signature.function, keyword);
}

PyErr too_many_positional_error(const Signature& signature, Py_ssize_t given,
                                std::span<PyObject*> slots) {
  const std::size_t accepted = signature.positional;
  const auto keyword_only_given = std::count_if(
      slots.begin() + static_cast<std::ptrdiff_t>(accepted), slots.end(),
      [](PyObject* slot) { return slot != nullptr; });
  std::string message = signature.function;
  message += "() takes " + std::to_string(accepted) + " positional argument";
  if (accepted != 1) message += 's';
  message += " but " + std::to_string(given);
  if (keyword_only_given > 0) {
    message += given != 1 ? " positional arguments" : " positional argument";
    message += " (and " + std::to_string(keyword_only_given) +
               " keyword-only argument";
    if (keyword_only_given != 1) message += 's';
    message += ')';
  }
  message +=
      given == 1 && keyword_only_given == 0 ? " was given" : " were given";
  return PyErr::type_error(std::move(message));
}

// "f() missing 3 required keyword-only arguments: 'a', 'b', and 'c'"
PyErr missing_arguments_error(const Signature& signature, const char* kind,
                              std::span<const std::string_view> names) {
  std::string listed;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      listed += names.size() == 2 ? " and " : ", ";
      if (names.size() > 2 && i + 1 == names.size()) listed += "and ";
    }
    listed.append("'").append(names[i]).append("'");
  }
  std::string message = signature.function;
  message += "() missing " + std::to_string(names.size()) + " required ";
  message.append(kind).append(" argument");
  if (names.size() != 1) message += 's';
  message += ": " + listed;
  return PyErr::type_error(std::move(message));
}

// The unfilled slots in [first, last), as a missing-arguments error.
std::optional<PyErr> missing_in(const Signature& signature, const char* kind,
                                std::span<PyObject*> slots, std::size_t first,
                                std::size_t last) {
  std::vector<std::string_view> names;
  for (std::size_t i = first; i < last; ++i) {
    if (slots[i] == nullptr) names.push_back(signature.parameters[i]);
  }
  if (names.empty()) return std::nullopt;
  return missing_arguments_error(signature, kind, names);
}

}  // namespace

// The interpreter's order of checks for a Python function: keywords in the
// order given, then surplus positionals, then missing positionals, then
// missing keyword-only arguments.
PyStatus bind_arguments(const Signature& signature, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames,
                        std::span<PyObject*> slots) {
  const auto given = static_cast<std::size_t>(nargs);
  std::fill(slots.begin(), slots.end(), nullptr);
  const std::size_t taken = std::min(given, signature.positional);
  std::copy_n(args, taken, slots.begin());
  // Which slots hold a value, kept in a register: reading a slot back right
  // after the fill above can stall on the wide stores that made it.
  std::uint32_t filled = (std::uint32_t{1} << taken) - 1;

  const Py_ssize_t keyword_count =
      kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keyword_count; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(keyword)) {
      return unexpected(formatted_type_error("%s() keywords must be strings",
                                             signature.function));
    }
    const std::optional<std::size_t> index =
        parameter_index(signature, keyword);
    if (!index) return unexpected(unexpected_keyword_error(signature, keyword));
    const std::uint32_t bit = std::uint32_t{1} << *index;
    if ((filled & bit) != 0) {
      return unexpected(
          formatted_type_error("%s() got multiple values for argument '%S'",
                               signature.function, keyword));
    }
    slots[*index] = args[nargs + k];
    filled |= bit;
  }

  if (given > signature.positional) {
    return unexpected(too_many_positional_error(signature, nargs, slots));
  }
  const std::uint32_t required = (std::uint32_t{1} << signature.required) - 1;
  if ((filled & required) == required) return ok_status();
  if (auto missing = missing_in(signature, "positional", slots, given,
                                signature.positional)) {
    return unexpected(std::move(*missing));
  }
  if (auto missing = missing_in(signature, "keyword-only", slots,
                                signature.positional, signature.required)) {
    return unexpected(std::move(*missing));
  }
  return ok_status();
}

PyResult<PyObject*> array_argument(PyObject* object) {
  if (PyArray_Check(object)) return object;
  return unexpected(conversion_type_error(object, "PyUntypedArray"));
}

PyResult<std::string_view> str_argument(PyObject* object) {
  if (!PyUnicode_Check(object)) {
    return unexpected(conversion_type_error(object, "PyString"));
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &size);
  if (text == nullptr) return unexpected(PyErr::fetch());
  return std::string_view(text, static_cast<std::size_t>(size));
}

bool intern_argument_texts(
    std::span<const Signature* const> signatures) noexcept {
  for (const Signature* signature : signatures) {
    for (std::size_t i = 0; i < signature->parameters.size(); ++i) {
      if (!intern(signature->interned_parameters[i],
                  signature->parameters[i])) {
        return false;
      }
    }
  }
  for (std::size_t i = 0; i < kElementTypeCount; ++i) {
    if (!intern(g_dtype_keys[i], kDtypeKeys[i])) return false;
  }
  return intern_modes(g_rounding_modes, kRoundingModeNames,
                      parse_rounding_mode) &&
         intern_modes(g_out_of_range_modes, kOutOfRangeModeNames,
                      parse_out_of_range_mode);
}

PyResult<DtypeName> DtypeNameArg::extract(PyObject* object) {
  for (std::size_t i = 0; i < kElementTypeCount; ++i) {
    if (object == g_dtype_keys[i]) {
      return DtypeName{static_cast<ElementType>(i), {}};
    }
  }
  if (const auto text = ascii_text(object)) {
    return DtypeName{std::nullopt, *text};
  }
  PyResult<std::string_view> text = str_argument(object);
  if (!text) return unexpected(std::move(text).error());
  return DtypeName{std::nullopt, *text};
}

PyResult<RoundingMode> RoundingModeArg::extract(PyObject* object) {
  if (const auto mode = known_mode(g_rounding_modes, object)) return *mode;
  PyResult<std::string_view> text = str_argument(object);
  if (!text) return unexpected(std::move(text).error());
  auto mode = parse_rounding_mode(*text);
  if (!mode) return unexpected(PyErr::value_error(std::move(mode).error()));
  return *mode;
}

PyResult<OutOfRangeMode> OutOfRangeModeArg::extract(PyObject* object) {
  if (object == nullptr || object == Py_None) return OutOfRangeMode::Unset;
  if (const auto mode = known_mode(g_out_of_range_modes, object)) {
    return *mode;
  }
  PyResult<std::string_view> text = str_argument(object);
  if (!text) return unexpected(std::move(text).error());
  auto mode = parse_out_of_range_mode(*text);
  if (!mode) return unexpected(PyErr::value_error(std::move(mode).error()));
  return *mode;
}

PyErr argument_error(const char* parameter, PyErr error) {
  if (const LazyPyErr* lazy = error.lazy()) {
    if (lazy->type != PyExc_TypeError) return error;
    std::string message = "argument '";
    message.append(parameter).append("': ").append(lazy->text());
    return PyErr::type_error(std::move(message));
  }
  PyObject* raised = error.raised();
  if (Py_TYPE(raised) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    return error;
  }
  PyRef text = PyRef::steal(PyObject_Str(raised));
  if (!text) return PyErr::fetch();
  return formatted_type_error("argument '%s': %U", parameter, text.get());
}

}  // namespace prandel::py

#include "scalar_map_parse.hpp"

#include "extract_from_py.hpp"

#include <string>

namespace prandel::py {

namespace {

constexpr const char* kNotIterable =
    "scalar_map_entries must be a dict or an iterable of (source, target) pairs";
constexpr const char* kNotPair =
    "Each scalar_map entry must be a (source, target) pair";
// The texts of the interpreter's own dict iteration for the same faults.
constexpr const char* kSizeChanged = "dictionary changed size during iteration";
constexpr const char* kKeysChanged = "dictionary keys changed during iteration";

PyErr runtime_error(const char* static_message) {
  return LazyPyErr{PyExc_RuntimeError, static_message};
}

// The UTF-8 form of a str. A str holding lone surrogates has none: those come
// out as U+FFFD (the bytes of each surrogate are replaced one by one).
PyResult<std::string> utf8_text(PyObject* text) {
  Py_ssize_t size = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) {
    return std::string(utf8, static_cast<std::size_t>(size));
  }
  if (auto interrupt = clear_unless_interrupt()) {
    return unexpected(std::move(*interrupt));
  }
  PyRef raw = PyRef::steal(
      PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
  if (!raw) return unexpected(PyErr::fetch());
  PyRef repaired = PyRef::steal(PyUnicode_DecodeUTF8(
      PyBytes_AS_STRING(raw.get()), PyBytes_GET_SIZE(raw.get()), "replace"));
  if (!repaired) return unexpected(PyErr::fetch());
  const char* utf8 = PyUnicode_AsUTF8AndSize(repaired.get(), &size);
  if (utf8 == nullptr) return unexpected(PyErr::fetch());
  return std::string(utf8, static_cast<std::size_t>(size));
}

// repr() of the value, else its str(), else a placeholder naming its type:
// the call is failing already, and the value's broken printing should not
// replace the reason why (unless it was interrupted).
PyResult<std::string> describe_value(PyObject* value) {
  PyRef text = PyRef::steal(PyObject_Repr(value));
  if (!text) {
    if (auto interrupt = clear_unless_interrupt()) {
      return unexpected(std::move(*interrupt));
    }
    text = PyRef::steal(PyObject_Str(value));
  }
  if (!text) {
    if (auto interrupt = clear_unless_interrupt()) {
      return unexpected(std::move(*interrupt));
    }
    return std::string("<unprintable ") + Py_TYPE(value)->tp_name + " object>";
  }
  return utf8_text(text.get());
}

// The TypeError that replaces the failed conversion of a scalar-map value,
// dropping the conversion's own exception unless that is an interrupt.
PyErr map_value_error(std::string_view side, PyObject* value,
                      std::string_view dtype_key, PyErr conversion_error) {
  if (conversion_error.is_interrupt()) return conversion_error;
  PyResult<std::string> shown = describe_value(value);
  if (!shown) return std::move(shown).error();
  std::string message;
  message.reserve(shown->size() + dtype_key.size() + 70);
  message.append("scalar_map ").append(side).append(" value ").append(*shown);
  message.append(": expected a value convertible to ").append(side);
  message.append(" dtype ").append(dtype_key);
  return PyErr::type_error(std::move(message));
}

// Item 0 or 1 of a pair, by an int subscript as Python's item[index].
PyObjectResult pair_element(PyObject* item, long index) {
  PyRef key = PyRef::steal(PyLong_FromLong(index));
  if (!key) return unexpected(PyErr::fetch());
  PyRef element = PyRef::steal(PyObject_GetItem(item, key.get()));
  if (!element) return unexpected(PyErr::fetch());
  return element;
}

// Over the dict's own storage, in insertion order, whatever a subclass
// overrides. The caller's conversion hooks may change the dict meanwhile:
// references are held across them and the two tests below stop the walk.
PyStatus walk_dict(PyObject* object, map_parse_detail::EntrySink& sink) {
  const PyRef dict = PyRef::borrow(object);
  const Py_ssize_t start_size = PyDict_GET_SIZE(dict.get());
  sink.reserve(static_cast<std::size_t>(start_size));
  Py_ssize_t position = 0;
  Py_ssize_t remaining = start_size;
  for (;;) {
    if (PyDict_GET_SIZE(dict.get()) != start_size) {
      return unexpected(runtime_error(kSizeChanged));
    }
    if (remaining == -1) return unexpected(runtime_error(kKeysChanged));
    PyObject* borrowed_key = nullptr;
    PyObject* borrowed_value = nullptr;
    if (!PyDict_Next(dict.get(), &position, &borrowed_key, &borrowed_value)) {
      return ok_status();
    }
    --remaining;
    const PyRef key = PyRef::borrow(borrowed_key);
    const PyRef value = PyRef::borrow(borrowed_value);
    if (PyStatus taken = sink.take_source(key.get()); !taken) {
      return unexpected(map_value_error("source", key.get(), sink.source_key(),
                                        std::move(taken).error()));
    }
    if (PyStatus taken = sink.take_target(value.get()); !taken) {
      return unexpected(map_value_error("target", value.get(),
                                        sink.target_key(),
                                        std::move(taken).error()));
    }
  }
}

PyStatus walk_iterable(PyObject* iterable, map_parse_detail::EntrySink& sink) {
  const PyRef iterator = PyRef::steal(PyObject_GetIter(iterable));
  if (!iterator) {
    if (auto interrupt = clear_unless_interrupt()) {
      return unexpected(std::move(*interrupt));
    }
    return unexpected(PyErr::type_error(kNotIterable));
  }
  for (;;) {
    const PyRef item = PyRef::steal(PyIter_Next(iterator.get()));
    if (!item) {
      if (PyErr_Occurred()) return unexpected(PyErr::fetch());
      return ok_status();
    }
    const Py_ssize_t length = PyObject_Size(item.get());
    if (length != 2) {
      if (length == -1) {
        if (auto interrupt = clear_unless_interrupt()) {
          return unexpected(std::move(*interrupt));
        }
      }
      return unexpected(PyErr::value_error(kNotPair));
    }
    {
      PyObjectResult source = pair_element(item.get(), 0);
      if (!source) return unexpected(std::move(source).error());
      if (PyStatus taken = sink.take_source(source->get()); !taken) {
        return unexpected(map_value_error("source", source->get(),
                                          sink.source_key(),
                                          std::move(taken).error()));
      }
    }
    PyObjectResult target = pair_element(item.get(), 1);
    if (!target) return unexpected(std::move(target).error());
    if (PyStatus taken = sink.take_target(target->get()); !taken) {
      return unexpected(map_value_error("target", target->get(),
                                        sink.target_key(),
                                        std::move(taken).error()));
    }
  }
}

}  // namespace

namespace map_parse_detail {

namespace {
template <Element T>
PyStatus read_element_of(PyObject* value, void* element) {
  PyResult<T> read = ExtractFromPy<T>::extract_from_py(value);
  if (!read) return unexpected(std::move(read).error());
  *static_cast<T*>(element) = *read;
  return ok_status();
}

constexpr auto kReadElement =
    element_type_table([]<Element T>() { return &read_element_of<T>; });
}  // namespace

PyStatus read_element(ElementType type, PyObject* value, void* element) {
  return kReadElement[static_cast<std::size_t>(type)](value, element);
}

PyStatus walk_map_entries(PyObject* scalar_map_entries, EntrySink& sink) {
  // PyDict_Check holds for every dict subclass, whatever it overrides.
  if (PyDict_Check(scalar_map_entries)) return walk_dict(scalar_map_entries, sink);
  return walk_iterable(scalar_map_entries, sink);
}

}  // namespace map_parse_detail

}  // namespace prandel::py

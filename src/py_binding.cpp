#include "py_binding.hpp"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string_view>

namespace quillon::py {
namespace {

// ----- messages ---------------------------------------------------------------------------------

std::string type_qualname(PyObject* obj) {
  PyObject* name = PyType_GetQualName(Py_TYPE(obj));
  if (name == nullptr) {
    PyErr_Clear();
    return Py_TYPE(obj)->tp_name;
  }
  const char* utf8 = PyUnicode_AsUTF8(name);
  std::string out = utf8 != nullptr ? utf8 : "?";
  Py_DECREF(name);
  return out;
}

bool not_instance(PyObject* obj, const char* expected) {
  std::string msg;
  if (obj == Py_None) {
    msg = std::string("'None' is not an instance of '") + expected + "'";
  } else {
    msg = "'" + type_qualname(obj) + "' object is not an instance of '" + expected + "'";
  }
  PyErr_SetString(PyExc_TypeError, msg.c_str());
  return false;
}

bool type_error(const std::string& msg) {
  PyErr_SetString(PyExc_TypeError, msg.c_str());
  return false;
}

// "Sequence" is collections.abc.Sequence; it is looked up once (the message names it).
PyObject* sequence_abc() {
  static PyObject* cached = [] {
    PyObject* mod = PyImport_ImportModule("collections.abc");
    if (mod == nullptr) return static_cast<PyObject*>(nullptr);
    PyObject* seq = PyObject_GetAttrString(mod, "Sequence");
    Py_DECREF(mod);
    return seq;
  }();
  if (cached == nullptr) PyErr_Clear();
  return cached;
}

const char* sequence_name() {
  PyObject* seq = sequence_abc();
  if (seq != nullptr && PyType_Check(seq)) return reinterpret_cast<PyTypeObject*>(seq)->tp_name;
  return "Sequence";
}

// ----- sequences --------------------------------------------------------------------------------

template <class Element>
bool extract_sequence(PyObject* obj, Element&& element) {
  if (PyUnicode_Check(obj)) return type_error("Can't extract `str` to `Vec`");
  if (!PySequence_Check(obj)) return not_instance(obj, sequence_name());
  PyObject* iter = PyObject_GetIter(obj);
  if (iter == nullptr) return false;
  PyObject* item = nullptr;
  int rc;
  while ((rc = PyIter_NextItem(iter, &item)) == 1) {
    const bool ok = element(item);
    Py_DECREF(item);
    if (!ok) {
      Py_DECREF(iter);
      return false;
    }
  }
  Py_DECREF(iter);
  return rc == 0;
}

// The reported length only sizes the first reservation: a hostile __len__ cannot make us
// reserve more than a modest block (longer sequences grow as they are read).
Py_ssize_t size_hint(PyObject* obj) {
  constexpr Py_ssize_t kMaxReserve = Py_ssize_t{1} << 16;
  const Py_ssize_t n = PyObject_Size(obj);
  if (n < 0) {
    PyErr_Clear();
    return 0;
  }
  return n < kMaxReserve ? n : kMaxReserve;
}

bool to_double(PyObject* item, double& out) {
  if (PyFloat_CheckExact(item)) {
    out = PyFloat_AS_DOUBLE(item);
    return true;
  }
  out = PyFloat_AsDouble(item);
  return !(out == -1.0 && PyErr_Occurred());
}

bool to_unsigned(PyObject* obj, uint64_t& out) {
  PyObject* index = PyNumber_Index(obj);
  if (index == nullptr) return false;
  out = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  return !(out == static_cast<uint64_t>(-1) && PyErr_Occurred());
}

// "TypeError: message" with its causes, as an enum variant's failure reads.
std::string describe_error_chain(PyObject* exc) {
  std::string out;
  bool first = true;
  PyObject* current = exc;
  Py_XINCREF(current);
  while (current != nullptr && current != Py_None) {
    PyObject* text = PyObject_Str(current);
    const char* utf8 = text != nullptr ? PyUnicode_AsUTF8(text) : nullptr;
    if (!first) out += ", caused by ";
    out += Py_TYPE(current)->tp_name;
    out += ": ";
    out += utf8 != nullptr ? utf8 : "";
    Py_XDECREF(text);
    PyErr_Clear();
    PyObject* cause = PyException_GetCause(current);
    Py_DECREF(current);
    current = cause;
    first = false;
  }
  Py_XDECREF(current);
  return out;
}

// Runs one variant of an either-or conversion; on failure returns its error wrapped as
// "failed to extract field {Enum::Variant}.0" caused by the original error. When the attempt
// sets `decisive`, its error is the answer and passes through unwrapped.
template <class Attempt>
bool try_variant(const char* field, std::string& failure, Attempt&& attempt,
                 const bool* decisive = nullptr) {
  if (attempt()) return true;
  PyObject* cause = PyErr_GetRaisedException();
  if (cause != nullptr && (!PyErr_GivenExceptionMatches(cause, PyExc_Exception) ||
                           (decisive != nullptr && *decisive))) {
    PyErr_SetRaisedException(cause);  // a panic or KeyboardInterrupt passes straight through
    return false;
  }
  std::string msg = std::string("failed to extract field ") + field + ".0";
  PyObject* wrapper = PyObject_CallFunction(PyExc_TypeError, "s", msg.c_str());
  if (wrapper != nullptr && cause != nullptr) PyException_SetCause(wrapper, cause);
  else Py_XDECREF(cause);
  failure = describe_error_chain(wrapper);
  Py_XDECREF(wrapper);
  return false;
}

bool enum_failure(const char* header, const char* first, const std::string& first_error,
                  const char* second, const std::string& second_error) {
  std::string msg = header;
  msg += std::string("\n- variant ") + first + " (" + first + "): " + first_error;
  msg += std::string("\n- variant ") + second + " (" + second + "): " + second_error;
  return type_error(msg);
}

bool extract_bytes_variant(PyObject* obj, std::string& out) {
  if (PyBytes_Check(obj)) {
    out.assign(PyBytes_AS_STRING(obj), static_cast<size_t>(PyBytes_GET_SIZE(obj)));
    return true;
  }
  if (PyByteArray_Check(obj)) {
    // Copy under the object's lock so a concurrent resize cannot tear the read.
    Py_BEGIN_CRITICAL_SECTION(obj);
    out.assign(PyByteArray_AS_STRING(obj), static_cast<size_t>(PyByteArray_GET_SIZE(obj)));
    Py_END_CRITICAL_SECTION();
    return true;
  }
  out.clear();
  out.reserve(static_cast<size_t>(size_hint(obj)));
  return extract_sequence(obj, [&](PyObject* item) {
    const long v = PyLong_AsLong(item);  // the index protocol; floats are refused
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < 0 || v > 255) {
      PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
      return false;
    }
    out.push_back(static_cast<char>(v));
    return true;
  });
}

bool utf8_of(PyObject* obj, std::string& out) {
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &len);
  if (utf8 == nullptr) return false;
  out.assign(utf8, static_cast<size_t>(len));
  return true;
}

bool pairs_variant(PyObject* obj, std::vector<std::pair<std::string, double>>& items) {
  items.clear();
  items.reserve(static_cast<size_t>(size_hint(obj)));
  return extract_sequence(obj, [&](PyObject* item) {
    if (!PyTuple_Check(item)) return not_instance(item, "tuple");
    const Py_ssize_t n = PyTuple_GET_SIZE(item);
    if (n != 2) {
      return type_error("expected tuple of length 2, but got tuple of length " + std::to_string(n));
    }
    PyObject* key = PyTuple_GET_ITEM(item, 0);
    PyObject* value = PyTuple_GET_ITEM(item, 1);
    if (!PyUnicode_Check(key)) return not_instance(key, "str");
    std::pair<std::string, double> pair;
    if (!utf8_of(key, pair.first) || !to_double(value, pair.second)) return false;
    items.push_back(std::move(pair));
    return true;
  });
}

// `mutated_by_caller` tells that the caller's own code (a value's __float__) changed the dict under us: the
// event is the dict, so the RuntimeError is the whole answer.
bool dict_variant(PyObject* obj, std::vector<std::pair<std::string, double>>& items,
                  bool& mutated_by_caller) {
  items.clear();
  if (!PyDict_Check(obj)) return not_instance(obj, "dict");
  const Py_ssize_t initial = PyDict_Size(obj);
  items.reserve(static_cast<size_t>(initial));
  Py_ssize_t pos = 0;
  Py_ssize_t returned = 0;
  while (true) {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    int has = 0;
    const char* mutated = nullptr;
    // Each item is read inside the dict's critical section; its conversion runs outside, where
    // arbitrary Python code (__float__) may run and mutate the dict.
    Py_BEGIN_CRITICAL_SECTION(obj);
    if (PyDict_GET_SIZE(obj) != initial) {
      mutated = "dictionary changed size during iteration";
    } else if (returned > initial) {
      mutated = "dictionary keys changed during iteration";
    } else {
      has = PyDict_Next(obj, &pos, &key, &value);
      if (has) {
        Py_INCREF(key);
        Py_INCREF(value);
      }
    }
    Py_END_CRITICAL_SECTION();
    if (mutated != nullptr) {
      mutated_by_caller = true;
      PyErr_SetString(PyExc_RuntimeError, mutated);
      return false;
    }
    if (!has) break;
    ++returned;
    std::pair<std::string, double> pair;
    bool ok = PyUnicode_Check(key) ? utf8_of(key, pair.first) : not_instance(key, "str");
    ok = ok && to_double(value, pair.second);
    Py_DECREF(key);
    Py_DECREF(value);
    if (!ok) return false;
    items.push_back(std::move(pair));
  }
  // Stable: of two str-subclass keys with equal text, the later one stays last (and wins).
  std::stable_sort(items.begin(), items.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  return true;
}

// ----- binding ----------------------------------------------------------------------------------

bool too_many_positional(const Signature& sig, Py_ssize_t given) {
  std::string msg = sig.full_name;
  if (sig.required == sig.count) {
    msg += " takes " + std::to_string(sig.count) + " positional arguments but ";
  } else {
    msg += " takes from " + std::to_string(sig.required) + " to " + std::to_string(sig.count) +
           " positional arguments but ";
  }
  msg += std::to_string(given) + (given == 1 ? " was given" : " were given");
  return type_error(msg);
}

bool bind_keyword(const Signature& sig, PyObject* name, PyObject* value, PyObject** slots) {
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &len) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return type_error(std::string(sig.full_name) + " keywords must be strings");
  }
  const std::string_view key(utf8, static_cast<size_t>(len));
  for (int i = 0; i < sig.count; ++i) {
    if (key == sig.params[i]) {
      if (slots[i] != nullptr) {
        return type_error(std::string(sig.full_name) + " got multiple values for argument '" +
                          std::string(key) + "'");
      }
      slots[i] = value;
      return true;
    }
  }
  return type_error(std::string(sig.full_name) + " got an unexpected keyword argument '" +
                    std::string(key) + "'");
}

bool check_required(const Signature& sig, PyObject** slots) {
  std::vector<const char*> missing;
  for (int i = 0; i < sig.required; ++i) {
    if (slots[i] == nullptr) missing.push_back(sig.params[i]);
  }
  if (missing.empty()) return true;
  std::string msg = std::string(sig.full_name) + " missing " + std::to_string(missing.size()) +
                    " required positional " + (missing.size() == 1 ? "argument" : "arguments") +
                    ": ";
  for (size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) {
      if (missing.size() == 2) {
        msg += " and ";
      } else {
        msg += i + 1 == missing.size() ? ", and " : ", ";
      }
    }
    msg += std::string("'") + missing[i] + "'";
  }
  return type_error(msg);
}

}  // namespace

bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** slots) {
  const Py_ssize_t positional = PyVectorcall_NARGS(nargs);
  if (positional > sig.count) return too_many_positional(sig, positional);
  for (Py_ssize_t i = 0; i < positional; ++i) slots[i] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
      if (!bind_keyword(sig, PyTuple_GET_ITEM(kwnames, i), args[positional + i], slots)) {
        return false;
      }
    }
  }
  return check_required(sig, slots);
}

bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots) {
  const Py_ssize_t positional = PyTuple_GET_SIZE(args);
  if (positional > sig.count) return too_many_positional(sig, positional);
  for (Py_ssize_t i = 0; i < positional; ++i) slots[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    // The keyword dict is private to this call.
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!bind_keyword(sig, key, value, slots)) return false;
    }
  }
  return check_required(sig, slots);
}

void add_note_while_processing(const char* param) {
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) return;
  static PyObject* add_note_name = PyUnicode_InternFromString("add_note");
  std::string note = std::string("while processing '") + param + "'";
  PyObject* text = PyUnicode_FromString(note.c_str());
  if (text != nullptr && add_note_name != nullptr) {
    PyObject* r = PyObject_CallMethodOneArg(exc, add_note_name, text);
    if (r == nullptr) PyErr_Clear();
    Py_XDECREF(r);
  }
  Py_XDECREF(text);
  PyErr_SetRaisedException(exc);
}

PyObject* panic_exception_type() {
  static PyObject* type = [] {
    return PyErr_NewExceptionWithDoc(
        "quillon.PanicException",
        "Raised when an internal invariant of a detector fails; the call is abandoned.",
        PyExc_BaseException, nullptr);
  }();
  return type;
}

PyObject* raise_panic(const char* text, bool reported) {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return nullptr;
  if (!reported) std::fprintf(stderr, "quillon: internal failure at %s:%d: %s\n", __FILE__, __LINE__, text);
  PyErr_SetString(type, text);
  return nullptr;
}

PyObject* raise_detector_error(const DetectorError& e) {
  if (e.kind == DetectorError::Kind::Interrupted) {
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    return nullptr;
  }
  PyErr_SetString(e.is_value_error() ? PyExc_ValueError : PyExc_RuntimeError,
                  e.python_message().c_str());
  return nullptr;
}

PyObject* to_python(const NewArgs& v) {
  PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(v.values.size()));
  if (tuple == nullptr) return nullptr;
  for (size_t i = 0; i < v.values.size(); ++i) {
    PyObject* item = PyLong_FromUnsignedLongLong(v.values[i]);
    if (item == nullptr) {
      Py_DECREF(tuple);
      return nullptr;
    }
    PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), item);
  }
  return tuple;
}

// ----- conversions ------------------------------------------------------------------------------

bool convert(PyObject* obj, std::vector<float>& out) {
  out.clear();
  out.reserve(static_cast<size_t>(size_hint(obj)));
  return extract_sequence(obj, [&](PyObject* item) {
    double v;
    if (!to_double(item, v)) return false;
    out.push_back(static_cast<float>(v));
    return true;
  });
}

bool convert(PyObject* obj, std::vector<double>& out) {
  out.clear();
  out.reserve(static_cast<size_t>(size_hint(obj)));
  return extract_sequence(obj, [&](PyObject* item) {
    double v;
    if (!to_double(item, v)) return false;
    out.push_back(v);
    return true;
  });
}

bool convert(PyObject* obj, std::vector<int64_t>& out) {
  out.clear();
  out.reserve(static_cast<size_t>(size_hint(obj)));
  return extract_sequence(obj, [&](PyObject* item) {
    const long v = PyLong_AsLong(item);
    if (v == -1 && PyErr_Occurred()) return false;
    out.push_back(static_cast<int64_t>(v));
    return true;
  });
}

bool convert(PyObject* obj, std::vector<uint64_t>& out) {
  out.clear();
  out.reserve(static_cast<size_t>(size_hint(obj)));
  return extract_sequence(obj, [&](PyObject* item) {
    uint64_t v;
    if (!to_unsigned(item, v)) return false;
    out.push_back(v);
    return true;
  });
}

bool convert(PyObject* obj, uint64_t& out) { return to_unsigned(obj, out); }

bool convert(PyObject* obj, double& out) { return to_double(obj, out); }

bool convert(PyObject* obj, bool& out) {
  if (PyBool_Check(obj)) {
    out = obj == Py_True;
    return true;
  }
  PyTypeObject* type = Py_TYPE(obj);
  PyObject* module = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__");
  bool is_numpy = false;
  if (module != nullptr && PyUnicode_Check(module)) {
    const char* m = PyUnicode_AsUTF8(module);
    is_numpy = m != nullptr && std::strcmp(m, "numpy") == 0;
  }
  Py_XDECREF(module);
  PyErr_Clear();
  if (is_numpy) {
    const std::string name = type_qualname(obj);
    if (name == "bool_" || name == "bool") {
      if (type->tp_as_number == nullptr || type->tp_as_number->nb_bool == nullptr) {
        return type_error("object of type '" + name + "' does not define a '__bool__' conversion");
      }
      const int truth = type->tp_as_number->nb_bool(obj);
      if (truth < 0) return false;
      out = truth != 0;
      return true;
    }
  }
  return not_instance(obj, "bool");
}

bool convert(PyObject* obj, Seed& out) {
  if (obj == Py_None) {
    out.value.reset();
    return true;
  }
  uint64_t v;
  if (!to_unsigned(obj, v)) return false;
  out.value = v;
  return true;
}

bool convert(PyObject* obj, TextOrBytes& out) {
  std::string str_error;
  std::string bytes_error;
  const bool str_ok = try_variant("StrOrBytes::Str", str_error, [&] {
    if (!PyUnicode_Check(obj)) return not_instance(obj, "str");
    return utf8_of(obj, out.bytes);
  });
  if (str_ok) return true;
  if (PyErr_Occurred()) return false;
  const bool bytes_ok = try_variant("StrOrBytes::Bytes", bytes_error,
                                    [&] { return extract_bytes_variant(obj, out.bytes); });
  if (bytes_ok) return true;
  if (PyErr_Occurred()) return false;
  return enum_failure("failed to extract enum StrOrBytes ('Str | Bytes')", "Str", str_error,
                      "Bytes", bytes_error);
}

bool convert(PyObject* obj, Text& out) {
  if (!PyUnicode_Check(obj)) return not_instance(obj, "str");
  return utf8_of(obj, out.utf8);
}

bool convert(PyObject* obj, Path& out) {
  PyObject* fs = PyOS_FSPath(obj);
  if (fs == nullptr) return false;
  if (!PyUnicode_Check(fs)) {
    const bool r = not_instance(fs, "str");
    Py_DECREF(fs);
    return r;
  }
  PyObject* encoded = PyUnicode_EncodeFSDefault(fs);
  Py_DECREF(fs);
  if (encoded == nullptr) return false;
  out.bytes.assign(PyBytes_AS_STRING(encoded), static_cast<size_t>(PyBytes_GET_SIZE(encoded)));
  Py_DECREF(encoded);
  if (out.bytes.find('\0') != std::string::npos) {
    PyErr_SetString(PyExc_ValueError, "embedded null byte");
    return false;
  }
  return true;
}

bool convert(PyObject* obj, FeatureEvent& out) {
  std::string pairs_error;
  std::string dict_error;
  bool dict_mutated = false;
  auto attempt = [&](bool as_dict) {
    std::string& error = as_dict ? dict_error : pairs_error;
    const char* field = as_dict ? "KeyValueLike::Dict" : "KeyValueLike::Pairs";
    out.from_dict = as_dict;
    return try_variant(
        field, error,
        [&] {
          return as_dict ? dict_variant(obj, out.items, dict_mutated)
                         : pairs_variant(obj, out.items);
        },
        &dict_mutated);
  };
  // A dict is never a sequence, so its pairs attempt can only fail, without side effects: try the
  // dict first and describe the pairs failure only when the dict fails too.
  const bool dict_first = PyDict_Check(obj);
  if (attempt(dict_first)) return true;
  if (PyErr_Occurred()) return false;
  if (attempt(!dict_first)) return true;
  if (PyErr_Occurred()) return false;
  return enum_failure("failed to extract enum KeyValueLike ('Pairs | Dict')", "Pairs", pairs_error,
                      "Dict", dict_error);
}

// ----- types ------------------------------------------------------------------------------------

PyTypeObject* make_type(const char* qualified_name, const char* doc, int basicsize, newfunc tp_new,
                        destructor tp_dealloc, reprfunc tp_repr, PyMethodDef* methods) {
  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(tp_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(tp_dealloc)},
      {Py_tp_repr, reinterpret_cast<void*>(tp_repr)},
      {Py_tp_str, reinterpret_cast<void*>(tp_repr)},
      {Py_tp_methods, methods},
      {Py_tp_doc, const_cast<char*>(doc)},
      {0, nullptr},
  };
  PyType_Spec spec{qualified_name, basicsize, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                   slots};
  PyObject* type = PyType_FromSpec(&spec);
  if (type == nullptr) {
    const char* short_name = std::strrchr(qualified_name, '.');
    const std::string msg = std::string("failed to create type object for `") +
                            (short_name != nullptr ? short_name + 1 : qualified_name) + "`";
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_RuntimeError, msg.c_str());
    if (cause != nullptr) {
      PyObject* exc = PyErr_GetRaisedException();
      PyException_SetCause(exc, cause);
      PyErr_SetRaisedException(exc);
    }
    return nullptr;
  }
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace quillon::py

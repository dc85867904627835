#include "py_binding.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
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

// A complex number: Python's, or numpy's (complex64 is no subclass of complex). numpy's scalar
// types exist only once numpy is loaded, so an unloaded numpy answers no.
bool is_complex(PyObject* item) {
  if (PyComplex_Check(item)) return true;
  static std::atomic<PyObject*> cached{nullptr};
  PyObject* type = cached.load(std::memory_order_acquire);
  if (type == nullptr) {
    static PyObject* const name = PyUnicode_InternFromString("numpy");
    PyObject* numpy = name != nullptr ? PyImport_GetModule(name) : nullptr;
    if (numpy == nullptr) {
      PyErr_Clear();
      return false;
    }
    type = PyObject_GetAttrString(numpy, "complexfloating");
    Py_DECREF(numpy);
    if (type == nullptr || !PyType_Check(type)) {
      Py_XDECREF(type);
      PyErr_Clear();
      return false;
    }
    PyObject* expected = nullptr;
    if (!cached.compare_exchange_strong(expected, type, std::memory_order_acq_rel)) {
      Py_DECREF(type);
      type = expected;
    }
  }
  return PyType_IsSubtype(Py_TYPE(item), reinterpret_cast<PyTypeObject*>(type)) != 0;
}

bool to_double(PyObject* item, double& out) {
  if (PyFloat_CheckExact(item)) {
    out = PyFloat_AS_DOUBLE(item);
    return true;
  }
  // A complex value (numpy's included, which would convert with only a warning) has no
  // faithful real value.
  if (!PyFloat_Check(item) && !PyLong_Check(item) && is_complex(item)) {
    PyErr_Format(PyExc_TypeError, "must be real number, not %s", Py_TYPE(item)->tp_name);
    return false;
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

// One element of a numeric sequence appended to `out`, read the same by single calls and batches.
bool push_float(PyObject* item, std::vector<float>& out) {
  double v;
  if (!to_double(item, v)) return false;
  out.push_back(static_cast<float>(v));
  return true;
}

bool push_double(PyObject* item, std::vector<double>& out) {
  double v;
  if (!to_double(item, v)) return false;
  out.push_back(v);
  return true;
}

bool push_int64(PyObject* item, std::vector<int64_t>& out) {
  const long v = PyLong_AsLong(item);
  if (v == -1 && PyErr_Occurred()) return false;
  out.push_back(static_cast<int64_t>(v));
  return true;
}

bool push_unsigned(PyObject* item, std::vector<uint64_t>& out) {
  uint64_t v;
  if (!to_unsigned(item, v)) return false;
  out.push_back(v);
  return true;
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
  std::string msg(sig.full_name);
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
  std::vector<std::string_view> missing;
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
    msg += "'";
    msg += missing[i];
    msg += "'";
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

namespace {

void add_note(const std::string& note) {
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) return;
  static PyObject* add_note_name = PyUnicode_InternFromString("add_note");
  PyObject* text = PyUnicode_FromString(note.c_str());
  if (text != nullptr && add_note_name != nullptr) {
    PyObject* r = PyObject_CallMethodOneArg(exc, add_note_name, text);
    if (r == nullptr) PyErr_Clear();
    Py_XDECREF(r);
  }
  Py_XDECREF(text);
  PyErr_SetRaisedException(exc);
}

void add_row_note(size_t row) { add_note("while processing row " + std::to_string(row)); }

}  // namespace

void add_note_while_processing(std::string_view param) {
  add_note("while processing '" + std::string(param) + "'");
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

PyObject* raise_detector_error(const RowError& e) {
  raise_detector_error(e.error);
  // A stopped batch passes on the handler's exception, noting how far the batch got.
  if (e.error.kind == DetectorError::Kind::Interrupted && !e.error.message.empty()) {
    add_note(e.error.message);
  }
  if (e.row) add_row_note(static_cast<size_t>(*e.row));
  return nullptr;
}

PyObject* numpy_module() {
  // No lock around the import: a thread blocked on one would stall the interpreter's
  // stop-the-world pauses. Two first callers may both import; one keeps its reference.
  static std::atomic<PyObject*> cached{nullptr};
  PyObject* module = cached.load(std::memory_order_acquire);
  if (module != nullptr) return module;
  module = PyImport_ImportModule("numpy");
  if (module == nullptr) return nullptr;
  PyObject* expected = nullptr;
  if (!cached.compare_exchange_strong(expected, module, std::memory_order_acq_rel)) {
    Py_DECREF(module);
    return expected;
  }
  return module;
}

PyObject* to_python(const Scores& v) {
  PyObject* numpy = numpy_module();
  if (numpy == nullptr) return nullptr;
  PyObject* array = PyObject_CallMethod(numpy, "empty", "ns",
                                        static_cast<Py_ssize_t>(v.values.size()), "float64");
  if (array == nullptr) return nullptr;
  Py_buffer view;
  if (PyObject_GetBuffer(array, &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) != 0) {
    Py_DECREF(array);
    return nullptr;
  }
  if (!v.values.empty()) std::memcpy(view.buf, v.values.data(), v.values.size() * sizeof(double));
  PyBuffer_Release(&view);
  return array;
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

namespace {

// A sequence converted element by element with `Push`, the length reserved up front.
template <auto Push, class T>
bool convert_vector(PyObject* obj, std::vector<T>& out) {
  out.clear();
  out.reserve(static_cast<size_t>(size_hint(obj)));
  return extract_sequence(obj, [&](PyObject* item) { return Push(item, out); });
}

}  // namespace

bool convert(PyObject* obj, std::vector<float>& out) {
  return convert_vector<push_float>(obj, out);
}
bool convert(PyObject* obj, std::vector<double>& out) {
  return convert_vector<push_double>(obj, out);
}
bool convert(PyObject* obj, std::vector<int64_t>& out) {
  return convert_vector<push_int64>(obj, out);
}
bool convert(PyObject* obj, std::vector<uint64_t>& out) {
  return convert_vector<push_unsigned>(obj, out);
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

bool convert(PyObject* obj, BytesArg& out) {
  if (PyUnicode_Check(obj)) return not_instance(obj, "bytes");
  Py_buffer view;
  if (PyObject_GetBuffer(obj, &view, PyBUF_C_CONTIGUOUS) != 0) return false;
  try {
    out.bytes.assign(static_cast<const char*>(view.buf), static_cast<size_t>(view.len));
  } catch (...) {
    PyBuffer_Release(&view);
    throw;
  }
  PyBuffer_Release(&view);
  return true;
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

// ----- batches ----------------------------------------------------------------------------------

void BufferHold::release() {
  if (held) {
    PyBuffer_Release(&view);
    held = false;
  }
  Py_CLEAR(owner);
}

void keep_last_of_equal_names(FeatureEvent& event) {
  auto& items = event.items;
  if (!event.from_dict || items.size() < 2) return;
  size_t kept = 0;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i + 1 < items.size() && items[i + 1].first == items[i].first) continue;
    if (kept != i) items[kept] = std::move(items[i]);
    ++kept;
  }
  items.resize(kept);
}

namespace {

static_assert(std::endian::native == std::endian::little,
              "buffer formats are read as little-endian native values");

bool value_error(const std::string& msg) {
  PyErr_SetString(PyExc_ValueError, msg.c_str());
  return false;
}

// An integer code names the signedness; `itemsize` gives the width.
std::optional<ElementType> integer_type(Py_ssize_t size, bool with_sign) {
  switch (size) {
    case 1: return with_sign ? ElementType::Int8 : ElementType::UInt8;
    case 2: return with_sign ? ElementType::Int16 : ElementType::UInt16;
    case 4: return with_sign ? ElementType::Int32 : ElementType::UInt32;
    case 8: return with_sign ? ElementType::Int64 : ElementType::UInt64;
    default: return std::nullopt;
  }
}

// The element type of a buffer in native (or little-endian standard) layout; anything else is
// read element by element through the sequence protocol, as a single call would.
std::optional<ElementType> element_type(const Py_buffer& b) {
  const char* f = b.format != nullptr ? b.format : "B";
  if (*f == '@' || *f == '=' || *f == '<') ++f;
  if (f[0] == '\0' || f[1] != '\0') return std::nullopt;
  const char code = f[0];
  const Py_ssize_t size = b.itemsize;
  if (code == 'f' && size == 4) return ElementType::Float32;
  if (code == 'd' && size == 8) return ElementType::Float64;
  if (std::string_view("bhilqn").contains(code)) return integer_type(size, true);
  if (std::string_view("BHILQN").contains(code)) return integer_type(size, false);
  return std::nullopt;
}

bool is_float(ElementType t) { return t == ElementType::Float32 || t == ElementType::Float64; }
bool is_signed(ElementType t) {
  return t == ElementType::Int8 || t == ElementType::Int16 || t == ElementType::Int32 ||
         t == ElementType::Int64;
}

enum class Source { Buffer, Nested, Error };

// Exports the buffer of `obj` (or of numpy.asarray(obj) for objects with __array__ only) when its
// element type is one `accepts` takes. Otherwise the caller reads `hold.owner` or `obj` as nested
// sequences, which gives exactly the single call's conversion and errors.
template <class Accepts>
Source acquire_buffer(PyObject* obj, BufferHold& hold, ElementType& type, Accepts&& accepts) {
  PyObject* source = obj;
  if (!PyObject_CheckBuffer(obj)) {
    if (PyUnicode_Check(obj)) return Source::Nested;
    const int has_array = PyObject_HasAttrStringWithError(obj, "__array__");
    if (has_array < 0) return Source::Error;
    if (has_array == 0) return Source::Nested;
    PyObject* numpy = numpy_module();
    if (numpy == nullptr) return Source::Error;
    hold.owner = PyObject_CallMethod(numpy, "asarray", "O", obj);
    if (hold.owner == nullptr) return Source::Error;
    source = hold.owner;
    if (!PyObject_CheckBuffer(source)) return Source::Nested;
  }
  if (PyObject_GetBuffer(source, &hold.view, PyBUF_RECORDS_RO) != 0) {
    PyErr_Clear();
    return Source::Nested;
  }
  hold.held = true;
  const auto t = element_type(hold.view);
  if (!t || !accepts(*t)) {
    PyBuffer_Release(&hold.view);
    hold.held = false;
    return Source::Nested;
  }
  type = *t;
  return Source::Buffer;
}

// A 1-D or 2-D buffer as rows x cols; a 1-D one is a single column.
StridedView strided_view(const Py_buffer& b, ElementType type) {
  StridedView v;
  v.base = static_cast<const char*>(b.buf);
  v.rows = static_cast<size_t>(b.shape[0]);
  v.cols = b.ndim == 2 ? static_cast<size_t>(b.shape[1]) : 1;
  v.row_stride = b.strides[0];
  v.col_stride = b.ndim == 2 ? b.strides[1] : 0;
  v.type = type;
  return v;
}

bool is_number(PyObject* obj) {
  if (PyFloat_Check(obj) || PyLong_Check(obj) || PyIndex_Check(obj)) return true;
  const PyNumberMethods* n = Py_TYPE(obj)->tp_as_number;
  return n != nullptr && n->nb_float != nullptr;
}

template <class T, class Element>
bool convert_rows(PyObject* obj, RowsArg<T>& out, bool (*accepts)(ElementType),
                  Element&& element) {
  ElementType type = ElementType::Float64;
  const Source source = acquire_buffer(obj, out.hold, type, accepts);
  if (source == Source::Error) return false;
  if (source == Source::Buffer) {
    const Py_buffer& b = out.hold.view;
    if (b.ndim != 1 && b.ndim != 2) {
      return value_error("expected a 2-D array with one row per observation, got a " +
                         std::to_string(b.ndim) + "-D array");
    }
    out.array = strided_view(b, type);
    out.one_dimensional = b.ndim == 1;
    return true;
  }
  PyObject* rows = out.hold.owner != nullptr ? out.hold.owner : obj;
  std::vector<T> values;
  std::vector<size_t> starts{0};
  std::optional<uint64_t> scalar_row;
  size_t row = 0;
  auto read_element = [&](PyObject* item) { return element(item, values); };
  const bool ok = extract_sequence(rows, [&](PyObject* item) {
    bool fine;
    if (!PyUnicode_Check(item) && !PySequence_Check(item) && is_number(item)) {
      fine = read_element(item);
      if (fine && !scalar_row) scalar_row = row;
    } else {
      fine = extract_sequence(item, read_element);
    }
    if (!fine) {
      add_row_note(row);
      return false;
    }
    starts.push_back(values.size());
    ++row;
    return true;
  });
  if (!ok) return false;
  out.rows = Rows<T>::ragged(std::move(values), std::move(starts), scalar_row);
  return true;
}

bool any_numeric(ElementType) { return true; }
bool fits_int64(ElementType t) { return !is_float(t) && t != ElementType::UInt64; }

}  // namespace

bool convert(PyObject* obj, PointRows& out) {
  return convert_rows(obj, out, &any_numeric, &push_float);
}

bool convert(PyObject* obj, NumericRows& out) {
  return convert_rows(obj, out, &any_numeric, &push_double);
}

bool convert(PyObject* obj, IntegerRows& out) {
  return convert_rows(obj, out, &fits_int64, &push_int64);
}

bool convert(PyObject* obj, Timestamps& out) {
  ElementType type = ElementType::UInt64;
  const Source source =
      acquire_buffer(obj, out.hold, type, [](ElementType t) { return !is_float(t); });
  if (source == Source::Error) return false;
  if (source == Source::Buffer) {
    const Py_buffer& b = out.hold.view;
    if (b.ndim != 1) {
      return value_error("expected a 1-D array of timestamps, got a " + std::to_string(b.ndim) +
                         "-D array");
    }
    const StridedView v = strided_view(b, type);
    // The batch's own size check comes later; this scan must not walk a view too large to hold.
    require_memory(static_cast<ByteSize>(v.rows) * sizeof(uint64_t),
                   "a batch of " + std::to_string(v.rows) + " rows");
    bool negative = false;
    if (is_signed(type)) {
      for (size_t i = 0; i < v.rows && !negative; ++i) {
        negative = element<int64_t>(v.base + static_cast<ptrdiff_t>(i) * v.row_stride, type) < 0;
      }
    }
    // A negative timestamp is refused as a single call refuses it, element by element.
    if (!negative) {
      out.array = v;
      return true;
    }
    out.hold.release();
  }
  std::vector<uint64_t>& values = out.values;
  values.clear();
  size_t row = 0;
  const bool ok = extract_sequence(obj, [&](PyObject* item) {
    if (!push_unsigned(item, values)) {
      add_row_note(row);
      return false;
    }
    ++row;
    return true;
  });
  return ok;
}

bool convert(PyObject* obj, FeatureEvents& out) {
  if (PyUnicode_Check(obj) || PyDict_Check(obj)) {
    return type_error("expected an iterable of feature events, got '" + type_qualname(obj) + "'");
  }
  out.pairs.clear();
  out.starts.assign(1, 0);
  PyObject* iter = PyObject_GetIter(obj);
  if (iter == nullptr) return false;
  FeatureEvent event;
  PyObject* item = nullptr;
  size_t row = 0;
  int rc;
  while ((rc = PyIter_NextItem(iter, &item)) == 1) {
    const bool ok = convert(item, event);
    Py_DECREF(item);
    if (!ok) {
      Py_DECREF(iter);
      add_row_note(row);
      return false;
    }
    keep_last_of_equal_names(event);
    for (auto& pair : event.items) out.pairs.push_back(std::move(pair));
    out.starts.push_back(out.pairs.size());
    ++row;
  }
  Py_DECREF(iter);
  return rc == 0;
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

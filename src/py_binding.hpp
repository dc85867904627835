// The one boundary between Python and the detector cores.
//
// A class file describes each method once and this header does the rest: binding positional and
// keyword arguments, taking the instance's access counter, converting arguments, releasing the
// interpreter lock around the core's work, converting the result and mapping errors.
//
//   // 1. The class's identity: ClassInfo<oif::OnlineIForest>::type() declared in py_classes.hpp
//   //    and defined at the end of src/<component>/py_<class>.cpp by class_type<Core, Def>.
//
//   // 2. The class, declared by its constructor as Python shows it.
//   using Def = py::ClassDef<"OnlineIForest(input_dim, num_trees=32, seed=None)">;
//
//   // 3. A method is a member function of the core, or a plain function taking the core first.
//   //    `const` takes shared access, non-const exclusive access. The parameter types choose the
//   //    argument conversion:
//   //      std::vector<float> point vector     std::vector<double>  numeric vector
//   //      std::vector<int64_t> integer vector  std::vector<uint64_t> index vector
//   //      uint64_t unsigned size   double float   bool flag   py::Seed seed
//   //      py::TextOrBytes  py::Text  py::Path  py::FeatureEvent  py::AnyArg
//   //      const Rows<T>&  a batch's rows     std::span<const uint64_t>  a batch's timestamps
//   //      const FeatureEvents&  a batch's events
//   //      const BatchInterrupt&  (last; no Python argument) asked between a batch's rows
//   //      std::optional<T>  an optional parameter (omitted -> nullopt)
//   //    It returns a value or Result<value> / Status / BatchResult / BatchStatus. Values convert
//   //    by py::to_python (double, float, bool, uint64_t, int64_t, std::string, std::vector<T>,
//   //    py::NewArgs, Scores, the Core itself -> a new instance); for other types define
//   //    `PyObject* to_python(const T&)` in the type's namespace (it runs with the lock held).
//   Status update(oif::OnlineIForest& d, std::vector<float> point) { return d.update(point); }
//
//   // 4. The method table entry: the signature as Python shows it (defaults included), the
//   //    docstring's text, and whether the lock is released (the computing methods only).
//   Def::method<&update, "update(point)", "Ingest a point ...", py::kReleaseLock>()
//   Def::method<&oif::OnlineIForest::update_many, "update_many(points)", "...", py::kReleaseLock>()
//
// The constructor is Def::constructor<&construct>() with `Result<Core> construct(args...)`.
// The table is py::method_table(entries...), where py::PersistenceTable<Core, Def> gives groups
// of entries: json<four docstrings>() (to_json, from_json, save_json, load_json),
// binary<noun, heap formula>() (to_bytes, from_bytes, save_bytes, load_bytes, heap_bytes,
// __sizeof__) and copy_and_pickle() (__copy__, __deepcopy__, __getstate__, __setstate__, and
// __getnewargs__ when the core has `newargs()`). The core provides `std::string to_json() const`,
// `static Result<Core> from_json(std::string_view)` and `std::string repr() const`; for binary,
// `to_bytes`, `from_bytes` of the same shapes and `size_t heap_bytes() const`.
//
// A batch (a method taking rows, timestamps or events) first refuses a size the machine cannot
// hold, then makes its one converted copy of array input, both with the lock released, and is
// asked between rows whether a signal handler raised (see check_signals).
#pragma once

#include "py_compat.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "row_batch.hpp"
#include "detector_error.hpp"
#include "file_io.hpp"
#include "memory_budget.hpp"

namespace quillon::py {

// ---------------------------------------------------------------------------------------------
// Argument kinds that are not plain C++ types.

struct Seed {
  std::optional<uint64_t> value;
  const uint64_t* get() const { return value ? &*value : nullptr; }
};
struct TextOrBytes {
  std::string bytes;
};
struct Text {
  std::string utf8;
};
struct Path {
  std::string bytes;
};
struct FeatureEvent {
  // From a dict the names are unique and ordered by their UTF-8 bytes; from a sequence of pairs
  // they keep the input order and duplicates.
  bool from_dict = false;
  std::vector<std::pair<std::string, double>> items;
};
struct AnyArg {};
// A binary state: any object with a contiguous buffer (bytes, bytearray, memoryview), copied.
struct BytesArg {
  std::string bytes;
};
// A result returned as a new `bytes` object.
struct Bytes {
  std::string data;
};

// What a batch argument reads in place: the exported buffer, and the array made by
// numpy.asarray for objects that only offer __array__ (pandas). Released when the converted
// arguments go out of scope, with the interpreter lock held; it cannot be copied or moved, so a
// body can only take the argument by reference.
class BufferHold {
 public:
  BufferHold() = default;
  BufferHold(const BufferHold&) = delete;
  BufferHold& operator=(const BufferHold&) = delete;
  ~BufferHold() { release(); }
  void release();

  Py_buffer view{};
  bool held = false;
  PyObject* owner = nullptr;
};

// A batch's rows: converted while read from nested sequences, or an array read in place until
// materialize() copies it, once, into the core's type (with the interpreter lock released).
template <class T>
struct RowsArg {
  Rows<T> rows;
  std::optional<StridedView> array;  // set until materialized
  bool one_dimensional = false;
  BufferHold hold;

  size_t size() const { return array ? array->rows : rows.size(); }
  unsigned __int128 copy_bytes() const { return array ? quillon::copy_bytes<T>(*array) : 0; }
  void materialize() {
    if (!array) return;
    rows = copy_rows<T>(*array, one_dimensional);
    array.reset();
  }
  const Rows<T>& argument() const { return rows; }
};
using PointRows = RowsArg<float>;
using NumericRows = RowsArg<double>;
using IntegerRows = RowsArg<int64_t>;

// MStream's timestamps, materialized like rows.
struct Timestamps {
  std::vector<uint64_t> values;
  std::optional<StridedView> array;
  BufferHold hold;

  size_t size() const { return array ? array->rows : values.size(); }
  unsigned __int128 copy_bytes() const {
    return array ? static_cast<unsigned __int128>(array->rows) * sizeof(uint64_t) : 0;
  }
  void materialize() {
    if (!array) return;
    values.resize(array->rows);
    for (size_t i = 0; i < array->rows; ++i) {
      values[i] =
          element<uint64_t>(array->base + static_cast<ptrdiff_t>(i) * array->row_stride, array->type);
    }
    array.reset();
  }
  std::span<const uint64_t> argument() const { return values; }
};

// Not a Python argument: how a batch asks whether a signal should stop it.
struct InterruptArg {
  BatchInterrupt check;
  const BatchInterrupt& argument() const { return check; }
};

struct NewArgs {
  std::vector<uint64_t> values;
};

// ---------------------------------------------------------------------------------------------
// Method signatures, each written once as the Python signature reads: "near_neighbors(point,
// top_k=10, percentile=50)". The declaration gives the parameter names, how many are required
// (those without a default), the name in messages ("Forest.near_neighbors()") and the docstring's
// "near_neighbors($self, point, top_k=10, percentile=50)\n--\n\n" header.

inline constexpr bool kReleaseLock = true;
inline constexpr bool kHoldLock = false;
inline constexpr size_t kMaxParams = 9;

// A string literal as a template argument.
template <size_t N>
struct Literal {
  char chars[N]{};
  constexpr Literal() = default;
  constexpr Literal(const char (&s)[N]) { std::copy_n(s, N, chars); }
  static constexpr size_t size = N - 1;
  constexpr std::string_view view() const { return {chars, N - 1}; }
};

struct Signature {
  std::string_view full_name;  // "Forest.update()", "Forest.__new__()"
  std::array<std::string_view, kMaxParams> params;
  uint8_t count;
  uint8_t required;
  bool release_lock;
};

namespace declaration {

// The pieces joined into one NUL-terminated array of static storage.
constexpr void append(char*& out, std::string_view piece) {
  out = std::copy(piece.begin(), piece.end(), out);
}

constexpr std::string_view name_of(std::string_view decl) { return decl.substr(0, decl.find('(')); }
constexpr std::string_view params_of(std::string_view decl) {
  const size_t open = decl.find('(');
  return decl.substr(open + 1, decl.size() - open - 2);
}

// "name(params)" with `self` prepended to the parameters, then "\n--\n\n" and the text.
template <Literal Decl, Literal Doc, bool Self>
constexpr auto docstring() {
  constexpr std::string_view decl = Decl.view();
  static_assert(decl.find('(') != std::string_view::npos && decl.back() == ')');
  constexpr std::string_view self = !Self ? "" : params_of(decl).empty() ? "$self" : "$self, ";
  constexpr std::string_view sep = "\n--\n\n";
  std::array<char, decl.size() + self.size() + sep.size() + Doc.size + 1> out{};
  char* p = out.data();
  append(p, decl.substr(0, decl.find('(') + 1));
  append(p, self);
  append(p, decl.substr(decl.find('(') + 1));
  append(p, sep);
  append(p, Doc.view());
  return out;
}
template <Literal Decl, Literal Doc, bool Self>
inline constexpr auto docstring_v = docstring<Decl, Doc, Self>();

// "Class.name()"
template <Literal Class, Literal Decl>
constexpr auto full_name() {
  constexpr std::string_view cls = name_of(Class.view());
  constexpr std::string_view name = name_of(Decl.view());
  std::array<char, cls.size() + name.size() + 4> out{};
  char* p = out.data();
  append(p, cls);
  append(p, ".");
  append(p, name);
  append(p, "()");
  return out;
}
template <Literal Class, Literal Decl>
inline constexpr auto full_name_v = full_name<Class, Decl>();

template <Literal Decl>
constexpr auto method_name() {
  constexpr std::string_view name = name_of(Decl.view());
  std::array<char, name.size() + 1> out{};
  std::copy(name.begin(), name.end(), out.data());
  return out;
}
template <Literal Decl>
inline constexpr auto method_name_v = method_name<Decl>();

template <Literal Class, Literal Decl, bool Release>
constexpr Signature signature() {
  constexpr std::string_view full = {full_name_v<Class, Decl>.data(),
                                     full_name_v<Class, Decl>.size() - 1};
  Signature sig{full, {}, 0, 0, Release};
  std::string_view rest = params_of(Decl.view());
  bool defaults = false;
  while (!rest.empty()) {
    const size_t comma = rest.find(", ");
    const std::string_view param = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 2);
    const size_t eq = param.find('=');
    if (eq != std::string_view::npos) defaults = true;
    // A parameter without a default after one with a default cannot be declared in Python.
    if (eq == std::string_view::npos && defaults) throw "a required parameter follows a default";
    if (sig.count == kMaxParams) throw "too many parameters";
    sig.params[sig.count++] = param.substr(0, eq);
    if (!defaults) ++sig.required;
  }
  return sig;
}
template <Literal Class, Literal Decl, bool Release>
inline constexpr Signature signature_v = signature<Class, Decl, Release>();

}  // namespace declaration

// A core's Python class: type() is specialised for each class (py_classes.hpp).
template <class Core>
struct ClassInfo {
  static PyTypeObject* type();
};

// ---------------------------------------------------------------------------------------------
// Shared pieces (py_binding.cpp).

// Fills `slots` (borrowed references, nullptr when empty) from a vectorcall; TypeError on failure.
bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** slots);
bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots);

void add_note_while_processing(std::string_view param);
PyObject* raise_detector_error(const DetectorError& e);
// The single call's exception, with the note "while processing row N" when the error has a row.
PyObject* raise_detector_error(const RowError& e);
// The numpy module, imported on first use (borrowed; nullptr with ImportError set).
PyObject* numpy_module();
// Of an event given as a dict, equal names (str subclasses) keep the later value.
void keep_last_of_equal_names(FeatureEvent& event);
// Raises PanicException; `reported` says the diagnostic was already written where it happened.
PyObject* raise_panic(const char* text, bool reported = false);
PyObject* panic_exception_type();

bool convert(PyObject* obj, std::vector<float>& out);
bool convert(PyObject* obj, std::vector<double>& out);
bool convert(PyObject* obj, std::vector<int64_t>& out);
bool convert(PyObject* obj, std::vector<uint64_t>& out);
bool convert(PyObject* obj, uint64_t& out);
bool convert(PyObject* obj, double& out);
bool convert(PyObject* obj, bool& out);
bool convert(PyObject* obj, Seed& out);
bool convert(PyObject* obj, TextOrBytes& out);
bool convert(PyObject* obj, Text& out);
bool convert(PyObject* obj, Path& out);
bool convert(PyObject* obj, BytesArg& out);
bool convert(PyObject* obj, FeatureEvent& out);
inline bool convert(PyObject*, AnyArg&) { return true; }
bool convert(PyObject* obj, PointRows& out);
bool convert(PyObject* obj, NumericRows& out);
bool convert(PyObject* obj, IntegerRows& out);
bool convert(PyObject* obj, Timestamps& out);
bool convert(PyObject* obj, FeatureEvents& out);

inline PyObject* to_python(double v) { return PyFloat_FromDouble(v); }
inline PyObject* to_python(float v) { return PyFloat_FromDouble(static_cast<double>(v)); }
inline PyObject* to_python(bool v) { return PyBool_FromLong(v ? 1 : 0); }
inline PyObject* to_python(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
inline PyObject* to_python(int64_t v) { return PyLong_FromLongLong(v); }
inline PyObject* to_python(const std::string& v) {
  return PyUnicode_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size()));
}
PyObject* to_python(const NewArgs& v);
inline PyObject* to_python(const Bytes& v) {
  return PyBytes_FromStringAndSize(v.data.data(), static_cast<Py_ssize_t>(v.data.size()));
}
PyObject* to_python(const Scores& v);
template <class T>
PyObject* to_python(const std::vector<T>& v);

// A `float` element of a list gets exact widening; everything else by its own rule.
template <class T>
PyObject* to_python(const std::vector<T>& v) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(v.size()));
  if (list == nullptr) return nullptr;
  for (size_t i = 0; i < v.size(); ++i) {
    PyObject* item = to_python(v[i]);
    if (item == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

// ---------------------------------------------------------------------------------------------
// Instances and the access counter.

template <class Core>
struct Instance {
  PyObject_HEAD
  std::atomic<int64_t> access;  // 0 free, n > 0 shared holders, -1 exclusive
  Core core;
};

enum class Access { None, Shared, Exclusive };

inline bool acquire(std::atomic<int64_t>& counter, Access kind) {
  if (kind == Access::None) return true;
  if (kind == Access::Exclusive) {
    int64_t expected = 0;
    if (counter.compare_exchange_strong(expected, -1, std::memory_order_acquire)) return true;
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    return false;
  }
  int64_t current = counter.load(std::memory_order_relaxed);
  while (true) {
    if (current < 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      return false;
    }
    if (counter.compare_exchange_weak(current, current + 1, std::memory_order_acquire)) return true;
  }
}

inline void release(std::atomic<int64_t>& counter, Access kind) {
  if (kind == Access::Exclusive) {
    counter.store(0, std::memory_order_release);
  } else if (kind == Access::Shared) {
    counter.fetch_sub(1, std::memory_order_release);
  }
}

struct AccessGuard {
  std::atomic<int64_t>* counter = nullptr;
  Access kind = Access::None;
  ~AccessGuard() {
    if (counter != nullptr) release(*counter, kind);
  }
};

// Wraps a core value into a new instance of its class (never a subclass).
template <class Core>
PyObject* wrap_new(Core&& core) {
  PyTypeObject* type = ClassInfo<Core>::type();
  if (type == nullptr) return nullptr;
  PyObject* obj = type->tp_alloc(type, 0);
  if (obj == nullptr) return nullptr;
  auto* inst = reinterpret_cast<Instance<Core>*>(obj);
  new (&inst->access) std::atomic<int64_t>(0);
  new (&inst->core) Core(std::move(core));
  return obj;
}

template <class Core>
void dealloc_slot(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* inst = reinterpret_cast<Instance<Core>*>(self);
  inst->core.~Core();
  type->tp_free(self);
  Py_DECREF(type);
}

// ---------------------------------------------------------------------------------------------
// Calling a core function.

template <class T>
struct is_expected : std::false_type {};
template <class T, class E>
struct is_expected<std::expected<T, E>> : std::true_type {};

template <class T>
struct strip_optional {
  using type = T;
};
template <class T>
struct strip_optional<std::optional<T>> {
  using type = T;
};

// The argument held for a parameter of type P: what the Python object converts to.
template <class P>
struct SlotOf {
  using type = P;
};
template <class T>
struct SlotOf<Rows<T>> {
  using type = RowsArg<T>;
};
template <>
struct SlotOf<std::span<const uint64_t>> {
  using type = Timestamps;
};
template <>
struct SlotOf<BatchInterrupt> {
  using type = InterruptArg;
};
template <class P>
using slot_t = typename SlotOf<std::remove_cvref_t<P>>::type;

// What the body receives of a held argument.
template <class T>
decltype(auto) pass(T& v) {
  if constexpr (requires { v.argument(); }) {
    return v.argument();
  } else {
    return std::move(v);
  }
}

template <class Fn>
struct FnTraits;
// Plain functions whose first parameter is the core.
template <class R, class C, class... A>
struct FnTraits<R (*)(C&, A...)> {
  using Core = std::remove_const_t<C>;
  using Result = R;
  using Args = std::tuple<slot_t<A>...>;
  static constexpr Access kAccess = std::is_const_v<C> ? Access::Shared : Access::Exclusive;
  static constexpr bool kStatic = false;
};
// Member functions of the core.
template <class R, class C, class... A>
struct FnTraits<R (C::*)(A...)> {
  using Core = C;
  using Result = R;
  using Args = std::tuple<slot_t<A>...>;
  static constexpr Access kAccess = Access::Exclusive;
  static constexpr bool kStatic = false;
};
template <class R, class C, class... A>
struct FnTraits<R (C::*)(A...) const> : FnTraits<R (C::*)(A...)> {
  static constexpr Access kAccess = Access::Shared;
};
// Static methods and constructors: no core parameter.
template <class R, class... A>
struct FnTraits<R (*)(A...)> {
  using Result = R;
  using Args = std::tuple<slot_t<A>...>;
  static constexpr Access kAccess = Access::None;
  static constexpr bool kStatic = true;
};

template <class T>
bool convert_slot(PyObject* obj, T& out) {
  if constexpr (std::is_same_v<T, InterruptArg>) {
    return true;  // set by invoke, not given by the caller
  } else if constexpr (std::is_same_v<T, Seed>) {
    if (obj == nullptr) return true;  // omitted seed: absent
    return convert(obj, out);
  } else if constexpr (!std::is_same_v<typename strip_optional<T>::type, T>) {
    if (obj == nullptr) return true;
    out.emplace();
    return convert(obj, *out);
  } else {
    return obj != nullptr && convert(obj, out);
  }
}

template <class Tuple, size_t... I>
bool convert_all(const Signature& sig, PyObject** slots, Tuple& values, std::index_sequence<I...>) {
  bool ok = true;
  ((ok = ok && (convert_slot(slots[I], std::get<I>(values)) ||
                (add_note_while_processing(sig.params[I]), false))),
   ...);
  return ok;
}

// What the core produced, held until the lock is back.
template <class R>
struct Outcome {
  std::optional<R> value;
  std::string panic;
  bool reported = false;
  bool bad_alloc = false;
  std::string memory;  // the text of a refused reservation
};

template <class R, class Call>
void run_core(Outcome<R>& out, Call&& call) {
  try {
    out.value.emplace(call());
  } catch (const InternalFailure& e) {
    out.panic = e.what();
    out.reported = true;
    if (out.panic.empty()) out.panic = "internal failure";
  } catch (const MemoryRefused& e) {
    out.bad_alloc = true;
    out.memory = e.what();
  } catch (const std::bad_alloc&) {
    out.bad_alloc = true;
  } catch (const std::exception& e) {
    out.panic = e.what();
    if (out.panic.empty()) out.panic = "internal failure";
  }
}

template <class Core, class T>
PyObject* result_to_python(T&& v) {
  if constexpr (std::is_same_v<std::remove_cvref_t<T>, Core>) {
    return wrap_new<Core>(std::forward<T>(v));
  } else {
    return to_python(v);
  }
}

template <class R>
PyObject* raise_no_memory(const Outcome<R>& out) {
  if (out.memory.empty()) return PyErr_NoMemory();
  PyErr_SetString(PyExc_MemoryError, out.memory.c_str());
  return nullptr;
}

template <class Core, class R>
PyObject* finish_outcome(Outcome<R>& out) {
  if (out.bad_alloc) return raise_no_memory(out);
  if (!out.value) return raise_panic(out.panic.c_str(), out.reported);
  R& r = *out.value;
  if constexpr (is_expected<R>::value) {
    if (!r) return raise_detector_error(r.error());
    if constexpr (std::is_void_v<typename R::value_type>) {
      Py_RETURN_NONE;
    } else {
      return result_to_python<Core>(std::move(*r));
    }
  } else {
    return result_to_python<Core>(std::move(r));
  }
}

struct Unit {};

// A batch's result: BatchStatus, or BatchResult<T> with T one array or more per row.
template <class R>
struct is_batch_result : std::false_type {};
template <class T>
struct is_batch_result<BatchResult<T>> : std::true_type {};

template <class T>
struct is_batch_arg : std::false_type {};
template <class T>
struct is_batch_arg<RowsArg<T>> : std::true_type {};
template <>
struct is_batch_arg<Timestamps> : std::true_type {};
template <>
struct is_batch_arg<FeatureEvents> : std::true_type {};

// Before a batch reads a row: refuses a batch whose copies and scores the machine cannot hold
// (a stride-0 view can claim 2^40 rows in a few bytes), then makes the one converted copy.
template <class Tuple>
void prepare_batch(Tuple& values, size_t output_bytes_per_row) {
  size_t rows = 0;
  unsigned __int128 bytes = 0;
  std::apply(
      [&](auto&... v) {
        (
            [&](auto& arg) {
              using A = std::remove_cvref_t<decltype(arg)>;
              if constexpr (is_batch_arg<A>::value) {
                rows = std::max(rows, static_cast<size_t>(arg.size()));
                if constexpr (requires { arg.copy_bytes(); }) bytes += arg.copy_bytes();
              }
            }(v),
            ...);
      },
      values);
  // The outputs, and the arrays they are returned in.
  bytes += static_cast<unsigned __int128>(rows) * output_bytes_per_row;
  require_memory(bytes, "a batch of " + std::to_string(rows) + " rows");
  std::apply(
      [](auto&... v) {
        (
            [](auto& arg) {
              if constexpr (requires { arg.materialize(); }) arg.materialize();
            }(v),
            ...);
      },
      values);
}

// A batch asks between rows whether to stop: it re-attaches to the interpreter for a moment so
// that signal handlers run (PyErr_CheckSignals needs an attached thread), and stops when one
// raised, leaving that exception pending.
inline Status check_signals(PyThreadState*& detached) {
  PyEval_RestoreThread(detached);
  const int rc = PyErr_CheckSignals();
  detached = PyEval_SaveThread();
  if (rc != 0) return fail(DetectorError::interrupted());
  return {};
}

// Runs `Fn` on converted slots. `core` is null for static functions.
template <auto Fn, const Signature& Sig, class Core>
PyObject* invoke(Core* core, PyObject** slots) {
  using Traits = FnTraits<decltype(Fn)>;
  using Args = typename Traits::Args;
  using R0 = typename Traits::Result;
  using R = std::conditional_t<std::is_void_v<R0>, Unit, R0>;
  constexpr bool kBatch = is_batch_result<R>::value;
  constexpr bool kBatchOutput = kBatch && !std::is_same_v<R, BatchStatus>;
  // Scores take two doubles a row (the core's and the array's); other outputs are budgeted at
  // three (grades and alerts: two doubles and two bytes).
  [[maybe_unused]] constexpr size_t kOutputBytes =
      !kBatchOutput                             ? 0
      : std::is_same_v<R, BatchResult<Scores>> ? 2 * sizeof(double)
                                               : 3 * sizeof(double);
  Args values{};
  if (!convert_all(Sig, slots, values, std::make_index_sequence<std::tuple_size_v<Args>>{})) {
    return nullptr;
  }
  // A batch's array needs numpy; import it before anything changes, so a missing numpy is an
  // ImportError and not an ingested batch without its scores.
  if constexpr (kBatchOutput) {
    if (numpy_module() == nullptr) return nullptr;
  }
  PyThreadState* detached = nullptr;
  std::apply(
      [&](auto&... v) {
        (
            [&](auto& arg) {
              if constexpr (std::is_same_v<std::remove_cvref_t<decltype(arg)>, InterruptArg>) {
                static_assert(Sig.release_lock, "only a call that releases the lock is interrupted");
                arg.check = [&detached] { return check_signals(detached); };
              }
            }(v),
            ...);
      },
      values);
  Outcome<R> out;
  auto call = [&]() -> R {
    if constexpr (kBatch) prepare_batch(values, kOutputBytes);
    auto apply = [&](auto&... a) -> R {
      if constexpr (std::is_void_v<R0>) {
        if constexpr (Traits::kStatic) Fn(pass(a)...);
        else std::invoke(Fn, *core, pass(a)...);
        return Unit{};
      } else if constexpr (Traits::kStatic) {
        return Fn(pass(a)...);
      } else {
        return std::invoke(Fn, *core, pass(a)...);
      }
    };
    return std::apply(apply, values);
  };
  if constexpr (Sig.release_lock) {
    detached = PyEval_SaveThread();
    run_core(out, call);
    PyEval_RestoreThread(detached);
  } else {
    run_core(out, call);
  }
  if constexpr (std::is_void_v<R0>) {
    if (out.bad_alloc) return raise_no_memory(out);
    if (!out.value) return raise_panic(out.panic.c_str(), out.reported);
    Py_RETURN_NONE;
  } else {
    return finish_outcome<Core>(out);
  }
}

// No C++ exception may cross into the interpreter: conversions and results can run out of memory
// (a hostile iterable that never ends), and a broken invariant is a PanicException.
template <class Body>
PyObject* guarded(Body&& body) {
  try {
    return body();
  } catch (const MemoryRefused& e) {
    PyErr_SetString(PyExc_MemoryError, e.what());
    return nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const InternalFailure& e) {
    return raise_panic(e.what(), true);
  } catch (const std::exception& e) {
    return raise_panic(e.what());
  }
}

template <auto Fn, const Signature& Sig>
PyObject* fastcall_body(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  using Traits = FnTraits<decltype(Fn)>;
  PyObject* slots[9] = {};
  if (!bind_fastcall(Sig, args, nargs, kwnames, slots)) return nullptr;
  if constexpr (Traits::kStatic) {
    using Core = std::remove_cvref_t<decltype(*std::declval<typename Traits::Result>())>;
    (void)self;
    return invoke<Fn, Sig, Core>(static_cast<Core*>(nullptr), slots);
  } else {
    using Core = typename Traits::Core;
    auto* inst = reinterpret_cast<Instance<Core>*>(self);
    if (!acquire(inst->access, Traits::kAccess)) return nullptr;
    AccessGuard guard{&inst->access, Traits::kAccess};
    return invoke<Fn, Sig, Core>(&inst->core, slots);
  }
}

template <auto Fn, const Signature& Sig>
PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] { return fastcall_body<Fn, Sig>(self, args, nargs, kwnames); });
}

template <auto Fn, const Signature& Sig>
PyObject* noargs(PyObject* self, PyObject*) {
  using Traits = FnTraits<decltype(Fn)>;
  using Core = typename Traits::Core;
  return guarded([&]() -> PyObject* {
    auto* inst = reinterpret_cast<Instance<Core>*>(self);
    if (!acquire(inst->access, Traits::kAccess)) return nullptr;
    AccessGuard guard{&inst->access, Traits::kAccess};
    return invoke<Fn, Sig, Core>(&inst->core, nullptr);
  });
}

// tp_new: Fn is `Result<Core> (*)(args...)`.
template <auto Fn, const Signature& Sig>
PyObject* new_slot(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  using Core = typename FnTraits<decltype(Fn)>::Result::value_type;
  return guarded([&]() -> PyObject* {
    PyObject* slots[9] = {};
    if (!bind_tuple(Sig, args, kwargs, slots)) return nullptr;
    return invoke<Fn, Sig, Core>(static_cast<Core*>(nullptr), slots);
  });
}

template <auto Fn, const Signature& Sig>
constexpr PyMethodDef method_def(const char* name, const char* doc) {
  using Traits = FnTraits<decltype(Fn)>;
  if constexpr (Sig.count == 0 && !Traits::kStatic) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&noargs<Fn, Sig>)),
            METH_NOARGS, doc};
  } else {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&fastcall<Fn, Sig>)),
            METH_FASTCALL | METH_KEYWORDS | (Traits::kStatic ? METH_STATIC : 0), doc};
  }
}

namespace declaration {

// "__new__(params)" from "Class(params)".
template <Literal Ctor>
constexpr auto new_declaration() {
  constexpr std::string_view params = Ctor.view().substr(Ctor.view().find('('));
  constexpr std::string_view name = "__new__";
  Literal<name.size() + params.size() + 1> out;
  char* p = out.chars;
  append(p, name);
  append(p, params);
  return out;
}

template <Literal Ctor>
constexpr auto qualified_name() {
  constexpr std::string_view prefix = "quillon.quillon.";
  constexpr std::string_view name = name_of(Ctor.view());
  std::array<char, prefix.size() + name.size() + 1> out{};
  char* p = out.data();
  append(p, prefix);
  append(p, name);
  return out;
}
template <Literal Ctor>
inline constexpr auto qualified_name_v = qualified_name<Ctor>();

}  // namespace declaration

// A class described by its constructor's declaration, "Forest(input_dim, shingle_size=1, ...)".
template <Literal Ctor>
struct ClassDef {
  // A method table entry: `Decl` is "name(params)" as Python shows it, `Doc` the text under it.
  template <auto Fn, Literal Decl, Literal Doc, bool Release = kHoldLock>
  static constexpr PyMethodDef method() {
    return method_def<Fn, declaration::signature_v<Ctor, Decl, Release>>(
        declaration::method_name_v<Decl>.data(),
        declaration::docstring_v<Decl, Doc, !FnTraits<decltype(Fn)>::kStatic>.data());
  }
  // tp_new over `Result<Core> construct(args...)`, whose parameters are the constructor's.
  template <auto Fn>
  static constexpr newfunc constructor() {
    return &new_slot<Fn, declaration::signature_v<Ctor, declaration::new_declaration<Ctor>(),
                                                  kHoldLock>>;
  }
  template <Literal Doc>
  static constexpr const char* doc() {
    return declaration::docstring_v<Ctor, Doc, false>.data();
  }
  static constexpr const char* qualified_name() {
    return declaration::qualified_name_v<Ctor>.data();
  }
};

template <class Core>
PyObject* repr_slot(PyObject* self) {
  return guarded([&]() -> PyObject* {
    auto* inst = reinterpret_cast<Instance<Core>*>(self);
    if (!acquire(inst->access, Access::Shared)) return nullptr;
    AccessGuard guard{&inst->access, Access::Shared};
    return to_python(inst->core.repr());
  });
}

// ---------------------------------------------------------------------------------------------
// Persistence and copying, the same for every class.

// Runs blocking file I/O detached from the interpreter, as open() does: a FIFO can block for
// ever, and other threads (and their garbage collections) must not wait for it. When a signal
// interrupts a blocked call the Python handlers run; an exception they raise ends the call.
template <class Io>
auto detached_io(Io&& io) {
  struct Detached {
    PyThreadState* state = PyEval_SaveThread();
    ~Detached() { PyEval_RestoreThread(state); }
  } detached;
  const InterruptCheck check = [&detached]() -> Status {
    PyEval_RestoreThread(detached.state);
    const int rc = PyErr_CheckSignals();
    detached.state = PyEval_SaveThread();
    if (rc != 0) return fail(DetectorError::interrupted());
    return {};
  };
  return io(check);
}

template <class Core>
struct PersistenceMethods {
  // save_json and save_bytes, load_json and load_bytes: the same file handling around the
  // format's serialiser `Write` and parser `Read`.
  template <auto Write>
  static Status save(const Core& c, Path path) {
    const std::string data = (c.*Write)();
    return detached_io(
        [&](const InterruptCheck& check) { return write_file(path.bytes, data, check); });
  }
  template <auto Read>
  static Result<Core> load(Path path) {
    auto data =
        detached_io([&](const InterruptCheck& check) { return read_file(path.bytes, check); });
    if (!data) return fail(data.error());
    return Read(*data);
  }
  // `Arg` is the argument kind the format accepts: text or bytes for JSON, a buffer for binary.
  template <auto Read, class Arg>
  static Result<Core> parse(Arg state) {
    return Read(state.bytes);
  }
  static std::string to_json(const Core& c) { return c.to_json(); }
  static Bytes to_bytes(const Core& c) { return {c.to_bytes()}; }
  static uint64_t heap_bytes(const Core& c) { return c.heap_bytes(); }
  // What sys.getsizeof reports (it adds the garbage collector's header): the instance and the
  // heap memory its state holds.
  static uint64_t sizeof_(const Core& c) { return sizeof(Instance<Core>) + c.heap_bytes(); }
  static Core copy(const Core& c) { return c; }
  static Core deepcopy(const Core& c, AnyArg) { return c; }
  static Status setstate(Core& c, Text state) {
    auto parsed = Core::from_json(state.utf8);
    if (!parsed) return fail(parsed.error());
    c = std::move(*parsed);
    return {};
  }
  static NewArgs getnewargs(const Core& c) { return NewArgs{c.newargs()}; }
};

// A docstring joined from pieces at compile time.
template <Literal... Pieces>
constexpr auto join() {
  Literal<(Pieces.size + ... + 1)> out;
  char* p = out.chars;
  (declaration::append(p, Pieces.view()), ...);
  return out;
}

// The persistence entries of the method table of class `D` (a ClassDef), in groups that every
// class lists in the same order: json, then binary (where the core has a binary state), then
// copy_and_pickle.
template <class Core, class D>
struct PersistenceTable {
  using M = PersistenceMethods<Core>;

  // to_json, from_json, save_json, load_json with the class's own docstrings.
  template <Literal ToJson, Literal FromJson, Literal SaveJson, Literal LoadJson>
  static constexpr std::array<PyMethodDef, 4> json() {
    return {D::template method<&M::to_json, "to_json()", ToJson>(),
            D::template method<&M::template parse<&Core::from_json, TextOrBytes>,
                               "from_json(json)", FromJson>(),
            D::template method<&M::template save<&Core::to_json>, "save_json(path)", SaveJson>(),
            D::template method<&M::template load<&Core::from_json>, "load_json(path)",
                               LoadJson>()};
  }

  // to_bytes, from_bytes, save_bytes, load_bytes, heap_bytes and __sizeof__. The docstrings name
  // what the state belongs to (`Noun`: "detector", "forest"); `HeapFormula` follows heap_bytes'
  // first paragraph. The interpreter lock is released while a state is encoded or decoded.
  template <Literal Noun, Literal HeapFormula>
  static constexpr std::array<PyMethodDef, 6> binary() {
    return {
        D::template method<&M::to_bytes, "to_bytes()",
                           join<"Serialize the ", Noun, " state to compact binary bytes.\n\n"
                                "The bytes hold exactly what `to_json()` holds, in a versioned "
                                "little-endian format,\na fraction of the size, and are read back "
                                "by `from_bytes()`.">(),
                           kReleaseLock>(),
        D::template method<&M::template parse<&Core::from_bytes, BytesArg>, "from_bytes(data)",
                           join<"Deserialize the ", Noun,
                                " from bytes previously written by `to_bytes()`.\n\n"
                                "`data` is any bytes-like object. The state is checked as "
                                "`from_json()` checks it.">(),
                           kReleaseLock>(),
        D::template method<&M::template save<&Core::to_bytes>, "save_bytes(path)",
                           join<"Serialize the ", Noun,
                                " state to a binary file (see `to_bytes()`).">()>(),
        D::template method<&M::template load<&Core::from_bytes>, "load_bytes(path)",
                           join<"Deserialize the ", Noun,
                                " from a binary file previously written by `save_bytes()`.">()>(),
        D::template method<&M::heap_bytes, "heap_bytes()",
                           join<"Approximate bytes of memory the ", Noun,
                                " holds outside the object itself.\n\n", HeapFormula>()>(),
        D::template method<&M::sizeof_, "__sizeof__()",
                           "Size of the object in memory, in bytes, with its state's heap.">()};
  }

  // __copy__, __deepcopy__, __getstate__, __setstate__, and __getnewargs__ when the core has
  // `newargs()` (a constructor with required arguments).
  static constexpr auto copy_and_pickle() {
    const std::array<PyMethodDef, 4> common = {
        D::template method<&M::copy, "__copy__()", "">(),
        D::template method<&M::deepcopy, "__deepcopy__(memo)", "">(),
        D::template method<&M::to_json, "__getstate__()", "">(),
        D::template method<&M::setstate, "__setstate__(state)", "">()};
    if constexpr (requires(const Core& c) { c.newargs(); }) {
      return std::array<PyMethodDef, 5>{
          common[0], common[1], common[2], common[3],
          D::template method<&M::getnewargs, "__getnewargs__()", "">()};
    } else {
      return common;
    }
  }
};

// A class's method table: entries and groups of entries in order, then the zeroed entry that
// ends it. The result must live for the whole process (a namespace-scope variable).
template <class... Parts>
constexpr auto method_table(const Parts&... parts) {
  constexpr auto count = []<class P>(const P*) -> size_t {
    if constexpr (std::is_same_v<P, PyMethodDef>) {
      return 1;
    } else {
      return std::tuple_size_v<P>;
    }
  };
  std::array<PyMethodDef, (count(static_cast<const Parts*>(nullptr)) + ... + 1)> table{};
  size_t at = 0;
  const auto add = [&]<class P>(const P& part) {
    if constexpr (std::is_same_v<P, PyMethodDef>) {
      table[at++] = part;
    } else {
      for (const PyMethodDef& entry : part) table[at++] = entry;
    }
  };
  (add(parts), ...);
  return table;
}

// Creates the heap type "quillon.quillon.<name>". `methods` must end with a zeroed entry (as
// method_table's do) and, like `doc`, live for the whole process.
PyTypeObject* make_type(const char* qualified_name, const char* doc, int basicsize, newfunc tp_new,
                        destructor tp_dealloc, reprfunc tp_repr, PyMethodDef* methods);

// The type object of class `D` over `Core`, created by the first call (from its arguments) and
// kept for the life of the process: ClassInfo<Core>::type() of each class returns it.
template <class Core, class D>
PyTypeObject* class_type(const char* doc, newfunc tp_new, PyMethodDef* methods) {
  static PyTypeObject* const type =
      make_type(D::qualified_name(), doc, static_cast<int>(sizeof(Instance<Core>)), tp_new,
                &dealloc_slot<Core>, &repr_slot<Core>, methods);
  return type;
}

}  // namespace quillon::py

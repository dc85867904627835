// The one boundary between Python and the detector cores.
//
// A class file describes each method once and this header does the rest: binding positional and
// keyword arguments, taking the instance's access counter, converting arguments, releasing the
// interpreter lock around the core's work, converting the result and mapping errors.
//
//   // 1. The class's identity (src/<component>/py_<class>.cpp).
//   template <> struct py::ClassInfo<oif::OnlineIForest> {
//     static constexpr const char* kName = "OnlineIForest";
//     static PyTypeObject* type();            // created once, see make_type below
//   };
//
//   // 2. A signature per method: full name for messages, parameter names, required count,
//   //    whether the lock is released (the computing methods only).
//   constexpr py::Signature kUpdate{"OnlineIForest.update()", {"point"}, 1, 1, py::kReleaseLock};
//
//   // 3. The body: a plain function taking the core first. `const Core&` takes shared access,
//   //    `Core&` exclusive access. The other parameter types choose the argument conversion:
//   //      std::vector<float> point vector     std::vector<double>  numeric vector
//   //      std::vector<int64_t> integer vector  std::vector<uint64_t> index vector
//   //      uint64_t unsigned size   double float   bool flag   py::Seed seed
//   //      py::TextOrBytes  py::Text  py::Path  py::FeatureEvent  py::AnyArg
//   //      std::optional<T>  an optional parameter (omitted -> nullopt)
//   //    It returns a value or Result<value> / Status. Values convert by py::to_python (double,
//   //    float, bool, uint64_t, int64_t, std::string, std::vector<T>, py::NewArgs, the Core itself
//   //    -> a new instance); for other types define `PyObject* to_python(const T&)` in the type's
//   //    namespace (it runs with the lock held).
//   Status update(oif::OnlineIForest& d, std::vector<float> point) { return d.update(point); }
//
//   // 4. The method table entry:
//   py::method_def<&update, kUpdate>("update", "update($self, point)\n--\n\nIngest a point ...")
//
// Constructors use py::new_slot<&construct, kNew> with `Result<Core> construct(args...)`.
// py::PersistenceMethods<Core> adds to_json, from_json, save_json, load_json, __copy__,
// __deepcopy__, __getstate__, __setstate__ (and __getnewargs__ when the core has `newargs()`).
// The core provides `std::string to_json() const`, `static Result<Core> from_json(std::string_view)`
// and `std::string repr() const`.
#pragma once

#include "py_compat.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
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

template <class T>
struct RowsArg {
  Rows<T> rows;
  BufferHold hold;
};
using PointRows = RowsArg<float>;
using NumericRows = RowsArg<double>;
using IntegerRows = RowsArg<int64_t>;

struct Timestamps {
  Column column;
  BufferHold hold;
};
struct NewArgs {
  std::vector<uint64_t> values;
};

// ---------------------------------------------------------------------------------------------
// Method signatures.

inline constexpr bool kReleaseLock = true;
inline constexpr bool kHoldLock = false;

struct Signature {
  const char* full_name;  // "Forest.update()", "Forest.__new__()"
  std::array<const char*, 9> params;
  uint8_t count;
  uint8_t required;
  bool release_lock;
};

template <class Core>
struct ClassInfo;  // kName, type()

// ---------------------------------------------------------------------------------------------
// Shared pieces (py_binding.cpp).

// Fills `slots` (borrowed references, nullptr when empty) from a vectorcall; TypeError on failure.
bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** slots);
bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots);

void add_note_while_processing(const char* param);
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

template <class Fn>
struct FnTraits;
// Instance methods: the first parameter is the core.
template <class R, class C, class... A>
struct FnTraits<R (*)(C&, A...)> {
  using Core = std::remove_const_t<C>;
  using Result = R;
  using Args = std::tuple<std::remove_cvref_t<A>...>;
  static constexpr Access kAccess = std::is_const_v<C> ? Access::Shared : Access::Exclusive;
  static constexpr bool kStatic = false;
};
// Static methods and constructors: no core parameter.
template <class R, class... A>
struct FnTraits<R (*)(A...)> {
  using Result = R;
  using Args = std::tuple<std::remove_cvref_t<A>...>;
  static constexpr Access kAccess = Access::None;
  static constexpr bool kStatic = true;
};

template <class T>
bool convert_slot(PyObject* obj, T& out) {
  if constexpr (std::is_same_v<T, Seed>) {
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

// Runs `Fn` on converted slots. `core` is null for static functions.
template <auto Fn, const Signature& Sig, class Core>
PyObject* invoke(Core* core, PyObject** slots) {
  using Traits = FnTraits<decltype(Fn)>;
  using Args = typename Traits::Args;
  using R0 = typename Traits::Result;
  using R = std::conditional_t<std::is_void_v<R0>, Unit, R0>;
  Args values{};
  if (!convert_all(Sig, slots, values, std::make_index_sequence<std::tuple_size_v<Args>>{})) {
    return nullptr;
  }
  // A batch's array needs numpy; import it before anything changes, so a missing numpy is an
  // ImportError and not an ingested batch without its scores.
  if constexpr (std::is_same_v<R, BatchResult<Scores>>) {
    if (numpy_module() == nullptr) return nullptr;
  }
  Outcome<R> out;
  auto call = [&]() -> R {
    if constexpr (Traits::kStatic) {
      if constexpr (std::is_void_v<R0>) {
        std::apply(Fn, std::move(values));
        return Unit{};
      } else {
        return std::apply(Fn, std::move(values));
      }
    } else {
      auto with_core = [&](auto&&... a) { return Fn(*core, std::move(a)...); };
      if constexpr (std::is_void_v<R0>) {
        std::apply(with_core, std::move(values));
        return Unit{};
      } else {
        return std::apply(with_core, std::move(values));
      }
    }
  };
  if constexpr (Sig.release_lock) {
    Py_BEGIN_ALLOW_THREADS run_core(out, call);
    Py_END_ALLOW_THREADS
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
  static std::string to_json(const Core& c) { return c.to_json(); }
  static Result<Core> from_json(TextOrBytes json) { return Core::from_json(json.bytes); }
  static Status save_json(const Core& c, Path path) {
    const std::string text = c.to_json();
    return detached_io(
        [&](const InterruptCheck& check) { return write_file(path.bytes, text, check); });
  }
  static Result<Core> load_json(Path path) {
    auto text =
        detached_io([&](const InterruptCheck& check) { return read_file(path.bytes, check); });
    if (!text) return fail(text.error());
    return Core::from_json(*text);
  }
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

// Appends the persistence entries to a method table. Signatures need static storage, so each
// class instantiates this with its own signature set (see PERSISTENCE_SIGNATURES).
struct PersistenceSignatures {
  Signature to_json, from_json, save_json, load_json, copy, deepcopy, getstate, setstate,
      getnewargs;
};

template <class Core, const PersistenceSignatures& S>
struct PersistenceTable {
  using M = PersistenceMethods<Core>;
  static constexpr PyMethodDef to_json(const char* doc) {
    return method_def<&M::to_json, S.to_json>("to_json", doc);
  }
  static constexpr PyMethodDef from_json(const char* doc) {
    return method_def<&M::from_json, S.from_json>("from_json", doc);
  }
  static constexpr PyMethodDef save_json(const char* doc) {
    return method_def<&M::save_json, S.save_json>("save_json", doc);
  }
  static constexpr PyMethodDef load_json(const char* doc) {
    return method_def<&M::load_json, S.load_json>("load_json", doc);
  }
  static constexpr PyMethodDef copy() {
    return method_def<&M::copy, S.copy>("__copy__", "__copy__($self)\n--\n\n");
  }
  static constexpr PyMethodDef deepcopy() {
    return method_def<&M::deepcopy, S.deepcopy>("__deepcopy__", "__deepcopy__($self, memo)\n--\n\n");
  }
  static constexpr PyMethodDef getstate() {
    return method_def<&M::to_json, S.getstate>("__getstate__", "__getstate__($self)\n--\n\n");
  }
  static constexpr PyMethodDef setstate() {
    return method_def<&M::setstate, S.setstate>("__setstate__",
                                                 "__setstate__($self, state)\n--\n\n");
  }
  static constexpr PyMethodDef getnewargs() {
    return method_def<&M::getnewargs, S.getnewargs>("__getnewargs__",
                                                     "__getnewargs__($self)\n--\n\n");
  }
};

// The copy and pickle entries of a method table, the same in every class whose core has
// `newargs()`; `Persist` is the class's PersistenceTable.
#define QUILLON_COPY_AND_PICKLE_METHODS(Persist)                                  \
  Persist::copy(), Persist::deepcopy(), Persist::getstate(), Persist::setstate(), \
      Persist::getnewargs()

// The signatures of the persistence methods of class `cls` (a string literal).
constexpr PersistenceSignatures persistence_signatures(const char* to_json, const char* from_json,
                                                       const char* save_json, const char* load_json,
                                                       const char* copy, const char* deepcopy,
                                                       const char* getstate, const char* setstate,
                                                       const char* getnewargs) {
  return PersistenceSignatures{
      {to_json, {}, 0, 0, kHoldLock},           {from_json, {"json"}, 1, 1, kHoldLock},
      {save_json, {"path"}, 1, 1, kHoldLock},   {load_json, {"path"}, 1, 1, kHoldLock},
      {copy, {}, 0, 0, kHoldLock},              {deepcopy, {"memo"}, 1, 1, kHoldLock},
      {getstate, {}, 0, 0, kHoldLock},          {setstate, {"state"}, 1, 1, kHoldLock},
      {getnewargs, {}, 0, 0, kHoldLock},
  };
}

#define QUILLON_PERSISTENCE_SIGNATURES(Class)                                                    \
  ::quillon::py::persistence_signatures(                                                         \
      Class ".to_json()", Class ".from_json()", Class ".save_json()", Class ".load_json()",       \
      Class ".__copy__()", Class ".__deepcopy__()", Class ".__getstate__()",                      \
      Class ".__setstate__()", Class ".__getnewargs__()")

// Creates the heap type "quillon.quillon.<name>". `methods` must end with a zeroed entry and,
// like `doc`, live for the whole process.
PyTypeObject* make_type(const char* qualified_name, const char* doc, int basicsize, newfunc tp_new,
                        destructor tp_dealloc, reprfunc tp_repr, PyMethodDef* methods);

template <class Core>
PyTypeObject* make_type_for(const char* qualified_name, const char* doc, newfunc tp_new,
                            PyMethodDef* methods) {
  return make_type(qualified_name, doc, static_cast<int>(sizeof(Instance<Core>)), tp_new,
                   &dealloc_slot<Core>, &repr_slot<Core>, methods);
}

}  // namespace quillon::py

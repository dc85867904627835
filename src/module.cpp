// Module entry: `import quillon.quillon` runs PyInit_quillon, whose exec step registers the four
// detector classes and the version, in a fixed order, each name also appended to `__all__`, and
// then Alerts as a plain attribute, so that `__all__` keeps exactly the names it always listed.
#include "py_compat.hpp"

#include "py_binding.hpp"
#include "py_classes.hpp"

#ifndef QUILLON_VERSION
#error "QUILLON_VERSION (from pyproject.toml) must be defined by the build"
#endif

namespace {

int add_to_module(PyObject* module, const char* name, PyObject* value) {
  if (value == nullptr) return -1;
  PyObject* all = nullptr;
  if (PyObject_GetOptionalAttrString(module, "__all__", &all) < 0) {
    Py_DECREF(value);
    return -1;
  }
  if (all == nullptr) {
    all = PyList_New(0);
    if (all == nullptr || PyObject_SetAttrString(module, "__all__", all) < 0) {
      Py_XDECREF(all);
      Py_DECREF(value);
      return -1;
    }
  } else if (!PyList_Check(all)) {
    PyErr_SetString(PyExc_TypeError, "`__all__` must be a list");
    Py_DECREF(all);
    Py_DECREF(value);
    return -1;
  }
  PyObject* text = PyUnicode_FromString(name);
  const int appended = text != nullptr ? PyList_Append(all, text) : -1;
  Py_XDECREF(text);
  Py_DECREF(all);
  if (appended < 0) {
    Py_DECREF(value);
    return -1;
  }
  return PyModule_Add(module, name, value);
}

template <class Core>
int add_class(PyObject* module, const char* name, bool listed = true) {
  PyTypeObject* type = quillon::py::ClassInfo<Core>::type();
  if (type == nullptr) {
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing class %s", name);
    if (cause != nullptr) {
      PyObject* exc = PyErr_GetRaisedException();
      PyException_SetCause(exc, cause);
      PyErr_SetRaisedException(exc);
    }
    return -1;
  }
  Py_INCREF(type);
  if (!listed) return PyModule_Add(module, name, reinterpret_cast<PyObject*>(type));
  return add_to_module(module, name, reinterpret_cast<PyObject*>(type));
}

int quillon_exec(PyObject* module) {
  using namespace quillon;
  if (py::panic_exception_type() == nullptr) return -1;
  if (add_class<fsketch::FeatureSketch>(module, "FeatureSketch") < 0) return -1;
  if (add_class<oif::OnlineIForest>(module, "OnlineIForest") < 0) return -1;
  if (add_class<mstream::MStream>(module, "MStream") < 0) return -1;
  if (add_class<rcf::Forest>(module, "Forest") < 0) return -1;
  if (add_to_module(module, "__version__", PyUnicode_FromString(QUILLON_VERSION)) < 0) return -1;
  // An attribute but not in `__all__`: star imports and the list callers check stay as they were.
  if (add_class<alerts::Alerts>(module, "Alerts", false) < 0) return -1;
  return 0;
}

PyModuleDef_Slot quillon_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&quillon_exec)},
#ifdef Py_mod_gil // 3.13 and newer: keeps the free-threaded build free of the GIL
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef quillon_module = {
    PyModuleDef_HEAD_INIT, "quillon", "", 0, nullptr, quillon_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_quillon(void) { return PyModuleDef_Init(&quillon_module); }

// Placeholder classes for detectors whose class file has not landed yet. The real class files
// define the same functions (strong symbols), which replace these weak ones at link time.
#include "py_binding.hpp"
#include "py_classes.hpp"

namespace quillon::py {
namespace {

PyObject* pending_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyErr_Format(PyExc_NotImplementedError, "%s is not available in this build", type->tp_name);
  return nullptr;
}

PyTypeObject* make_pending(const char* name, const char* doc) {
  static PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};
  PyType_Slot slots[] = {{Py_tp_new, reinterpret_cast<void*>(&pending_new)},
                         {Py_tp_methods, no_methods},
                         {Py_tp_doc, const_cast<char*>(doc)},
                         {0, nullptr}};
  PyType_Spec spec{name, static_cast<int>(sizeof(PyObject)), 0, Py_TPFLAGS_DEFAULT, slots};
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

}  // namespace

__attribute__((weak)) PyTypeObject* feature_sketch_type() {
  static PyTypeObject* t = make_pending("quillon.quillon.FeatureSketch", "");
  return t;
}
__attribute__((weak)) PyTypeObject* online_iforest_type() {
  static PyTypeObject* t = make_pending("quillon.quillon.OnlineIForest", "");
  return t;
}
__attribute__((weak)) PyTypeObject* mstream_type() {
  static PyTypeObject* t = make_pending("quillon.quillon.MStream", "");
  return t;
}
__attribute__((weak)) PyTypeObject* forest_type() {
  static PyTypeObject* t = make_pending("quillon.quillon.Forest", "");
  return t;
}

}  // namespace quillon::py

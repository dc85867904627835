#pragma once
// The few C-API calls the binding uses that are newer than CPython 3.11, defined here for the
// interpreters that lack them, each with the semantics of its newest version, so the binding
// reads the same and behaves the same on every interpreter it builds for.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000 // 3.12

inline PyObject* PyErr_GetRaisedException() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) {
    return nullptr;
  }
  // 3.12 keeps only the exception instance; an unnormalized (type, value) pair becomes one.
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) {
    PyException_SetTraceback(value, traceback);
  }
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return value;
}

inline void PyErr_SetRaisedException(PyObject* exception) {
  if (exception == nullptr) {
    PyErr_Clear();
    return;
  }
  PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception)));
  PyErr_Restore(type, exception, PyException_GetTraceback(exception));
}

#endif

#if PY_VERSION_HEX < 0x030D0000 // 3.13

// Returns 1 and a new reference in *result when the attribute exists, 0 with *result null when it
// does not, -1 on any other error.
inline int PyObject_GetOptionalAttrString(PyObject* object, const char* name, PyObject** result) {
  *result = PyObject_GetAttrString(object, name);
  if (*result != nullptr) {
    return 1;
  }
  if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    return 0;
  }
  return -1;
}

inline int PyObject_HasAttrStringWithError(PyObject* object, const char* name) {
  PyObject* value = nullptr;
  const int found = PyObject_GetOptionalAttrString(object, name, &value);
  Py_XDECREF(value);
  return found;
}

// Takes the reference to value whether or not adding it succeeds.
inline int PyModule_Add(PyObject* module, const char* name, PyObject* value) {
  if (value == nullptr) {
    return -1;
  }
  const int status = PyModule_AddObjectRef(module, name, value);
  Py_DECREF(value);
  return status;
}

// With the GIL a critical section is just a scope, as in 3.13's default build.
#define Py_BEGIN_CRITICAL_SECTION(op) {
#define Py_END_CRITICAL_SECTION() }

#endif

#if PY_VERSION_HEX < 0x030E0000 // 3.14

// Returns 1 and a new reference in *item, 0 with *item null once the iterator is exhausted, -1
// with *item null on error.
inline int PyIter_NextItem(PyObject* iterator, PyObject** item) {
  if (Py_TYPE(iterator)->tp_iternext == nullptr) {
    *item = nullptr;
    PyErr_Format(PyExc_TypeError, "expected an iterator, got '%s'", Py_TYPE(iterator)->tp_name);
    return -1;
  }
  *item = PyIter_Next(iterator);
  if (*item != nullptr) {
    return 1;
  }
  return PyErr_Occurred() != nullptr ? -1 : 0;
}

#endif

// The class objects, created on first use and kept for the life of the process.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quillon::py {

PyTypeObject* feature_sketch_type();
PyTypeObject* online_iforest_type();
PyTypeObject* mstream_type();
PyTypeObject* forest_type();
PyTypeObject* alerts_type();

}  // namespace quillon::py

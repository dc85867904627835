// The class objects, created on first use and kept for the life of the process.
#pragma once

#include "py_compat.hpp"

namespace quillon::py {

PyTypeObject* feature_sketch_type();
PyTypeObject* online_iforest_type();
PyTypeObject* mstream_type();
PyTypeObject* forest_type();
PyTypeObject* alerts_type();

}  // namespace quillon::py

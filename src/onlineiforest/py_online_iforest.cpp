// Placeholder: the class file for this detector. A complete worked example of a class file (a
// toy detector with constructor, methods, persistence, docstrings) is /work/notes/py_class_example.cpp
// outside the repository; it compiles against src/py_binding.hpp. Define ClassInfo<YourCore>::type()
// and the matching function of src/py_classes.hpp (e.g. quillon::py::forest_type()) here; that
// replaces the placeholder class of src/py_pending.cpp. Delete these lines when you write the file.

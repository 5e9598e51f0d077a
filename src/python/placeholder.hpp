// Stand-ins for classes and functions whose behaviour is still being
// built: they exist with their final names and docstrings, and raise
// NotImplementedError when used.
#pragma once

#include "ref.hpp"

namespace molbrook::py {

inline PyObject* not_implemented(const char* what) noexcept {
  PyErr_Format(PyExc_NotImplementedError, "%s is not implemented yet", what);
  return nullptr;
}

// A class whose construction raises NotImplementedError.
inline PyTypeObject* placeholder_class(const char* qualified_name, const char* doc) noexcept {
  static newfunc refuse = [](PyTypeObject* type, PyObject*, PyObject*) -> PyObject* {
    return not_implemented(type->tp_name);
  };
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(doc)},
      {Py_tp_new, reinterpret_cast<void*>(refuse)},
      {0, nullptr},
  };
  PyType_Spec spec = {qualified_name, sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

}  // namespace molbrook::py

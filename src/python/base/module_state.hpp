// What one import of molbrook.native owns: its classes and exception
// classes, made for that module object alone, so that several interpreters
// each have their own and none shares a Python object with another.
//
// Code reaches the state from what it is given: a module function from its
// module, a method or slot from the class of its object (a class method
// from its class), once per call, and passes it, or the class it needs,
// down to its helpers.
#pragma once

#include <type_traits>

#include "base/errors.hpp"
#include "base/ref.hpp"

namespace molbrook::py {

struct ModuleState {
  PyTypeObject* ctable;
  PyTypeObject* sdblock;
  PyTypeObject* block_iterator;
  PyTypeObject* record_iterator;
  PyTypeObject* name_iterator;
  PyTypeObject* writer;
  PyTypeObject* record_table;
  PyTypeObject* table_reader;
  PyTypeObject* stream_reader;
  PyTypeObject* index;
  PyTypeObject* sorter;
  PyTypeObject* lint_scan;
  PyTypeObject* lint_finding;
  PyTypeObject* lint_edit;
  PyObject* errors[kErrorClassCount];

  PyObject* error(ErrorClass which) const noexcept { return errors[static_cast<int>(which)]; }
};

// The interpreter allocates the state zeroed, which is all it needs to be.
static_assert(std::is_trivial_v<ModuleState> && std::is_standard_layout_v<ModuleState>);

// The definition of molbrook.native (module.cpp).
extern PyModuleDef module_def;

// The state of a molbrook.native module object.
inline ModuleState& module_state(PyObject* module) noexcept {
  return *static_cast<ModuleState*>(PyModule_GetState(module));
}

// The state of the module that made `type` or one of its bases: a class of
// the module or a subclass of one, as the interpreter has checked `self`
// to be before it calls a slot or method.
inline ModuleState& module_state_of_type(PyTypeObject* type) noexcept {
  return module_state(PyType_GetModuleByDef(type, &module_def));
}

// The state of the module whose class `object` is an instance of.
inline ModuleState& module_state_of(PyObject* object) noexcept { return module_state_of_type(Py_TYPE(object)); }

}  // namespace molbrook::py

// The extension module molbrook.native: its initialisation hooks and the
// execution step that fills it.
#include "ctable/ctable.hpp"
#include "base/errors.hpp"
#include "base/module_state.hpp"
#include "index/index.hpp"
#include "records/iter.hpp"
#include "lint/lint.hpp"
#include "lint/lint_result.hpp"
#include "records/merge.hpp"
#include "table/table_writer.hpp"
#include "read/opened.hpp"
#include "read/read.hpp"
#include "records/record_text.hpp"
#include "block/sdblock.hpp"
#include "sort/sort.hpp"
#include "read/stream_reader.hpp"
#include "table/table.hpp"
#include "table/table_reader.hpp"
#include "write/writer.hpp"

namespace molbrook::py {
namespace {

// From pyproject.toml, through CMakeLists.txt.
constexpr const char* kVersion = MOLBROOK_VERSION;

#ifdef NDEBUG
constexpr bool kDebugBuild = false;
#else
constexpr bool kDebugBuild = true;
#endif

// A class of the module: where the state keeps it, and what creates it for
// a module.
struct ModuleClass {
  PyTypeObject* ModuleState::*field;
  PyTypeObject* (*create)(PyObject* module) noexcept;
};

constexpr ModuleClass kClasses[] = {
    {&ModuleState::ctable, new_ctable_type},
    {&ModuleState::sdblock, new_sdblock_type},
    {&ModuleState::block_iterator, new_block_iterator_type},
    {&ModuleState::record_iterator, new_record_iterator_type},
    {&ModuleState::name_iterator, new_name_iterator_type},
    {&ModuleState::writer, new_writer_type},
    {&ModuleState::record_table, new_record_table_type},
    {&ModuleState::table_reader, new_table_reader_type},
    {&ModuleState::index, new_index_type},
    {&ModuleState::sorter, new_sorter_type},
    {&ModuleState::stream_reader, new_stream_reader_type},
    {&ModuleState::lint_scan, new_lint_scan_type},
    {&ModuleState::lint_finding, new_lint_finding_type},
    {&ModuleState::lint_edit, new_lint_edit_type},
};

// Sets module.name = value and appends the name to module.__all__
// (created when missing). Takes over the reference to `value`.
bool add_public(PyObject* module, const char* name, Ref value) noexcept {
  if (!value) return false;
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  } else if (!PyList_Check(all.get())) {
    PyErr_Format(PyExc_TypeError, "%s.__all__ must be a list, not %.200s", PyModule_GetName(module),
                 Py_TYPE(all.get())->tp_name);
    return false;
  }
  Ref text = Ref::steal(PyUnicode_FromString(name));
  return text && PyList_Append(all.get(), text.get()) == 0 &&
         PyObject_SetAttrString(module, name, value.get()) == 0;
}

Ref new_function(PyMethodDef* def, PyObject* module) noexcept {
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  // The module is the function's self, from which it finds the state.
  return module_name ? Ref::steal(PyCFunction_NewEx(def, module, module_name.get())) : Ref();
}

// Creates the module's classes and exception classes into its state.
bool create_classes(PyObject* module) noexcept {
  ModuleState& state = module_state(module);
  for (const ModuleClass& made : kClasses) {
    state.*made.field = made.create(module);
    if (state.*made.field == nullptr) return false;
  }
  return create_error_classes(state);
}

// Publishes one of the classes create_classes made.
bool add_class(PyObject* module, const char* name, PyTypeObject* ModuleState::*field) noexcept {
  return add_public(module, name, Ref::borrow(type_object(module_state(module).*field)));
}

bool add_error_classes(PyObject* module) noexcept {
  const ModuleState& state = module_state(module);
  for (int i = 0; i < kErrorClassCount; ++i) {
    const auto which = static_cast<ErrorClass>(i);
    if (!add_public(module, error_class_attribute(which), Ref::borrow(state.error(which)))) return false;
  }
  return true;
}

// Every reference the state holds, to `each(PyObject*&)` until one returns
// nonzero, which it returns.
template <class Each>
int for_each_reference(ModuleState& state, Each each) noexcept {
  for (const ModuleClass& made : kClasses) {
    // A field not made yet is null, which type_object() must not be given.
    PyObject* type = reinterpret_cast<PyObject*>(state.*made.field);
    int result = each(type);
    state.*made.field = as_type(type);
    if (result != 0) return result;
  }
  for (PyObject*& error : state.errors) {
    if (int result = each(error)) return result;
  }
  return 0;
}

int traverse_native(PyObject* module, visitproc visit, void* arg) noexcept {
  return for_each_reference(module_state(module), [&](PyObject*& object) {
    Py_VISIT(object);
    return 0;
  });
}

int clear_native(PyObject* module) noexcept {
  return for_each_reference(module_state(module), [](PyObject*& object) {
    Py_CLEAR(object);
    return 0;
  });
}

void free_native(void* module) noexcept { clear_native(static_cast<PyObject*>(module)); }

int exec_native(PyObject* module) noexcept {
  if (!PyModule_Check(module)) {
    PyErr_Format(PyExc_TypeError, "module exec expected a module, not %.200s", Py_TYPE(module)->tp_name);
    return -1;
  }
  // __all__ keeps the order of the first release's names; later ones follow
  // where they were added.
  bool added = create_classes(module) && add_class(module, "CTable", &ModuleState::ctable) &&
               add_class(module, "SDBlock", &ModuleState::sdblock) &&
               add_class(module, "_SDBlockIterator", &ModuleState::block_iterator) &&
               add_class(module, "_SDRecordIterator", &ModuleState::record_iterator) &&
               add_class(module, "_SDNameIterator", &ModuleState::name_iterator) && add_error_classes(module) &&
               add_public(module, "parse_sdf", new_function(&parse_sdf_def, module)) &&
               add_public(module, "parse_sdf_range", new_function(&parse_sdf_range_def, module)) &&
               add_public(module, "_parse_text_stream", new_function(&parse_text_stream_def, module)) &&
               add_public(module, "_parse_decompressed", new_function(&parse_decompressed_def, module)) &&
               add_public(module, "_parse_range_at", new_function(&parse_range_at_def, module)) &&
               add_public(module, "_compression_of", new_function(&compression_of_def, module)) &&
               add_public(module, "write_sdf", new_function(&write_sdf_def, module)) &&
               add_public(module, "sdf_writer", new_function(&sdf_writer_def, module)) &&
               add_class(module, "_SDFWriter", &ModuleState::writer) &&
               add_class(module, "_RecordTable", &ModuleState::record_table) &&
               add_class(module, "_TableReader", &ModuleState::table_reader) &&
               add_class(module, "SDIndex", &ModuleState::index) &&
               add_public(module, "_open_index", new_function(&open_index_def, module)) &&
               add_public(module, "_merge_blocks", new_function(&merge_blocks_def, module)) &&
               add_class(module, "_Sorter", &ModuleState::sorter) &&
               add_public(module, "_write_table", new_function(&write_table_def, module)) &&
               add_public(module, "_lint_path", new_function(&lint_path_def, module)) &&
               add_public(module, "_lint_bytes", new_function(&lint_bytes_def, module)) &&
               add_class(module, "_StreamReader", &ModuleState::stream_reader) &&
               add_public(module, "_lint_codes", lint_code_names()) &&
               add_public(module, "_record_problem", new_function(&record_problem_def, module)) &&
               add_class(module, "_LintScan", &ModuleState::lint_scan) &&
               add_class(module, "_LintFinding", &ModuleState::lint_finding) &&
               add_class(module, "_LintEdit", &ModuleState::lint_edit) &&
               add_public(module, "__version__", Ref::steal(PyUnicode_FromString(kVersion))) &&
               add_public(module, "DEBUG_BUILD", Ref::borrow(kDebugBuild ? Py_True : Py_False));
  return added ? 0 : -1;
}

constexpr const char* kName = "molbrook.native";
constexpr const char* kDoc = "";

// The module's slots. It runs without the interpreter lock on a
// free-threaded build: calls on one object run one at a time (entry.hpp),
// borrows change atomically (borrow.hpp) and every other state is the
// caller's own or immutable. Each interpreter, with its own lock or not,
// has a module of its own: its classes live in its state (module_state.hpp)
// and the process keeps no Python object. From 3.15 on the slots are
// written once, in the form of the export hook, and the classic definition
// nests the part a PyModuleDef may carry (its name, doc and state are
// fields there).
#if PY_VERSION_HEX >= 0x030F0000
PyABIInfo_VAR(abi_info);

PySlot shared_slots[] = {
    PySlot_PTR(Py_mod_abi, &abi_info),
    PySlot_PTR(Py_mod_exec, exec_native),
    PySlot_PTR(Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED),
    PySlot_PTR(Py_mod_gil, Py_MOD_GIL_NOT_USED),
    PySlot_END,
};

// The state, which the classic definition gives by its fields; the token
// is the definition, by which the module's classes find it
// (module_state.hpp) whichever hook made it.
PySlot export_slots[] = {
    PySlot_PTR(Py_mod_name, kName),
    PySlot_PTR(Py_mod_doc, kDoc),
    PySlot_PTR(Py_mod_state_size, sizeof(ModuleState)),
    PySlot_PTR(Py_mod_state_traverse, traverse_native),
    PySlot_PTR(Py_mod_state_clear, clear_native),
    PySlot_PTR(Py_mod_state_free, free_native),
    PySlot_PTR(Py_mod_token, &module_def),
    PySlot_PTR(Py_slot_subslots, shared_slots),
    PySlot_END,
};

PyModuleDef_Slot classic_slots[] = {
    {Py_slot_subslots, shared_slots},
    {0, nullptr},
};
#else
PyModuleDef_Slot classic_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_native)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};
#endif

}  // namespace

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = kName,
    .m_doc = kDoc,
    .m_size = sizeof(ModuleState),
    .m_methods = nullptr,
    .m_slots = classic_slots,
    .m_traverse = traverse_native,
    .m_clear = clear_native,
    .m_free = free_native,
};

}  // namespace molbrook::py

// Python 3.15 imports through the export hook; earlier versions, and
// loaders that look for it, through the classic one.
PyMODINIT_FUNC PyInit_native(void) { return PyModuleDef_Init(&molbrook::py::module_def); }

#if PY_VERSION_HEX >= 0x030F0000
PyMODEXPORT_FUNC PyModExport_native(void) { return molbrook::py::export_slots; }
#endif

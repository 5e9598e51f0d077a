// The extension module molbrook.native: its initialisation hooks and the
// execution step that fills it.
#include "ctable/ctable.hpp"
#include "base/errors.hpp"
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

// Classes are created once per process and shared by every import of the
// module, like the exception classes; hence no sub-interpreter support.
bool init_types() noexcept {
  return init_ctable_type() && init_sdblock_type() && init_block_iterator_type() &&
         init_record_iterator_types() && init_writer_type() && init_record_table_type() &&
         init_table_reader_type() && init_stream_reader_type() && init_index_type() && init_sorter_type() &&
         init_lint_types();
}

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

Ref new_reference(PyTypeObject* type) noexcept { return Ref::borrow(type_object(type)); }

Ref new_function(PyMethodDef* def, PyObject* module) noexcept {
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  return module_name ? Ref::steal(PyCFunction_NewEx(def, nullptr, module_name.get())) : Ref();
}

// Adds every exception class of the module.
bool add_error_classes(PyObject* module) noexcept {
  for (int i = 0; i < kErrorClassCount; ++i) {
    const auto which = static_cast<ErrorClass>(i);
    if (!add_public(module, error_class_attribute(which), Ref::borrow(error_class(which)))) return false;
  }
  return true;
}

int exec_native(PyObject* module) noexcept {
  if (!PyModule_Check(module)) {
    PyErr_Format(PyExc_TypeError, "module exec expected a module, not %.200s", Py_TYPE(module)->tp_name);
    return -1;
  }
  if (!init_error_classes() || !init_types()) return -1;
  bool added = add_public(module, "CTable", new_reference(CTableType)) &&
               add_public(module, "SDBlock", new_reference(SDBlockType)) &&
               add_public(module, "_SDBlockIterator", new_reference(SDBlockIteratorType)) &&
               add_public(module, "_SDRecordIterator", new_reference(SDRecordIteratorType)) &&
               add_public(module, "_SDNameIterator", new_reference(SDNameIteratorType)) &&
               add_error_classes(module) &&
               add_public(module, "parse_sdf", new_function(&parse_sdf_def, module)) &&
               add_public(module, "parse_sdf_range", new_function(&parse_sdf_range_def, module)) &&
               add_public(module, "_parse_text_stream", new_function(&parse_text_stream_def, module)) &&
               add_public(module, "_parse_range_at", new_function(&parse_range_at_def, module)) &&
               add_public(module, "_compression_of", new_function(&compression_of_def, module)) &&
               add_public(module, "write_sdf", new_function(&write_sdf_def, module)) &&
               add_public(module, "sdf_writer", new_function(&sdf_writer_def, module)) &&
               add_public(module, "_SDFWriter", new_reference(SDFWriterType)) &&
               add_public(module, "_RecordTable", new_reference(RecordTableType)) &&
               add_public(module, "_TableReader", new_reference(TableReaderType)) &&
               add_public(module, "SDIndex", new_reference(SDIndexType)) &&
               add_public(module, "_open_index", new_function(&open_index_def, module)) &&
               add_public(module, "_merge_blocks", new_function(&merge_blocks_def, module)) &&
               add_public(module, "_Sorter", new_reference(SorterType)) &&
               add_public(module, "_write_table", new_function(&write_table_def, module)) &&
               add_public(module, "_lint_path", new_function(&lint_path_def, module)) &&
               add_public(module, "_lint_bytes", new_function(&lint_bytes_def, module)) &&
               add_public(module, "_LintScan", new_reference(LintScanType)) &&
               add_public(module, "_LintFinding", new_reference(LintFindingType)) &&
               add_public(module, "_LintEdit", new_reference(LintEditType)) &&
               add_public(module, "_StreamReader", new_reference(StreamReaderType)) &&
               add_public(module, "_lint_codes", lint_code_names()) &&
               add_public(module, "_record_problem", new_function(&record_problem_def, module)) &&
               add_public(module, "__version__", Ref::steal(PyUnicode_FromString(kVersion))) &&
               add_public(module, "DEBUG_BUILD", Ref::borrow(kDebugBuild ? Py_True : Py_False));
  return added ? 0 : -1;
}

constexpr const char* kName = "molbrook.native";
constexpr const char* kDoc = "";

// The module's slots. It runs without the interpreter lock on a
// free-threaded build: calls on one object run one at a time (entry.hpp),
// borrows change atomically (borrow.hpp) and every other state is the
// caller's own or immutable. From 3.15 on they are written once, in the form of
// the export hook, and the classic definition nests the part a PyModuleDef
// may carry (its name and doc are fields there).
#if PY_VERSION_HEX >= 0x030F0000
PyABIInfo_VAR(abi_info);

PySlot shared_slots[] = {
    PySlot_PTR(Py_mod_abi, &abi_info),
    PySlot_PTR(Py_mod_exec, exec_native),
    PySlot_PTR(Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED),
    PySlot_PTR(Py_mod_gil, Py_MOD_GIL_NOT_USED),
    PySlot_END,
};

PySlot export_slots[] = {
    PySlot_PTR(Py_mod_name, kName),
    PySlot_PTR(Py_mod_doc, kDoc),
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
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};
#endif

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = kName,
    .m_doc = kDoc,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = classic_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace molbrook::py

// Python 3.15 imports through the export hook; earlier versions, and
// loaders that look for it, through the classic one.
PyMODINIT_FUNC PyInit_native(void) { return PyModuleDef_Init(&molbrook::py::module_def); }

#if PY_VERSION_HEX >= 0x030F0000
PyMODEXPORT_FUNC PyModExport_native(void) { return molbrook::py::export_slots; }
#endif

#include "base/errors.hpp"

#include <cerrno>
#include <optional>

#include "base/compat.hpp"
#include "base/module_state.hpp"
#include "base/sizes.hpp"

namespace molbrook::py {
namespace {

struct ErrorClassSpec {
  const char* qualified_name = nullptr;
  const char* attribute = nullptr;  // its name in the native module
  std::optional<ErrorClass> base;   // ValueError when empty
  const char* doc = nullptr;
};

// In the order of ErrorClass; a base comes before its subclasses. The
// connection-table errors are published by molbrook.ctable, so the native
// module keeps them under private names.
constexpr ErrorClassSpec kErrorClassSpecs[kErrorClassCount] = {
    {"molbrook.MalformedRecordError", "MalformedRecordError", std::nullopt, "An SD data header line has no `<name>`."},
    {"molbrook.ctable.CTableError", "_CTableError", std::nullopt,
     "A connection table's contents do not allow the operation."},
    {"molbrook.ctable.MalformedCTableError", "_MalformedCTableError", ErrorClass::CTable,
     "A CTable line is missing, lacks a field, or holds a field that cannot be read."},
    {"molbrook.ctable.IndicesDuplicateError", "_IndicesDuplicateError", ErrorClass::CTable,
     "An atom or bond index occurs twice, or a bond names a duplicated atom index."},
    {"molbrook.ctable.IndicesMismatchError", "_IndicesMismatchError", ErrorClass::CTable,
     "The number of atom or bond lines differs from what the counts line declares."},
    {"molbrook.ctable.IndicesOutOfOrderError", "_IndicesOutOfOrderError", ErrorClass::CTable,
     "Atom or bond indices do not run 1, 2, 3, ... in line order."},
};

constexpr const char* kDecodeHint =
    "parse_sdf(os.fsencode(path)) reads such files as bytes, and "
    "parse_sdf(open(path, encoding=...)) decodes another encoding.";

}  // namespace

bool create_error_classes(ModuleState& state) noexcept {
  for (int i = 0; i < kErrorClassCount; ++i) {
    const ErrorClassSpec& spec = kErrorClassSpecs[i];
    PyObject* base = spec.base ? state.error(*spec.base) : PyExc_ValueError;
    state.errors[i] = PyErr_NewExceptionWithDoc(spec.qualified_name, spec.doc, base, nullptr);
    if (state.errors[i] == nullptr) return false;
  }
  return true;
}

const char* error_class_attribute(ErrorClass which) noexcept {
  return kErrorClassSpecs[static_cast<int>(which)].attribute;
}

void raise_malformed_record(const ModuleState& state) noexcept {
  PyErr_SetString(state.error(ErrorClass::MalformedRecord), "SD data field header is missing a name");
}

PyObject* raise_os_error(int error, PyObject* path) noexcept {
  errno = error;
  return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
}

void add_note(PyObject* note) noexcept {
  Ref error = take_exception();
  Ref added = Ref::steal(PyObject_CallMethod(error.get(), "add_note", "O", note));
  if (added) restore_exception(std::move(error));
}

void note_block(PyObject* verb, std::string_view title) noexcept {
  const bool decoding = PyErr_ExceptionMatches(PyExc_UnicodeDecodeError);
  Ref error = take_exception();
  Ref shown_title = Ref::steal(PyUnicode_DecodeUTF8(title.data(), to_py_size(title.size()), "replace"));
  Ref note = shown_title ? Ref::steal(PyUnicode_FromFormat("%U the SDBlock titled '%U'.%s%s", verb, shown_title.get(),
                                                           decoding ? " " : "", decoding ? kDecodeHint : ""))
                         : Ref();
  // A failure to build the note replaces the original error.
  if (!note) return;
  restore_exception(std::move(error));
  add_note(note.get());
}

void note_decode_error(PyObject* verb, std::string_view title) noexcept {
  if (PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) note_block(verb, title);
}

void note_block(const char* verb, std::string_view title) noexcept {
  Ref error = take_exception();
  Ref verb_text = Ref::steal(PyUnicode_FromString(verb));
  restore_exception(std::move(error));
  if (verb_text) note_block(verb_text.get(), title);
}

void note_decode_error(const char* verb, std::string_view title) noexcept {
  if (PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) note_block(verb, title);
}

}  // namespace molbrook::py

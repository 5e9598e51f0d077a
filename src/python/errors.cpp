#include "errors.hpp"

#include <cerrno>

#include "compat.hpp"

namespace molbrook::py {
namespace {

constexpr const char* kDecodeHint =
    "parse_sdf(os.fsencode(path)) reads such files as bytes, and "
    "parse_sdf(open(path, encoding=...)) decodes another encoding.";

// Raises type(message) with `cause`, an exception taken out of the error
// indicator, as its __cause__. A null message (its formatting failed with
// an exception set) leaves that exception raised instead.
void raise_caused_by(Ref cause, PyObject* type, Ref message) noexcept {
  if (!message) return;
  PyErr_SetObject(type, message.get());
  Ref raised = take_exception();
  PyException_SetCause(raised.get(), cause.release());
  restore_exception(std::move(raised));
}

}  // namespace

PyObject* malformed_record_error() noexcept {
  static PyObject* error_class = nullptr;  // kept for the life of the process
  if (error_class == nullptr) {
    error_class = PyErr_NewExceptionWithDoc("molbrook.MalformedRecordError",
                                            "An SD data header line has no `<name>`.",
                                            PyExc_ValueError, nullptr);
    if (error_class == nullptr) {
      Ref cause = take_exception();
      raise_caused_by(std::move(cause), PyExc_SystemError,
                      Ref::steal(PyUnicode_FromString("Failed to initialize new exception type.")));
    }
  }
  return error_class;
}

void raise_malformed_record() noexcept {
  if (PyObject* error_class = malformed_record_error()) {
    PyErr_SetString(error_class, "SD data field header is missing a name");
  }
}

PyObject* ctable_error_class(CtableErrorClass which) noexcept {
  static constexpr const char* kModule = "molbrook.ctable";
  static constexpr const char* kNames[] = {"MalformedCTableError", "IndicesDuplicateError",
                                           "IndicesMismatchError", "IndicesOutOfOrderError"};
  static PyObject* classes[4] = {};  // kept for the life of the process
  const int index = static_cast<int>(which);
  if (classes[index] != nullptr) return classes[index];

  Ref module = Ref::steal(PyImport_ImportModule(kModule));
  Ref found = module ? Ref::steal(PyObject_GetAttrString(module.get(), kNames[index])) : Ref();
  if (!found) {
    Ref cause = take_exception();
    Ref message = Ref::steal(PyUnicode_FromFormat("failed to import exception %s.%s: %S", kModule,
                                                   kNames[index], cause.get()));
    raise_caused_by(std::move(cause), PyExc_ImportError, std::move(message));
    return nullptr;
  }
  classes[index] = found.release();
  return classes[index];
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
  Ref shown_title = Ref::steal(PyUnicode_DecodeUTF8(title.data(), static_cast<Py_ssize_t>(title.size()), "replace"));
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

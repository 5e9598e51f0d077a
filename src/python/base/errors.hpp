// Exception classes of the module and the errors shared by its classes.
#pragma once

#include <string_view>

#include "base/ref.hpp"

namespace molbrook::py {

struct ModuleState;

// The exception classes the module defines. Each import of the module
// creates its own, under the module its users import it from (molbrook,
// molbrook.ctable), so that repr and pickling name it there.
enum class ErrorClass {
  MalformedRecord,   // molbrook.MalformedRecordError(ValueError)
  CTable,            // molbrook.ctable.CTableError(ValueError)
  MalformedCTable,   // ...and its subclasses
  IndicesDuplicate,
  IndicesMismatch,
  IndicesOutOfOrder,
};
inline constexpr int kErrorClassCount = 6;

// Creates the classes into `state.errors`; false with an exception set on
// failure.
bool create_error_classes(ModuleState& state) noexcept;

// Its name in the native module: "MalformedRecordError", and for the
// classes molbrook.ctable publishes a private one ("_CTableError").
const char* error_class_attribute(ErrorClass which) noexcept;

// Raises MalformedRecordError for a header line without a <name>.
void raise_malformed_record(const ModuleState& state) noexcept;

// Raises OSError(error, os.strerror(error), path): the errno picks the
// subclass and `filename` is set. Returns null for tail calls.
PyObject* raise_os_error(int error, PyObject* path) noexcept;

// Adds `note` (a str) to the raised exception; a failure to add it
// replaces that exception.
void add_note(PyObject* note) noexcept;

// Adds the note that tells which block failed to decode, if the raised
// exception is a UnicodeDecodeError:
//   "{verb} the SDBlock titled '{title}'. {how to read other encodings}"
// `title` is the block's raw title; invalid UTF-8 in it shows as U+FFFD.
void note_decode_error(PyObject* verb, std::string_view title) noexcept;
// The same note on any raised exception; the hint only on a decoding error.
void note_block(PyObject* verb, std::string_view title) noexcept;
void note_block(const char* verb, std::string_view title) noexcept;
void note_decode_error(const char* verb, std::string_view title) noexcept;

}  // namespace molbrook::py

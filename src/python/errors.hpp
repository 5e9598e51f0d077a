// Exception classes of the module and the errors shared by its classes.
#pragma once

#include <string_view>

#include "ref.hpp"

namespace molbrook::py {

// molbrook.MalformedRecordError, a ValueError created once per process;
// null with an exception set if it cannot be created.
PyObject* malformed_record_error() noexcept;

// Raises MalformedRecordError for a header line without a <name>.
void raise_malformed_record() noexcept;

// The connection-table exceptions, defined in Python by molbrook.ctable.
enum class CtableErrorClass { Malformed, Duplicate, Mismatch, OutOfOrder };

// The class, imported from molbrook.ctable on first use and cached for the
// process; null with an exception set if it cannot be imported.
PyObject* ctable_error_class(CtableErrorClass which) noexcept;

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

// _StreamReader: the bytes of a binary stream, decompressed when its first
// bytes tell a compression format, for Python code that reads streams
// itself (the linter examines a stream's bytes rather than its blocks).
#pragma once

#include "base/ref.hpp"

namespace molbrook::py {

// Creates the class for `module`.
PyTypeObject* new_stream_reader_type(PyObject* module) noexcept;

}  // namespace molbrook::py

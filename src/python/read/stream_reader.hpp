// _StreamReader: the bytes of a binary stream, decompressed when its first
// bytes tell a compression format, for Python code that reads streams
// itself (the linter examines a stream's bytes rather than its blocks).
#pragma once

#include "base/ref.hpp"

namespace molbrook::py {

extern PyTypeObject* StreamReaderType;

bool init_stream_reader_type() noexcept;

}  // namespace molbrook::py

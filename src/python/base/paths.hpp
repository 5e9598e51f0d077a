// Path arguments of the readers and writers.
#pragma once

#include "core/base/kind.hpp"
#include "base/ref.hpp"

namespace molbrook::py {

// A path as the caller gave it, after os.fspath (str or bytes; the object
// OSErrors name), and its bytes for open(2).
struct PathArgument {
  Ref path;
  Ref encoded;

  Kind kind() const noexcept { return PyUnicode_Check(path.get()) ? Kind::Str : Kind::Bytes; }
  const char* c_path() const noexcept { return PyBytes_AS_STRING(encoded.get()); }
};

// True (1) for str, bytes and objects with __fspath__; 0 otherwise; -1 when
// looking up __fspath__ raised something other than AttributeError.
int is_path_like(PyObject* object) noexcept;

// os.fspath(object), then its bytes in the file-system encoding: a bytes
// path keeps its exact bytes, a str path is encoded as open() encodes it.
bool convert_path(PyObject* object, PathArgument& result) noexcept;

}  // namespace molbrook::py

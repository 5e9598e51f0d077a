#include "read/opened.hpp"

#include <utility>

#include "base/entry.hpp"
#include "base/errors.hpp"
#include "base/gil.hpp"
#include "base/sizes.hpp"

namespace molbrook::py {
namespace {

// The format of data whose first bytes a memoryview shows (data that is
// no local file), else of the file at a path.
PyObject* compression_of_path(PyObject* source) noexcept {
  Compression format;
  if (PyMemoryView_Check(source)) {
    const Py_buffer* head = PyMemoryView_GET_BUFFER(source);
    if (!PyBuffer_IsContiguous(head, 'C')) {
      PyErr_SetString(PyExc_ValueError, "_compression_of needs a contiguous memoryview");
      return nullptr;
    }
    format = compression_of({static_cast<const char*>(head->buf), to_size(head->len)});
  } else {
    PathArgument path;
    if (!convert_path(source, path)) return nullptr;
    OpenedFile opened;
    if (!open_released(path, opened)) return nullptr;
    format = opened.compression;
  }
  const char* name = compression_name(format);
  if (name == nullptr) Py_RETURN_NONE;
  return PyUnicode_FromString(name);
}

}  // namespace

bool open_released(const PathArgument& path, OpenedFile& opened, MappedHandle handle) noexcept {
  const char* c_path = path.c_path();
  Result<OpenedFile, platform::SystemError> result = platform::SystemError{0};
  if (!call_released([&] {
        result = open_for_reading(c_path, handle);
        return result ? 0 : result.error().code;
      })) {
    return false;
  }
  if (!result) {
    raise_os_error(result.error().code, path.path.get());
    return false;
  }
  opened = std::move(*result);
  return true;
}

PyMethodDef compression_of_def = function<compression_of_path>(
    "_compression_of",
    "_compression_of(path, /)\n--\n\n"
    "The compression a file's first bytes tell: 'gzip', 'bzip2', 'xz', 'zstd'\nor None. "
    "A memoryview of data's first bytes stands for data that is no file.");

}  // namespace molbrook::py

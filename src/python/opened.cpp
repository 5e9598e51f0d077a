#include "opened.hpp"

#include <utility>

#include "entry.hpp"
#include "errors.hpp"
#include "gil.hpp"

namespace molbrook::py {
namespace {

PyObject* compression_of_path(PyObject* source) noexcept {
  PathArgument path;
  if (!convert_path(source, path)) return nullptr;
  OpenedFile opened;
  if (!open_released(path, opened)) return nullptr;
  const char* name = compression_name(opened.compression);
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
    "The compression a file's first bytes tell: 'gzip', 'bzip2', 'xz', 'zstd'\nor None.");

}  // namespace molbrook::py

#include "base/paths.hpp"

#include "base/compat.hpp"

namespace molbrook::py {

int is_path_like(PyObject* object) noexcept {
  if (PyUnicode_Check(object) || PyBytes_Check(object)) return 1;
  // Not kept for the process, which every interpreter would share.
  Ref fspath_name = Ref::steal(PyUnicode_FromString("__fspath__"));
  if (!fspath_name) return -1;
  Ref method;
  return lookup_optional_attr(object, fspath_name.get(), method);
}

bool convert_path(PyObject* object, PathArgument& result) noexcept {
  Ref path = Ref::steal(PyOS_FSPath(object));
  if (!path) return false;
  PyObject* encoded = nullptr;
  if (!PyUnicode_FSConverter(path.get(), &encoded)) return false;
  result.path = std::move(path);
  result.encoded = Ref::steal(encoded);
  return true;
}

}  // namespace molbrook::py

#include "writer.hpp"

#include "placeholder.hpp"

namespace molbrook::py {

PyTypeObject* SDFWriterType = nullptr;

bool init_writer_type() noexcept {
  if (SDFWriterType == nullptr) {
    SDFWriterType = placeholder_class("molbrook.native._SDFWriter",
                                      "Write SDBlocks one at a time, buffered as `write_sdf` writes them.");
  }
  return SDFWriterType != nullptr;
}

namespace {

PyObject* write_sdf(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept {
  return not_implemented("write_sdf");
}

PyObject* sdf_writer(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept {
  return not_implemented("sdf_writer");
}

}  // namespace

PyMethodDef write_sdf_def = {
    "write_sdf", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(write_sdf)),
    METH_FASTCALL | METH_KEYWORDS,
    "write_sdf(dest, blocks)\n--\n\nWrite SDBlocks to a path or a file object, and return how many."};

PyMethodDef sdf_writer_def = {
    "sdf_writer", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sdf_writer)),
    METH_FASTCALL | METH_KEYWORDS,
    "sdf_writer(dest)\n--\n\nWrite SDBlocks one at a time to a path or a file object, buffered."};

}  // namespace molbrook::py

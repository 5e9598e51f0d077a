#include "read.hpp"

#include "entry.hpp"
#include "placeholder.hpp"

namespace molbrook::py {

PyTypeObject* SDBlockIteratorType = nullptr;

bool init_block_iterator_type() noexcept {
  if (SDBlockIteratorType == nullptr) {
    SDBlockIteratorType = placeholder_class("molbrook.native._SDBlockIterator",
                                            "Lazily parse SDBlocks from an input source.");
  }
  return SDBlockIteratorType != nullptr;
}

namespace {

PyObject* parse_sdf(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept {
  return not_implemented("parse_sdf");
}

}  // namespace

PyMethodDef parse_sdf_def = {
    "parse_sdf", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_sdf)),
    METH_FASTCALL | METH_KEYWORDS,
    "parse_sdf(source, *, borrow=False)\n--\n\nLazily parse SDBlocks from an SDF path or file object."};

}  // namespace molbrook::py

#include "block/exports.hpp"

#include "block/sdblock.hpp"
#include "base/sizes.hpp"

namespace molbrook::py {
namespace {

// False with TypeError for a str block.
bool bytes_like(const PySDBlock* self) noexcept {
  if (self->kind != Kind::Str) return true;
  PyErr_SetString(PyExc_TypeError, "a str SDBlock is not bytes-like; use str(block)");
  return false;
}

}  // namespace

// The view points into the block's storage (a mapped block's pages are
// exported without a copy); the export count keeps the block from being
// edited, and so from moving or freeing those bytes, until the view is
// released. The view holds a reference to the block itself.
int block_getbuffer(PySDBlock* self, Py_buffer* view, int flags) noexcept {
  SharedBorrow borrow(self->borrow);
  if (!borrow || !bytes_like(self)) return -1;
  std::string_view bytes = self->block.bytes();
  if (PyBuffer_FillInfo(view, object_of(self), const_cast<char*>(bytes.data()), to_py_size(bytes.size()),
                        /*readonly=*/1, flags) < 0) {
    return -1;
  }
  ++self->exports;
  return 0;
}

void block_releasebuffer(PySDBlock* self, Py_buffer*) noexcept { --self->exports; }

PyObject* block_bytes(PySDBlock* self) noexcept {
  SharedBorrow borrow(self->borrow);
  if (!borrow || !bytes_like(self)) return nullptr;
  std::string_view bytes = self->block.bytes();
  return PyBytes_FromStringAndSize(bytes.data(), to_py_size(bytes.size()));
}

}  // namespace molbrook::py

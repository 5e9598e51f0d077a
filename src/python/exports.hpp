// The buffer protocol of bytes blocks: bytes(block) and memoryview(block)
// read the block's bytes in place, and edits are refused while any export
// is live.
#pragma once

#include "ref.hpp"

namespace molbrook::py {

int block_getbuffer(PyObject* object, Py_buffer* view, int flags) noexcept;
void block_releasebuffer(PyObject* object, Py_buffer* view) noexcept;

}  // namespace molbrook::py

// The buffer protocol of bytes blocks: bytes(block) and memoryview(block)
// read the block's bytes in place, and edits are refused while any export
// is live.
#pragma once

#include "block/sdblock.hpp"

namespace molbrook::py {

int block_getbuffer(PySDBlock* self, Py_buffer* view, int flags) noexcept;
void block_releasebuffer(PySDBlock* self, Py_buffer* view) noexcept;

// bytes(block): a copy made in one call, so that without the GIL an edit
// on another thread never meets the export that a copy through the buffer
// would hold meanwhile (and fails with BufferError).
PyObject* block_bytes(PySDBlock* self) noexcept;

}  // namespace molbrook::py

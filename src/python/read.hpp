// Reading: parse_sdf, SDBlock.from_sdf, SDBlock.from_lines and the block
// iterator they return.
#pragma once

#include "ref.hpp"

namespace molbrook::py {

extern PyTypeObject* SDBlockIteratorType;

// Creates the iterator class, once per process.
bool init_block_iterator_type() noexcept;

extern PyMethodDef parse_sdf_def;

}  // namespace molbrook::py

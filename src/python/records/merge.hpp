// The native loop of molbrook.merge_records.
#pragma once

#include "base/ref.hpp"

namespace molbrook::py {

extern PyMethodDef merge_blocks_def;

}  // namespace molbrook::py

// The native side of molbrook.sort_sdf: the _Sorter class.
#pragma once

#include "base/ref.hpp"

namespace molbrook::py {

extern PyTypeObject* SorterType;

// Creates the class, once per process.
bool init_sorter_type() noexcept;

}  // namespace molbrook::py

// The CTable class.
#pragma once

#include "ref.hpp"

namespace molbrook::py {

extern PyTypeObject* CTableType;

// Creates the class, once per process.
bool init_ctable_type() noexcept;

}  // namespace molbrook::py

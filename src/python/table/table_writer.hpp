// The native loop of molbrook.write_table.
#pragma once

#include "base/ref.hpp"

namespace molbrook::py {

extern PyMethodDef write_table_def;

}  // namespace molbrook::py

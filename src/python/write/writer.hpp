// Writing: write_sdf, sdf_writer and the writer class.
#pragma once

#include "base/ref.hpp"

namespace molbrook::py {

extern PyTypeObject* SDFWriterType;

// Creates the writer class, once per process.
bool init_writer_type() noexcept;

extern PyMethodDef write_sdf_def;
extern PyMethodDef sdf_writer_def;

}  // namespace molbrook::py

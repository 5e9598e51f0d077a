// Writing: write_sdf, sdf_writer and the writer class.
#pragma once

#include "base/ref.hpp"

namespace molbrook::py {

// Creates the writer class for `module`.
PyTypeObject* new_writer_type(PyObject* module) noexcept;

extern PyMethodDef write_sdf_def;
extern PyMethodDef sdf_writer_def;

}  // namespace molbrook::py

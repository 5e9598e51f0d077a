// The RecordTable class: record batches under one schema, exported to
// Arrow consumers through the PyCapsule interface.
#pragma once

#include <memory>
#include <string>

#include "core/table/arrow_export.hpp"
#include "base/ref.hpp"

namespace molbrook::py {

// Creates the class for `module`.
PyTypeObject* new_record_table_type(PyObject* module) noexcept;

// A new instance of `type` (RecordTable or a subclass) holding `table`.
PyObject* wrap_table(PyTypeObject* type, std::shared_ptr<const Table> table) noexcept;

// PyCapsules as the Arrow PyCapsule interface names them, owning what
// they point to until a consumer moves it out.
PyObject* schema_capsule(const Schema& schema, const std::vector<bool>& large);
PyObject* stream_capsule(ArrowArrayStream stream) noexcept;

// Keeps the raised exception's text in `error`, for a stream's
// get_last_error, and returns `code`.
int stream_failed(std::string& error, int code) noexcept;

}  // namespace molbrook::py

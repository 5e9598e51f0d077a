// Record names and values that writers take from their callers, checked
// to read back before anything is written; the rule is the core's
// (core/records/readable.hpp).
#pragma once

#include <string_view>

#include "base/ref.hpp"

namespace molbrook::py {

// ValueError unless `name` reads back: "record name 'a<b' holds '<' or
// '>'". `shown` is the object the caller gave, for the message.
bool check_record_name(PyObject* shown, std::string_view name) noexcept;

// _record_problem(name, value=None), for the Python writers.
extern PyMethodDef record_problem_def;

}  // namespace molbrook::py

// Argument binding for vectorcall methods.
#pragma once

#include <string>

#include "base/ref.hpp"

namespace molbrook::py {

// Binds a tuple and a dict as PyArg_ParseTupleAndKeywords does, except
// that a keyword that matches none of `keywords` is named before any
// argument is found missing: a misspelt keyword reads as itself, not as
// the argument it was meant for.
bool parse_arguments(PyObject* args, PyObject* kwargs, const char* format, const char* const* keywords,
                     ...) noexcept;

// Binds METH_FASTCALL | METH_KEYWORDS arguments as parse_arguments binds
// a tuple and a dict, so that binding errors read as the interpreter's
// own. Hot methods check for their common positional call first and only
// fall back to this.
bool parse_fastcall(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* format,
                    const char* const* keywords, ...) noexcept;

// A flag argument: True, False or a NumPy boolean. Anything else is a
// TypeError naming the argument, as the interpreter words it:
// "parse_sdf() argument 'borrow' must be bool, not int".
bool bool_argument(PyObject* value, const char* function, const char* argument, bool& result) noexcept;

// A str as its UTF-8; anything else is a TypeError saying `expected`.
bool utf8_argument(PyObject* value, const char* expected, std::string& result);

}  // namespace molbrook::py

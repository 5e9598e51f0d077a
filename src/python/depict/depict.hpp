// The depiction members of SDBlock: depict() and the notebook displays.
#pragma once

#include "block/sdblock.hpp"

namespace molbrook::py {

PyObject* block_depict(PySDBlock* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* block_repr_svg(PySDBlock* self);
PyObject* block_repr_html(PyObject* self);

extern const char kBlockDepictDoc[];
extern const char kBlockReprSvgDoc[];
extern const char kBlockReprHtmlDoc[];

}  // namespace molbrook::py

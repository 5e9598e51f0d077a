// SDBlock sections as properties (title, molblock, mdl, ctab) and the copy
// and pickle protocol. The class assembles them in sdblock.cpp.
#pragma once

#include "ref.hpp"

namespace molbrook::py {

// Getters and setters of the section properties. Deleting any of them
// raises AttributeError; ctab cannot be assigned.
PyObject* get_title(PyObject* object, void*) noexcept;
PyObject* get_molblock(PyObject* object, void*) noexcept;
PyObject* get_mdl(PyObject* object, void*) noexcept;
PyObject* get_ctab(PyObject* object, void*) noexcept;
int set_title(PyObject* object, PyObject* value, void*);
int set_molblock(PyObject* object, PyObject* value, void*);
int set_mdl(PyObject* object, PyObject* value, void*);
int set_ctab(PyObject* object, PyObject* value, void*) noexcept;

extern const char kTitleDoc[];
extern const char kMolblockDoc[];
extern const char kMdlDoc[];
extern const char kCtabDoc[];

// __copy__ (METH_NOARGS), __deepcopy__ (METH_O), __reduce__ (METH_NOARGS)
// and the class method _from_state (METH_FASTCALL | METH_KEYWORDS).
PyObject* block_copy(PyObject* object, PyObject*);
PyObject* block_deepcopy(PyObject* object, PyObject* memo);
PyObject* block_reduce(PyObject* object, PyObject*) noexcept;
PyObject* block_from_state(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

extern const char kCopyDoc[];
extern const char kDeepcopyDoc[];
extern const char kReduceDoc[];
extern const char kFromStateDoc[];

}  // namespace molbrook::py

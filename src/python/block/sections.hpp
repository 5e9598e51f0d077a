// SDBlock sections as properties (title, molblock, mdl, ctab) and the copy
// and pickle protocol. The class assembles them in sdblock.cpp.
#pragma once

#include "block/sdblock.hpp"

namespace molbrook::py {

// Getters and setters of the section properties. Deleting any of them
// raises AttributeError; ctab cannot be assigned.
PyObject* get_title(PySDBlock* self) noexcept;
PyObject* get_molblock(PySDBlock* self) noexcept;
PyObject* get_mdl(PySDBlock* self) noexcept;
PyObject* get_ctab(PySDBlock* self) noexcept;
int set_title(PySDBlock* self, PyObject* value);
int set_molblock(PySDBlock* self, PyObject* value);
int set_mdl(PySDBlock* self, PyObject* value);
int set_ctab(PySDBlock* self, PyObject* value) noexcept;

extern const char kTitleDoc[];
extern const char kMolblockDoc[];
extern const char kMdlDoc[];
extern const char kCtabDoc[];

// __copy__, __deepcopy__, __reduce__ and the class method _from_state.
PyObject* block_copy(PySDBlock* self);
PyObject* block_deepcopy(PySDBlock* self, PyObject* memo);
PyObject* block_reduce(PySDBlock* self) noexcept;
PyObject* block_from_state(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

extern const char kCopyDoc[];
extern const char kDeepcopyDoc[];
extern const char kReduceDoc[];
extern const char kFromStateDoc[];

}  // namespace molbrook::py

// SDBlock record methods and the mapping protocol. The class assembles
// them in sdblock.cpp; the record iterators live in iter.cpp.
#pragma once

#include <string_view>

#include "core/records/edit.hpp"
#include "core/records/record.hpp"
#include "records/name_cache.hpp"
#include "block/sdblock.hpp"

namespace molbrook::py {

// Reading methods.
PyObject* block_records(PySDBlock* self);
PyObject* block_names(PySDBlock* self);
PyObject* block_to_dict(PySDBlock* self);
PyObject* block_get(PySDBlock* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* block_iter_records(PySDBlock* self) noexcept;

// Editing methods.
PyObject* block_append_record(PySDBlock* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* block_set_record(PySDBlock* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* block_remove_record(PySDBlock* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* block_rename_record(PySDBlock* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* block_replace_records(PySDBlock* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Raises the error of a refused record edit: MalformedRecordError, or
// ValueError for a block whose records would not read back. False for
// tail calls.
bool raise_edit_error(PySDBlock* self, EditError error) noexcept;

extern const char kRecordsDoc[];
extern const char kNamesDoc[];
extern const char kToDictDoc[];
extern const char kGetDoc[];
extern const char kIterRecordsDoc[];
extern const char kAppendRecordDoc[];
extern const char kSetRecordDoc[];
extern const char kRemoveRecordDoc[];
extern const char kRenameRecordDoc[];
extern const char kReplaceRecordsDoc[];

// The mapping protocol: block[name], block[name] = value, del block[name],
// len(block), name in block and iter(block).
PyObject* block_subscript(PySDBlock* self, PyObject* key);
int block_ass_subscript(PySDBlock* self, PyObject* key, PyObject* value);
Py_ssize_t block_length(PySDBlock* self);
int block_contains(PySDBlock* self, PyObject* key);
PyObject* block_iter(PySDBlock* self) noexcept;

// The constructor's records= step: appends the pairs of a mapping or an
// iterable of (name, value) tuples to a block not yet shared with Python
// code, each as append_record would.
bool append_initial_records(PySDBlock* self, PyObject* records, HeaderStyle style);

// Makes the objects of one block's records during one call: names through
// the thread's name cache, values folded when their lines end in CRLF. A
// UnicodeDecodeError gets the note naming the record and the block.
class RecordObjects {
 public:
  RecordObjects(const PySDBlock* self, NameCache& cache) noexcept
      : self_(self), section_(record_section(self->block)), names_(cache) {}

  std::string_view section() const noexcept { return section_; }

  // The name by the sequence-guided lookup, for calls that read every
  // record in order.
  PyObject* name_in_sequence(const ScannedRecord& record);
  // The name by a plain lookup.
  PyObject* name(const ScannedRecord& record);
  PyObject* value(const ScannedRecord& record);
  // A (name, value) tuple, taking over both references; null when `value`
  // is (its exception set).
  static PyObject* pair(Ref name, Ref value) noexcept;

 private:
  PyObject* noted(PyObject* made, std::string_view name) const noexcept;

  const PySDBlock* self_;
  std::string_view section_;
  NameCache::Use names_;
};

}  // namespace molbrook::py

// merge_records' loop over the blocks: each block's key looked up among
// the table's, the matching row's records set, the block written. The
// Python side checks the table and makes its keys and cells.
#include "merge.hpp"

#include <cstdint>
#include <optional>
#include <string_view>

#include "args.hpp"
#include "core/records/key_rows.hpp"
#include "entry.hpp"
#include "errors.hpp"
#include "names.hpp"
#include "sdblock.hpp"
#include "sink.hpp"

namespace molbrook::py {
namespace {

// The table as the loop reads it, from tuples, which no Python code run
// by the loop can change.
struct MergeTable {
  PyObject* record;   // the name of the key record, or None to match titles
  KeyRows rows;
  PyObject* names;    // the names to set
  PyObject* columns;  // per name, the cell of every row: text or None
  uint64_t matched = 0;  // blocks that got a value
};

// The table's rows by key: `keys` holds each row's key, None, or bytes or
// str compared as UTF-8. A str with lone surrogates has none and equals no
// text decoded from a block, so its row is left out.
bool add_keys(KeyRows& rows, PyObject* keys) {
  for (Py_ssize_t row = 0; row < PyTuple_GET_SIZE(keys); ++row) {
    PyObject* key = PyTuple_GET_ITEM(keys, row);
    Py_ssize_t size;
    const char* bytes;
    if (key == Py_None) continue;
    if (PyBytes_Check(key)) {
      bytes = PyBytes_AS_STRING(key);
      size = PyBytes_GET_SIZE(key);
    } else if (!PyUnicode_Check(key)) {
      PyErr_SetString(PyExc_TypeError, "_merge_blocks() keys must be str, bytes or None");
      return false;
    } else if ((bytes = PyUnicode_AsUTF8AndSize(key, &size)) == nullptr) {
      if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
      PyErr_Clear();
      continue;
    }
    rows.add({bytes, static_cast<size_t>(size)}, static_cast<size_t>(row));
  }
  return true;
}

// A tuple per name, each as long as the table.
bool check_columns(PyObject* names, PyObject* columns, Py_ssize_t rows) noexcept {
  bool fits = PyTuple_GET_SIZE(columns) == PyTuple_GET_SIZE(names);
  for (Py_ssize_t i = 0; fits && i < PyTuple_GET_SIZE(columns); ++i) {
    PyObject* column = PyTuple_GET_ITEM(columns, i);
    fits = PyTuple_Check(column) && PyTuple_GET_SIZE(column) == rows;
  }
  if (!fits) PyErr_SetString(PyExc_ValueError, "_merge_blocks() takes a tuple of cells per name, one per key");
  return fits;
}

// The row whose key is the block's; false with the error set.
bool find_row(MergeTable& table, PySDBlock* block, std::optional<size_t>& row) {
  std::optional<std::string_view> record;
  if (table.record != Py_None) {
    record = to_block_bytes(block, table.record, "record names");
    if (!record) return false;
  }
  RecordResult<std::optional<std::string_view>> key = block_key(block->block, block->record_index, record);
  if (!key) {
    raise_malformed_record();
    return false;
  }
  if (*key) row = table.rows.match(**key);
  return true;
}

// Sets the non-null cells of the block's row, if it has one, as
// set_record does; false with the error set.
bool merge_block(MergeTable& table, PySDBlock* block) {
  ExclusiveBorrow borrow(block->borrow);
  if (!borrow) return false;
  std::optional<size_t> row;
  if (!find_row(table, block, row)) return false;
  if (!row) return true;
  bool set_any = false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(table.names); ++i) {
    PyObject* value = PyTuple_GET_ITEM(PyTuple_GET_ITEM(table.columns, i), static_cast<Py_ssize_t>(*row));
    if (value == Py_None) continue;
    if (!set_record_value(block, PyTuple_GET_ITEM(table.names, i), value)) return false;
    set_any = true;
  }
  if (set_any) ++table.matched;
  return true;
}

PyObject* merge_blocks(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const keywords[] = {"blocks", "dest", "text_as_utf8", "record", "keys", "names", "columns",
                                         nullptr};
  PyObject *blocks, *dest, *text_as_utf8, *record, *keys, *names, *columns;
  if (!parse_fastcall(args, nargs, kwnames, "OOOOO!O!O!:_merge_blocks", keywords, &blocks, &dest, &text_as_utf8,
                      &record, &PyTuple_Type, &keys, &PyTuple_Type, &names, &PyTuple_Type, &columns)) {
    return nullptr;
  }
  bool as_utf8;
  if (!bool_argument(text_as_utf8, "_merge_blocks", "text_as_utf8", as_utf8)) return nullptr;
  MergeTable table{record, KeyRows(), names, columns};
  if (!add_keys(table.rows, keys) || !check_columns(names, columns, PyTuple_GET_SIZE(keys))) return nullptr;
  Ref iterator = Ref::steal(PyObject_GetIter(blocks));
  if (!iterator) return nullptr;
  std::optional<SdfSink> sink = SdfSink::open(dest, as_utf8);
  if (!sink || !write_blocks(*sink, iterator.get(), [&](PySDBlock* block) { return merge_block(table, block); })) {
    return nullptr;
  }
  return Py_BuildValue("(KKn)", static_cast<unsigned long long>(sink->written()),
                       static_cast<unsigned long long>(table.matched),
                       static_cast<Py_ssize_t>(table.rows.matched_rows()));
}

}  // namespace

PyMethodDef merge_blocks_def = function<merge_blocks>(
    "_merge_blocks",
    "_merge_blocks(blocks, dest, text_as_utf8, record, keys, names, columns)\n--\n\n"
    "Write the blocks to `dest` as sdf_writer does (a binary file object with\n"
    "`text_as_utf8` takes text blocks as UTF-8), first setting on each block\n"
    "the non-null cells of the row whose key, in `keys` (str, bytes or None\n"
    "per row), is its title (`record` None) or its last `record` value. `columns`\n"
    "holds a tuple of cells per name in `names`. Return the blocks written,\n"
    "those that got a value, and the rows matched.");

}  // namespace molbrook::py

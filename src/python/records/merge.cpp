// merge_records' loop over the blocks: each block's key looked up among
// the table's, the matching row's values checked and its records set, the
// block written. The Python side checks the table and its column names and
// makes its keys and cells.
#include "records/merge.hpp"

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "base/args.hpp"
#include "core/records/edit.hpp"
#include "core/records/key_rows.hpp"
#include "core/records/readable.hpp"
#include "base/entry.hpp"
#include "base/errors.hpp"
#include "block/sdblock.hpp"
#include "write/sink.hpp"
#include "base/sizes.hpp"

namespace molbrook::py {
namespace {

// The table as the loop reads it, from tuples, which no Python code run
// by the loop can change.
struct MergeTable {
  PyObject* record;   // the name of the key record, or None to match titles
  KeyRows rows;
  PyObject* names;    // the names to set
  PyObject* columns;  // per name, the cell of every row: text or None
  PyObject* refused;  // a list: the numbers (from 0) of blocks that could not take records
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
    rows.add({bytes, to_size(size)}, to_size(row));
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

// The non-null cells of a row as (name, value) bytes of the block's kind,
// each value checked to read back; false with the error set.
bool row_records(MergeTable& table, PySDBlock* block, size_t row, std::vector<RecordPair>& records) {
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(table.names); ++i) {
    PyObject* name = PyTuple_GET_ITEM(table.names, i);
    PyObject* value = PyTuple_GET_ITEM(PyTuple_GET_ITEM(table.columns, i), to_py_size(row));
    if (value == Py_None) continue;
    std::optional<std::string_view> name_bytes = to_block_bytes(block, name, "record names");
    std::optional<std::string_view> value_bytes = name_bytes ? to_block_bytes(block, value, "values") : std::nullopt;
    if (!value_bytes) return false;
    if (std::optional<Unreadable> problem = unreadable_value(*value_bytes)) {
      PyErr_Format(PyExc_ValueError, "row %zd (from 0), column %R: the value %R %s", to_py_size(row),
                   name, value, describe(*problem));
      return false;
    }
    records.push_back({*name_bytes, *value_bytes});
  }
  return true;
}

// Sets the non-null cells of the block's row, if it has one, as
// set_record does; false with the error set. A block that cannot take
// records is left as the refused edit left it and noted in the table.
bool merge_block(MergeTable& table, PySDBlock* block, uint64_t number) {
  ExclusiveObjectBorrow borrow(object_of(block), block->borrow);
  if (!borrow) return false;
  std::optional<size_t> row;
  if (!find_row(table, block, row)) return false;
  if (!row) return true;
  std::vector<RecordPair> records;
  if (!row_records(table, block, *row, records)) return false;
  if (records.empty()) return true;
  if (!edit_guard(block)) return false;
  for (const RecordPair& record : records) {
    if (EditStatus refused = set_record(block->block, record.name, record.value, HeaderStyle::Plain)) {
      if (*refused == EditError::MalformedRecord) {
        raise_malformed_record();
        return false;
      }
      Ref shown = Ref::steal(PyLong_FromUnsignedLongLong(number));
      return shown && PyList_Append(table.refused, shown.get()) == 0;
    }
    ++block->record_version;
  }
  ++table.matched;
  return true;
}

PyObject* merge_blocks(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const keywords[] = {"blocks", "dest", "text_as_utf8", "record", "keys", "names", "columns",
                                         nullptr};
  PyObject *blocks, *dest, *text_as_utf8, *record, *keys, *names, *columns;
  if (!parse_fastcall(args, nargs, kwnames, "OO$OOO!O!O!:_merge_blocks", keywords, &blocks, &dest, &text_as_utf8,
                      &record, &PyTuple_Type, &keys, &PyTuple_Type, &names, &PyTuple_Type, &columns)) {
    return nullptr;
  }
  bool as_utf8;
  if (!bool_argument(text_as_utf8, "_merge_blocks", "text_as_utf8", as_utf8)) return nullptr;
  Ref refused = Ref::steal(PyList_New(0));
  if (!refused) return nullptr;
  MergeTable table{record, KeyRows(), names, columns, refused.get()};
  if (!add_keys(table.rows, keys) || !check_columns(names, columns, PyTuple_GET_SIZE(keys))) return nullptr;
  Ref iterator = Ref::steal(PyObject_GetIter(blocks));
  if (!iterator) return nullptr;
  std::optional<SdfSink> sink = SdfSink::open(dest, as_utf8);
  if (!sink) return nullptr;
  SdfSink& out = *sink;
  if (!write_blocks(out, iterator.get(), [&](PySDBlock* block) { return merge_block(table, block, out.written()); })) {
    return nullptr;
  }
  return Py_BuildValue("(KKnO)", static_cast<unsigned long long>(out.written()),
                       static_cast<unsigned long long>(table.matched),
                       to_py_size(table.rows.matched_rows()), refused.get());
}

}  // namespace

PyMethodDef merge_blocks_def = function<merge_blocks>(
    "_merge_blocks",
    "_merge_blocks(blocks, dest, *, text_as_utf8, record, keys, names, columns)\n--\n\n"
    "Write the blocks to `dest` as sdf_writer does (a binary file object with\n"
    "`text_as_utf8` takes text blocks as UTF-8), first setting on each block\n"
    "the non-null cells of the row whose key, in `keys` (str, bytes or None\n"
    "per row), is its title (`record` None) or its last `record` value. `columns`\n"
    "holds a tuple of cells per name in `names`. Return the blocks written,\n"
    "those that got a value, the rows matched, and the numbers (from 0) of the\n"
    "blocks that could not take records (no M  END line ends their MDL), written\n"
    "as the refused edit left them. ValueError for a value that would not read\n"
    "back, naming its row and column.");

}  // namespace molbrook::py

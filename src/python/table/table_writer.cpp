// write_table's loop: record batches taken from an Arrow C stream, their
// rows made into blocks by the core without the interpreter lock, and the
// bytes handed to the sink a chunk at a time. No cell becomes a Python
// object.
#include "table/table_writer.hpp"

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "base/args.hpp"
#include "core/table/row_blocks.hpp"
#include "base/entry.hpp"
#include "base/gil.hpp"
#include "write/sink.hpp"
#include "base/sizes.hpp"

namespace molbrook::py {
namespace {

constexpr const char* kStreamCapsule = "arrow_array_stream";

// Arrow structures this loop owns, released on every exit.
template <class Structure>
struct Owned {
  Structure value{};

  Owned() noexcept = default;
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() {
    if (value.release != nullptr) value.release(&value);
  }
};

// Moves the stream out of its capsule, which is left released, as the
// PyCapsule interface has a consumer do.
bool take_stream(PyObject* capsule, ArrowArrayStream& stream) noexcept {
  auto* inside = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, kStreamCapsule));
  if (inside == nullptr) return false;
  if (inside->release == nullptr) {
    PyErr_SetString(PyExc_ValueError, "the table's Arrow stream was already consumed");
    return false;
  }
  stream = *inside;
  inside->release = nullptr;
  return true;
}

// A failed stream call, as OSError(code, what the producer said), unless
// the producer raised an exception of its own.
bool raise_stream_error(ArrowArrayStream& stream, int code) noexcept {
  if (PyErr_Occurred()) return false;
  const char* said = stream.get_last_error(&stream);
  Ref error = Ref::steal(Py_BuildValue("(is)", code, said != nullptr ? said : "reading the table failed"));
  if (error) PyErr_SetObject(PyExc_OSError, error.get());
  return false;
}

// The Arrow type of a column, named for an error.
const char* type_name(const ArrowSchema& schema) noexcept {
  std::string_view format = schema.format != nullptr ? schema.format : "";
  if (format.starts_with("+l") || format.starts_with("+L") || format.starts_with("+w") || format.starts_with("+v")) {
    return "a list type";
  }
  if (format.starts_with("+s")) return "a struct type";
  if (format.starts_with("+m")) return "a map type";
  if (format.starts_with("+u")) return "a union type";
  if (format.starts_with("+r")) return "a run-end encoded type";
  if (format.starts_with("tD")) return "a duration type";
  if (format.starts_with("ti")) return "an interval type";
  return "a type";
}

struct TableColumns {
  std::vector<std::string> names;
  std::vector<ArrowType> types;
};

// The column names of a schema of record batches.
bool read_names(const ArrowSchema& schema, std::vector<std::string>& names) {
  if (schema.format == nullptr || std::string_view(schema.format) != "+s") {
    PyErr_SetString(PyExc_TypeError, "write_table takes a stream of record batches (a struct schema)");
    return false;
  }
  for (int64_t i = 0; i < schema.n_children; ++i) {
    const char* name = schema.children[i]->name;
    names.emplace_back(name != nullptr ? name : "");
  }
  return true;
}

// The type of a column written: TypeError for one without a text, or for
// a molblock or block column of other than strings or binary (or nulls).
bool check_type(const ArrowSchema& schema, TableColumns& columns, size_t index, bool whole_text) {
  const ArrowSchema& field = *schema.children[index];
  std::optional<ArrowType> type = column_type(field);
  const char* name = columns.names[index].c_str();
  if (!type) {
    PyErr_Format(PyExc_TypeError, "column '%s' has %s (Arrow format '%s'), which has no record text", name,
                 type_name(field), field.format != nullptr ? field.format : "");
    return false;
  }
  if (whole_text && !type->is_bytes() && type->cell != CellType::Null) {
    PyErr_Format(PyExc_TypeError, "column '%s' must hold strings or binary, as molblocks and blocks do", name);
    return false;
  }
  columns.types[index] = *type;
  return true;
}

bool check_types(const ArrowSchema& schema, const BlockLayout& layout, TableColumns& columns) {
  columns.types.resize(columns.names.size());
  for (std::optional<size_t> whole : {layout.molblock, layout.block}) {
    if (whole && !check_type(schema, columns, *whole, true)) return false;
  }
  if (layout.title && !check_type(schema, columns, *layout.title, false)) return false;
  for (size_t index : layout.records) {
    if (!check_type(schema, columns, index, false)) return false;
  }
  return true;
}

bool raise_layout_error(const LayoutError& error) {
  const char* name = error.name.c_str();
  switch (error.kind) {
    case LayoutError::Kind::NoSuchColumn:
      PyErr_Format(PyExc_ValueError, "the table has no column '%s'", name);
      break;
    case LayoutError::Kind::ListedTwice:
      PyErr_Format(PyExc_ValueError, "column '%s' is listed twice in names", name);
      break;
    case LayoutError::Kind::BadRecordName:
      PyErr_Format(PyExc_ValueError,
                   "column '%s' cannot be a record name: a name is not empty and has no '<', '>' or line break",
                   name);
      break;
    case LayoutError::Kind::BlockWithParts:
      PyErr_Format(PyExc_ValueError, "block column '%s' holds whole blocks: give no molblock or title with it", name);
      break;
  }
  return false;
}

const char* fault_reason(RowFault::Kind kind) noexcept {
  switch (kind) {
    case RowFault::Kind::NullBlock:
      return "is null where a block is needed";
    case RowFault::Kind::NotOneBlock:
      return "is not one block ending with its $$$$ line";
    case RowFault::Kind::NoMEnd:
      return "is a molblock without an M  END line";
    case RowFault::Kind::AfterMEnd:
      return "is a molblock with lines after its M  END line";
    case RowFault::Kind::TerminatorLine:
      return "has a $$$$ line, which would end the block";
    case RowFault::Kind::BlankLine:
      return "has a blank line or ends with a line break, which would end the record";
    case RowFault::Kind::CarriageReturn:
      return "has a carriage return, which text reading takes for a line break";
    case RowFault::Kind::LineBreak:
      return "has a line break, which a title cannot have";
    case RowFault::Kind::NotUtf8:
      return "is not UTF-8, which a text destination needs";
    case RowFault::Kind::MalformedRecord:
      return "has a record header line without a <name>, so its records cannot be set";
    case RowFault::Kind::NoMEndForRecords:
      return "is a block whose MDL no M  END line ends, so records set on it would not read back";
  }
  return "cannot be written";
}

bool raise_row_fault(const RowFault& fault, uint64_t row, const TableColumns& columns) {
  PyErr_Format(PyExc_ValueError, "row %llu, column '%s' %s", static_cast<unsigned long long>(row),
               columns.names[fault.column].c_str(), fault_reason(fault.kind));
  return false;
}

// The columns of one batch, a struct array of the schema's fields whose
// rows are those of its children from its own offset on.
bool view_batch(const ArrowSchema& schema, const ArrowArray& batch, const TableColumns& columns,
                std::vector<ArrowColumn>& views) {
  views.clear();
  if (batch.n_children != schema.n_children || batch.offset < 0 || batch.length < 0) {
    PyErr_SetString(PyExc_ValueError, "a batch of the table does not follow its schema");
    return false;
  }
  for (int64_t i = 0; i < batch.n_children; ++i) {
    const ArrowArray& column = *batch.children[i];
    Result<ArrowColumn, MalformedArray> view = ArrowColumn::view(*schema.children[i], columns.types[i], column);
    if (!view || column.length < batch.offset + batch.length) {
      PyErr_Format(PyExc_ValueError, "column '%s' of a batch lacks the buffers its type needs",
                   columns.names[i].c_str());
      return false;
    }
    views.push_back(*view);
  }
  return true;
}

// State of one call across its batches.
struct TableWrite {
  ArrowArrayStream& stream;
  const ArrowSchema& schema;
  TableColumns& columns;
  RowBlockWriter& writer;
  SdfSink& sink;
  uint64_t rows_before = 0;  // rows of the batches already written
};

// Writes the rows of one batch, a chunk of blocks per turn of the
// interpreter lock.
bool write_batch(TableWrite& state, const ArrowArray& batch, std::vector<ArrowColumn>& views) {
  if (!view_batch(state.schema, batch, state.columns, views)) return false;
  const auto first = static_cast<size_t>(batch.offset);
  const size_t end = first + static_cast<size_t>(batch.length);
  for (size_t row = first; row < end;) {
    Result<size_t, RowFault> written = size_t{0};
    {
      ReleasedGil unlocked;
      written = state.writer.write(views, row, end, state.sink.buffer(), state.sink.chunk_size());
    }
    if (!written) {  // the blocks before it are flushed as the sink finishes
      return raise_row_fault(written.error(), state.rows_before + (written.error().row - first), state.columns);
    }
    if (!state.sink.commit(*written - row)) return false;
    row = *written;
  }
  state.rows_before += end - first;
  return true;
}

bool write_batches(TableWrite& state) {
  std::vector<ArrowColumn> views;
  for (;;) {
    Owned<ArrowArray> batch;
    if (int code = state.stream.get_next(&state.stream, &batch.value)) return raise_stream_error(state.stream, code);
    if (batch.value.release == nullptr) return true;
    if (!write_batch(state, batch.value, views)) return false;
  }
}

// Names given as a list of str, or None.
bool parse_names(PyObject* names, std::optional<std::vector<std::string>>& parsed) {
  constexpr const char* kExpected = "_write_table() names must be a list of str or None";
  if (names == Py_None) return true;
  if (!PyList_Check(names)) {
    PyErr_SetString(PyExc_TypeError, kExpected);
    return false;
  }
  parsed.emplace(to_size(PyList_GET_SIZE(names)));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names); ++i) {
    if (!utf8_argument(PyList_GET_ITEM(names, i), kExpected, (*parsed)[to_size(i)])) return false;
  }
  return true;
}

bool parse_column(PyObject* name, std::optional<std::string>& parsed) {
  if (name == Py_None) return true;
  return utf8_argument(name, "_write_table() column names must be str or None", parsed.emplace());
}

PyObject* write_table(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const keywords[] = {"stream", "dest", "text", "title", "molblock", "block", "names", nullptr};
  PyObject *capsule, *dest, *text, *title, *molblock, *block, *names;
  if (!parse_fastcall(args, nargs, kwnames, "OO$OOOOO:_write_table", keywords, &capsule, &dest, &text, &title,
                      &molblock, &block, &names)) {
    return nullptr;
  }
  bool as_text;
  BlockColumnNames asked;
  if (!bool_argument(text, "_write_table", "text", as_text) || !parse_column(title, asked.title) ||
      !parse_column(molblock, asked.molblock) || !parse_column(block, asked.block) ||
      !parse_names(names, asked.records)) {
    return nullptr;
  }
  Owned<ArrowArrayStream> stream;
  if (!take_stream(capsule, stream.value)) return nullptr;
  Owned<ArrowSchema> schema;
  if (int code = stream.value.get_schema(&stream.value, &schema.value)) {
    raise_stream_error(stream.value, code);
    return nullptr;
  }
  TableColumns columns;
  if (!read_names(schema.value, columns.names)) return nullptr;
  Result<BlockLayout, LayoutError> layout = plan_layout(columns.names, asked);
  if (!layout) {
    raise_layout_error(layout.error());
    return nullptr;
  }
  if (!check_types(schema.value, *layout, columns)) return nullptr;

  const Kind kind = as_text ? Kind::Str : Kind::Bytes;
  std::optional<SdfSink> sink = SdfSink::open_formatted(dest, kind);
  if (!sink) return nullptr;
  RowBlockWriter writer(std::move(*layout), kind);
  TableWrite state{stream.value, schema.value, columns, writer, *sink};
  if (!sink->finish_after(write_batches(state))) return nullptr;
  return PyLong_FromUnsignedLongLong(sink->written());
}

}  // namespace

PyMethodDef write_table_def = function<write_table>(
    "_write_table",
    "_write_table(stream, dest, *, text, title, molblock, block, names)\n--\n\n"
    "Write a block per row of the Arrow stream capsule `stream` to `dest` (a\n"
    "file object, given str when `text`, else bytes; or a path), its parts\n"
    "from the named columns (str or None; `names` a list of str or None).\n"
    "Return the blocks written.");

}  // namespace molbrook::py

// RecordTable: immutable batches of records, readable as Python values
// (to_pydict) or exported without a copy to any Arrow consumer.
#include "table/table.hpp"

#include <algorithm>
#include <cerrno>
#include <deque>
#include <new>
#include <utility>

#include "base/args.hpp"
#include "base/compat.hpp"
#include "core/table/table_union.hpp"
#include "base/entry.hpp"
#include "base/gil.hpp"
#include "base/sizes.hpp"

namespace molbrook::py {

namespace {

// The state of a RecordTable.
struct PyRecordTable {
  std::shared_ptr<const Table> table;
};

const Table& table_of(PyObject* object) noexcept { return *state_of<PyRecordTable>(object)->table; }

// Capsules ---------------------------------------------------------------

constexpr const char* kSchemaCapsule = "arrow_schema";
constexpr const char* kStreamCapsule = "arrow_array_stream";

void release_schema_capsule(PyObject* capsule) noexcept {
  auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, kSchemaCapsule));
  if (schema == nullptr) return PyErr_WriteUnraisable(capsule);
  if (schema->release != nullptr) schema->release(schema);
  delete schema;
}

void release_stream_capsule(PyObject* capsule) noexcept {
  auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, kStreamCapsule));
  if (stream == nullptr) return PyErr_WriteUnraisable(capsule);
  if (stream->release != nullptr) stream->release(stream);
  delete stream;
}

// Values -----------------------------------------------------------------

PyObject* cell_object(const Column& column, size_t row, Kind kind) noexcept {
  if (!column.is_valid(row)) Py_RETURN_NONE;
  switch (column.type()) {
    case ColumnType::Int64:
      return PyLong_FromLongLong(column.int64_values()[row]);
    case ColumnType::Float64:
      return PyFloat_FromDouble(column.float64_values()[row]);
    case ColumnType::Text:
      break;
  }
  std::string_view cell = column.cell(row);
  const auto size = to_py_size(cell.size());
  if (kind == Kind::Bytes) return PyBytes_FromStringAndSize(cell.data(), size);
  return PyUnicode_DecodeUTF8(cell.data(), size, nullptr);
}

PyObject* field_name(const Field& field) noexcept {
  return PyUnicode_DecodeUTF8(field.name.data(), to_py_size(field.name.size()), nullptr);
}

PyObject* column_list(const Table& table, size_t index) noexcept {
  Ref list = Ref::steal(PyList_New(to_py_size(table.rows())));
  if (!list) return nullptr;
  Py_ssize_t at = 0;
  for (const BatchRef& batch : table.batches) {
    const Column& column = *batch->columns[index];
    for (size_t row = 0; row < batch->rows; ++row) {
      PyObject* cell = cell_object(column, row, table.schema.kind);
      if (cell == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), at++, cell);
    }
  }
  return list.release();
}

// Methods ----------------------------------------------------------------

PyObject* table_to_pydict(PyRecordTable* self) noexcept {
  const Table& table = *self->table;
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return nullptr;
  for (size_t i = 0; i < table.schema.fields.size(); ++i) {
    Ref name = Ref::steal(field_name(table.schema.fields[i]));
    Ref values = name ? Ref::steal(column_list(table, i)) : Ref();
    if (!values || PyDict_SetItem(dict.get(), name.get(), values.get()) < 0) {
      return nullptr;
    }
  }
  return dict.release();
}

PyObject* table_arrow_c_schema(PyRecordTable* self) {
  const Table& table = *self->table;
  return schema_capsule(table.schema, table.large_columns());
}

PyObject* table_arrow_c_stream(PyRecordTable* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const keywords[] = {"requested_schema", nullptr};
  PyObject* requested = Py_None;  // the columns' types are fixed: a request is not honoured
  if (!parse_fastcall(args, nargs, kwnames, "|O:__arrow_c_stream__", keywords, &requested)) return nullptr;
  ArrowArrayStream stream{};
  export_stream(self->table, &stream);
  return stream_capsule(stream);
}

bool same_schema(const Schema& a, const Schema& b) noexcept {
  return a.kind == b.kind && a.fields.size() == b.fields.size() &&
         std::equal(a.fields.begin(), a.fields.end(), b.fields.begin(),
                    [](const Field& x, const Field& y) { return x.name == y.name && x.type == y.type; });
}

// The stream of a scan whose batches come from Python code (ranges read
// on threads): the tables an iterator gives, read as the consumer asks,
// each call attached to the interpreter whose tables they are.
struct TablesStream {
  PyObject* tables;      // strong reference to the iterator
  PyObject* table_type;  // strong reference to its module's RecordTable class
  PyInterpreterState* interpreter;  // whose objects these are
  Schema schema;
  std::deque<BatchRef> batches;  // of the last table, not yet exported
  std::string error;
};

TablesStream* tables_stream(ArrowArrayStream* stream) noexcept {
  return static_cast<TablesStream*>(stream->private_data);
}

int tables_stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) noexcept {
  const Schema& schema = tables_stream(stream)->schema;
  try {
    export_schema(schema, std::vector<bool>(schema.fields.size(), false), out);
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
  return 0;
}

// Adds the next table's batches: 1, 0 at the end of the tables, -1 with an
// exception set.
int take_next_table(TablesStream* holder) {
  Ref item = Ref::steal(PyIter_Next(holder->tables));
  if (!item) return PyErr_Occurred() ? -1 : 0;
  if (!PyObject_TypeCheck(item.get(), as_type(holder->table_type)) || !same_schema(table_of(item.get()).schema, holder->schema)) {
    PyErr_SetString(PyExc_TypeError, "a table stream takes RecordTables of its schema");
    return -1;
  }
  const Table& table = table_of(item.get());
  std::vector<bool> large = table.large_columns();
  if (std::find(large.begin(), large.end(), true) != large.end()) {
    PyErr_SetString(PyExc_OverflowError, "a column of one batch passed 2 GiB; read smaller batches");
    return -1;
  }
  holder->batches.insert(holder->batches.end(), table.batches.begin(), table.batches.end());
  return 1;
}

int tables_stream_get_next(ArrowArrayStream* stream, ArrowArray* out) noexcept {
  TablesStream* holder = tables_stream(stream);
  AttachedTo attached(holder->interpreter);
  int status = 0;
  try {
    int took = 1;
    while (holder->batches.empty() && (took = take_next_table(holder)) > 0) {
    }
    if (!holder->batches.empty()) {
      export_batch(holder->batches.front(), std::vector<bool>(holder->schema.fields.size(), false), out);
      holder->batches.pop_front();
    } else if (took < 0) {
      status = stream_failed(holder->error, EIO);
    } else {
      out->release = nullptr;  // the end of the stream
    }
  } catch (const std::bad_alloc&) {
    status = ENOMEM;
  }
  return status;
}

const char* tables_stream_last_error(ArrowArrayStream* stream) noexcept {
  const std::string& error = tables_stream(stream)->error;
  return error.empty() ? nullptr : error.c_str();
}

void tables_stream_release(ArrowArrayStream* stream) noexcept {
  TablesStream* holder = tables_stream(stream);
  {
    AttachedTo attached(holder->interpreter);
    Py_DECREF(holder->tables);
    Py_DECREF(holder->table_type);
  }
  delete holder;
  stream->release = nullptr;
}

PyObject* table_stream_tables(PyRecordTable* self, PyObject* tables) {
  Ref iterator = Ref::steal(PyObject_GetIter(tables));
  if (!iterator) return nullptr;
  auto* holder = new TablesStream{nullptr, nullptr, PyInterpreterState_Get(), self->table->schema, {}, {}};
  holder->tables = iterator.release();
  holder->table_type = Py_NewRef(type_object(module_state_of(object_of(self)).record_table));
  ArrowArrayStream stream{tables_stream_get_schema, tables_stream_get_next, tables_stream_last_error,
                          tables_stream_release, holder};
  return stream_capsule(stream);
}

// Joins tables of one schema into one, sharing their batches.
PyObject* table_from_batches(PyObject* cls, PyObject* tables) {
  Ref sequence = Ref::steal(PySequence_Fast(tables, "RecordTable._from_batches takes a sequence of RecordTables"));
  if (!sequence) return nullptr;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
  if (count == 0) {
    PyErr_SetString(PyExc_ValueError, "RecordTable._from_batches needs at least one table");
    return nullptr;
  }
  auto joined = std::make_shared<Table>();
  PyTypeObject* table_type = module_state_of_type(as_type(cls)).record_table;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(sequence.get(), i);
    if (!PyObject_TypeCheck(item, table_type)) {
      PyErr_SetString(PyExc_TypeError, "RecordTable._from_batches takes a sequence of RecordTables");
      return nullptr;
    }
    const Table& part = table_of(item);
    if (i == 0) joined->schema = part.schema;
    if (!same_schema(part.schema, joined->schema)) {
      PyErr_SetString(PyExc_ValueError, "RecordTable._from_batches takes tables of one schema");
      return nullptr;
    }
    joined->batches.insert(joined->batches.end(), part.batches.begin(), part.batches.end());
  }
  return wrap_table(as_type(cls), std::move(joined));
}

// The tables of the ranges of one file, read apart, as the table of the
// whole file.
PyObject* table_union(PyObject* cls, PyObject* tables) {
  Ref sequence = Ref::steal(PySequence_Fast(tables, "RecordTable._union takes a sequence of RecordTables"));
  if (!sequence) return nullptr;
  std::vector<const Table*> parts;
  PyTypeObject* table_type = module_state_of_type(as_type(cls)).record_table;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence.get()); ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(sequence.get(), i);
    if (!PyObject_TypeCheck(item, table_type)) {
      PyErr_SetString(PyExc_TypeError, "RecordTable._union takes a sequence of RecordTables");
      return nullptr;
    }
    parts.push_back(&table_of(item));
  }
  std::optional<Table> joined = union_of(parts);
  if (!joined) {
    PyErr_SetString(PyExc_ValueError, "RecordTable._union takes tables whose columns fit together");
    return nullptr;
  }
  return wrap_table(as_type(cls), std::make_shared<const Table>(std::move(*joined)));
}

PyObject* table_num_rows(PyRecordTable* self) noexcept { return PyLong_FromSize_t(self->table->rows()); }

PyObject* table_column_names(PyRecordTable* self) noexcept {
  const Table& table = *self->table;
  Ref names = Ref::steal(PyList_New(to_py_size(table.schema.fields.size())));
  if (!names) return nullptr;
  for (size_t i = 0; i < table.schema.fields.size(); ++i) {
    PyObject* name = field_name(table.schema.fields[i]);
    if (name == nullptr) return nullptr;
    PyList_SET_ITEM(names.get(), to_py_size(i), name);
  }
  return names.release();
}

Py_ssize_t table_length(PyRecordTable* self) noexcept { return to_py_size(self->table->rows()); }

PyObject* table_new(PyTypeObject*, PyObject*, PyObject*) noexcept {
  PyErr_SetString(PyExc_TypeError, "RecordTable objects are made by read_table and scan_table");
  return nullptr;
}

PyMethodDef table_methods[] = {
    method<table_to_pydict>("to_pydict",
                            "to_pydict($self, /)\n--\n\n"
                            "The columns as a dict of lists: str or bytes, int, float, None for nulls."),
    method<table_arrow_c_schema>("__arrow_c_schema__",
                                 "__arrow_c_schema__($self, /)\n--\n\nThe schema as an Arrow PyCapsule."),
    method<table_arrow_c_stream>(
        "__arrow_c_stream__",
        "__arrow_c_stream__($self, /, requested_schema=None)\n--\n\n"
        "A fresh Arrow stream over the batches, as a PyCapsule; the types are fixed, so a\n"
        "requested schema is not applied."),
    method<table_stream_tables>(
        "_stream_tables",
        "_stream_tables($self, tables, /)\n--\n\n"
        "An Arrow stream PyCapsule over the batches of the RecordTables, of this table's\n"
        "schema, that the iterable gives as the consumer asks."),
    method<table_union>("_union",
                        "_union($cls, tables, /)\n--\n\n"
                        "One table of the rows of tables read apart, its columns theirs in order of first\n"
                        "appearance, null where a table lacks one.",
                        METH_CLASS),
    method<table_from_batches>(
        "_from_batches", "_from_batches($cls, tables, /)\n--\n\nOne table of the batches of tables of one schema.",
        METH_CLASS),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef table_getset[] = {
    property<table_num_rows>("num_rows", "The number of rows (blocks)."),
    property<table_column_names>("column_names", "The column names, in order."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kTableDoc = "Records of SD blocks as columns: a row per block, a column per record name.";

}  // namespace

PyTypeObject* new_record_table_type(PyObject* module) noexcept {
  return new_type<PyRecordTable>(module, "molbrook.native._RecordTable", Py_TPFLAGS_BASETYPE,
                                 PyType_Slot{Py_tp_doc, const_cast<char*>(kTableDoc)}, slot<table_new>(Py_tp_new),
                                 PyType_Slot{Py_tp_methods, table_methods}, PyType_Slot{Py_tp_getset, table_getset},
                                 slot<table_length>(Py_sq_length));
}

PyObject* wrap_table(PyTypeObject* type, std::shared_ptr<const Table> table) noexcept {
  return new_object<PyRecordTable>(type, std::move(table));
}

PyObject* schema_capsule(const Schema& schema, const std::vector<bool>& large) {
  auto owned = std::make_unique<ArrowSchema>();
  export_schema(schema, large, owned.get());
  PyObject* capsule = PyCapsule_New(owned.get(), kSchemaCapsule, release_schema_capsule);
  if (capsule == nullptr) {
    owned->release(owned.get());
    return nullptr;
  }
  static_cast<void>(owned.release());  // the capsule owns it now
  return capsule;
}

int stream_failed(std::string& error, int code) noexcept {
  Ref raised = take_exception();
  Ref text = raised ? Ref::steal(PyObject_Str(raised.get())) : Ref();
  const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  PyErr_Clear();
  error = utf8 != nullptr ? utf8 : "reading the SD file failed";
  return code;
}

PyObject* stream_capsule(ArrowArrayStream stream) noexcept {
  auto* owned = new (std::nothrow) ArrowArrayStream(stream);
  if (owned == nullptr) {
    stream.release(&stream);
    return PyErr_NoMemory();
  }
  PyObject* capsule = PyCapsule_New(owned, kStreamCapsule, release_stream_capsule);
  if (capsule == nullptr) {
    owned->release(owned);
    delete owned;
  }
  return capsule;
}

}  // namespace molbrook::py

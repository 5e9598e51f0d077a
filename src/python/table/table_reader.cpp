// The batch reader behind read_table and scan_table: blocks in, record
// batches out. Over a mapped file it splits and builds without the
// interpreter lock; other sources (file objects, streams, iterables of
// SDBlocks) give SDBlock objects, whose blocks it reads with the lock held.
#include "table/table_reader.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/args.hpp"
#include "base/borrow.hpp"
#include "base/compat.hpp"
#include "core/table/builder.hpp"
#include "base/digits.hpp"
#include "base/entry.hpp"
#include "base/errors.hpp"
#include "base/gil.hpp"
#include "read/read.hpp"
#include "block/sdblock.hpp"
#include "table/table.hpp"
#include "base/sizes.hpp"

namespace molbrook::py {

namespace {

// The state of a table reader.
struct PyTableReader {
  PyTableReader(Ref blocks, Ref table_type, TableOptions options, std::vector<std::string> part_names,
                size_t batch_rows)
      : blocks(std::move(blocks)),
        table_type(std::move(table_type)),
        options(std::move(options)),
        part_names(std::move(part_names)),
        batch_rows(batch_rows) {}

  int traverse(visitproc visit, void* arg) const noexcept {
    Py_VISIT(blocks.get());
    Py_VISIT(table_type.get());
    Py_VISIT(pending.get());
    return 0;
  }
  void clear() noexcept {
    exhausted = true;
    Ref dropped[] = {std::move(blocks), std::move(table_type), std::move(pending)};
  }

  BorrowState borrow{"table reader"};
  Ref blocks;      // an iterator of blocks
  Ref table_type;  // the class of the batches
  Ref pending;     // a block read ahead to learn the stream's kind
  TableOptions options;
  std::vector<std::string> part_names;  // the column name of each of options.parts
  std::optional<TableBuilder> builder;  // made once the kind is known
  size_t batch_rows;
  uint64_t position = 0;  // blocks read so far, for error notes
  std::optional<Kind> kind;  // of the blocks, once known
  bool exhausted = false;
};

// Errors -----------------------------------------------------------------

struct FailedBlock {
  RowError error;
  std::string title;
};

// Raises the error of a block that could not become a row, noting which
// block it was; the reader reads no further.
bool raise_failed(PyTableReader* self, const FailedBlock& failed) noexcept {
  self->exhausted = true;
  if (failed.error.kind == RowError::Kind::MalformedRecord) {
    raise_malformed_record(module_state_of(object_of(self)));
  } else {
    const std::string& cell = failed.error.cell;
    Ref decoded = Ref::steal(PyUnicode_DecodeUTF8(cell.data(), to_py_size(cell.size()), nullptr));
    if (decoded) PyErr_SetString(PyExc_SystemError, "internal error: a valid UTF-8 cell was reported invalid");
  }
  char verb[64];
  std::snprintf(verb, sizeof verb, "Reading block %llu (from 0),", static_cast<unsigned long long>(self->position));
  note_block(verb, failed.title);
  return false;
}

// Sources ----------------------------------------------------------------

// The kind of an SDBlock (of the module whose state is `module`) given by
// an iterable; TypeError for anything else, or for a kind other than the
// stream's.
bool accept_block(const ModuleState& module, PyTableReader* self, PyObject* item) noexcept {
  if (!is_sdblock(module, item)) {
    Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(item)));
    if (type_name) PyErr_Format(PyExc_TypeError, "tables are read from SDBlocks, not %U", type_name.get());
    return false;
  }
  Kind kind = as_sdblock(item)->kind;
  if (!self->kind) self->kind = kind;
  if (self->kind == kind) return true;
  PyErr_SetString(PyExc_TypeError, "tables are read from SDBlocks of one kind, str or bytes");
  return false;
}

// Splits and adds blocks of a mapped file without the interpreter lock.
template <class Add, class Full>
bool feed_mapped(PyTableReader* self, MappedSource& source, Add& add, Full& full) {
  ExclusiveBorrow hold(*source.borrow);
  if (!hold) return false;
  if (full()) return true;
  std::optional<FailedBlock> failed;
  self->exhausted = take_mapped(*source.reader, [&](Block& block) {
    if (std::optional<RowError> error = add(block)) {
      failed.emplace(FailedBlock{std::move(*error), std::string(block.title())});
      return false;
    }
    ++self->position;
    return !full();
  });
  return !failed || raise_failed(self, *failed);
}

template <class Add, class Full>
bool feed_objects(PyTableReader* self, Add& add, Full& full) {
  const ModuleState& module = module_state_of(object_of(self));
  while (!full()) {
    Ref item = self->pending ? std::move(self->pending) : Ref::steal(PyIter_Next(self->blocks.get()));
    if (!item) {
      if (PyErr_Occurred()) return false;
      self->exhausted = true;
      return true;
    }
    if (!accept_block(module, self, item.get())) return false;
    PySDBlock* block = as_sdblock(item.get());
    SharedObjectBorrow hold(item.get(), block->borrow);
    if (!hold) return false;
    if (std::optional<RowError> error = add(block->block)) {
      return raise_failed(self, FailedBlock{std::move(*error), std::string(block->block.title())});
    }
    ++self->position;
  }
  return true;
}

// Gives blocks to `add` until `full()` or the end of the input; false
// with an exception set on any error, which ends the reading.
template <class Add, class Full>
bool feed(PyTableReader* self, Add&& add, Full&& full) {
  if (self->exhausted) return true;
  MappedSource source;
  bool fed = find_mapped_source(module_state_of(object_of(self)), self->blocks.get(), source) &&
             (source.reader != nullptr ? feed_mapped(self, source, add, full) : feed_objects(self, add, full));
  if (!fed) self->exhausted = true;
  return fed;
}

// Fixes the stream's kind, reading one block ahead when the source does
// not tell, and makes the builder, which checks UTF-8 and reads numbers
// as str for str streams.
bool ensure_builder(PyTableReader* self) {
  if (self->builder) return true;
  const ModuleState& module = module_state_of(object_of(self));
  if (!self->kind && self->blocks) {
    MappedSource source;
    if (!find_mapped_source(module, self->blocks.get(), source)) return false;
    self->kind = source.kind;
  }
  if (!self->kind && !self->exhausted) {
    Ref item = Ref::steal(PyIter_Next(self->blocks.get()));
    if (!item && PyErr_Occurred()) return false;
    if (item && !accept_block(module, self, item.get())) return false;
    self->pending = std::move(item);
  }
  if (!self->kind) self->kind = Kind::Str;
  self->options.kind = *self->kind;
  if (*self->kind == Kind::Str && !self->options.types.empty()) self->options.str_digits = &interpreter_digits();
  self->builder.emplace(self->options);
  return true;
}

// Schemas and batches ----------------------------------------------------

// Whether a column name is free of NUL, which Arrow's C interface ends
// names at (a consumer would see it cut short, and two such names alike);
// if not, ValueError naming it: `what` and `shown`, the name as the
// caller gave it.
bool check_no_nul(std::string_view name, const char* what, PyObject* shown) noexcept {
  if (name.find('\0') == std::string_view::npos) return true;
  PyErr_Format(PyExc_ValueError, "%s %R holds a NUL character, which Arrow column names cannot hold", what, shown);
  return false;
}

// The same for a record name, shown as the blocks hold it, str or bytes.
bool check_record_name(const PyTableReader* self, const std::string& name) noexcept {
  if (name.find('\0') == std::string::npos) return true;
  const auto size = to_py_size(name.size());
  Ref shown = Ref::steal(self->kind == Kind::Str ? PyUnicode_DecodeUTF8(name.data(), size, nullptr)
                                                 : PyBytes_FromStringAndSize(name.data(), size));
  return shown && check_no_nul(name, "record name", shown.get());
}

// A record name as a column name: the UTF-8 of a str stream as it is, the
// bytes of a bytes stream decoded with invalid bytes escaped.
std::optional<std::string> column_name(const PyTableReader* self, const std::string& name) {
  if (!check_record_name(self, name)) return std::nullopt;
  if (self->kind == Kind::Str) return name;
  Ref text = Ref::steal(PyUnicode_DecodeUTF8(name.data(), to_py_size(name.size()), "backslashreplace"));
  Py_ssize_t size;
  const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
  if (utf8 == nullptr) return std::nullopt;
  return std::string(utf8, to_size(size));
}

const char* part_label(BlockPart part) noexcept {
  switch (part) {
    case BlockPart::Title:
      return "title";
    case BlockPart::Molblock:
      return "molblock";
    case BlockPart::Block:
      return "block";
  }
  return "";
}

// ValueError when a part column has the name of a record column.
bool check_part_names(const PyTableReader* self, const std::string& record_column) {
  for (size_t i = 0; i < self->part_names.size(); ++i) {
    if (self->part_names[i] == record_column) {
      PyErr_Format(PyExc_ValueError, "the %s column '%s' has the name of a record", part_label(self->options.parts[i]),
                   record_column.c_str());
      return false;
    }
  }
  return true;
}

std::optional<Schema> make_schema(const PyTableReader* self) {
  Schema schema;
  schema.kind = *self->kind;
  for (const std::string& name : self->part_names) schema.fields.push_back(Field{name, ColumnType::Text});
  for (const std::string& name : self->builder->names()) {
    std::optional<std::string> shown = column_name(self, name);
    if (!shown || !check_part_names(self, *shown)) return std::nullopt;
    auto type = self->options.types.find(name);
    schema.fields.push_back(Field{std::move(*shown), type == self->options.types.end() ? ColumnType::Text : type->second});
  }
  return schema;
}

// The next batch of at most `limit` rows in `table`, left null at the end
// of the input; false with an exception set on failure.
bool next_batch(PyTableReader* self, size_t limit, std::shared_ptr<const Table>& table) {
  table.reset();
  if (!ensure_builder(self)) return false;
  TableBuilder& builder = *self->builder;
  bool fed = feed(self, [&builder](const Block& block) { return builder.add(block); },
                  [&builder, limit] { return builder.rows() >= limit; });
  if (!fed) return false;
  if (builder.rows() == 0) return true;
  std::optional<Schema> schema = make_schema(self);
  if (!schema) return false;
  auto made = std::make_shared<Table>();
  made->schema = std::move(*schema);
  made->batches.push_back(std::make_shared<const Batch>(builder.finish()));
  table = std::move(made);
  return true;
}

// Rows per batch of a table read whole: a record name that only some
// region of the file holds leaves the batches outside it all-null, which
// costs nothing, where one batch would pad it over every row.
constexpr size_t kWholeBatchRows = 16384;

// The names met after a batch was finished, as all-null columns.
void pad_to(Batch& batch, const Schema& schema) {
  for (size_t i = batch.columns.size(); i < schema.fields.size(); ++i) {
    batch.columns.push_back(Column::nulls(schema.fields[i].type, batch.rows));
  }
}

// The rest of the input as one table of one or more batches.
std::shared_ptr<const Table> read_rest(PyTableReader* self) {
  if (!ensure_builder(self)) return nullptr;
  TableBuilder& builder = *self->builder;
  std::vector<std::shared_ptr<Batch>> batches;
  auto add = [&builder, &batches](const Block& block) {
    if (builder.rows() == kWholeBatchRows) batches.push_back(std::make_shared<Batch>(builder.finish()));
    return builder.add(block);
  };
  if (!feed(self, add, [] { return false; })) return nullptr;
  batches.push_back(std::make_shared<Batch>(builder.finish()));
  std::optional<Schema> schema = make_schema(self);
  if (!schema) return nullptr;
  auto table = std::make_shared<Table>();
  table->schema = std::move(*schema);
  for (std::shared_ptr<Batch>& batch : batches) {
    pad_to(*batch, table->schema);
    table->batches.push_back(std::move(batch));
  }
  return table;
}

PyObject* wrap(PyTableReader* self, std::shared_ptr<const Table> table) noexcept {
  if (!table) return nullptr;
  return wrap_table(as_type(self->table_type.get()), std::move(table));
}

// The Arrow stream of a scan ---------------------------------------------

// The batches of a reader, read as the consumer asks for them; each call
// attaches to the reader's interpreter, since the source may be Python code.
struct ReaderStream {
  PyObject* reader;  // strong reference
  PyInterpreterState* interpreter;  // the reader's
  std::string error;
};

ReaderStream* reader_stream(ArrowArrayStream* stream) noexcept { return static_cast<ReaderStream*>(stream->private_data); }

// What a stream callback's work returns when it raised an exception.
constexpr int kRaised = -1;

// Runs `work(self, holder)` for a stream callback, with the interpreter
// lock and the reader borrowed: its status, an errno value, or kRaised
// for an exception, which becomes the stream's error.
template <class Work>
int call_reader(ArrowArrayStream* stream, Work&& work) noexcept {
  ReaderStream* holder = reader_stream(stream);
  AttachedTo attached(holder->interpreter);
  int status = 0;
  try {
    PyTableReader* self = state_of<PyTableReader>(holder->reader);
    ExclusiveBorrow borrow(self->borrow);
    status = borrow ? work(self, *holder) : kRaised;
    if (status == kRaised) status = stream_failed(holder->error, EIO);
  } catch (const std::bad_alloc&) {
    status = ENOMEM;
  }
  return status;
}

int reader_stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) noexcept {
  return call_reader(stream, [out](PyTableReader* self, ReaderStream&) {
    std::optional<Schema> schema = ensure_builder(self) ? make_schema(self) : std::nullopt;
    if (!schema) return kRaised;
    export_schema(*schema, std::vector<bool>(schema->fields.size(), false), out);
    return 0;
  });
}

int reader_stream_get_next(ArrowArrayStream* stream, ArrowArray* out) noexcept {
  return call_reader(stream, [out](PyTableReader* self, ReaderStream& holder) {
    std::shared_ptr<const Table> table;
    if (!next_batch(self, self->batch_rows, table)) return kRaised;
    if (!table) {
      out->release = nullptr;  // the end of the stream
      return 0;
    }
    std::vector<bool> large = table->large_columns();
    if (std::find(large.begin(), large.end(), true) != large.end()) {
      holder.error = "a column of one batch passed 2 GiB; read smaller batches";
      return EOVERFLOW;
    }
    export_batch(table->batches.front(), large, out);
    return 0;
  });
}

const char* reader_stream_last_error(ArrowArrayStream* stream) noexcept {
  const std::string& error = reader_stream(stream)->error;
  return error.empty() ? nullptr : error.c_str();
}

void reader_stream_release(ArrowArrayStream* stream) noexcept {
  ReaderStream* holder = reader_stream(stream);
  {
    AttachedTo attached(holder->interpreter);
    Py_DECREF(holder->reader);
  }
  delete holder;
  stream->release = nullptr;
}

// Methods ----------------------------------------------------------------

PyObject* reader_next(PyTableReader* self) {
  ExclusiveBorrow borrow(self->borrow);
  if (!borrow) return nullptr;
  std::shared_ptr<const Table> table;
  if (!next_batch(self, self->batch_rows, table)) return nullptr;
  return wrap(self, std::move(table));  // null without an exception: the end
}

PyObject* reader_read_all(PyTableReader* self) {
  ExclusiveBorrow borrow(self->borrow);
  if (!borrow) return nullptr;
  return wrap(self, read_rest(self));
}

// The names of every record of the remaining blocks, in order of first
// appearance: the first pass of a scan whose names were not given.
PyObject* reader_record_names(PyTableReader* self) {
  ExclusiveBorrow borrow(self->borrow);
  if (!borrow || !ensure_builder(self)) return nullptr;
  NameCollector names(self->options.kind);
  if (!feed(self, [&names](const Block& block) { return names.add(block); }, [] { return false; })) return nullptr;
  Ref list = Ref::steal(PyList_New(to_py_size(names.names().size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < names.names().size(); ++i) {
    const std::string& name = names.names()[i];
    PyObject* item = PyBytes_FromStringAndSize(name.data(), to_py_size(name.size()));
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), to_py_size(i), item);
  }
  return list.release();
}

PyObject* reader_arrow_c_schema(PyTableReader* self) {
  ExclusiveBorrow borrow(self->borrow);
  if (!borrow || !ensure_builder(self)) return nullptr;
  std::optional<Schema> schema = make_schema(self);
  return schema ? schema_capsule(*schema, std::vector<bool>(schema->fields.size(), false)) : nullptr;
}

PyObject* reader_arrow_c_stream(PyTableReader* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const keywords[] = {"requested_schema", nullptr};
  PyObject* requested = Py_None;  // the columns' types are fixed: a request is not honoured
  if (!parse_fastcall(args, nargs, kwnames, "|O:__arrow_c_stream__", keywords, &requested)) return nullptr;
  auto* holder = new ReaderStream{Py_NewRef(object_of(self)), PyInterpreterState_Get(), {}};
  ArrowArrayStream stream{reader_stream_get_schema, reader_stream_get_next, reader_stream_last_error,
                          reader_stream_release, holder};
  return stream_capsule(stream);
}

// Drops the source, closing a file the block iterator opened.
PyObject* reader_close(PyTableReader* self) {
  ExclusiveBorrow borrow(self->borrow);
  if (!borrow) return nullptr;
  self->exhausted = true;
  self->pending = Ref();
  Ref blocks = std::move(self->blocks);
  self->blocks = Ref::borrow(Py_None);
  Ref name = Ref::steal(PyUnicode_FromString("close"));
  Ref close;
  if (!name || (blocks && lookup_optional_attr(blocks.get(), name.get(), close) < 0)) return nullptr;
  if (close && !Ref::steal(PyObject_CallNoArgs(close.get()))) return nullptr;
  Py_RETURN_NONE;
}

// Construction -----------------------------------------------------------

bool parse_types(PyObject* types, TableOptions& options) {
  if (!PyDict_Check(types)) {
    PyErr_SetString(PyExc_TypeError, "types must be a dict of bytes names to 'int' or 'float'");
    return false;
  }
  PyObject* name;
  PyObject* type;
  for (Py_ssize_t at = 0; PyDict_Next(types, &at, &name, &type);) {
    const char* spelled = PyUnicode_Check(type) ? PyUnicode_AsUTF8(type) : nullptr;
    if (!PyBytes_Check(name) || spelled == nullptr ||
        (std::string_view(spelled) != "int" && std::string_view(spelled) != "float")) {
      PyErr_Clear();
      PyErr_SetString(PyExc_TypeError, "types must be a dict of bytes names to 'int' or 'float'");
      return false;
    }
    ColumnType column = std::string_view(spelled) == "int" ? ColumnType::Int64 : ColumnType::Float64;
    options.types.emplace(std::string(PyBytes_AS_STRING(name), PyBytes_GET_SIZE(name)), column);
  }
  return true;
}

bool parse_names(PyObject* names, TableOptions& options) {
  if (names == Py_None) return true;
  Ref sequence = Ref::steal(PySequence_Fast(names, "names must be a list of bytes"));
  if (!sequence) return false;
  options.names.emplace();
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence.get()); ++i) {
    PyObject* name = PySequence_Fast_GET_ITEM(sequence.get(), i);
    if (!PyBytes_Check(name)) {
      PyErr_SetString(PyExc_TypeError, "names must be a list of bytes");
      return false;
    }
    options.names->emplace_back(PyBytes_AS_STRING(name), PyBytes_GET_SIZE(name));
  }
  return true;
}

// The part columns asked for, each named by a str or not asked for (None).
bool parse_parts(PyObject* const (&names)[3], TableOptions& options, std::vector<std::string>& part_names) {
  constexpr BlockPart kParts[] = {BlockPart::Title, BlockPart::Molblock, BlockPart::Block};
  for (size_t i = 0; i < 3; ++i) {
    if (names[i] == Py_None) continue;
    const std::string expected = std::string(part_label(kParts[i])) + " must be None or a str";
    if (!utf8_argument(names[i], expected.c_str(), part_names.emplace_back())) return false;
    if (!check_no_nul(part_names.back(), "column name", names[i])) return false;
    options.parts.push_back(kParts[i]);
  }
  return true;
}

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"blocks", "names",      "title",    "types", "batch_rows",
                                         "table_type", "molblock", "block", nullptr};
  PyObject *blocks, *names, *types, *table_type;
  PyObject* parts[3] = {Py_None, Py_None, Py_None};  // title, molblock, block
  Py_ssize_t batch_rows;
  if (!parse_arguments(args, kwargs, "O$OOOnO!OO:_TableReader", keywords, &blocks, &names, &parts[0], &types,
                       &batch_rows, &PyType_Type, &table_type, &parts[1], &parts[2])) {
    return nullptr;
  }
  if (!PyType_IsSubtype(as_type(table_type), module_state_of_type(type).record_table)) {
    PyErr_SetString(PyExc_TypeError, "table_type must be a RecordTable class");
    return nullptr;
  }
  TableOptions options;
  std::vector<std::string> part_names;
  if (!parse_names(names, options) || !parse_types(types, options) || !parse_parts(parts, options, part_names)) {
    return nullptr;
  }
  // A scan's batches past the size of a whole read's grow from it.
  options.batch_rows = batch_rows > 0 ? std::min(to_size(batch_rows), kWholeBatchRows) : kWholeBatchRows;
  Ref iterator = Ref::steal(PyObject_GetIter(blocks));
  if (!iterator) return nullptr;

  return new_object<PyTableReader>(type, std::move(iterator), Ref::borrow(table_type), std::move(options),
                                   std::move(part_names), batch_rows > 0 ? to_size(batch_rows) : SIZE_MAX);
}

constexpr const char* kReaderDoc = "Read record batches from blocks.";

PyMethodDef reader_methods[] = {
    method<reader_read_all>("read_all", "read_all($self, /)\n--\n\nThe remaining rows as one table of one batch."),
    method<reader_record_names>("record_names",
                                "record_names($self, /)\n--\n\n"
                                "The record names of the remaining blocks, as bytes, in order of first appearance."),
    method<reader_close>("close", "close($self, /)\n--\n\nStop reading and release the source."),
    method<reader_arrow_c_schema>("__arrow_c_schema__",
                                  "__arrow_c_schema__($self, /)\n--\n\n"
                                  "The schema of the batches as an Arrow PyCapsule."),
    method<reader_arrow_c_stream>("__arrow_c_stream__",
                                  "__arrow_c_stream__($self, /, requested_schema=None)\n--\n\n"
                                  "The remaining batches as an Arrow stream PyCapsule, read as the consumer asks."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* new_table_reader_type(PyObject* module) noexcept {
  return new_type<PyTableReader>(module, "molbrook.native._TableReader", 0,
                                 PyType_Slot{Py_tp_doc, const_cast<char*>(kReaderDoc)}, slot<reader_new>(Py_tp_new),
                                 slot<PyObject_SelfIter>(Py_tp_iter), slot<reader_next>(Py_tp_iternext),
                                 PyType_Slot{Py_tp_methods, reader_methods});
}

}  // namespace molbrook::py

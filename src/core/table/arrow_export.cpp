#include "core/table/arrow_export.hpp"

#include <cerrno>
#include <cstdlib>
#include <new>
#include <string>
#include <utility>

namespace molbrook {
namespace {

// Arrow allows no null pointer for a present buffer; empty buffers point
// here instead.
alignas(64) const int64_t kEmptyBuffer[1] = {0};

const void* present(const void* buffer) noexcept { return buffer != nullptr ? buffer : kEmptyBuffer; }

const char* format_of(ColumnType type, Kind kind, bool large) noexcept {
  switch (type) {
    case ColumnType::Int64:
      return "l";
    case ColumnType::Float64:
      return "g";
    case ColumnType::Text:
      break;
  }
  if (kind == Kind::Bytes) return large ? "Z" : "z";
  return large ? "U" : "u";
}

// Schemas ----------------------------------------------------------------

struct SchemaHolder {
  std::string name;
  std::vector<ArrowSchema*> children;
};

// Releases an exported schema or array: the children a consumer has not
// moved out, then what the node itself holds.
template <class Holder, class Node>
void release_node(Node* node) noexcept {
  auto* holder = static_cast<Holder*>(node->private_data);
  for (Node* child : holder->children) {
    if (child->release != nullptr) child->release(child);
    delete child;
  }
  delete holder;
  node->release = nullptr;
}

void release_schema(ArrowSchema* schema) noexcept { release_node<SchemaHolder>(schema); }

void fill_schema(ArrowSchema* out, const char* format, std::unique_ptr<SchemaHolder> holder, int64_t flags) {
  out->format = format;
  out->name = holder->name.c_str();
  out->metadata = nullptr;
  out->flags = flags;
  out->n_children = static_cast<int64_t>(holder->children.size());
  out->children = holder->children.data();
  out->dictionary = nullptr;
  out->release = release_schema;
  out->private_data = holder.release();
}

// Arrays -----------------------------------------------------------------

struct ArrayHolder {
  BatchRef batch;                 // keeps the buffers alive
  std::shared_ptr<const void> zeros;  // the buffers of its all-null columns
  std::vector<const void*> buffers;
  std::vector<int64_t> offsets;   // a widened copy, when the export is large and the column is not
  std::vector<ArrowArray*> children;
};

void release_array(ArrowArray* array) noexcept { release_node<ArrayHolder>(array); }

void fill_array(ArrowArray* out, size_t length, size_t null_count, std::unique_ptr<ArrayHolder> holder) {
  out->length = static_cast<int64_t>(length);
  out->null_count = static_cast<int64_t>(null_count);
  out->offset = 0;
  out->n_buffers = static_cast<int64_t>(holder->buffers.size());
  out->n_children = static_cast<int64_t>(holder->children.size());
  out->buffers = holder->buffers.data();
  out->children = holder->children.data();
  out->dictionary = nullptr;
  out->release = release_array;
  out->private_data = holder.release();
}

// The offsets buffer of a text column as the export's width asks.
const void* text_offsets(const Column& column, bool large, ArrayHolder& holder) {
  if (!large) return column.offsets();
  if (column.is_large()) return column.wide_offsets();
  holder.offsets.assign(column.offsets(), column.offsets() + column.length() + 1);
  return holder.offsets.data();
}

// Zeroed memory enough for any buffer of a column of `rows` rows. calloc
// of a large block maps zero pages lazily, so all-null columns, which
// share it, cost neither writing nor memory until a consumer reads them.
std::shared_ptr<const void> zero_block(size_t rows) {
  void* zeros = std::calloc(rows + 1, sizeof(int64_t));
  if (zeros == nullptr) throw std::bad_alloc();
  return std::shared_ptr<const void>(zeros, [](const void* block) { std::free(const_cast<void*>(block)); });
}

// Nulls are zero bits, their offsets and values zeros.
void export_all_null(const Column& column, std::shared_ptr<const void> zeros, ArrowArray* out) {
  auto holder = std::make_unique<ArrayHolder>();
  const size_t buffers = column.type() == ColumnType::Text ? 3 : 2;
  holder->buffers.assign(buffers, zeros.get());
  if (column.length() == 0) holder->buffers.front() = nullptr;
  holder->zeros = std::move(zeros);
  fill_array(out, column.length(), column.null_count(), std::move(holder));
}

void export_column(const BatchRef& batch, const Column& column, bool large, ArrowArray* out) {
  auto holder = std::make_unique<ArrayHolder>();
  holder->batch = batch;
  holder->buffers.push_back(column.null_count() == 0 ? nullptr : column.validity());
  switch (column.type()) {
    case ColumnType::Text:
      holder->buffers.push_back(text_offsets(column, large, *holder));
      holder->buffers.push_back(present(column.data()));
      break;
    case ColumnType::Int64:
      holder->buffers.push_back(present(column.int64_values()));
      break;
    case ColumnType::Float64:
      holder->buffers.push_back(present(column.float64_values()));
      break;
  }
  fill_array(out, column.length(), column.null_count(), std::move(holder));
}

// Streams ----------------------------------------------------------------

struct StreamHolder {
  std::shared_ptr<const Table> table;
  std::vector<bool> large;
  size_t next = 0;
};

StreamHolder* stream_holder(ArrowArrayStream* stream) noexcept {
  return static_cast<StreamHolder*>(stream->private_data);
}

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) noexcept {
  StreamHolder* holder = stream_holder(stream);
  try {
    export_schema(holder->table->schema, holder->large, out);
    return 0;
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) noexcept {
  StreamHolder* holder = stream_holder(stream);
  if (holder->next == holder->table->batches.size()) {
    out->release = nullptr;  // the end of the stream
    return 0;
  }
  try {
    export_batch(holder->table->batches[holder->next], holder->large, out);
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
  ++holder->next;
  return 0;
}

const char* stream_last_error(ArrowArrayStream*) noexcept { return "out of memory"; }

void release_stream(ArrowArrayStream* stream) noexcept {
  delete stream_holder(stream);
  stream->release = nullptr;
}

}  // namespace

size_t Table::rows() const noexcept {
  size_t rows = 0;
  for (const BatchRef& batch : batches) rows += batch->rows;
  return rows;
}

std::vector<bool> Table::large_columns(size_t narrow_limit) const {
  std::vector<size_t> bytes(schema.fields.size(), 0);
  for (const BatchRef& batch : batches) {
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] += batch->columns[i]->text_bytes();
  }
  std::vector<bool> large(bytes.size());
  for (size_t i = 0; i < bytes.size(); ++i) large[i] = bytes[i] > narrow_limit;
  return large;
}

void export_schema(const Schema& schema, const std::vector<bool>& large, ArrowSchema* out) {
  auto holder = std::make_unique<SchemaHolder>();
  holder->children.reserve(schema.fields.size());
  try {
    for (size_t i = 0; i < schema.fields.size(); ++i) {
      auto child_holder = std::make_unique<SchemaHolder>();
      child_holder->name = schema.fields[i].name;
      auto child = std::make_unique<ArrowSchema>();
      fill_schema(child.get(), format_of(schema.fields[i].type, schema.kind, large[i]), std::move(child_holder),
                  ARROW_FLAG_NULLABLE);
      holder->children.push_back(child.release());
    }
  } catch (...) {
    ArrowSchema partial{};
    fill_schema(&partial, "+s", std::move(holder), 0);
    release_schema(&partial);
    throw;
  }
  fill_schema(out, "+s", std::move(holder), 0);
}

void export_batch(BatchRef batch, const std::vector<bool>& large, ArrowArray* out) {
  auto holder = std::make_unique<ArrayHolder>();
  holder->buffers.push_back(nullptr);  // a struct array without nulls
  holder->children.reserve(batch->columns.size());
  try {
    std::shared_ptr<const void> zeros;
    for (size_t i = 0; i < batch->columns.size(); ++i) {
      const Column& column = *batch->columns[i];
      auto child = std::make_unique<ArrowArray>();
      if (column.all_null()) {
        if (!zeros) zeros = zero_block(batch->rows);
        export_all_null(column, zeros, child.get());
      } else {
        export_column(batch, column, large[i], child.get());
      }
      holder->children.push_back(child.release());
    }
  } catch (...) {
    ArrowArray partial{};
    fill_array(&partial, 0, 0, std::move(holder));
    release_array(&partial);
    throw;
  }
  const size_t rows = batch->rows;
  holder->batch = std::move(batch);
  fill_array(out, rows, 0, std::move(holder));
}

void export_stream(std::shared_ptr<const Table> table, ArrowArrayStream* out) {
  auto holder = std::make_unique<StreamHolder>();
  holder->large = table->large_columns();
  holder->table = std::move(table);
  out->get_schema = stream_get_schema;
  out->get_next = stream_get_next;
  out->get_last_error = stream_last_error;
  out->release = release_stream;
  out->private_data = holder.release();
}

}  // namespace molbrook

#include "core/table/table_union.hpp"

#include <memory>
#include <string>
#include <unordered_map>

namespace molbrook {
namespace {

// Field indexes by name; false when a name comes twice, or may stand for
// two record names: a bytes table shows invalid UTF-8 as \xNN escapes,
// which a name holding a backslash can spell too.
bool index_fields(const Schema& schema, std::unordered_map<std::string, size_t>& index) {
  for (size_t i = 0; i < schema.fields.size(); ++i) {
    const std::string& name = schema.fields[i].name;
    if (schema.kind == Kind::Bytes && name.find('\\') != std::string::npos) return false;
    if (!index.emplace(name, i).second) return false;
  }
  return true;
}

// `batch`, whose table has `fields`, under the union's schema.
BatchRef widen(const BatchRef& batch, const std::unordered_map<std::string, size_t>& fields, const Schema& schema) {
  auto wide = std::make_shared<Batch>();
  wide->rows = batch->rows;
  wide->columns.reserve(schema.fields.size());
  for (const Field& field : schema.fields) {
    auto found = fields.find(field.name);
    if (found != fields.end()) {
      wide->columns.push_back(batch->columns[found->second]);
    } else {
      wide->columns.push_back(Column::nulls(field.type, batch->rows));
    }
  }
  return wide;
}

}  // namespace

std::optional<Table> union_of(const std::vector<const Table*>& tables) {
  Table joined;
  std::unordered_map<std::string, size_t> union_fields;
  std::vector<std::unordered_map<std::string, size_t>> table_fields(tables.size());
  for (size_t t = 0; t < tables.size(); ++t) {
    const Schema& schema = tables[t]->schema;
    if (t == 0) joined.schema.kind = schema.kind;
    if (schema.kind != joined.schema.kind || !index_fields(schema, table_fields[t])) return std::nullopt;
    for (const Field& field : schema.fields) {
      auto [at, added] = union_fields.emplace(field.name, joined.schema.fields.size());
      if (added) {
        joined.schema.fields.push_back(field);
      } else if (joined.schema.fields[at->second].type != field.type) {
        return std::nullopt;
      }
    }
  }
  for (size_t t = 0; t < tables.size(); ++t) {
    for (const BatchRef& batch : tables[t]->batches) {
      joined.batches.push_back(widen(batch, table_fields[t], joined.schema));
    }
  }
  return joined;
}

}  // namespace molbrook

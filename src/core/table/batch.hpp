// A record batch: equal-length columns under a schema, immutable once
// built, shared by the tables and the Arrow arrays that export it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/base/kind.hpp"
#include "core/table/column.hpp"

namespace molbrook {

struct Field {
  std::string name;  // UTF-8, as the export names it
  ColumnType type;
};

struct Schema {
  std::vector<Field> fields;
  Kind kind = Kind::Str;  // text columns hold UTF-8 (str) or bytes
};

struct Batch {
  size_t rows = 0;
  // In the schema's order; shared by the batches that a union of tables
  // read apart makes.
  std::vector<std::shared_ptr<const Column>> columns;
};

using BatchRef = std::shared_ptr<const Batch>;

}  // namespace molbrook

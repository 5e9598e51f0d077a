// One table of tables read apart: the byte ranges of one file, each built
// with the record names it met, joined into the table that reading the
// file whole gives.
#pragma once

#include <optional>
#include <vector>

#include "core/table/arrow_export.hpp"

namespace molbrook {

// The rows of `tables` in order. Its fields are theirs in order of first
// appearance, as a builder meets record names reading the tables' rows in
// order; each batch shares its table's columns and gets an all-null
// column for every field its table lacks. nullopt when the tables do not
// fit together: a field named twice in one table, a name with two types,
// str and bytes tables mixed, or a bytes table's field name holding a
// backslash (an escape of invalid UTF-8, or one that reads like it).
std::optional<Table> union_of(const std::vector<const Table*>& tables);

}  // namespace molbrook

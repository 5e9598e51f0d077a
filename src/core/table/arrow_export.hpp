// Record batches exported through the Arrow C data interface. Arrays
// share the batch's buffers: the export holds a reference to the batch
// until the consumer releases it, so nothing is copied.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "core/table/arrow_abi.hpp"
#include "core/table/batch.hpp"

namespace molbrook {

// A schema and batches that follow it: one table, or a stream's worth.
struct Table {
  Schema schema;
  std::vector<BatchRef> batches;

  size_t rows() const noexcept;
  // Per column: true when a text column's cells total more than
  // `narrow_limit` bytes, which makes it "large" in every batch of the
  // export. Summed over the batches, so that how the rows were cut into
  // batches (by one thread or several) never changes a column's type.
  std::vector<bool> large_columns(size_t narrow_limit = kNarrowTextBytes) const;
};

// Each fills `out`, which the consumer releases. They throw
// std::bad_alloc, leaving `out` untouched.
void export_schema(const Schema& schema, const std::vector<bool>& large, ArrowSchema* out);
void export_batch(BatchRef batch, const std::vector<bool>& large, ArrowArray* out);
// A stream over the table's batches, in order.
void export_stream(std::shared_ptr<const Table> table, ArrowArrayStream* out);

}  // namespace molbrook

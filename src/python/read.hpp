// Reading: parse_sdf, parse_sdf_range, SDBlock.from_sdf, SDBlock.from_lines and the block
// iterator they return.
#pragma once

#include <optional>

#include "borrow.hpp"
#include "core/base/kind.hpp"
#include "core/read/mapped_reader.hpp"
#include "ref.hpp"

namespace molbrook::py {

extern PyTypeObject* SDBlockIteratorType;

// Creates the iterator class, once per process.
bool init_block_iterator_type() noexcept;

extern PyMethodDef parse_sdf_def;
extern PyMethodDef parse_sdf_range_def;
// The private readers of remote data, through Python callables.
extern PyMethodDef parse_text_stream_def;
extern PyMethodDef parse_range_at_def;

// The static methods SDBlock.from_sdf and SDBlock.from_lines.
PyObject* block_from_sdf(PyObject* sdf) noexcept;
PyObject* block_from_lines(PyObject* lines) noexcept;
extern const char kFromSdfDoc[];
extern const char kFromLinesDoc[];

// A block iterator's kind and, over a mapped file, its reader, for
// callers that split the file themselves without the interpreter lock
// while holding `borrow` exclusively.
struct MappedSource {
  BorrowState* borrow = nullptr;
  MappedReader* reader = nullptr;  // null: the iterator reads another source
  std::optional<Kind> kind;  // see PySDBlockIterator::kind
};

// Fills `found` for a block iterator of parse_sdf, opening its path on
// first use; any other iterable is left without a kind or a reader. False
// with an exception set when the path cannot be opened or the iterator is
// busy.
bool find_mapped_source(PyObject* object, MappedSource& found) noexcept;

}  // namespace molbrook::py

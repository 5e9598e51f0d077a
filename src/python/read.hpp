// Reading: parse_sdf, parse_sdf_range, SDBlock.from_sdf, SDBlock.from_lines and the block
// iterator they return.
#pragma once

#include <cstdint>

#include "borrow.hpp"
#include "core/read/mapped_reader.hpp"
#include "ref.hpp"

namespace molbrook::py {

extern PyTypeObject* SDBlockIteratorType;

// Creates the iterator class, once per process.
bool init_block_iterator_type() noexcept;

extern PyMethodDef parse_sdf_def;
extern PyMethodDef parse_sdf_range_def;

// The static methods SDBlock.from_sdf and SDBlock.from_lines (METH_O).
PyObject* block_from_sdf(PyObject*, PyObject* sdf) noexcept;
PyObject* block_from_lines(PyObject*, PyObject* lines) noexcept;
extern const char kFromSdfDoc[];
extern const char kFromLinesDoc[];

// The type of the blocks a stream yields: known from the start for paths
// and text in memory, fixed by the first data of a file object or an
// iterable of lines (a stream that never gave any counts as str).
enum class StreamKind : uint8_t { Unknown, Str, Bytes };

// A block iterator's kind and, over a mapped file, its reader, for
// callers that split the file themselves without the interpreter lock
// while holding `borrow` exclusively.
struct MappedSource {
  BorrowState* borrow = nullptr;
  MappedReader* reader = nullptr;  // null: the iterator reads another source
  StreamKind kind = StreamKind::Unknown;
};

// Fills `found` for a block iterator of parse_sdf, opening its path on
// first use; any other iterable is left Unknown without a reader. False
// with an exception set when the path cannot be opened or the iterator is
// busy.
bool find_mapped_source(PyObject* object, MappedSource& found) noexcept;

}  // namespace molbrook::py

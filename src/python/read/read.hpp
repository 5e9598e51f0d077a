// Reading: parse_sdf, parse_sdf_range, SDBlock.from_sdf, SDBlock.from_lines and the block
// iterator they return.
#pragma once

#include <optional>

#include "base/borrow.hpp"
#include "base/gil.hpp"
#include "base/module_state.hpp"
#include "core/base/kind.hpp"
#include "core/read/mapped_reader.hpp"
#include "base/ref.hpp"

namespace molbrook::py {

// Creates the iterator class for `module`.
PyTypeObject* new_block_iterator_type(PyObject* module) noexcept;

extern PyMethodDef parse_sdf_def;
extern PyMethodDef parse_sdf_range_def;
// The private readers of remote data, through Python callables.
extern PyMethodDef parse_text_stream_def;
extern PyMethodDef parse_decompressed_def;
extern PyMethodDef parse_range_at_def;

// The class methods SDBlock.from_sdf and SDBlock.from_lines.
PyObject* block_from_sdf(PyObject* cls, PyObject* sdf) noexcept;
PyObject* block_from_lines(PyObject* cls, PyObject* lines) noexcept;
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

// Fills `found` for a block iterator of parse_sdf (of the module whose
// state is `state`), opening its path on
// first use; any other iterable is left without a kind or a reader. False
// with an exception set when the path cannot be opened or the iterator is
// busy.
bool find_mapped_source(const ModuleState& state, PyObject* object, MappedSource& found) noexcept;

// The one loop that takes blocks from a mapped file without the
// interpreter lock: hands each block to `take` (bool(Block&), touching no
// Python object) until it returns false, the file ends, or `batches`
// batches were split (for callers that check signals between batches).
// Blocks queued by an earlier call come first. True when the file ended.
template <class Take>
bool take_mapped(MappedReader& reader, Take&& take, size_t batches = SIZE_MAX) {
  ReleasedGil unlocked;
  for (;;) {
    if (!reader.has_block()) {
      if (batches == 0) return false;
      --batches;
      reader.next_batch();
      if (!reader.has_block()) return true;
    }
    Block block = reader.pop();
    if (!take(block)) return false;
  }
}

}  // namespace molbrook::py

// SdfSink: the buffered writer behind write_sdf and sdf_writer. It gathers
// the bytes of whole blocks and writes them in large chunks, to a path it
// opened (with the interpreter lock released) or through a file object's
// write method.
#pragma once

#include <cstdint>
#include <utility>
#include <optional>
#include <variant>

#include "core/base/buffer.hpp"
#include "core/platform/file.hpp"
#include "base/ref.hpp"
#include "block/sdblock.hpp"

namespace molbrook::py {

class SdfSink {
 public:
  // A sink for `dest`: its bound `write` method when it has one, else the
  // path it names, created or truncated now. nullopt with the error set.
  // A file object takes either kind of block, the first decides which;
  // with `text_as_utf8` it is a bytes one that takes both, text blocks as
  // their UTF-8, checked as for a path.
  static std::optional<SdfSink> open(PyObject* dest, bool text_as_utf8 = false);

  // A sink for whole blocks formatted elsewhere into buffer(): a file
  // object gets them as `kind`.
  static std::optional<SdfSink> open_formatted(PyObject* dest, Kind kind);

  SdfSink(SdfSink&&) noexcept = default;
  SdfSink& operator=(SdfSink&&) noexcept = default;

  // Writes one block, ending with its $$$$ line: buffered, and flushed when
  // the buffer reaches the chunk size. On error the block does not count.
  bool write_block(PySDBlock* block);

  // Where blocks formatted elsewhere are appended, a chunk of them before
  // each commit. Text sinks take valid UTF-8 only.
  ByteBuffer& buffer() noexcept { return buffer_; }
  size_t chunk_size() const noexcept { return threshold_; }

  // Counts `blocks` appended to buffer(), flushing once it holds a chunk;
  // on error they do not count.
  bool commit(uint64_t blocks);

  // Writes out what is buffered; the buffer is empty afterwards either way.
  bool flush();

  // Flushes, then closes a descriptor the sink opened (a file object stays
  // open). A flush error is raised in preference to a close error.
  bool finish();

  // Finishes after a run of writes that ended with `wrote` false and its
  // error set, or true: false when either failed, the finishing error then
  // raised with the run's as its context.
  bool finish_after(bool wrote);

  // Blocks accepted so far.
  uint64_t written() const noexcept { return written_; }

  // Reports the objects it holds (a write method, a path) to the garbage
  // collector.
  int traverse(visitproc visit, void* arg) const noexcept;

 private:
  struct PathTarget {
    platform::File fd;
    Ref path;  // as os.fspath returned it, for OSError
  };

  struct FileTarget {
    Ref write;  // the bound method
    // What the file object takes, str or bytes: fixed by the first block,
    // or bytes from the start when it takes str blocks as their UTF-8.
    std::optional<Kind> kind;
    bool text_as_utf8;
  };

  SdfSink(std::variant<PathTarget, FileTarget> target, size_t threshold);

  bool check_utf8(PySDBlock* block);
  bool check_kind(FileTarget& file, PySDBlock* block);
  // The text of a block that a file object gets by itself.
  Ref decode_alone(PySDBlock* block) noexcept;
  bool flush_to_path(PathTarget& path) noexcept;
  bool flush_to_file(FileTarget& file) noexcept;

  ByteBuffer buffer_;
  size_t threshold_;
  std::variant<PathTarget, FileTarget> target_;
  uint64_t written_ = 0;
};

// Whether a text block is valid UTF-8, as every text sink requires:
// UnicodeDecodeError naming it, the `position`-th block written (from 0),
// when it is not.
bool check_text_block(const Block& block, uint64_t position) noexcept;

// Writes the SDBlocks (of the module whose state is `state`) of `iterator`
// in order, each once `edit(block)` has
// returned true, then finishes the sink; false with the error set. The
// blocks before a failing one (or before an item that is not an SDBlock,
// a TypeError) are written.
template <class Edit>
bool write_blocks(const ModuleState& state, SdfSink& sink, PyObject* iterator, Edit&& edit) {
  bool wrote = true;
  while (Ref item = Ref::steal(PyIter_Next(iterator))) {
    if (!is_sdblock(state, item.get())) {
      raise_not_sdblock(item.get(), "");
      wrote = false;
      break;
    }
    PySDBlock* block = as_sdblock(item.get());
    if (!edit(block) || !sink.write_block(block)) {
      wrote = false;
      break;
    }
  }
  return sink.finish_after(wrote && !PyErr_Occurred());
}

}  // namespace molbrook::py

// SdfSink: the buffered writer behind write_sdf and sdf_writer. It gathers
// the bytes of whole blocks and writes them in large chunks, to a path it
// opened (with the interpreter lock released) or through a file object's
// write method.
#pragma once

#include <cstdint>
#include <utility>
#include <optional>
#include <variant>

#include "../core/buffer.hpp"
#include "../core/platform/file.hpp"
#include "ref.hpp"
#include "sdblock.hpp"

namespace molbrook::py {

class SdfSink {
 public:
  // A sink for `dest`: its bound `write` method when it has one, else the
  // path it names, created or truncated now. nullopt with the error set.
  static std::optional<SdfSink> open(PyObject* dest);

  SdfSink(SdfSink&&) noexcept = default;
  SdfSink& operator=(SdfSink&&) noexcept = default;

  // Writes one block, ending with its $$$$ line: buffered, and flushed when
  // the buffer reaches the chunk size. On error the block does not count.
  bool write_block(PySDBlock* block);

  // Writes out what is buffered; the buffer is empty afterwards either way.
  bool flush();

  // Flushes, then closes a descriptor the sink opened (a file object stays
  // open). A flush error is raised in preference to a close error.
  bool finish();

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

  // The kind of blocks written to a file object, fixed by the first one.
  enum class StreamKind : uint8_t { Unknown, Text, Bytes };

  struct FileTarget {
    Ref write;  // the bound method
    StreamKind kind;
  };

  SdfSink(std::variant<PathTarget, FileTarget> target, size_t threshold);

  bool check_utf8(PySDBlock* block);
  static bool check_kind(FileTarget& file, const PySDBlock* block) noexcept;
  // The text of a block that a file object gets by itself.
  Ref decode_alone(PySDBlock* block) noexcept;
  bool flush_to_path(PathTarget& path) noexcept;
  bool flush_to_file(FileTarget& file) noexcept;

  ByteBuffer buffer_;
  size_t threshold_;
  std::variant<PathTarget, FileTarget> target_;
  uint64_t written_ = 0;
};

}  // namespace molbrook::py

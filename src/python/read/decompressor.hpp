// Decompressing a stream handed over a chunk at a time, through the
// decompressor of its format that Python has: isal's (when installed) or
// zlib for gzip, bz2, lzma, and for zstd compression.zstd (Python 3.14) or
// the zstandard package. The one place that chooses and drives them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/read/compression.hpp"
#include "base/ref.hpp"

namespace molbrook::py {

// The members of a stream (gzip members, bzip2 and xz streams, zstd
// frames) read as one, with what the format allows between and after them
// (MemberGaps). A stream that ends inside a member raises EOFError, other
// bytes after a member OSError, corrupt data the decompressor's own error.
// Each step gives at most kOutputLimit bytes (unless told otherwise), so that a small input that
// expands enormously is still read a piece at a time. The input goes to the
// decompressor as views of the chunks given; zlib's takes pieces sized by
// the expansion seen so far to give a little less than that, so that the
// bound seldom stops a call and the tail it copies stays small.
class Decompressor {
 public:
  static constexpr Py_ssize_t kOutputLimit = 131072;

  // The decompressor of `format` (not None), whose steps give at most
  // `output_limit` bytes; nullopt with ImportError when no module can
  // decompress it.
  static std::optional<Decompressor> open(Compression format, Py_ssize_t output_limit = kOutputLimit) noexcept;

  enum class Status : uint8_t {
    Output,     // `output` holds the next decompressed bytes, maybe none
    NeedInput,  // give() the next chunk first
    Finished,   // the stream ended where its format allows
    Failed,     // an exception is set
  };
  Status step(Ref& output) noexcept;

  // The next chunk of compressed input (bytes); an empty one ends it.
  // False with MemoryError.
  bool give(Ref chunk) noexcept;

  int traverse(visitproc visit, void* arg) const noexcept;

 private:
  // How a member's decompressor takes its input.
  enum class Feeding : uint8_t {
    Tail,      // zlib's: decompress(data, max_length), the input it left in unconsumed_tail
    Buffered,  // isal's, bz2's, lzma's, compression.zstd's: decompress(data, max_length), keeping the rest
    Sliced,    // zstandard's: decompress(data), all at once, so the input goes in slices
  };

  Decompressor(Compression format, Ref make, Ref arguments, Feeding feeding, Ref limit, size_t output_limit) noexcept;

  // Passes over what lies before the next member and starts it; nullopt
  // once it has started, else why the step stops.
  std::optional<Status> start_member() noexcept;
  Status decompress(Ref& output) noexcept;
  // How many pending bytes the member takes in one call.
  size_t piece_size() const noexcept;
  // The member's decompress() of `size` pending bytes, passed as a view
  // that is released after the call; null with an exception set.
  Ref call_member(size_t size) noexcept;
  // After a member's end, the input that follows it.
  bool end_member() noexcept;
  // Raises the error of a stream that ends, or goes on, where it must not.
  Status fail(MemberGaps::End end) const noexcept;

  size_t pending_size() const noexcept;

  Compression format_;
  Ref make_;  // called with arguments_, gives a member's decompressor
  Ref arguments_;
  Feeding feeding_;
  Ref limit_;  // output_limit_ as an int
  size_t output_limit_;
  MemberGaps gaps_;
  Ref member_;   // the current member's decompressor; null between members
  // Compressed bytes, contiguous in the stream: those before pending_at_
  // went to the decompressors, the rest wait.
  Ref pending_;
  size_t pending_at_ = 0;
  uint64_t consumed_ = 0;  // zlib's input taken and output given, for the expansion
  uint64_t produced_ = 0;
  bool more_output_ = false;  // the member may give more without input
  bool input_ended_ = false;
};

// Adds "while decompressing {source!r}" to the raised exception.
void note_decompressing(PyObject* source) noexcept;

}  // namespace molbrook::py

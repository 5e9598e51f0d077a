#include "read/decompressor.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

#include "base/compat.hpp"
#include "base/errors.hpp"
#include "base/sizes.hpp"

namespace molbrook::py {
namespace {

// zstandard's decompressor gives all it can at once: a slice of an eighth
// of the output limit (16 KiB at the default) keeps its output to about
// what a compressed frame can expand it to.
constexpr size_t kSliceShare = 8;

// The smallest piece given to a decompressor that takes a bound on its
// output, however much its input has expanded so far.
constexpr size_t kMinPiece = 1024;

// gzip's wbits: a window of 2**15 bytes, with the gzip header and trailer.
constexpr int kGzipWindowBits = 31;

// Attribute and method names are made per call, a small cost beside the
// decompressor's: names kept for the process would be shared by every
// interpreter.

// The module, or null without an exception when it is not installed.
Ref import_if_installed(const char* name) noexcept {
  Ref module = Ref::steal(PyImport_ImportModule(name));
  if (!module && PyErr_ExceptionMatches(PyExc_ImportError)) PyErr_Clear();
  return module;
}

// The bytes of a bytes object or of none.
std::string_view bytes_or_empty(PyObject* bytes) noexcept {
  return bytes == nullptr ? std::string_view() : bytes_view(bytes);
}

Ref new_bytes(std::string_view first, std::string_view second = {}) noexcept {
  Ref joined = Ref::steal(PyBytes_FromStringAndSize(nullptr, to_py_size(first.size() + second.size())));
  if (!joined) return {};
  char* at = PyBytes_AS_STRING(joined.get());
  if (!first.empty()) std::memcpy(at, first.data(), first.size());
  if (!second.empty()) std::memcpy(at + first.size(), second.data(), second.size());
  return joined;
}

// A bytes attribute of a decompressor.
Ref bytes_attribute(PyObject* object, const char* text) noexcept {
  Ref value = Ref::steal(PyObject_GetAttrString(object, text));
  if (value && !PyBytes_Check(value.get())) {
    PyErr_Format(PyExc_TypeError, "a decompressor's %s must be bytes", text);
    return {};
  }
  return value;
}

// Ends a view of memory the caller owns; BufferError when the decompressor
// still holds a buffer of it.
bool release_view(PyObject* view) noexcept {
  Ref released = Ref::steal(PyObject_CallMethod(view, "release", nullptr));
  return static_cast<bool>(released);
}

}  // namespace

Decompressor::Decompressor(Compression format, Ref make, Ref arguments, Feeding feeding, Ref limit,
                           size_t output_limit) noexcept
    : format_(format),
      make_(std::move(make)),
      arguments_(std::move(arguments)),
      feeding_(feeding),
      limit_(std::move(limit)),
      output_limit_(output_limit),
      gaps_(format) {}

std::optional<Decompressor> Decompressor::open(Compression format, Py_ssize_t output_limit) noexcept {
  auto made = [format, output_limit](PyObject* module, const char* name, Ref arguments, Feeding feeding) {
    std::optional<Decompressor> decompressor;
    if (module == nullptr || !arguments) return decompressor;
    Ref limit = Ref::steal(PyLong_FromSsize_t(output_limit));
    if (!limit) return decompressor;
    if (Ref make = Ref::steal(PyObject_GetAttrString(module, name))) {
      decompressor.emplace(Decompressor(format, std::move(make), std::move(arguments), feeding, std::move(limit),
                                        to_size(output_limit)));
    }
    return decompressor;
  };
  Ref no_arguments = Ref::steal(PyTuple_New(0));
  switch (format) {
    case Compression::Gzip: {
      // isal's gzip decompressor: several times zlib's pace, and it
      // allocates its output bound at once where zlib's grows from 16 KiB.
      if (Ref igzip = import_if_installed("isal.igzip_lib")) {
        Ref flag = Ref::steal(PyObject_GetAttrString(igzip.get(), "DECOMP_GZIP"));
        return made(igzip.get(), "IgzipDecompressor", Ref::steal(flag ? PyTuple_Pack(1, flag.get()) : nullptr),
                    Feeding::Buffered);
      }
      if (PyErr_Occurred()) return std::nullopt;
      Ref zlib = Ref::steal(PyImport_ImportModule("zlib"));
      return made(zlib.get(), "decompressobj", Ref::steal(Py_BuildValue("(i)", kGzipWindowBits)), Feeding::Tail);
    }
    case Compression::Bzip2:
      return made(Ref::steal(PyImport_ImportModule("bz2")).get(), "BZ2Decompressor", std::move(no_arguments),
                  Feeding::Buffered);
    case Compression::Xz:
      return made(Ref::steal(PyImport_ImportModule("lzma")).get(), "LZMADecompressor", std::move(no_arguments),
                  Feeding::Buffered);
    case Compression::Zstd: {
      if (Ref zstd = import_if_installed("compression.zstd")) {
        return made(zstd.get(), "ZstdDecompressor", std::move(no_arguments), Feeding::Buffered);
      }
      if (PyErr_Occurred()) return std::nullopt;
      if (Ref zstandard = import_if_installed("zstandard")) {
        // Its output comes in pieces of write_size, each taking the
        // interpreter lock back and joined at the end: one piece a slice.
        Ref frames = Ref::steal(PyObject_CallMethod(zstandard.get(), "ZstdDecompressor", nullptr));
        return made(frames.get(), "decompressobj", Ref::steal(Py_BuildValue("(n)", output_limit)), Feeding::Sliced);
      }
      if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_ImportError,
                        "zstd-compressed files need Python 3.14's compression.zstd or the zstandard package: "
                        "pip install 'molbrook[zstd]'");
      }
      return std::nullopt;
    }
    case Compression::None:
      break;
  }
  PyErr_SetString(PyExc_SystemError, "internal error: no decompressor for uncompressed data");
  return std::nullopt;
}

Decompressor::Status Decompressor::step(Ref& output) noexcept {
  if (!member_) {
    if (std::optional<Status> stopped = start_member()) return *stopped;
  }
  return decompress(output);
}

bool Decompressor::give(Ref chunk) noexcept {
  std::string_view added = bytes_or_empty(chunk.get());
  if (added.empty()) {
    input_ended_ = true;
  } else if (pending_size() == 0) {
    pending_ = std::move(chunk);
    pending_at_ = 0;
  } else {
    // Bytes too few to tell what follows a member wait for the next chunk.
    pending_ = new_bytes(bytes_or_empty(pending_.get()).substr(pending_at_), added);
    pending_at_ = 0;
    if (!pending_) return false;
  }
  return true;
}

std::optional<Decompressor::Status> Decompressor::start_member() noexcept {
  const MemberGaps::Step gap = gaps_.scan(bytes_or_empty(pending_.get()).substr(pending_at_));
  pending_at_ += gap.skipped;
  switch (gap.next) {
    case MemberGaps::Next::Member:
      member_ = Ref::steal(PyObject_Call(make_.get(), arguments_.get(), nullptr));
      return member_ ? std::nullopt : std::optional(Status::Failed);
    case MemberGaps::Next::More: {
      if (!input_ended_) return Status::NeedInput;
      const MemberGaps::End end = gaps_.end(bytes_or_empty(pending_.get()).substr(pending_at_));
      return end == MemberGaps::End::Complete ? Status::Finished : fail(end);
    }
    case MemberGaps::Next::Invalid:
      break;
  }
  return fail(MemberGaps::End::Invalid);
}

Decompressor::Status Decompressor::decompress(Ref& output) noexcept {
  if (!more_output_ && pending_size() == 0) {
    return input_ended_ ? fail(MemberGaps::End::Truncated) : Status::NeedInput;
  }
  // isal's, bz2's, lzma's and compression.zstd's keep what they could not
  // take yet: they get no more input until they have given it out.
  const size_t given = more_output_ && feeding_ == Feeding::Buffered ? 0 : piece_size();
  output = call_member(given);
  if (!output) return Status::Failed;
  if (!PyBytes_Check(output.get())) {
    PyErr_SetString(PyExc_TypeError, "a decompressor must give bytes");
    return Status::Failed;
  }
  pending_at_ += given;
  Ref eof = Ref::steal(PyObject_GetAttrString(member_.get(), "eof"));
  const int ended = eof ? PyObject_IsTrue(eof.get()) : -1;
  if (ended < 0) return Status::Failed;
  if (ended) return end_member() ? Status::Output : Status::Failed;
  size_t taken = given;
  if (feeding_ == Feeding::Tail) {
    // zlib's hands back, copied, the input it stopped before.
    Ref tail = bytes_attribute(member_.get(), "unconsumed_tail");
    if (!tail) return Status::Failed;
    taken -= std::min(given, bytes_or_empty(tail.get()).size());
    pending_at_ -= given - taken;
  }
  consumed_ += taken;
  produced_ += static_cast<uint64_t>(PyBytes_GET_SIZE(output.get()));
  more_output_ = feeding_ != Feeding::Sliced && to_size(PyBytes_GET_SIZE(output.get())) >= output_limit_;
  return Status::Output;
}

size_t Decompressor::piece_size() const noexcept {
  if (feeding_ == Feeding::Sliced) return std::min(pending_size(), output_limit_ / kSliceShare);
  // The buffered ones copy what they keep once and are drained without
  // input; bz2's in small pieces would gather its blocks piece by piece.
  if (feeding_ == Feeding::Buffered) return pending_size();
  // zlib copies its unconsumed tail at every call: three quarters of the
  // bound at the expansion seen so far (four times until there is some),
  // so that the bound seldom cuts a call short.
  const uint64_t wanted = output_limit_ * 3 / 4;
  const uint64_t piece = consumed_ == 0 || produced_ == 0 ? wanted / 4 : wanted * consumed_ / produced_;
  return std::min(pending_size(), static_cast<size_t>(std::max<uint64_t>(piece, kMinPiece)));
}

Ref Decompressor::call_member(size_t size) noexcept {
  Ref name = Ref::steal(PyUnicode_FromString("decompress"));
  if (!name) return {};
  const char* at = pending_ ? bytes_or_empty(pending_.get()).data() + pending_at_ : "";
  Ref piece = Ref::steal(PyMemoryView_FromMemory(const_cast<char*>(at), to_py_size(size), PyBUF_READ));
  if (!piece) return {};
  PyObject* arguments[] = {member_.get(), piece.get(), limit_.get()};
  const size_t count = feeding_ == Feeding::Sliced ? 2 : 3;
  Ref output = Ref::steal(PyObject_VectorcallMethod(name.get(), arguments, count | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  // pending_ may go once the call returns: the view must not outlive it.
  if (!release_view(piece.get())) return {};
  return output;
}

bool Decompressor::end_member() noexcept {
  Ref unused = bytes_attribute(member_.get(), "unused_data");
  if (!unused) return false;
  member_ = Ref();
  more_output_ = false;
  // unused_data is what the member's decompressor was given past its end:
  // the last of the bytes before pending_at_, unless it reaches back past
  // pending_'s start (a decompressor that holds input across chunks).
  const std::string_view after = bytes_or_empty(unused.get());
  if (after.size() <= pending_at_) {
    pending_at_ -= after.size();
    return true;
  }
  pending_ = new_bytes(after, bytes_or_empty(pending_.get()).substr(pending_at_));
  pending_at_ = 0;
  return static_cast<bool>(pending_);
}

Decompressor::Status Decompressor::fail(MemberGaps::End end) const noexcept {
  if (end == MemberGaps::End::Truncated) {
    PyErr_SetString(PyExc_EOFError, "Compressed file ended before the end-of-stream marker was reached");
  } else {
    const char* name = compression_name(format_);
    PyErr_Format(PyExc_OSError, "%s data is followed by bytes that are not %s data", name, name);
  }
  return Status::Failed;
}

size_t Decompressor::pending_size() const noexcept { return bytes_or_empty(pending_.get()).size() - pending_at_; }

void note_decompressing(PyObject* source) noexcept {
  // The exception is set aside meanwhile: a file object's repr may look up
  // attributes that it does not have.
  Ref error = take_exception();
  Ref note = Ref::steal(PyUnicode_FromFormat("while decompressing %R", source));
  if (!note) return;  // the repr's error replaces the original one
  restore_exception(std::move(error));
  add_note(note.get());
}

int Decompressor::traverse(visitproc visit, void* arg) const noexcept {
  Py_VISIT(make_.get());
  Py_VISIT(arguments_.get());
  Py_VISIT(limit_.get());
  Py_VISIT(member_.get());
  Py_VISIT(pending_.get());
  return 0;
}

}  // namespace molbrook::py

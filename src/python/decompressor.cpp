#include "decompressor.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

namespace molbrook::py {
namespace {

// zstandard's decompressor gives all it can at once: a slice this small
// keeps its output to what a compressed frame can expand it to.
constexpr size_t kSliceLimit = 16384;

// gzip's wbits: a window of 2**15 bytes, with the gzip header and trailer.
constexpr int kGzipWindowBits = 31;

// The module, or null without an exception when it is not installed.
Ref import_if_installed(const char* name) noexcept {
  Ref module = Ref::steal(PyImport_ImportModule(name));
  if (!module && PyErr_ExceptionMatches(PyExc_ImportError)) PyErr_Clear();
  return module;
}

std::string_view bytes_view(PyObject* bytes) noexcept {
  if (bytes == nullptr) return {};
  return {PyBytes_AS_STRING(bytes), static_cast<size_t>(PyBytes_GET_SIZE(bytes))};
}

Ref new_bytes(std::string_view first, std::string_view second = {}) noexcept {
  Ref joined = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(first.size() + second.size())));
  if (!joined) return {};
  char* at = PyBytes_AS_STRING(joined.get());
  if (!first.empty()) std::memcpy(at, first.data(), first.size());
  if (!second.empty()) std::memcpy(at + first.size(), second.data(), second.size());
  return joined;
}

// A bytes attribute of a decompressor.
Ref bytes_attribute(PyObject* object, const char* name) noexcept {
  Ref value = Ref::steal(PyObject_GetAttrString(object, name));
  if (value && !PyBytes_Check(value.get())) {
    PyErr_Format(PyExc_TypeError, "a decompressor's %s must be bytes", name);
    return {};
  }
  return value;
}

}  // namespace

Decompressor::Decompressor(Compression format, Ref make, Ref arguments, Feeding feeding) noexcept
    : format_(format), make_(std::move(make)), arguments_(std::move(arguments)), feeding_(feeding), gaps_(format) {}

std::optional<Decompressor> Decompressor::open(Compression format) noexcept {
  auto made = [format](PyObject* module, const char* name, Ref arguments, Feeding feeding) {
    std::optional<Decompressor> decompressor;
    if (module == nullptr || !arguments) return decompressor;
    if (Ref make = Ref::steal(PyObject_GetAttrString(module, name))) {
      decompressor.emplace(Decompressor(format, std::move(make), std::move(arguments), feeding));
    }
    return decompressor;
  };
  Ref no_arguments = Ref::steal(PyTuple_New(0));
  switch (format) {
    case Compression::Gzip: {
      Ref zlib = import_if_installed("isal.isal_zlib");  // the same interface, faster
      if (!zlib && !PyErr_Occurred()) zlib = Ref::steal(PyImport_ImportModule("zlib"));
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
        Ref frames = Ref::steal(PyObject_CallMethod(zstandard.get(), "ZstdDecompressor", nullptr));
        return made(frames.get(), "decompressobj", std::move(no_arguments), Feeding::Sliced);
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
  std::string_view added = bytes_view(chunk.get());
  if (added.empty()) {
    input_ended_ = true;
  } else if (pending_size() == 0) {
    pending_ = std::move(chunk);
    pending_at_ = 0;
  } else {
    // Bytes too few to tell what follows a member wait for the next chunk.
    pending_ = new_bytes(bytes_view(pending_.get()).substr(pending_at_), added);
    pending_at_ = 0;
    if (!pending_) return false;
  }
  return true;
}

std::optional<Decompressor::Status> Decompressor::start_member() noexcept {
  const MemberGaps::Step gap = gaps_.scan(bytes_view(pending_.get()).substr(pending_at_));
  pending_at_ += gap.skipped;
  switch (gap.next) {
    case MemberGaps::Next::Member:
      member_ = Ref::steal(PyObject_Call(make_.get(), arguments_.get(), nullptr));
      return member_ ? std::nullopt : std::optional(Status::Failed);
    case MemberGaps::Next::More: {
      if (!input_ended_) return Status::NeedInput;
      const MemberGaps::End end = gaps_.end(bytes_view(pending_.get()).substr(pending_at_));
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
  Ref piece = next_piece();
  if (!piece) return Status::Failed;
  output = Ref::steal(feeding_ == Feeding::Sliced
                          ? PyObject_CallMethod(member_.get(), "decompress", "O", piece.get())
                          : PyObject_CallMethod(member_.get(), "decompress", "On", piece.get(), kOutputLimit));
  if (!output) return Status::Failed;
  if (!PyBytes_Check(output.get())) {
    PyErr_SetString(PyExc_TypeError, "a decompressor must give bytes");
    return Status::Failed;
  }
  if (feeding_ == Feeding::Tail) {
    pending_ = bytes_attribute(member_.get(), "unconsumed_tail");
    pending_at_ = 0;
    if (!pending_) return Status::Failed;
  }
  Ref eof = Ref::steal(PyObject_GetAttrString(member_.get(), "eof"));
  const int ended = eof ? PyObject_IsTrue(eof.get()) : -1;
  if (ended < 0) return Status::Failed;
  if (ended) return end_member() ? Status::Output : Status::Failed;
  more_output_ = feeding_ != Feeding::Sliced && PyBytes_GET_SIZE(output.get()) >= kOutputLimit;
  return Status::Output;
}

Ref Decompressor::next_piece() noexcept {
  const std::string_view pending = bytes_view(pending_.get());
  std::string_view given = pending.substr(pending_at_);
  if (feeding_ == Feeding::Sliced) given = given.substr(0, kSliceLimit);
  // All of the pending bytes go as they are; a part of them is copied.
  Ref piece = pending_ && given.size() == pending.size() ? Ref::borrow(pending_.get()) : new_bytes(given);
  if (feeding_ == Feeding::Sliced) {
    pending_at_ += given.size();
  } else if (feeding_ == Feeding::Buffered) {
    pending_ = Ref();
    pending_at_ = 0;
  }
  return piece;
}

bool Decompressor::end_member() noexcept {
  Ref unused = bytes_attribute(member_.get(), "unused_data");
  if (!unused) return false;
  // zlib repeats the bytes past the member in unconsumed_tail: unused_data
  // has all of them. zstandard's is the rest of its slice only.
  std::string_view rest = feeding_ == Feeding::Sliced ? bytes_view(pending_.get()).substr(pending_at_) : "";
  pending_ = rest.empty() ? std::move(unused) : new_bytes(bytes_view(unused.get()), rest);
  pending_at_ = 0;
  member_ = Ref();
  more_output_ = false;
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

size_t Decompressor::pending_size() const noexcept { return bytes_view(pending_.get()).size() - pending_at_; }

int Decompressor::traverse(visitproc visit, void* arg) const noexcept {
  Py_VISIT(make_.get());
  Py_VISIT(arguments_.get());
  Py_VISIT(member_.get());
  Py_VISIT(pending_.get());
  return 0;
}

}  // namespace molbrook::py

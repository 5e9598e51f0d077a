// Opening a file for reading: mapped whole where that is safe, else left
// open to be read in chunks, with the compression its first bytes show.
#pragma once

#include "core/base/result.hpp"
#include "core/platform/file.hpp"
#include "core/read/compression.hpp"
#include "core/platform/file_mapping.hpp"

namespace molbrook {

// A file opened for reading: mapped whole, or left open to be read in
// chunks (or both, when asked to keep the handle).
struct OpenedFile {
  MappingRef mapping;
  platform::File file;
  // A regular file, which positional reads can read at any offset.
  bool seekable = false;
  uint64_t size = 0;  // of a regular file
  // By the bytes the file starts with; a pipe cannot be looked into
  // without consuming it and counts as uncompressed.
  Compression compression = Compression::None;
};

// What becomes of the handle of a file that is mapped.
enum class MappedHandle { Close, Keep };

// Opens `path` read-only: the one place that decides how a file is read.
// A non-empty, uncompressed regular file on a local filesystem is mapped
// and its handle closed (kept with MappedHandle::Keep, for a caller that
// also needs its metadata or reads it again later); anything else (pipes,
// devices, empty or compressed files, network filesystems, where a
// vanished page would kill the process) stays open. A failed mapping
// falls back to the open file too.
// May block: call it without the interpreter lock.
//
// A mapped file truncated meanwhile is a known limit: see platform/file.hpp.
Result<OpenedFile, platform::SystemError> open_for_reading(const char* path,
                                                           MappedHandle handle = MappedHandle::Close) noexcept;

}  // namespace molbrook

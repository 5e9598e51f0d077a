// Opening a file for reading: mapped whole where that is safe, else left
// open to be read in chunks, with the compression its first bytes show.
#pragma once

#include "core/base/result.hpp"
#include "core/platform/file.hpp"
#include "core/read/compression.hpp"
#include "core/read/file_mapping.hpp"

namespace molbrook {

// A file opened for reading: mapped whole, or left open to be read in
// chunks.
struct OpenedFile {
  MappingRef mapping;
  platform::File file;
  // A regular file, which positional reads can read at any offset.
  bool seekable = false;
  // By the bytes the file starts with; a pipe cannot be looked into
  // without consuming it and counts as uncompressed.
  Compression compression = Compression::None;
};

// Opens `path` read-only. A non-empty, uncompressed regular file on a
// local filesystem is mapped and its handle closed; anything else (pipes,
// devices, empty or compressed files, network filesystems, where a
// vanished page would kill the process) stays open. A failed mapping
// falls back to the open file too.
// May block: call it without the interpreter lock.
//
// A mapped file truncated meanwhile is a known limit: see platform/file.hpp.
Result<OpenedFile, platform::SystemError> open_for_reading(const char* path) noexcept;

}  // namespace molbrook

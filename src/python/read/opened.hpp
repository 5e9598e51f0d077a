// Opening path arguments, and telling whether a path is compressed.
#pragma once

#include "core/read/mapped_reader.hpp"
#include "core/read/open_file.hpp"
#include "base/paths.hpp"

namespace molbrook::py {

// Opens `path` without the interpreter lock, by open_for_reading's rule.
// false with OSError naming the path, or with what a signal handler raised.
bool open_released(const PathArgument& path, OpenedFile& opened, MappedHandle handle = MappedHandle::Close) noexcept;

// molbrook.native._compression_of(path): the format the file's first bytes
// tell ("gzip", "bzip2", "xz", "zstd") or None, by the rule parse_sdf
// applies, for every Python caller that opens paths itself.
extern PyMethodDef compression_of_def;

}  // namespace molbrook::py

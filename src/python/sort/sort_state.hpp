// The state of a _Sorter: the sort job, and per source what its blocks
// kept by reference are read back from. sort.cpp feeds it; sort_write.cpp
// writes it out.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "base/borrow.hpp"
#include "core/base/kind.hpp"
#include "core/platform/file.hpp"
#include "core/platform/file_mapping.hpp"
#include "core/sort/sort_job.hpp"
#include "core/sort/source_identity.hpp"
#include "base/ref.hpp"
#include "write/sink.hpp"

namespace molbrook::py {

struct SortSource {
  std::string label;     // the source as provenance names it
  std::string path;      // a plain file read back by offset: its path...
  std::optional<SourceIdentity> identity;  // ...its stamp, checked before an output is whole...
  std::optional<platform::File> file;      // ...its file while open
  MappingRef mapping;    // or its mapping, read from
  Ref index;             // an SDIndex of a BGZF file, read by ordinal...
  bool indexed = false;  // ...which clear() may have dropped since
};

// Plain sources read back by offset open at once, at most: any number of
// them sort within a process's limit of open files.
inline constexpr size_t kOpenSources = 16;

struct PySorter {
  PySorter(SortOptions options, std::string folder, std::optional<std::string> provenance,
           std::vector<SortSource> sources, Kind kind)
      : memory(options.memory),
        job(std::in_place, std::move(options), std::move(folder)),
        sources(std::move(sources)),
        provenance(std::move(provenance)),
        kind(kind) {}

  int traverse(visitproc visit, void* arg) const noexcept {
    for (const SortSource& source : sources) Py_VISIT(source.index.get());
    return 0;
  }
  // Reading back from a source whose index was dropped fails as a closed
  // sort does.
  void clear() noexcept {
    for (SortSource& source : sources) Ref dropped = std::move(source.index);
  }

  BorrowState borrow{"sorter"};
  size_t memory;
  size_t mapped = 0;  // bytes of the mappings that blocks are read back from
  std::optional<SortJob> job;  // empty once closed
  std::vector<SortSource> sources;
  std::optional<std::string> provenance;  // the record naming each block's origin
  std::vector<BlockOrigin> refused;       // blocks that could not take the provenance record
  std::vector<uint32_t> opened;           // the sources with an open file, oldest first
  Kind kind;
  bool finished = false;
};

// Writes the sorted blocks, or with `duplicates` those set aside, to
// `sink` a window at a time; false with the error set.
bool write_sorted(PySorter& sorter, SdfSink& sink, bool duplicates);

// Raises the error of a run file that could not be written or read.
bool raise_run_error(const RunError& error) noexcept;

// Opens the file of a source read back by offset again, by its path.
// Touches no Python object.
Result<platform::File, platform::SystemError> reopen(const SortSource& source) noexcept;

}  // namespace molbrook::py

// Whether a source whose blocks a sort reads back by offset is still the
// file their keys were read from. It is stamped as an index stamps its
// data (size, modification time, hashes of its head and tail) before its
// keys are read, and a spread of its blocks is kept; before the sorted
// output replaces its destination, the stamp must match again and those
// blocks still end in $$$$ lines, the spot checks an index makes.
#pragma once

#include <cstdint>
#include <vector>

#include "core/base/result.hpp"
#include "core/index/index_file.hpp"
#include "core/platform/file.hpp"

namespace molbrook {

class SourceIdentity {
 public:
  // The stamp of `file` as it is now: nothing when it is no regular file.
  static Result<std::optional<SourceIdentity>, platform::SystemError> take(const platform::File& file);

  // Notes a block read from the source, in file order; a spread of at most
  // kSpotChecks of them is kept.
  void note_block(uint64_t offset, uint64_t length);

  // Whether `file` (opened again by the source's path) is still the file
  // stamped.
  Result<bool, platform::SystemError> holds(const platform::File& file) const;

 private:
  struct Spot {
    uint64_t offset;
    uint64_t length;
  };

  explicit SourceIdentity(const DataStamp& stamp) noexcept : stamp_(stamp) {}

  DataStamp stamp_;
  std::vector<Spot> spots_;
  uint64_t noted_ = 0;
  uint64_t stride_ = 1;  // the blocks kept are those whose number it divides
};

}  // namespace molbrook

// Fuzz target: a sort's check that a source read back by offset is still
// the file its keys were read from.
//
// Invariant: for any SD data between a head and a tail of filler longer
// than a stamp hashes, its blocks noted as a sort notes those it reads
// back, the identity taken before holds for the file untouched, and fails
// once the file grew, once its modification time moved, or, with the time
// put back, once an edit of the same size changed a byte of its head or
// tail (as far as an index stamps them) or broke the $$$$ line of every
// block noted; reading never goes past the file, whatever the edit.
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "check.hpp"
#include "core/index/index_file.hpp"
#include "core/sort/sorted_window.hpp"
#include "core/sort/source_identity.hpp"
#include "core/text/lines.hpp"

namespace molbrook::fuzz {
namespace {

enum class Edit { None, Grow, Time, SameSize, BreakEnds, kMaxValue = BreakEnds };

// The file every input is written to, made once.
const std::string& scratch_path() {
  static const std::string path = [] {
    char name[] = "/tmp/molbrook-fuzz-sort-XXXXXX";
    const int fd = mkstemp(name);
    FUZZ_CHECK(fd >= 0);
    close(fd);
    return std::string(name);
  }();
  return path;
}

void write_file(std::string_view bytes, const timespec* mtime) {
  const int fd = open(scratch_path().c_str(), O_WRONLY | O_TRUNC);
  FUZZ_CHECK(fd >= 0);
  FUZZ_CHECK(write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()));
  if (mtime != nullptr) {
    const timespec times[2] = {{0, UTIME_OMIT}, *mtime};
    FUZZ_CHECK(futimens(fd, times) == 0);
  }
  close(fd);
}

// Notes the blocks that end as found, as a sort keeps them by reference;
// how many there were.
size_t note_blocks(SourceIdentity& identity, std::string_view data) {
  size_t noted = 0;
  for (size_t at = 0; at < data.size();) {
    const BlockEnd end = find_block_end(data.substr(at));
    if (end.found && ends_as_found(data.substr(at, end.end))) {
      identity.note_block(at, end.end);
      ++noted;
    }
    at += end.end;
  }
  return noted;
}

// Whether `edited` differs from `data` where a stamp hashes.
bool stamped_bytes_differ(std::string_view data, std::string_view edited) {
  const size_t span = std::min(data.size(), kStampSpan);
  return data.substr(0, span) != edited.substr(0, span) ||
         data.substr(data.size() - span) != edited.substr(edited.size() - span);
}

std::string broken_ends(std::string data) {
  for (size_t at = data.find("\n$$$$"); at != std::string::npos; at = data.find("\n$$$$", at + 1)) data[at + 4] = 'X';
  return data;
}

bool holds(const SourceIdentity& identity) {
  Result<platform::File, platform::SystemError> file = platform::open_read_only(scratch_path().c_str());
  FUZZ_CHECK(file);
  Result<bool, platform::SystemError> holds = identity.holds(*file);
  FUZZ_CHECK(holds);
  return *holds;
}

}  // namespace
}  // namespace molbrook::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  using namespace molbrook;
  using namespace molbrook::fuzz;
  FuzzedDataProvider provider(input, size);
  const Edit edit = provider.ConsumeEnum<Edit>();
  const size_t at = provider.ConsumeIntegral<uint16_t>();
  const std::string patch = provider.ConsumeRandomLengthString(64);
  // No $$$$ line in either filler: the blocks noted end in the data.
  const std::string filler(kStampSpan, 'A');
  const std::string data = filler + "\n" + provider.ConsumeRemainingBytesAsString() + "\n" + filler;

  const timespec then{1'000'000'000, 123};
  write_file(data, &then);
  std::optional<SourceIdentity> identity;
  {
    Result<platform::File, platform::SystemError> file = platform::open_read_only(scratch_path().c_str());
    FUZZ_CHECK(file);
    Result<std::optional<SourceIdentity>, platform::SystemError> taken = SourceIdentity::take(*file);
    FUZZ_CHECK(taken && *taken);
    identity = std::move(**taken);
  }
  const size_t noted = note_blocks(*identity, data);
  FUZZ_CHECK(holds(*identity));

  std::string edited = data;
  const timespec later{then.tv_sec + 1, then.tv_nsec};
  switch (edit) {
    case Edit::None:
    case Edit::Time:
      break;
    case Edit::Grow:
      edited += patch.empty() ? std::string("\n") : patch;
      break;
    case Edit::SameSize:
      edited.replace(at * 3 % data.size(), std::min(patch.size(), data.size() - at * 3 % data.size()), patch);
      break;
    case Edit::BreakEnds:
      edited = broken_ends(data);
      break;
  }
  write_file(edited, edit == Edit::Time ? &later : &then);
  const bool kept = holds(*identity);
  if (edit == Edit::None) FUZZ_CHECK(kept);
  if (edit == Edit::Grow || edit == Edit::Time) FUZZ_CHECK(!kept);
  if (edit == Edit::SameSize && stamped_bytes_differ(data, edited)) FUZZ_CHECK(!kept);
  // Every block noted ended with "\n$$$$", broken now: any spot checked sees it.
  if (edit == Edit::BreakEnds && noted > 0) FUZZ_CHECK(!kept);
  return 0;
}

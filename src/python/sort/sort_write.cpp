// Writing a sort out a window at a time: the sorted blocks gathered, those
// kept by reference read back from their sources (mapped files copied
// from and plain files read at offsets without the interpreter lock, BGZF
// files through their index, whose members molbrook._bgzf inflates), the
// provenance record set, text checked, and the window handed to the sink;
// at the end, each source read back by offset checked to be the file its
// keys were read from. The files of plain sources are opened a few at a
// time, as their blocks are read (a mapped one's to check its size).
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/records/edit.hpp"
#include "core/sort/sorted_window.hpp"
#include "core/text/utf8.hpp"
#include "base/errors.hpp"
#include "base/gil.hpp"
#include "index/index.hpp"
#include "records/names.hpp"
#include "sort/sort_state.hpp"
#include "base/sizes.hpp"

namespace molbrook::py {
namespace {

// The data a BGZF member holds at most: placements closer than this are
// read with the members between them, which reading them apart would
// inflate anyway.
constexpr uint64_t kMemberData = 65536;

// A window holds about this much: few windows cost little each, and the
// sink gets each as one write of whole blocks.
constexpr size_t kWindow = 1 << 20;

// Through BGZF members, half the budget, so that a member holding several
// of the window's blocks is inflated once for all of them.
size_t window_capacity(const PySorter& sorter, const SdfSink& sink) noexcept {
  const size_t capacity = std::max(sink.chunk_size(), kWindow);
  for (const SortSource& source : sorter.sources) {
    if (source.indexed) return std::max(capacity, sorter.memory / 2);
  }
  return capacity;
}

// Why the blocks of a window could not be read back.
struct ReadFailure {
  uint32_t source;
  int error = 0;  // the errno of a failed read; 0: the source changed
};

// The run of placements from `first` that share its source.
std::span<const Placement> source_run(std::span<const Placement> placements, size_t first) noexcept {
  size_t last = first + 1;
  while (last < placements.size() && placements[last].source == placements[first].source) ++last;
  return placements.subspan(first, last - first);
}

void close_oldest(PySorter& sorter) noexcept {
  sorter.sources[sorter.opened.front()].file.reset();
  sorter.opened.erase(sorter.opened.begin());
}

// The file of a plain source read back by offset, opened again when it
// was closed; the one opened first is closed past kOpenSources open files, or
// when the process may open no more. Touches no Python object.
Result<const platform::File*, platform::SystemError> file_of(PySorter& sorter, uint32_t number) noexcept {
  SortSource& source = sorter.sources[number];
  while (!source.file) {
    if (sorter.opened.size() == kOpenSources) close_oldest(sorter);
    Result<platform::File, platform::SystemError> file = reopen(source);
    if (file) {
      source.file = std::move(*file);
      sorter.opened.push_back(number);
    } else if (file.error().code != EMFILE || sorter.opened.empty()) {
      return file.error();
    } else {
      close_oldest(sorter);
    }
  }
  return &*source.file;
}

// Whether the file of a mapped source still holds all of its mapping:
// a copy from a page past the end of a file cut shorter would fault,
// where the file is told changed instead.
std::optional<ReadFailure> check_mapped_size(PySorter& sorter, uint32_t number) noexcept {
  Result<const platform::File*, platform::SystemError> file = file_of(sorter, number);
  if (!file) return ReadFailure{number, file.error().code};
  std::optional<uint64_t> size = platform::regular_file_size(**file);
  if (!size || *size < sorter.sources[number].mapping->bytes().size()) return ReadFailure{number};
  return std::nullopt;
}

// Reads the blocks of plain sources into the window. Touches no Python
// object.
std::optional<ReadFailure> read_plain(PySorter& sorter, std::span<const Placement> placements, char* window) noexcept {
  for (size_t first = 0; first < placements.size();) {
    std::span<const Placement> run = source_run(placements, first);
    first += run.size();
    const SortSource& source = sorter.sources[run.front().source];
    if (source.indexed) continue;
    if (source.mapping) {
      if (std::optional<ReadFailure> cut = check_mapped_size(sorter, run.front().source)) return cut;
      if (!copy_placed(run, source.mapping->bytes(), window)) return ReadFailure{run.front().source};
    } else {
      Result<const platform::File*, platform::SystemError> file = file_of(sorter, run.front().source);
      if (!file) return ReadFailure{run.front().source, file.error().code};
      Result<bool, platform::SystemError> read = read_placed(run, **file, window);
      if (!read) return ReadFailure{run.front().source, read.error().code};
      if (!*read) return ReadFailure{run.front().source};
    }
    for (const Placement& placed : run) {
      if (!ends_as_found({window + placed.at, placed.length})) return ReadFailure{run.front().source};
    }
  }
  return std::nullopt;
}

bool raise_read_failure(const PySorter& sorter, const ReadFailure& failure) noexcept {
  const std::string& label = sorter.sources[failure.source].label;
  Ref path = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(label.data(), to_py_size(label.size())));
  if (!path) return false;
  if (failure.error != 0) return raise_os_error(failure.error, path.get()), false;
  PyErr_Format(PyExc_ValueError, "%R changed while it was sorted", path.get());
  return false;
}

// Whether every source read back by offset is still the file its keys
// were read from; false with the error set.
bool sources_unchanged(const PySorter& sorter) {
  for (uint32_t i = 0; i < sorter.sources.size(); ++i) {
    const SortSource& source = sorter.sources[i];
    if (!source.identity) continue;
    Result<bool, platform::SystemError> holds = false;
    if (!call_released([&] {
          Result<platform::File, platform::SystemError> file = reopen(source);
          holds = file ? source.identity->holds(*file) : file.error();
          return holds ? 0 : holds.error().code;
        })) {
      return false;
    }
    if (!holds) return raise_read_failure(sorter, {i, holds.error().code});
    if (!*holds) return raise_read_failure(sorter, {i});
  }
  return true;
}

// The end of the placements from `first` read at once: those whose gaps
// are under a member's data, within the window's size of data.
size_t indexed_run_end(std::span<const Placement> run, size_t first, size_t span) noexcept {
  size_t last = first + 1;
  while (last < run.size() && run[last].offset - (run[last - 1].offset + run[last - 1].length) < kMemberData &&
         run[last].offset + run[last].length - run[first].offset <= span) {
    ++last;
  }
  return last;
}

// Reads the blocks of one BGZF source into the window, through its index.
bool read_indexed_run(const PySorter& sorter, std::span<const Placement> run, char* window, size_t span) {
  const SortSource& source = sorter.sources[run.front().source];
  if (!source.index) {
    PyErr_SetString(PyExc_ValueError, "the sort is closed");
    return false;
  }
  IndexReading reading(module_state_of(object_of(&sorter)), source.index.get());
  IndexState* state = reading.state();
  if (state == nullptr) return false;
  const IndexView& view = state->view;
  ByteBuffer data;
  for (size_t first = 0; first < run.size();) {
    const size_t last = indexed_run_end(run, first, span);
    const uint64_t from = view.start(run[first].ordinal);
    const uint64_t end_ordinal = run[last - 1].ordinal + 1;
    if (!state->data->read_data(view, run[first].ordinal, end_ordinal, from, view.start(end_ordinal), data)) {
      return false;
    }
    for (size_t i = first; i < last; ++i) {
      std::optional<Block> block = cut_indexed_block(view, state->kind, data.view(), from, run[i].ordinal);
      if (!block) return raise_changed_data(*state->data);
      if (block->bytes().size() != run[i].length) return raise_read_failure(sorter, {run[i].source});
      std::memcpy(window + run[i].at, block->bytes().data(), run[i].length);
    }
    first = last;
  }
  return true;
}

bool read_indexed(const PySorter& sorter, std::span<const Placement> placements, char* window, size_t span) {
  for (size_t first = 0; first < placements.size();) {
    std::span<const Placement> run = source_run(placements, first);
    first += run.size();
    if (sorter.sources[run.front().source].indexed && !read_indexed_run(sorter, run, window, span)) return false;
  }
  return true;
}

// A block of the window as a Block, for editing and for naming it in
// errors: every block gathered ends with a bare $$$$ line.
std::optional<Block> block_of(std::string_view bytes) {
  return Block::copy_unchanged(bytes, bytes.size() - (bytes.ends_with("\r\n") ? 6 : 5));
}

// Appends the blocks of `staged` to `out`, each with its provenance
// record; a block that cannot take records (no M  END line ends its MDL)
// goes as it is and is noted. `starts` gets where each block begins in
// `out`. The block that could not be edited, if one could not: a header
// line without a name. Touches no Python object.
const GatheredBlock* add_provenance(PySorter& sorter, const SortedWindow& window, std::string_view staged,
                                    ByteBuffer& out, std::vector<size_t>& starts) {
  for (const GatheredBlock& gathered : window.blocks()) {
    std::optional<Block> block = block_of(staged.substr(gathered.at, gathered.length));
    const BlockOrigin& origin = gathered.origin;
    const std::string value = sorter.sources[origin.source].label + ":" + std::to_string(origin.ordinal);
    EditStatus refused = block ? set_record(*block, *sorter.provenance, value, HeaderStyle::Plain)
                               : EditStatus(EditError::MalformedRecord);
    if (refused == EditError::MalformedRecord) return &gathered;
    if (refused) sorter.refused.push_back(origin);
    starts.push_back(out.size());
    out.append(block->bytes());
  }
  return nullptr;
}

// The number of blocks of the window, from `starts` on in `out`, that are
// valid UTF-8. Touches no Python object.
size_t valid_text_blocks(std::string_view out, std::span<const size_t> starts) noexcept {
  if (!find_invalid_utf8(out.substr(starts.front()))) return starts.size();
  size_t valid = 0;
  while (!find_invalid_utf8(out.substr(starts[valid], (valid + 1 < starts.size() ? starts[valid + 1] : out.size()) -
                                                          starts[valid]))) {
    ++valid;
  }
  return valid;
}

// ValueError naming the first blocks that could not take the provenance
// record.
bool raise_refused(const PySorter& sorter) {
  std::string shown;
  for (size_t i = 0; i < std::min<size_t>(sorter.refused.size(), 10); ++i) {
    const BlockOrigin& origin = sorter.refused[i];
    if (i > 0) shown += ", ";
    shown += sorter.sources[origin.source].label + ":" + std::to_string(origin.ordinal);
  }
  if (sorter.refused.size() > 10) shown += " and " + std::to_string(sorter.refused.size() - 10) + " more";
  PyErr_Format(PyExc_ValueError,
               "no M  END line ends the MDL of %s %s (ordinals from 0): a provenance record there would not "
               "read back",
               sorter.refused.size() > 1 ? "blocks" : "block", shown.c_str());
  return false;
}

// One window at a time: gathered into the sink's buffer, or with
// provenance into `staged` first; read back, edited and checked. The
// sink's buffer then ends with the window's blocks, `starts` telling where
// each begins.
struct WindowWriter {
  PySorter& sorter;
  SdfSink& sink;
  bool duplicates;
  size_t capacity;
  SortedWindow window = {};
  ByteBuffer staged = {};
  std::vector<size_t> starts = {};

  // Gathers the next window: false once the sorted blocks are all written,
  // or with `failed` and the error set.
  bool next(bool& failed) {
    const size_t start = sink.buffer().size();
    starts.clear();
    failed = !fill();
    staged.clear();
    // A window that failed leaves the sink's buffer as it was, but for the
    // valid text a text error keeps.
    if (failed && starts.empty()) sink.buffer().set_size(start);
    return !failed && !window.blocks().empty();
  }

 private:
  bool fill() {
    ByteBuffer& out = sorter.provenance ? staged : sink.buffer();
    Result<bool, RunError> gathered = false;
    std::optional<ReadFailure> failed;
    {
      ReleasedGil unlocked;
      gathered = window.gather(*sorter.job, duplicates, out, capacity);
      if (gathered && *gathered) failed = read_plain(sorter, window.placements(), out.data());
    }
    if (!gathered) return raise_run_error(gathered.error());
    if (!*gathered) return true;
    if (failed) return raise_read_failure(sorter, *failed);
    return read_indexed(sorter, window.placements(), out.data(), capacity) && finish();
  }

  bool finish() {
    const GatheredBlock* malformed = nullptr;
    size_t valid;
    {
      ReleasedGil unlocked;
      if (sorter.provenance) {
        malformed = add_provenance(sorter, window, staged.view(), sink.buffer(), starts);
      } else {
        for (const GatheredBlock& block : window.blocks()) starts.push_back(block.at);
      }
      valid = malformed || sorter.kind == Kind::Bytes ? starts.size() : valid_text_blocks(sink.buffer().view(), starts);
    }
    if (malformed) {
      starts.clear();
      raise_malformed_record(module_state_of(object_of(&sorter)));
      return false;
    }
    return valid == starts.size() || raise_invalid_text(valid);
  }

  // Commits the valid blocks before the first invalid one, which the
  // error names.
  bool raise_invalid_text(size_t valid) {
    ByteBuffer& out = sink.buffer();
    const size_t end = valid + 1 < starts.size() ? starts[valid + 1] : out.size();
    std::optional<Block> block = block_of(out.view().substr(starts[valid], end - starts[valid]));
    out.set_size(starts[valid]);
    if (sink.commit(valid) && block) check_text_block(*block, sink.written());
    return false;
  }
};

}  // namespace

Result<platform::File, platform::SystemError> reopen(const SortSource& source) noexcept {
  Result<platform::File, platform::SystemError> file = platform::open_read_only(source.path.c_str());
  while (!file && file.error().code == EINTR) file = platform::open_read_only(source.path.c_str());
  return file;
}

bool write_sorted(PySorter& sorter, SdfSink& sink, bool duplicates) {
  WindowWriter writer{sorter, sink, duplicates, window_capacity(sorter, sink)};
  bool failed;
  while (writer.next(failed)) {
    if (!sink.commit(writer.starts.size()) || PyErr_CheckSignals() < 0) return false;
  }
  return !failed && (sorter.refused.empty() || raise_refused(sorter)) && sources_unchanged(sorter);
}

}  // namespace molbrook::py

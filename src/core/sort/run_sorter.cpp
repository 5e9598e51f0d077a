#include "core/sort/run_sorter.hpp"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <utility>

#include "core/sort/sort_key.hpp"


namespace molbrook {
namespace {

// Runs read at once by a merge; past it, merges of this many runs make
// fewer, longer ones first. Fewer when the process runs out of
// descriptors.
constexpr size_t kFanIn = 64;
constexpr size_t kMinReadChunk = 65536;
constexpr size_t kMaxReadChunk = 1 << 20;

}  // namespace

// A k-way merge: the current entry of each run in a heap, least key on top.
class RunSorter::Merger {
 public:
  static Result<std::unique_ptr<Merger>, RunError> open(const std::vector<std::string>& runs, size_t budget) {
    auto merger = std::make_unique<Merger>();
    const size_t chunk = std::clamp(budget / (2 * std::max<size_t>(runs.size(), 1)), kMinReadChunk, kMaxReadChunk);
    merger->readers_.reserve(runs.size());
    merger->current_.resize(runs.size());
    for (const std::string& run : runs) {
      Result<RunReader, RunError> reader = RunReader::open(run, chunk);
      if (!reader) return std::move(reader.error());
      merger->readers_.push_back(std::move(*reader));
    }
    for (size_t i = 0; i < runs.size(); ++i) {
      if (Status<RunError> failed = merger->advance(i)) return std::move(*failed);
    }
    return merger;
  }

  Result<bool, RunError> next(SortEntry& entry) {
    if (last_) {
      if (Status<RunError> failed = advance(*last_)) return std::move(*failed);
      last_.reset();
    }
    if (heap_.empty()) return false;
    std::pop_heap(heap_.begin(), heap_.end(), Later{this});
    last_ = heap_.back();
    heap_.pop_back();
    entry = current_[*last_];
    return true;
  }

 private:
  struct Later {
    const Merger* merger;
    bool operator()(size_t a, size_t b) const noexcept { return merger->current_[a].key > merger->current_[b].key; }
  };

  // Reads run i's next entry into the heap, unless the run has ended.
  Status<RunError> advance(size_t i) {
    Result<bool, RunError> more = readers_[i].next(current_[i]);
    if (!more) return std::move(more.error());
    if (*more) {
      heap_.push_back(i);
      std::push_heap(heap_.begin(), heap_.end(), Later{this});
    }
    return std::nullopt;
  }

  std::vector<RunReader> readers_;
  std::vector<SortEntry> current_;
  std::vector<size_t> heap_;
  std::optional<size_t> last_;  // the run of the entry handed out last
};

RunSorter::RunSorter(RunFolder& folder, size_t budget, std::optional<uint64_t> limit) noexcept
    : folder_(&folder), budget_(budget), limit_(limit), fan_in_(kFanIn) {}

RunSorter::~RunSorter() = default;

SortEntry RunSorter::held_entry(size_t offset) const noexcept { return entry_at(held_.data() + offset); }

RunSorter::Held RunSorter::hold(const SortEntry& entry) const noexcept {
  char bytes[16] = {};
  std::memcpy(bytes, entry.key.data(), std::min<size_t>(entry.key.size(), sizeof bytes));
  return {{read_u64({bytes, 8}), read_u64({bytes + 8, 8})}, held_.size()};
}

Status<RunError> RunSorter::add(const SortEntry& entry) {
  ++added_;
  const size_t size = kEntryHeader + entry.key.size() + entry.payload.size();
  auto held_bytes = [&] { return held_.size() + entries_.size() * sizeof(Held); };
  if (!entries_.empty() && held_bytes() + size + sizeof(Held) > budget_) {
    if (limit_ && entries_.size() > *limit_) keep_limit();
    if (!entries_.empty() && held_bytes() + size + sizeof(Held) > budget_) {
      if (Status<RunError> failed = spill()) return failed;
    }
  } else if (limit_ && entries_.size() >= 2 * std::max<uint64_t>(*limit_, 1024)) {
    keep_limit();
  }
  // Grow towards the budget, not past it by doubling.
  if (held_.size() + size > held_.capacity()) {
    held_.reserve(std::max(held_.size() + size, std::min(2 * held_.capacity(), budget_)));
  }
  entries_.push_back(hold(entry));
  append_entry(held_, entry);
  return std::nullopt;
}

void RunSorter::sort_held() {
  std::sort(entries_.begin(), entries_.end(), [this](const Held& a, const Held& b) {
    if (a.prefix[0] != b.prefix[0]) return a.prefix[0] < b.prefix[0];
    if (a.prefix[1] != b.prefix[1]) return a.prefix[1] < b.prefix[1];
    return held_entry(a.offset).key < held_entry(b.offset).key;
  });
}

void RunSorter::keep_limit() {
  sort_held();
  if (entries_.size() <= *limit_) return;
  entries_.resize(static_cast<size_t>(*limit_));
  ByteBuffer kept;
  for (Held& entry : entries_) {
    const size_t offset = std::exchange(entry.offset, kept.size());
    append_entry(kept, held_entry(offset));
  }
  held_ = std::move(kept);
}

Status<RunError> RunSorter::spill() {
  sort_held();
  const size_t count = limit_ ? std::min<size_t>(entries_.size(), static_cast<size_t>(*limit_)) : entries_.size();
  Result<RunWriter, RunError> writer = RunWriter::create(folder_->new_path());
  if (!writer) return std::move(writer.error());
  for (size_t i = 0; i < count; ++i) {
    if (Status<RunError> failed = writer->write(held_entry(entries_[i].offset))) return failed;
  }
  if (Status<RunError> failed = writer->finish()) return failed;
  runs_.push_back(writer->path());
  held_.clear();
  entries_.clear();
  return std::nullopt;
}

Result<std::string, RunError> RunSorter::merge_into_run(const std::vector<std::string>& runs) {
  Result<std::unique_ptr<Merger>, RunError> merger = Merger::open(runs, budget_);
  if (!merger) return std::move(merger.error());
  Result<RunWriter, RunError> writer = RunWriter::create(folder_->new_path());
  if (!writer) return std::move(writer.error());
  uint64_t written = 0;
  SortEntry entry;
  for (;;) {
    if (limit_ && written == *limit_) break;
    Result<bool, RunError> more = (*merger)->next(entry);
    if (!more) return std::move(more.error());
    if (!*more) break;
    if (Status<RunError> failed = writer->write(entry)) return std::move(*failed);
    ++written;
  }
  if (Status<RunError> failed = writer->finish()) return std::move(*failed);
  merger->reset();
  // Merged runs are not needed again: their room goes back at once.
  for (const std::string& run : runs) {
    if (Status<platform::SystemError> failed = platform::remove_file(run.c_str())) return RunError{*failed, run};
  }
  return writer->path();
}

Status<RunError> RunSorter::finish() {
  if (runs_.empty()) {
    sort_held();
    return std::nullopt;
  }
  if (!entries_.empty()) {
    if (Status<RunError> failed = spill()) return failed;
  }
  held_.reset();
  entries_ = {};
  for (;;) {
    Status<RunError> failed = merge_down();
    if (!failed) {
      Result<std::unique_ptr<Merger>, RunError> merger = Merger::open(runs_, budget_);
      if (merger) {
        merger_ = std::move(*merger);
        return std::nullopt;
      }
      failed = std::move(merger.error());
    }
    if (failed->error.code != EMFILE || fan_in_ <= 2) return failed;
    // Out of descriptors: merge fewer runs at once, in more passes.
    fan_in_ = std::max<size_t>(2, std::min(fan_in_, runs_.size()) / 2);
  }
}

Status<RunError> RunSorter::merge_down() {
  while (runs_.size() > fan_in_) {
    std::vector<std::string> first(runs_.begin(), runs_.begin() + static_cast<ptrdiff_t>(fan_in_));
    Result<std::string, RunError> merged = merge_into_run(first);
    if (!merged) return std::move(merged.error());
    runs_.erase(runs_.begin(), runs_.begin() + static_cast<ptrdiff_t>(fan_in_));
    runs_.push_back(std::move(*merged));
  }
  return std::nullopt;
}

Result<bool, RunError> RunSorter::next(SortEntry& entry) {
  if (limit_ && handed_out_ == *limit_) return false;
  if (merger_) {
    Result<bool, RunError> more = merger_->next(entry);
    if (more && *more) ++handed_out_;
    return more;
  }
  if (next_held_ == entries_.size()) return false;
  entry = held_entry(entries_[next_held_++].offset);
  ++handed_out_;
  return true;
}

}  // namespace molbrook

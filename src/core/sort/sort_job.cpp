#include "core/sort/sort_job.hpp"

#include <utility>

#include "core/base/little_endian.hpp"

namespace molbrook {
namespace {

constexpr size_t kSequenceSize = 8;

// The blocks of each source whose record names are noted.
constexpr uint64_t kNamedBlocks = 8;

// A payload: how the block is kept (by reference or by its bytes), its
// source and ordinal, then its offset and length or its bytes.
enum class Kept : char { Reference = 0, Bytes = 1 };

void make_payload(ByteBuffer& out, const BlockOrigin& origin, std::string_view bytes) {
  out.clear();
  out.push_back(static_cast<char>(origin.offset ? Kept::Reference : Kept::Bytes));
  append_le<uint32_t>(out, origin.source);
  append_le<uint64_t>(out, origin.ordinal);
  if (origin.offset) {
    append_le<uint64_t>(out, *origin.offset);
    append_le<uint64_t>(out, bytes.size());
  } else {
    out.append(bytes);
  }
}

SortedBlock read_payload(std::string_view payload) noexcept {
  const char* at = payload.data();
  SortedBlock block{{load_le<uint32_t>(at + 1), load_le<uint64_t>(at + 5), std::nullopt}, 0, {}};
  if (static_cast<Kept>(payload[0]) == Kept::Reference) {
    block.origin.offset = load_le<uint64_t>(at + 13);
    block.length = load_le<uint64_t>(at + 21);
  } else {
    block.bytes = payload.substr(13);
    block.length = block.bytes.size();
  }
  return block;
}

// The grouping stage and the sorting one fill at once, as do the sorting
// stage and the duplicates later: with a group each holds half the budget.
size_t stage_budget(const SortOptions& options) noexcept {
  return options.group ? options.memory / 2 : options.memory;
}

// Made in place: GCC 12 takes a variant moved into the optional for one
// whose run-file error may be read uninitialized.
Status<SortFailure> malformed_record() { return Status<SortFailure>(std::in_place, MalformedRecord{}); }

}  // namespace

SortJob::SortJob(SortOptions options, std::string run_folder)
    : options_(std::move(options)),
      folder_(std::move(run_folder)),
      sorted_(folder_, stage_budget(options_), options_.top),
      duplicates_(folder_, stage_budget(options_), std::nullopt),
      found_(options_.keys.size() + (options_.group ? 1 : 0)) {
  if (options_.group) grouped_.emplace(folder_, stage_budget(options_), std::nullopt);
}

void SortJob::see_names(const Block& block) {
  const std::string_view section = record_section(block);
  visit_records(section, [&](const ScannedRecord& record) {
    const std::string_view name = record.name(section);
    if (names_known_.find(name) != names_known_.end()) return;
    names_known_.emplace(name);
    names_seen_.emplace_back(name);
  });
}

Status<SortFailure> SortJob::add(const Block& block, RecordIndexCell& index, const BlockOrigin& origin) {
  const uint64_t sequence = blocks_in_++;
  if (origin.ordinal < kNamedBlocks) see_names(block);
  key_.clear();
  std::optional<std::string_view> group;
  if (options_.group) {
    RecordResult<std::optional<std::string_view>> value = key_value(block, index, *options_.group, scratch_);
    if (!value) return malformed_record();
    if (*value) {
      append_escaped(key_, **value);
      group = **value;
      found_.back() = 1;
    }
  }
  const size_t key_start = key_.size();
  RecordResult<bool> kept =
      encode_keys(block, index, {options_.keys, options_.str_digits}, found_, key_, scratch_);
  if (!kept) return malformed_record();
  if (!*kept) {
    ++missing_dropped_;
    return std::nullopt;
  }
  append_u64(key_, sequence);
  make_payload(payload_, origin, block.bytes());
  Status<RunError> failed = group ? grouped_->add({key_.view(), payload_.view()})
                                  : sorted_.add({key_.view().substr(key_start), payload_.view()});
  if (failed) return SortFailure{std::move(*failed)};
  return std::nullopt;
}

Status<RunError> SortJob::finish() {
  if (grouped_) {
    if (Status<RunError> failed = settle_groups()) return failed;
  }
  if (Status<RunError> failed = sorted_.finish()) return failed;
  return duplicates_.finish();
}

Status<RunError> SortJob::settle_groups() {
  if (Status<RunError> failed = grouped_->finish()) return failed;
  ByteBuffer group;
  uint64_t in_group = 0;
  SortEntry entry;
  for (;;) {
    Result<bool, RunError> more = grouped_->next(entry);
    if (!more) return std::move(more.error());
    if (!*more) break;
    const std::string_view this_group = entry.key.substr(0, escaped_length(entry.key));
    if (this_group != group.view()) {
      group.clear();
      group.append(this_group);
      in_group = 0;
    }
    Status<RunError> failed =
        ++in_group <= options_.per_group
            ? sorted_.add({entry.key.substr(this_group.size()), entry.payload})
            : duplicates_.add({entry.key.substr(entry.key.size() - kSequenceSize), entry.payload});
    if (failed) return failed;
  }
  grouped_.reset();
  return std::nullopt;
}

Result<bool, RunError> SortJob::next_of(RunSorter& sorter, SortedBlock& block) {
  SortEntry entry;
  Result<bool, RunError> more = sorter.next(entry);
  if (more && *more) block = read_payload(entry.payload);
  return more;
}

}  // namespace molbrook

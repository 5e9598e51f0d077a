#include "core/index/index_builder.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "core/read/splitter.hpp"
#include "core/records/key_rows.hpp"
#include "core/records/record.hpp"
#include "core/text/newline.hpp"

namespace molbrook {
namespace {

constexpr uint64_t kInMemberBits = 16;

uint64_t virtual_offset(uint64_t compressed, uint64_t in_member) noexcept {
  return compressed << kInMemberBits | in_member;
}

}  // namespace

IndexBuilder::IndexBuilder(Kind kind, bool bgzf, std::vector<KeySpec> keys)
    : kind_(kind), bgzf_(bgzf), scanner_(kind, 0) {
  for (KeySpec& spec : keys) contents_.keys.push_back({std::move(spec), KeyTableBuilder()});
}

IndexBuilder::IndexBuilder(const IndexView& previous, Kind kind)
    : kind_(kind),
      bgzf_(previous.flags() & kBgzf),
      lone_cr_(previous.flags() & kModeBound),
      scanner_(kind, 0) {
  const uint64_t blocks = previous.block_count();
  resumed_blocks_ = blocks > 0 ? blocks - 1 : 0;
  for (uint64_t i = 0; i < resumed_blocks_; ++i) contents_.starts.push_back(previous.start(i));
  scanner_ = BlockScanner(kind, previous.start(resumed_blocks_));
  if (bgzf_) {
    for (uint64_t i = 0; i < resumed_blocks_; ++i) contents_.virtual_offsets.push_back(previous.virtual_offset(i));
    resume_virtual_ = previous.virtual_offset(resumed_blocks_);
  }
  for (size_t i = 0; i < previous.key_table_count(); ++i) {
    contents_.keys.push_back({previous.key_spec(i), KeyTableBuilder(previous.key_table(i), resumed_blocks_)});
  }
  // A stream is fed from the start of the member holding the resumed block.
  stream_end_ = carry_start_ = resume_start() - (resume_virtual_ & ((uint64_t{1} << kInMemberBits) - 1));
}

Status<IndexBuildError> IndexBuilder::scan_whole(std::string_view file, const MappingRef* mapping) {
  // Without a lone CR, str and bytes reading find the same blocks with the
  // same keys, and the bytes search is the quicker. So the bytes search
  // goes first, each block checked for a lone CR while it is in cache;
  // from the first that holds one on, blocks are found as `kind_` reads.
  scanner_ = BlockScanner(lone_cr_ ? kind_ : Kind::Bytes, resume_start());
  const bool whole = scanner_.scan(file, 0, true, [&](const FoundBlock& found) {
    if (!lone_cr_) {
      bool pending_cr = false;
      if (has_lone_cr(found.bytes(), pending_cr) || pending_cr) return false;
    }
    add_block(found, mapping);
    return true;
  });
  if (!whole) {
    lone_cr_ = true;
    scanner_ = BlockScanner(kind_, scanner_.next_start());
    scan_window(file, 0, true, mapping);
  }
  contents_.starts.push_back(file.size());
  return error_;
}

Status<IndexBuildError> IndexBuilder::feed(std::string_view data, uint64_t member_start, uint64_t member_end) {
  if (bgzf_) {
    members_.push_back({member_start, stream_end_});
    compressed_end_ = member_end;
  }
  lone_cr_ = has_lone_cr(data, pending_cr_) || lone_cr_;
  append_stream(data);
  scan_window(carry_.view(), carry_start_, false, nullptr);
  return error_;
}

Status<IndexBuildError> IndexBuilder::finish_stream() {
  lone_cr_ = lone_cr_ || pending_cr_;
  scan_window(carry_.view(), carry_start_, true, nullptr);
  contents_.starts.push_back(stream_end_);
  if (bgzf_) compute_virtual_offsets();
  return error_;
}

// Adds `data` to the bytes held from the block being searched on.
void IndexBuilder::append_stream(std::string_view data) {
  drop_searched();
  carry_.append(data);
  stream_end_ += data.size();
  drop_searched();
}

// Drops the bytes before the block being searched. A resumed BGZF stream
// is fed from the start of the member holding that block: until enough of
// it has arrived, only what has arrived can go.
void IndexBuilder::drop_searched() noexcept {
  const size_t consumed =
      static_cast<size_t>(std::min<uint64_t>(scanner_.next_start() - carry_start_, carry_.size()));
  if (consumed == 0) return;
  std::memmove(carry_.data(), carry_.data() + consumed, carry_.size() - consumed);
  carry_.set_size(carry_.size() - consumed);
  carry_start_ += consumed;
}

void IndexBuilder::scan_window(std::string_view window, uint64_t base, bool at_eof, const MappingRef* mapping) {
  scanner_.scan(window, base, at_eof, [&](const FoundBlock& found) {
    add_block(found, mapping);
    return true;
  });
}

void IndexBuilder::add_block(const FoundBlock& found, const MappingRef* mapping) {
  const uint64_t ordinal = contents_.starts.size();
  contents_.starts.push_back(found.start);
  if (contents_.keys.empty() || error_) return;
  std::optional<Block> block;
  if (mapping != nullptr && found.end.found && found.end.first_cr == found.end.end) {
    const size_t start = static_cast<size_t>(found.start);
    block = Block::borrow(*mapping, start, start + found.end.end, found.end.term_start);
  }
  if (!block) block = cut_block(found.rest, found.end);
  add_keys(*block, ordinal);
}

void IndexBuilder::add_keys(const Block& block, uint64_t ordinal) {
  RecordIndexCell cell;
  for (IndexContents::Keys& keys : contents_.keys) {
    std::optional<std::string_view> record;
    if (!keys.spec.title) record = keys.spec.record;
    RecordResult<std::optional<std::string_view>> key = block_key(block, cell, record);
    if (!key) {
      error_ = IndexBuildError{IndexBuildError::MalformedRecord, ordinal};
      return;
    }
    if (!*key) continue;
    std::string_view text = **key;
    // A value of several lines reads with LF between them, as get() gives it.
    if (text.find("\r\n") != std::string_view::npos) {
      folded_.clear();
      append_folded(folded_, text);
      text = folded_.view();
    }
    if (keys.table.add(text, ordinal)) {
      error_ = IndexBuildError{IndexBuildError::TooManyKeys, ordinal};
      return;
    }
  }
}

void IndexBuilder::compute_virtual_offsets() {
  size_t member = 0;
  for (size_t i = contents_.virtual_offsets.size(); i < contents_.starts.size(); ++i) {
    const uint64_t start = contents_.starts[i];
    while (member + 1 < members_.size() && members_[member + 1].stream_start <= start) ++member;
    if (start == stream_end_ || members_.empty()) {
      contents_.virtual_offsets.push_back(virtual_offset(compressed_end_, 0));
    } else {
      const Member& holding = members_[member];
      contents_.virtual_offsets.push_back(virtual_offset(holding.compressed_start, start - holding.stream_start));
    }
  }
}

ByteBuffer IndexBuilder::serialize(const DataStamp& stamp) {
  contents_.stamp = stamp;
  contents_.flags = (kind_ == Kind::Str ? uint32_t{kStrReading} : 0) | (lone_cr_ ? uint32_t{kModeBound} : 0) |
                    (bgzf_ ? uint32_t{kBgzf} : 0);
  return contents_.serialize();
}

}  // namespace molbrook

#include "core/index/index_file.hpp"

#include "core/base/little_endian.hpp"
#include "core/index/hash.hpp"

namespace molbrook {
namespace {

constexpr std::string_view kMagic{"\x89MBI\r\n\x1a\n", 8};
constexpr uint32_t kKnownFlags = kStrReading | kModeBound | kBgzf;
constexpr uint32_t kRecordKey = 0;
constexpr uint32_t kTitleKey = 1;

constexpr size_t padded(size_t size) noexcept { return (size + 7) / 8 * 8; }

void pad(ByteBuffer& out) {
  static constexpr char kZeros[8] = {};
  out.append({kZeros, padded(out.size()) - out.size()});
}

// Reads sections off the file front to back, each in bounds or not at all.
class Cursor {
 public:
  Cursor(std::string_view file, size_t at) noexcept : file_(file), at_(at) {}

  // The next `count` items of `size` bytes, then padding to 8 bytes.
  std::optional<std::string_view> take(uint64_t count, size_t size) noexcept {
    if (count > (file_.size() - at_) / size) return std::nullopt;
    const size_t bytes = static_cast<size_t>(count) * size;
    std::string_view taken = file_.substr(at_, bytes);
    if (padded(bytes) > file_.size() - at_) return std::nullopt;
    at_ += padded(bytes);
    return taken;
  }

  size_t at() const noexcept { return at_; }

 private:
  std::string_view file_;
  size_t at_;
};

bool non_decreasing(std::string_view numbers) noexcept {
  for (size_t at = 8; at < numbers.size(); at += 8) {
    if (load_le<uint64_t>(numbers.data() + at) < load_le<uint64_t>(numbers.data() + at - 8)) return false;
  }
  return true;
}

}  // namespace

uint64_t head_hash(std::string_view head) noexcept { return hash_bytes(head.substr(0, kStampSpan)); }

uint64_t tail_hash(std::string_view tail) noexcept {
  return hash_bytes(tail.substr(tail.size() > kStampSpan ? tail.size() - kStampSpan : 0));
}

std::optional<IndexView> IndexView::parse(std::string_view bytes) {
  if (bytes.size() < kIndexHeaderSize || !bytes.starts_with(kMagic)) return std::nullopt;
  const char* header = bytes.data();
  IndexView view;
  if (load_le<uint32_t>(header + 8) != kIndexVersion) return std::nullopt;
  view.flags_ = load_le<uint32_t>(header + 12);
  view.stamp_ = {load_le<uint64_t>(header + 16), static_cast<int64_t>(load_le<uint64_t>(header + 24)),
                 load_le<uint64_t>(header + 32), load_le<uint64_t>(header + 40)};
  view.blocks_ = load_le<uint64_t>(header + 48);
  const uint32_t key_tables = load_le<uint32_t>(header + 56);
  if ((view.flags_ & ~kKnownFlags) != 0 || load_le<uint64_t>(header + 72) != bytes.size() ||
      load_le<uint64_t>(header + 64) != hash_bytes(bytes.substr(kIndexHeaderSize)) ||
      view.blocks_ == UINT64_MAX) {
    return std::nullopt;
  }
  Cursor cursor(bytes, kIndexHeaderSize);
  std::optional<std::string_view> starts = cursor.take(view.blocks_ + 1, 8);
  if (!starts || load_le<uint64_t>(starts->data()) != 0 || !non_decreasing(*starts)) return std::nullopt;
  view.starts_ = *starts;
  if ((view.flags_ & kBgzf) == 0 && view.start(view.blocks_) != view.stamp_.size) return std::nullopt;
  if (view.flags_ & kBgzf) {
    std::optional<std::string_view> offsets = cursor.take(view.blocks_ + 1, 8);
    if (!offsets || !non_decreasing(*offsets)) return std::nullopt;
    view.virtual_offsets_ = *offsets;
  }
  if (!view.parse_key_tables(bytes, cursor.at(), key_tables)) return std::nullopt;
  return view;
}

bool IndexView::parse_key_tables(std::string_view file, size_t at, uint32_t count) {
  Cursor cursor(file, at);
  for (uint32_t i = 0; i < count; ++i) {
    std::optional<std::string_view> head = cursor.take(1, 24);
    if (!head) return false;
    const uint32_t kind = load_le<uint32_t>(head->data());
    const uint32_t name_size = load_le<uint32_t>(head->data() + 4);
    std::optional<std::string_view> name = cursor.take(name_size, 1);
    std::optional<std::string_view> entries = cursor.take(load_le<uint64_t>(head->data() + 8), kKeyEntrySize);
    std::optional<std::string_view> texts = cursor.take(load_le<uint64_t>(head->data() + 16), 1);
    if (!name || !entries || !texts || kind > kTitleKey || (kind == kTitleKey && name_size != 0)) return false;
    KeyTableView table(*entries, *texts);
    if (!table.is_consistent(blocks_)) return false;
    keys_.push_back({KeySpec{kind == kTitleKey, std::string(*name)}, table});
  }
  return cursor.at() == file.size();
}

uint64_t IndexView::start(uint64_t i) const noexcept { return load_le<uint64_t>(starts_.data() + i * 8); }

uint64_t IndexView::virtual_offset(uint64_t i) const noexcept {
  return load_le<uint64_t>(virtual_offsets_.data() + i * 8);
}

std::optional<size_t> IndexView::find_key_table(const KeySpec& spec) const noexcept {
  for (size_t i = 0; i < keys_.size(); ++i) {
    if (keys_[i].spec == spec) return i;
  }
  return std::nullopt;
}

ByteBuffer IndexContents::serialize() {
  ByteBuffer out;
  out.append(kMagic);
  append_le<uint32_t>(out, kIndexVersion);
  append_le<uint32_t>(out, flags);
  append_le<uint64_t>(out, stamp.size);
  append_le<uint64_t>(out, static_cast<uint64_t>(stamp.mtime_ns));
  append_le<uint64_t>(out, stamp.head_hash);
  append_le<uint64_t>(out, stamp.tail_hash);
  append_le<uint64_t>(out, starts.size() - 1);
  append_le<uint32_t>(out, static_cast<uint32_t>(keys.size()));
  append_le<uint32_t>(out, 0);
  // The body's hash and the file's size are filled in at the end.
  while (out.size() < kIndexHeaderSize) out.push_back('\0');

  out.reserve_extra((starts.size() + virtual_offsets.size()) * 8);
  for (uint64_t start : starts) append_le<uint64_t>(out, start);
  for (uint64_t offset : virtual_offsets) append_le<uint64_t>(out, offset);
  for (Keys& key : keys) {
    append_le<uint32_t>(out, key.spec.title ? kTitleKey : kRecordKey);
    append_le<uint32_t>(out, static_cast<uint32_t>(key.spec.record.size()));
    append_le<uint64_t>(out, key.table.entry_count());
    append_le<uint64_t>(out, key.table.texts().size());
    out.append(key.spec.record);
    pad(out);
    key.table.append_entries(out);
    out.append(key.table.texts());
    pad(out);
  }
  store_le<uint64_t>(out.data() + 64, hash_bytes(out.view().substr(kIndexHeaderSize)));
  store_le<uint64_t>(out.data() + 72, out.size());
  return out;
}

}  // namespace molbrook

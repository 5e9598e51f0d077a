// Fuzz target: the index of block starts and keys, and its file.
//
// Invariants: for any data, the index built from the whole of it, fed in
// chunks of any size, or extended from the index of any prefix of it is
// the same file; its block starts are those of a line-by-line reference
// (bytes reading: a block ends with a line that starts with $$$$; a rest
// without one is one more block; an extended index may stay bound to one
// kind of reading where a fresh one is not); every block's key is found
// under that key. A BGZF file grown by appending members (after its empty
// end member) is indexed alike extended from its earlier self's index or
// built afresh. An index file changed anywhere, its checksum then made to
// match again so that the structural checks are reached, is refused or
// reads within its own bytes.
#include <fuzzer/FuzzedDataProvider.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "core/base/little_endian.hpp"
#include "core/index/hash.hpp"
#include "core/index/index_builder.hpp"
#include "core/index/index_file.hpp"

namespace molbrook::fuzz {
namespace {

const DataStamp kStamp{0, 1, 2, 3};

std::vector<uint64_t> reference_starts(std::string_view data) {
  std::vector<uint64_t> starts{0};
  size_t line = 0;
  while (line < data.size()) {
    size_t lf = data.find('\n', line);
    size_t next = lf == npos ? data.size() : lf + 1;
    if (data.substr(line).starts_with("$$$$")) starts.push_back(next);
    line = next;
  }
  if (starts.back() != data.size()) starts.push_back(data.size());
  return starts;
}

std::optional<ByteBuffer> built(IndexBuilder builder, std::string_view data, size_t chunk) {
  DataStamp stamp = kStamp;
  stamp.size = data.size();
  std::string_view rest = data.substr(builder.resume_start());
  if (chunk == 0) {
    if (builder.scan_whole(data, nullptr)) return std::nullopt;
    return builder.serialize(stamp);
  }
  for (; !rest.empty(); rest.remove_prefix(std::min(chunk, rest.size()))) {
    if (builder.feed(rest.substr(0, chunk))) return std::nullopt;
  }
  if (builder.finish_stream()) return std::nullopt;
  return builder.serialize(stamp);
}

// Data laid out as BGZF members of `member_size` bytes each, in a file
// whose first `first_members` members were written, ended by an empty
// member, and the rest appended: where member i starts in the file.
struct BgzfLayout {
  static constexpr uint64_t kMemberBytes = 100;  // any size in the file
  static constexpr uint64_t kEndMemberBytes = 28;
  size_t member_size;
  size_t first_members;

  uint64_t compressed_start(size_t i) const noexcept {
    return i * kMemberBytes + (i >= first_members ? kEndMemberBytes : 0);
  }
};

// The index of the first `members` members of `data`, fed from the member
// the builder resumes in (0 for a new one).
std::optional<ByteBuffer> built_bgzf(IndexBuilder builder, std::string_view data, const BgzfLayout& layout,
                                     size_t members) {
  size_t first = 0;
  while (first < members && layout.compressed_start(first) < builder.resume_virtual_offset() >> 16) ++first;
  for (size_t i = first; i < members; ++i) {
    const uint64_t start = layout.compressed_start(i);
    if (builder.feed(data.substr(i * layout.member_size, layout.member_size), start, start + BgzfLayout::kMemberBytes)) {
      return std::nullopt;
    }
  }
  if (builder.finish_stream()) return std::nullopt;
  return builder.serialize(kStamp);
}

// Whether an extended index equals a fresh one, but for staying bound to
// one kind of reading: a lone CR at the end of the earlier data, which
// the appended bytes turned into a CRLF, leaves it bound.
bool same_but_binding(const ByteBuffer& extended, const ByteBuffer& fresh) {
  std::string_view a = extended.view(), b = fresh.view();
  if (a.size() != b.size() || a.size() < kIndexHeaderSize) return false;
  const uint32_t flags = load_le<uint32_t>(a.data() + 12), fresh_flags = load_le<uint32_t>(b.data() + 12);
  const bool binding_kept = (flags & kModeBound) || !(fresh_flags & kModeBound);
  return binding_kept && (flags & ~kModeBound) == (fresh_flags & ~kModeBound) && a.substr(0, 12) == b.substr(0, 12) &&
         a.substr(16) == b.substr(16);
}

// Reads every number and key a checked view offers.
void read_all(const IndexView& view) {
  for (uint64_t i = 0; i <= view.block_count(); ++i) (void)view.start(i);
  for (size_t t = 0; t < view.key_table_count(); ++t) {
    const KeyTableView& table = view.key_table(t);
    table.for_each_text([&](std::string_view text) {
      KeyMatch match = table.find(text);
      for (size_t i = match.first; i < match.last; ++i) FUZZ_CHECK(table.entry(i).ordinal < view.block_count());
    });
  }
}

struct Damage {
  uint16_t at;  // past the magic, modulo the file's size
  uint8_t byte;
};

void check_damaged(ByteBuffer file, const std::vector<Damage>& damage) {
  for (const Damage& edit : damage) file.data()[8 + edit.at % (file.size() - 8)] = static_cast<char>(edit.byte);
  store_le<uint64_t>(file.data() + 64, hash_bytes(file.view().substr(kIndexHeaderSize)));
  ExactBytes exact(file.view());
  if (std::optional<IndexView> view = IndexView::parse(exact.view())) read_all(*view);
}

}  // namespace
}  // namespace molbrook::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace molbrook;
  using namespace molbrook::fuzz;
  FuzzedDataProvider input(data, size);
  const size_t chunk = input.ConsumeIntegralInRange<size_t>(1, 64);
  const bool by_title = input.ConsumeBool();
  const size_t prefix_cut = input.ConsumeIntegral<uint16_t>();
  std::vector<Damage> damage(input.ConsumeIntegralInRange(1, 4));
  for (Damage& edit : damage) edit = {input.ConsumeIntegral<uint16_t>(), input.ConsumeIntegral<uint8_t>()};
  const std::string text = input.ConsumeRemainingBytesAsString();
  ExactBytes exact(text);
  const std::string_view bytes = exact.view();
  std::vector<KeySpec> keys{by_title ? KeySpec{true, ""} : KeySpec{false, "A"}};

  std::optional<ByteBuffer> whole = built(IndexBuilder(Kind::Bytes, false, keys), bytes, 0);
  std::optional<ByteBuffer> fed = built(IndexBuilder(Kind::Bytes, false, keys), bytes, chunk);
  FUZZ_CHECK(whole.has_value() == fed.has_value());
  if (!whole) return 0;  // a block whose records a key lookup cannot read
  FUZZ_CHECK(whole->view() == fed->view());

  std::optional<IndexView> view = IndexView::parse(whole->view());
  FUZZ_CHECK(view.has_value());
  std::vector<uint64_t> starts = reference_starts(bytes);
  FUZZ_CHECK(view->block_count() + 1 == starts.size());
  for (uint64_t i = 0; i < starts.size(); ++i) FUZZ_CHECK(view->start(i) == starts[i]);
  read_all(*view);

  // The index of a prefix, extended over the rest, is the whole one.
  std::string_view prefix = bytes.substr(0, std::min(prefix_cut, bytes.size()));
  if (std::optional<ByteBuffer> earlier = built(IndexBuilder(Kind::Bytes, false, keys), prefix, 0)) {
    std::optional<IndexView> earlier_view = IndexView::parse(earlier->view());
    FUZZ_CHECK(earlier_view.has_value());
    std::optional<ByteBuffer> extended = built(IndexBuilder(*earlier_view, Kind::Bytes), bytes, chunk);
    FUZZ_CHECK(extended.has_value() && same_but_binding(*extended, *whole));
  }

  // The BGZF file of the prefix's members, grown by the rest's.
  const size_t members = (bytes.size() + chunk - 1) / chunk;
  const BgzfLayout layout{chunk, prefix_cut % (members + 1)};
  std::optional<ByteBuffer> fresh = built_bgzf(IndexBuilder(Kind::Bytes, true, keys), bytes, layout, members);
  std::optional<ByteBuffer> first =
      built_bgzf(IndexBuilder(Kind::Bytes, true, keys), bytes.substr(0, layout.first_members * chunk), layout,
                 layout.first_members);
  FUZZ_CHECK(fresh.has_value());
  if (first) {
    std::optional<IndexView> first_view = IndexView::parse(first->view());
    FUZZ_CHECK(first_view.has_value());
    std::optional<ByteBuffer> grown = built_bgzf(IndexBuilder(*first_view, Kind::Bytes), bytes, layout, members);
    FUZZ_CHECK(grown.has_value() && same_but_binding(*grown, *fresh));
  }

  check_damaged(std::move(*whole), damage);
  return 0;
}

// Editing the SD data records of a block: appending, setting, removing,
// replacing and renaming them, and how new header lines are written.
//
// A record as written here is its header line, the value as given, one
// line ending and a blank line; every line written ends with the block's
// title line ending, and the block keeps its $$$$ line. Names and values
// are written unchecked (readable.hpp checks them). An edit after which a
// reader would no longer find the block's records where the block keeps
// them (Block::records_read_back) is refused, the block left as it was.
// Callers run the edit guard first.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

#include "core/block.hpp"
#include "core/records/record.hpp"

namespace molbrook {

// How new header lines are written: "> <N>", ">  <N>", or like the block's
// first header line (prefix and suffix around the name copied).
enum class HeaderStyle { Plain, Padded, Copy };

// The style named by the `header` argument, matched exactly.
constexpr std::optional<HeaderStyle> parse_header_style(std::string_view text) noexcept {
  if (text == "plain") return HeaderStyle::Plain;
  if (text == "padded") return HeaderStyle::Padded;
  if (text == "copy") return HeaderStyle::Copy;
  return std::nullopt;
}

// What the Copy style copies from the first well-formed header line:
// [prefix_start, prefix_end) runs from the line's first byte through the
// "<", [suffix_start, suffix_end) from the closing ">" to the end of the
// line's content. Offsets relative to the section.
struct HeaderTemplate {
  size_t prefix_start;
  size_t prefix_end;
  size_t suffix_start;
  size_t suffix_end;
};

// Nothing when the section has no well-formed header line, or when its
// first one does not close the name with ">".
std::optional<HeaderTemplate> header_template(std::string_view section) noexcept;

// A new record in the Plain style, as append_record writes it after a
// closed record: "> <name>", the value and the blank line that closes it,
// each line ending with `ending`.
void write_new_record(ByteBuffer& out, std::string_view name, std::string_view value, std::string_view ending);

// Why an edit left the block as it was: a header line without a name in
// the records it had to read, or a result whose records would not read
// back (a block whose MDL does not end with an M  END line).
enum class EditError { MalformedRecord, RecordsNotReadBack };

template <class T>
using EditResult = Result<T, EditError>;
using EditStatus = Status<EditError>;

// Appends one record after the last one.
EditStatus append_record(Block& block, std::string_view name, std::string_view value, HeaderStyle style);

// With a value, gives the first record named `name` that value, keeping
// its header line and place, and removes the later ones; without, removes
// them all. Returns how many records had the name (0: the block is
// untouched).
EditResult<size_t> set_or_remove(Block& block, std::string_view name, std::optional<std::string_view> value);

// Gives the first record named `name` the value as set_or_remove does, or
// appends one when there is none.
EditStatus set_record(Block& block, std::string_view name, std::string_view value, HeaderStyle style);

// Renames every record named `old_name`: the name inside its header line
// is replaced, and every other byte kept. A header line that does not
// close its name with ">" gets one after a new name ending in white space,
// which would otherwise be stripped from it. Returns how many records had
// the old name (0, or the same name: the block is untouched).
EditResult<size_t> rename_records(Block& block, std::string_view old_name, std::string_view new_name);

struct RecordPair {
  std::string_view name;
  std::string_view value;
};

// Replaces all records by `records`, in order. The k-th new record with a
// given name reuses the k-th old header line with that name, if any; the
// rest of the old section is dropped.
EditStatus replace_records(Block& block, std::span<const RecordPair> records, HeaderStyle style);

}  // namespace molbrook

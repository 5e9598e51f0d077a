#include "core/block.hpp"

#include <algorithm>
#include <initializer_list>
#include <utility>

#include "core/text/header_line.hpp"
#include "core/text/lines.hpp"
#include "core/text/search.hpp"
#include "core/text/strip.hpp"

namespace molbrook {
namespace {

constexpr std::string_view kMEnd = "M  END";
constexpr Needle kNewlineMEnd{"\nM  END", 4};  // few E precede it in a CTAB

bool is_bare_terminator(std::string_view line) noexcept { return line == "$$$$\n" || line == "$$$$\r\n"; }

// Just past the title line's LF; 0 for a block that is its $$$$ line alone.
size_t title_end_of(std::string_view bytes, std::optional<size_t> term_start) noexcept {
  return term_start == 0 ? 0 : next_line_end(bytes, 0);
}

// The title_end of bytes that build() leaves as they are, their $$$$ line
// at `term_start` already bare; nullopt when they need a change.
std::optional<size_t> unchanged_title_end(std::string_view bytes, size_t term_start) noexcept {
  size_t title_end = title_end_of(bytes, term_start);
  if (!is_bare_terminator(bytes.substr(std::max(term_start, title_end)))) return std::nullopt;
  return title_end;
}

// The ending to append to a value that does not end with LF: a lone LF
// after a final CR, else `otherwise`. Empty for an empty value or one that
// already ends with LF.
std::string_view completing_ending(std::string_view value, std::string_view otherwise) noexcept {
  if (value.empty() || value.back() == '\n') return {};
  return value.back() == '\r' ? kLF : otherwise;
}

// The invariants of a block with a located mdl_end: the bytes end with a
// bare $$$$ line that starts a line; the title line is the first line and
// the MDL ends at a line end before the terminator; without a title line
// the block is its terminator alone.
bool is_block_state(std::string_view bytes, size_t title_end, size_t mdl_end) noexcept {
  const size_t terminator_length = bytes.ends_with(kCRLF) ? 6 : 5;
  if (bytes.size() < terminator_length || !is_bare_terminator(bytes.substr(bytes.size() - terminator_length))) {
    return false;
  }
  const size_t body_end = bytes.size() - terminator_length;
  if (title_end == 0) return mdl_end == 0 && body_end == 0;
  return title_end == next_line_end(bytes, 0) && title_end <= mdl_end && mdl_end <= body_end &&
         bytes[mdl_end - 1] == '\n' && bytes[body_end - 1] == '\n';
}

ByteBuffer concat(std::initializer_list<std::string_view> parts) {
  size_t size = 0;
  for (std::string_view part : parts) size += part.size();
  ByteBuffer out;
  out.reserve(size);
  for (std::string_view part : parts) out.append(part);
  return out;
}

}  // namespace

std::optional<size_t> find_mdl_end(std::string_view body) noexcept {
  size_t last_line;
  if (body.starts_with(kMEnd)) {
    last_line = 0;
  } else {
    size_t hit = find(body, kNewlineMEnd);
    if (hit == npos) return std::nullopt;
    last_line = hit + 1;
  }
  return next_line_end(body, last_line);
}

MdlEnd mdl_end_as_read(std::string_view body) noexcept {
  if (std::optional<size_t> end = find_mdl_end(body)) return {*end, true};
  return {starts_with_header_line(body) ? 0 : body.size(), false};
}

ByteBuffer& BlockStorage::make_owned(size_t spare) {
  if (mapping_) {
    owned_ = ByteBuffer(bytes(), spare);
    mapping_ = MappingRef();
  } else {
    owned_.reserve_extra(spare);
  }
  return owned_;
}

Block Block::build(ByteBuffer bytes, std::optional<size_t> term_start) {
  std::string_view ending = completing_ending(bytes.view(), first_line_ending(bytes.view()));
  if (bytes.empty()) ending = kLF;
  bytes.append(ending);

  std::string_view view = bytes.view();
  size_t title_end = title_end_of(view, term_start);
  size_t body_end = term_start ? std::max(*term_start, title_end) : view.size();
  if (!is_bare_terminator(view.substr(body_end))) {
    std::string_view terminator_ending = first_line_ending(view);
    bytes.set_size(body_end);
    bytes.append(kDollars);
    bytes.append(terminator_ending);
  }
  return Block(BlockStorage(std::move(bytes)), title_end, kUnlocated);
}

std::optional<Block> Block::borrow(const MappingRef& mapping, size_t start, size_t end,
                                   size_t term_start) noexcept {
  std::optional<size_t> title_end = unchanged_title_end(mapping->bytes().substr(start, end - start), term_start);
  if (!title_end) return std::nullopt;
  return Block(BlockStorage(mapping, start, end), *title_end, kUnlocated);
}

std::optional<Block> Block::copy_unchanged(std::string_view bytes, size_t term_start) {
  std::optional<size_t> title_end = unchanged_title_end(bytes, term_start);
  if (!title_end) return std::nullopt;
  return Block(BlockStorage(ByteBuffer(bytes)), *title_end, kUnlocated);
}

std::optional<Block> Block::restore(std::string_view bytes, size_t title_end, size_t mdl_end) {
  if (!is_block_state(bytes, title_end, mdl_end)) return std::nullopt;
  return Block(BlockStorage(ByteBuffer(bytes)), title_end, mdl_end);
}

Block Block::clone() const { return Block(BlockStorage(ByteBuffer(bytes())), title_end_, mdl_end_); }

size_t Block::terminator_length() const noexcept { return bytes().ends_with(kCRLF) ? 6 : 5; }

std::string_view Block::title_line_ending() const noexcept {
  std::string_view all = bytes();
  if (title_end_ == 0) return all.ends_with(kCRLF) ? kCRLF : kLF;
  return title_end_ >= 2 && all[title_end_ - 2] == '\r' ? kCRLF : kLF;
}

std::string_view Block::title() const noexcept { return rstrip(title_line()); }

size_t Block::mdl_end() const noexcept {
  if (mdl_end_ == kUnlocated) locate_mdl_end();
  return mdl_end_;
}

void Block::locate_mdl_end() const noexcept {
  std::string_view all = bytes();
  size_t body_end = all.size() - terminator_length();
  mdl_end_ = title_end_ + mdl_end_as_read(all.substr(title_end_, body_end - title_end_)).offset;
}

std::string_view Block::mdl() const noexcept { return bytes().substr(title_end_, mdl_end() - title_end_); }

std::string_view Block::ctab() const noexcept {
  std::string_view text = mdl();
  size_t program_end = find_byte(text, '\n');
  size_t comment_end = program_end == npos ? npos : find_byte(text, '\n', program_end + 1);
  return comment_end == npos ? std::string_view() : text.substr(comment_end + 1);
}

std::string_view Block::sd_data() const noexcept {
  std::string_view all = bytes();
  size_t start = mdl_end();
  return all.substr(start, all.size() - terminator_length() - start);
}

std::string_view Block::terminator() const noexcept {
  std::string_view all = bytes();
  return all.substr(all.size() - terminator_length());
}

bool Block::operator==(const Block& other) const noexcept {
  return bytes() == other.bytes() && title_end_ == other.title_end_ && mdl_end() == other.mdl_end();
}

bool Block::records_read_back(std::string_view section, std::string_view appended) const {
  if (is_blank(section) && is_blank(appended)) return true;  // no records, and the reader finds none
  const std::string_view mdl_text = mdl();
  if (mdl_text.substr(last_line_start(mdl_text)).starts_with(kMEnd)) return true;
  // No M  END line ends the MDL, so the reader looks for one past it, or
  // for a header line starting the text: a rare block, read here whole.
  ByteBuffer body;
  body.reserve(mdl_text.size() + section.size() + appended.size());
  body.append(mdl_text);
  body.append(section);
  body.append(appended);
  return mdl_end_as_read(body.view()).offset == mdl_text.size();
}

void Block::assign(ByteBuffer bytes, size_t title_end, size_t mdl_end) noexcept {
  storage_ = BlockStorage(std::move(bytes));
  title_end_ = title_end;
  mdl_end_ = mdl_end;
}

void Block::ensure_title_line() {
  if (title_end_ != 0) return;
  std::string_view ending = title_line_ending();
  assign(concat({ending, bytes()}), ending.size(), ending.size());
}

void Block::replace_title(std::string_view title) {
  std::string_view ending = title_line_ending();
  size_t new_title_end = title.size() + ending.size();
  size_t new_mdl_end = mdl_end_ == kUnlocated ? kUnlocated : mdl_end_ - title_end_ + new_title_end;
  assign(concat({title, ending, bytes().substr(title_end_)}), new_title_end, new_mdl_end);
}

void Block::replace_molblock(std::string_view molblock) {
  std::string_view kept = bytes().substr(mdl_end());
  std::string_view ending = completing_ending(molblock, first_line_ending(molblock));
  // An empty molblock still needs an empty title line in front of records.
  if (molblock.empty() && kept.size() > terminator_length()) ending = title_line_ending();
  ByteBuffer out = concat({molblock, ending, kept});
  size_t new_mdl_end = molblock.size() + ending.size();
  size_t new_title_end = new_mdl_end == 0 ? 0 : next_line_end(out.view().substr(0, new_mdl_end), 0);
  assign(std::move(out), new_title_end, new_mdl_end);
}

void Block::replace_mdl(std::string_view mdl) {
  if (!mdl.empty()) ensure_title_line();
  std::string_view ending = completing_ending(mdl, title_line_ending());
  std::string_view all = bytes();
  ByteBuffer out = concat({all.substr(0, title_end_), mdl, ending, all.substr(mdl_end())});
  assign(std::move(out), title_end_, title_end_ + mdl.size() + ending.size());
}

void Block::replace_bytes(ByteBuffer bytes) noexcept { storage_ = BlockStorage(std::move(bytes)); }

}  // namespace molbrook

#include "core/ctable/v3000.hpp"

#include <bit>
#include <charconv>
#include <utility>
#include <variant>

#include "core/ctable/index_table.hpp"
#include "core/ctable/unicode.hpp"

namespace molbrook {
namespace {

constexpr std::string_view kV30 = "M  V30 ";
constexpr std::string_view kBeginCtab = "M  V30 BEGIN CTAB";
constexpr std::string_view kEndCtab = "M  V30 END CTAB";

constexpr char fold_ascii(char byte) noexcept { return byte >= 'A' && byte <= 'Z' ? static_cast<char>(byte + ('a' - 'A')) : byte; }

// Length of the line without the CRs and LFs at its end.
size_t content_length(std::string_view line) noexcept {
  size_t length = line.size();
  while (length > 0 && (line[length - 1] == '\r' || line[length - 1] == '\n')) --length;
  return length;
}

// Where the root CTAB ends: the position of its END CTAB line, or the
// number of lines.
template <class Lines>
size_t root_ctab_end(Lines lines) noexcept {
  for (size_t position = 0; position < lines.size(); ++position) {
    if (begins_with_keyword(lines[position], kEndCtab)) return position;
  }
  return lines.size();
}

size_t offset_after(std::string_view text, std::string_view piece) noexcept {
  return static_cast<size_t>(piece.data() - text.data()) + piece.size();
}

constexpr size_t kMaxDigits = 20;  // of an unsigned 64-bit number

void append_decimal(std::string& out, uint64_t value) {
  char digits[kMaxDigits];
  char* end = std::to_chars(digits, digits + kMaxDigits, value).ptr;
  out.append(digits, end);
}

// The start of a renumbered atom or bond line: "M  V30 " and its new
// index, with room reserved for `more` bytes to follow.
std::string v30_line_start(uint64_t index, size_t more) {
  std::string line;
  line.reserve(kV30.size() + kMaxDigits + more);
  line.append(kV30);
  append_decimal(line, index);
  return line;
}

CtabError unsupported_by_renumbering(std::string_view construct) {
  return {CtabError::Unsupported{kRenumbering, construct}};
}

// The pieces of a bond line that renumbering reads.
struct BondFields {
  std::string_view index;
  std::string_view type;
  std::string_view first_atom;
  std::string_view second_atom;
};

CtabResult<BondFields> bond_fields(std::string_view text, size_t line) {
  static constexpr std::string_view kNames[] = {"bond index", "bond type", "first bond atom", "second bond atom"};
  std::string_view pieces[6];  // "M", "V30", then the four named fields
  WhiteSpaceFields fields(text);
  for (size_t i = 0; i < 6; ++i) {
    if (!fields.next(pieces[i])) return malformed(line, MalformedDetail::NoField{kNames[i < 2 ? 0 : i - 2]});
  }
  return BondFields{pieces[2], pieces[3], pieces[4], pieces[5]};
}

struct AtomEntry {
  uint64_t new_index;  // of the first atom line with this old index
  bool several;        // more than one atom line has this old index
};

using AtomMap = IndexTable<AtomEntry>;

CtabResult<std::vector<std::string>> renumber_atoms(TableLines lines, SectionRange atoms, AtomMap& map,
                                                    bool& changes) {
  std::vector<std::string> renumbered;
  renumbered.reserve(atoms.size());
  for (size_t position = atoms.begin; position < atoms.end; ++position) {
    const size_t number = position + 1;
    const uint64_t new_index = position - atoms.begin + 1;
    std::string_view text = lines[position];
    CtabResult<std::string_view> token = index_field(text, number, CtabSection::Atom);
    if (!token) return std::move(token.error());
    CtabResult<int64_t> index = parse_int_field(*token, "atom index", number);
    if (!index) return std::move(index.error());
    if (std::cmp_not_equal(*index, new_index)) changes = true;
    auto [entry, added] = map.try_emplace(*index, AtomEntry{new_index, false});
    if (!added) entry->several = true;
    std::string_view rest = text.substr(offset_after(text, *token));
    renumbered.push_back(v30_line_start(new_index, rest.size()));
    renumbered.back().append(rest);
  }
  return renumbered;
}

CtabResult<std::string> renumber_bond(std::string_view text, size_t number, uint64_t new_index, const AtomMap& map,
                                      bool& changes) {
  CtabResult<BondFields> fields = bond_fields(text, number);
  if (!fields) return std::move(fields.error());
  CtabResult<int64_t> index = parse_int_field(fields->index, "bond index", number);
  if (!index) return std::move(index.error());
  CtabResult<int64_t> first = parse_int_field(fields->first_atom, "first bond atom", number);
  if (!first) return std::move(first.error());
  CtabResult<int64_t> second = parse_int_field(fields->second_atom, "second bond atom", number);
  if (!second) return std::move(second.error());
  if (std::cmp_not_equal(*index, new_index)) changes = true;

  const AtomEntry* first_entry = map.find(*first);
  const AtomEntry* second_entry = map.find(*second);
  if (first_entry && first_entry->several) return CtabError{CtabError::AmbiguousBondAtom{number, *first}};
  if (second_entry && second_entry->several) return CtabError{CtabError::AmbiguousBondAtom{number, *second}};
  if (!first_entry) return malformed(number, MalformedDetail::UnknownBondAtom{*first});
  if (!second_entry) return malformed(number, MalformedDetail::UnknownBondAtom{*second});

  std::string_view rest = text.substr(offset_after(text, fields->second_atom));
  std::string line = v30_line_start(new_index, 3 + fields->type.size() + 2 * kMaxDigits + rest.size());
  line.push_back(' ');
  line.append(fields->type);
  line.push_back(' ');
  append_decimal(line, first_entry->new_index);
  line.push_back(' ');
  append_decimal(line, second_entry->new_index);
  line.append(rest);
  return line;
}

CtabResult<std::vector<std::string>> renumber_bonds(TableLines lines, SectionRange bonds, const AtomMap& map,
                                                    bool& changes) {
  std::vector<std::string> renumbered;
  renumbered.reserve(bonds.size());
  for (size_t position = bonds.begin; position < bonds.end; ++position) {
    const uint64_t new_index = position - bonds.begin + 1;
    CtabResult<std::string> line = renumber_bond(lines[position], position + 1, new_index, map, changes);
    if (!line) return std::move(line.error());
    renumbered.push_back(std::move(*line));
  }
  return renumbered;
}

bool has_continued_line(TableLines lines, SectionRange range) noexcept {
  for (size_t position = range.begin; position < range.end; ++position) {
    if (ends_in_dash(lines[position])) return true;
  }
  return false;
}

bool has_piece_beginning(std::string_view text, std::string_view keyword) noexcept {
  WhiteSpaceFields fields(text);
  for (std::string_view piece; fields.next(piece);) {
    if (begins_with_keyword(piece, keyword)) return true;
  }
  return false;
}

// What renumbering refuses, in the order the refusals are reported.
enum class RefusalScope { AtomPieces, BondPieces, Lines };

struct Refusal {
  RefusalScope scope;
  std::string_view keyword;
  std::string_view construct;
};

constexpr Refusal kRefusals[] = {
    {RefusalScope::AtomPieces, "ATTCHORD=", "ATTCHORD atom references"},
    {RefusalScope::BondPieces, "ENDPTS=", "ENDPTS atom references"},
    {RefusalScope::Lines, "M  V30 BEGIN SGROUP", "SGROUP atom and bond references"},
    {RefusalScope::Lines, "M  V30 BEGIN COLLECTION", "COLLECTION atom and bond references"},
    {RefusalScope::Lines, "M  V30 BEGIN OBJ3D", "OBJ3D atom references"},
    {RefusalScope::Lines, "M  V30 LINKNODE", "LINKNODE atom references"},
};

bool refuses(const Refusal& refusal, std::string_view line, size_t position, V3000Sections sections) noexcept {
  switch (refusal.scope) {
    case RefusalScope::AtomPieces:
      return sections.atoms.contains(position) && has_piece_beginning(line, refusal.keyword);
    case RefusalScope::BondPieces:
      return sections.bonds.contains(position) && has_piece_beginning(line, refusal.keyword);
    case RefusalScope::Lines:
      return begins_with_keyword(line, refusal.keyword);
  }
  return false;
}

}  // namespace

bool begins_with_keyword(std::string_view line, std::string_view keyword) noexcept {
  if (line.size() < keyword.size()) return false;
  for (size_t i = 0; i < keyword.size(); ++i) {
    if (fold_ascii(line[i]) != fold_ascii(keyword[i])) return false;
  }
  return true;
}

bool ends_in_dash(std::string_view line) noexcept {
  size_t length = content_length(line);
  return length > 0 && line[length - 1] == '-';
}

template <class Lines>
CtabResult<SectionRange> locate_section_in(Lines lines, CtabSection section) {
  const SectionWords& words = section_words(section);
  const size_t root_end = root_ctab_end(lines);
  size_t begin = 0;
  while (begin < root_end && !begins_with_keyword(lines[begin], words.begin)) ++begin;
  if (begin == root_end) return SectionRange{};
  for (size_t position = begin + 1; position < root_end; ++position) {
    if (begins_with_keyword(lines[position], words.begin)) {
      return malformed(position + 1, MalformedDetail::RepeatedBegin{words.begin});
    }
  }
  size_t end = begin + 1;
  while (end < root_end && !begins_with_keyword(lines[end], words.end)) ++end;
  if (end == root_end) return malformed(begin + 1, MalformedDetail::NoEndLine{words.begin, words.end});
  if (end > begin + 1 && ends_in_dash(lines[end - 1])) {
    return malformed(end, MalformedDetail::ContinuesIntoEnd{words.end});
  }
  return SectionRange{begin + 1, end};
}

CtabResult<SectionRange> locate_section(TableLines lines, CtabSection section) {
  return locate_section_in(lines, section);
}

CtabResult<SectionRange> locate_section(LineViews lines, CtabSection section) {
  return locate_section_in(lines, section);
}

CtabResult<V3000Sections> locate_both_sections(TableLines lines, std::string_view operation) {
  size_t ctabs = 0;
  for (const std::string& line : lines) ctabs += begins_with_keyword(line, kBeginCtab);
  if (ctabs >= 2) return CtabError{CtabError::Unsupported{operation, "CTABs nested in RGROUP or TEMPLATE blocks"}};
  CtabResult<SectionRange> atoms = locate_section(lines, CtabSection::Atom);
  if (!atoms) return std::move(atoms.error());
  CtabResult<SectionRange> bonds = locate_section(lines, CtabSection::Bond);
  if (!bonds) return std::move(bonds.error());
  return V3000Sections{*atoms, *bonds};
}

template <class Lines>
bool BasicLogicalLines<Lines>::next(LogicalLine& line) {
  if (position_ >= end_) return false;
  line.number = position_ + 1;
  line.text = lines_[position_++];
  if (position_ == end_ || !ends_in_dash(line.text)) return true;
  // The dash and the line ending after it go; so does the "M  V30 " that
  // starts the continuation.
  joined_.assign(line.text);
  while (position_ < end_ && ends_in_dash(joined_)) {
    joined_.resize(content_length(joined_) - 1);
    std::string_view continuation = lines_[position_++];
    if (begins_with_keyword(continuation, kV30)) continuation.remove_prefix(kV30.size());
    joined_.append(continuation);
  }
  line.text = joined_;
  return true;
}

template class BasicLogicalLines<TableLines>;
template class BasicLogicalLines<LineViews>;

size_t count_logical_lines(TableLines lines, SectionRange range) {
  size_t count = 0;
  LogicalLines logical(lines, range);
  for (LogicalLine line; logical.next(line);) ++count;
  return count;
}

CtabResult<std::string_view> index_field(std::string_view text, size_t line, CtabSection section) {
  WhiteSpaceFields fields(text);
  std::string_view piece;
  for (int i = 0; i < 3; ++i) {
    if (!fields.next(piece)) return malformed(line, MalformedDetail::NoField{section_words(section).index_field});
  }
  return piece;
}

CtabStatus validate_indices(const CTable& table, CtabSection section, bool strict) {
  const SectionWords& words = section_words(section);
  if (table.format() != CtabFormat::V3000) return CtabError{CtabError::NotV3000{words.validating}};
  CtabResult<SectionRange> range = locate_section(table.lines(), section);
  if (!range) return std::move(range.error());

  // In strict mode every index equals its position, so none can repeat
  // and the set is not needed.
  IndexTable<std::monostate> seen(strict ? 0 : range->size());
  size_t found = 0;
  LogicalLines logical(table.lines(), *range);
  for (LogicalLine line; logical.next(line);) {
    ++found;
    CtabResult<std::string_view> token = index_field(line.text, line.number, section);
    if (!token) return std::move(token.error());
    CtabResult<int64_t> index = parse_int_field(*token, words.index_field, line.number);
    if (!index) return std::move(index.error());
    if (strict) {
      if (std::cmp_not_equal(*index, found)) return CtabError{CtabError::OutOfOrder{line.number, *index, section}};
    } else if (!seen.try_emplace(*index, {}).second) {
      return CtabError{CtabError::Duplicate{line.number, *index, section}};
    }
  }

  const int64_t declared = section == CtabSection::Atom ? table.num_atoms() : table.num_bonds();
  if (std::cmp_less(found, declared)) return CtabError{CtabError::FewerLines{found, declared, section}};
  if (std::cmp_greater(found, declared)) return CtabError{CtabError::MoreLines{found, declared, section}};
  return std::nullopt;
}

CtabResult<RenumberedLines> renumber_lines(TableLines lines, V3000Sections sections) {
  if (has_continued_line(lines, sections.atoms) || has_continued_line(lines, sections.bonds)) {
    return unsupported_by_renumbering("continued (-) atom or bond lines");
  }
  RenumberedLines renumbered;
  AtomMap map(sections.atoms.size());
  CtabResult<std::vector<std::string>> atoms = renumber_atoms(lines, sections.atoms, map, renumbered.changes);
  if (!atoms) return std::move(atoms.error());
  CtabResult<std::vector<std::string>> bonds = renumber_bonds(lines, sections.bonds, map, renumbered.changes);
  if (!bonds) return std::move(bonds.error());
  renumbered.atoms = std::move(*atoms);
  renumbered.bonds = std::move(*bonds);
  return renumbered;
}

// One pass over the table notes every refusal that applies; the first in
// the reporting order wins.
CtabStatus renumber_refusals(TableLines lines, V3000Sections sections) {
  unsigned found = 0;  // bit i: kRefusals[i] applies
  for (size_t position = 0; position < lines.size(); ++position) {
    for (size_t i = 0; i < std::size(kRefusals); ++i) {
      if (refuses(kRefusals[i], lines[position], position, sections)) found |= 1u << i;
    }
  }
  if (found == 0) return std::nullopt;
  return unsupported_by_renumbering(kRefusals[std::countr_zero(found)].construct);
}

}  // namespace molbrook

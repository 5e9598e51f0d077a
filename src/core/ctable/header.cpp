#include "core/ctable/header.hpp"

#include <concepts>

#include "core/ctable/unicode.hpp"

namespace molbrook {
namespace {

constexpr size_t kCountsLine = 4;
constexpr size_t kV3000CountsLine = 6;

// Counts-line tokens are separated by these ASCII characters only: not by
// vertical tab, and not by the non-ASCII spaces that separate atom and
// bond fields.
constexpr bool is_counts_separator(char byte) noexcept {
  switch (byte) {
    case '\t':
    case '\n':
    case '\f':
    case '\r':
    case ' ':
    case '\x1c':
    case '\x1d':
    case '\x1e':
    case '\x1f':
      return true;
    default:
      return false;
  }
}

// The last token of a counts line; empty when it has none.
std::string_view last_counts_token(std::string_view line) noexcept {
  size_t end = line.size();
  while (end > 0 && is_counts_separator(line[end - 1])) --end;
  size_t start = end;
  while (start > 0 && !is_counts_separator(line[start - 1])) --start;
  return line.substr(start, end - start);
}

std::optional<CtabFormat> format_named(std::string_view token) noexcept {
  if (token == "V2000") return CtabFormat::V2000;
  if (token == "V3000") return CtabFormat::V3000;
  return std::nullopt;
}

// The atom and bond count tokens of a V3000 counts line: its 4th and 5th.
CtabResult<std::pair<std::string_view, std::string_view>> v3000_count_tokens(std::string_view line) {
  std::string_view tokens[5];
  size_t found = 0;
  size_t at = 0;
  while (found < 5) {
    while (at < line.size() && is_counts_separator(line[at])) ++at;
    if (at == line.size()) break;
    size_t start = at;
    while (at < line.size() && !is_counts_separator(line[at])) ++at;
    tokens[found++] = line.substr(start, at - start);
  }
  if (found < 4) return malformed(kV3000CountsLine, MalformedDetail::NoField{"atom count"});
  if (found < 5) return malformed(kV3000CountsLine, MalformedDetail::NoField{"bond count"});
  return std::pair(tokens[3], tokens[4]);
}

// The first `count` code points of UTF-8 text, or all of a shorter text.
std::string_view code_point_prefix(std::string_view text, size_t count) noexcept {
  size_t at = 0;
  for (; count > 0 && at < text.size(); --count) {
    ++at;
    while (at < text.size() && (static_cast<uint8_t>(text[at]) & 0xC0) == 0x80) ++at;
  }
  return text.substr(0, at);
}

// An optional sign and ASCII digits within the signed 64-bit range.
std::optional<int64_t> parse_decimal(std::string_view text) noexcept {
  const bool negative = text.starts_with('-');
  if (negative || text.starts_with('+')) text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
  uint64_t magnitude = 0;
  for (char byte : text) {
    if (byte < '0' || byte > '9') return std::nullopt;
    const uint64_t digit = static_cast<uint64_t>(byte - '0');
    if (magnitude > (limit - digit) / 10) return std::nullopt;
    magnitude = magnitude * 10 + digit;
  }
  return negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
}

CtabResult<CountsHeader> parse_counts(CtabFormat format, std::string_view atom_field, std::string_view bond_field,
                                      size_t line) {
  CtabResult<int64_t> atoms = parse_int_field(atom_field, "atom count", line);
  if (!atoms) return std::move(atoms.error());
  CtabResult<int64_t> bonds = parse_int_field(bond_field, "bond count", line);
  if (!bonds) return std::move(bonds.error());
  return CountsHeader{format, *atoms, *bonds};
}

void append_part(std::string& out, std::string_view text) { out.append(text); }
void append_part(std::string& out, std::integral auto number) { out.append(std::to_string(number)); }

template <class... Parts>
std::string concat(const Parts&... parts) {
  std::string out;
  (append_part(out, parts), ...);
  return out;
}

template <class... Visitors>
struct Overloaded : Visitors... {
  using Visitors::operator()...;
};
// Spelled out for compilers without aggregate deduction (clang before 17).
template <class... Visitors>
Overloaded(Visitors...) -> Overloaded<Visitors...>;

}  // namespace

CtabResult<int64_t> parse_int_field(std::string_view text, std::string_view field, size_t line) {
  if (std::optional<int64_t> value = parse_decimal(trim_white_space(text))) return *value;
  return malformed(line, MalformedDetail::NotAnInteger{field, std::string(text)});
}

CtabResult<CountsHeader> parse_counts_header(const std::array<std::string_view, 6>& first_lines, size_t available) {
  if (available < kCountsLine) return malformed(available + 1, MalformedDetail::TooFewLines{available});
  std::string_view counts_line = first_lines[kCountsLine - 1];
  std::string_view token = last_counts_token(counts_line);
  if (token.empty()) return malformed(kCountsLine, MalformedDetail::NoField{"format"});
  std::optional<CtabFormat> format = format_named(token);
  if (!format) return malformed(kCountsLine, MalformedDetail::UnknownFormat{std::string(token)});

  if (*format == CtabFormat::V2000) {
    std::string_view atom_field = code_point_prefix(counts_line, 3);
    std::string_view bond_field = code_point_prefix(counts_line.substr(atom_field.size()), 3);
    return parse_counts(*format, atom_field, bond_field, kCountsLine);
  }
  if (available < kV3000CountsLine) return malformed(available + 1, MalformedDetail::TooFewLines{available});
  auto tokens = v3000_count_tokens(first_lines[kV3000CountsLine - 1]);
  if (!tokens) return std::move(tokens.error());
  return parse_counts(*format, tokens->first, tokens->second, kV3000CountsLine);
}

std::optional<CtabFormat> counts_line_format(std::string_view line) noexcept {
  return format_named(last_counts_token(line));
}

CtabResult<std::string> rewrite_v3000_counts(std::string_view line, size_t num_atoms, size_t num_bonds) {
  auto tokens = v3000_count_tokens(line);
  if (!tokens) return std::move(tokens.error());
  const auto offset = [&](std::string_view token) { return static_cast<size_t>(token.data() - line.data()); };
  const size_t atoms_start = offset(tokens->first);
  const size_t between_start = atoms_start + tokens->first.size();
  const size_t bonds_start = offset(tokens->second);
  const size_t after_start = bonds_start + tokens->second.size();
  return concat(line.substr(0, atoms_start), num_atoms, line.substr(between_start, bonds_start - between_start),
                num_bonds, line.substr(after_start));
}

std::string MalformedDetail::text() const {
  return std::visit(
      Overloaded{
          [](const TooFewLines& d) { return concat("missing; the table has only ", d.count, " lines"); },
          [](const NoField& d) { return concat("no ", d.field, " field"); },
          [](const NotAnInteger& d) { return concat(d.field, " ", d.text, " is not an integer"); },
          [](const NotANumber& d) { return concat(d.field, " ", d.text, " is not a number"); },
          [](const UnknownFormat& d) { return concat("format ", d.token, " is not V2000 or V3000"); },
          [](const NoEndLine& d) { return concat(d.begin, " has no ", d.end, " line"); },
          [](const RepeatedBegin& d) { return concat("more than one ", d.begin, " line in the root CTAB"); },
          [](const UnknownBondAtom& d) { return concat("bond atom ", d.atom, " is not an atom index"); },
          [](const ContinuesIntoEnd& d) { return concat("continues (\"-\") onto the ", d.end, " line"); },
      },
      value);
}

std::string CtabError::message() const {
  return std::visit(
      Overloaded{
          [](const Malformed& e) { return concat("CTable line ", e.line, ": ", e.detail.text()); },
          [](const NotV3000& e) { return concat(e.operation, " is only implemented for V3000 tables"); },
          [](const Unsupported& e) { return concat(e.operation, " does not support ", e.construct, " yet"); },
          [](const OutOfOrder& e) {
            return concat("CTable line ", e.line, ": ", section_words(e.section).index_field, " ", e.index,
                          " is out of order");
          },
          [](const Duplicate& e) {
            return concat("CTable line ", e.line, ": ", section_words(e.section).index_field, " ", e.index,
                          " is a duplicate");
          },
          [](const FewerLines& e) {
            return concat("fewer ", section_words(e.section).kind, " lines (", e.found,
                          ") than the counts line declares (", e.declared, ")");
          },
          [](const MoreLines& e) {
            return concat("more ", section_words(e.section).kind, " lines (", e.found,
                          ") than the counts line declares (", e.declared, ")");
          },
          [](const AmbiguousBondAtom& e) {
            return concat("CTable line ", e.line, ": bond atom ", e.atom, " is the index of several atoms");
          },
      },
      value);
}

}  // namespace molbrook

// The header of a connection table: its format and declared counts, and
// CtabError, the error value of every connection-table operation.
//
// Lines are numbered from 1, the title being line 1. Line 4 is the counts
// line; its last token names the format. A V2000 table declares its atom
// and bond counts in characters 1-3 and 4-6 of line 4, a V3000 table in
// the 4th and 5th tokens of line 6 ("M  V30 COUNTS na nb ...").
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "core/base/result.hpp"

namespace molbrook {

enum class CtabFormat : uint8_t { V2000, V3000 };

constexpr std::string_view format_text(CtabFormat format) noexcept {
  return format == CtabFormat::V2000 ? "V2000" : "V3000";
}

struct CountsHeader {
  CtabFormat format;
  int64_t num_atoms;  // as declared, possibly negative
  int64_t num_bonds;
};

// Selects the ATOM or the BOND section of a V3000 table.
enum class CtabSection : uint8_t { Atom, Bond };

// The words that name a section in keywords and messages.
struct SectionWords {
  std::string_view index_field;  // "atom index"
  std::string_view kind;         // "atom"
  std::string_view validating;   // "validating atom indices"
  std::string_view begin;        // "M  V30 BEGIN ATOM"
  std::string_view end;          // "M  V30 END ATOM"
};

inline constexpr SectionWords kAtomWords{"atom index", "atom", "validating atom indices", "M  V30 BEGIN ATOM",
                                         "M  V30 END ATOM"};
inline constexpr SectionWords kBondWords{"bond index", "bond", "validating bond indices", "M  V30 BEGIN BOND",
                                         "M  V30 END BOND"};

constexpr const SectionWords& section_words(CtabSection section) noexcept {
  return section == CtabSection::Atom ? kAtomWords : kBondWords;
}

// What is wrong with a malformed line; its text follows "CTable line {n}: ".
// Fields, operations, constructs and keywords are static texts; only the
// copied input (NotAnInteger::text, NotANumber::text, UnknownFormat::token) is owned, so an
// error outlives the lines it came from.
struct MalformedDetail {
  struct TooFewLines {
    size_t count;
  };
  struct NoField {
    std::string_view field;
  };
  struct NotAnInteger {
    std::string_view field;
    std::string text;
  };
  struct NotANumber {
    std::string_view field;
    std::string text;
  };
  struct UnknownFormat {
    std::string token;
  };
  struct NoEndLine {
    std::string_view begin;
    std::string_view end;
  };
  struct RepeatedBegin {
    std::string_view begin;
  };
  struct UnknownBondAtom {
    int64_t atom;
  };
  struct ContinuesIntoEnd {
    std::string_view end;
  };
  using Variant = std::variant<TooFewLines, NoField, NotAnInteger, NotANumber, UnknownFormat, NoEndLine, RepeatedBegin,
                               UnknownBondAtom, ContinuesIntoEnd>;

  Variant value;

  std::string text() const;
};

struct CtabError {
  struct Malformed {
    MalformedDetail detail;
    size_t line;
  };
  struct NotV3000 {
    std::string_view operation;
  };
  struct Unsupported {
    std::string_view operation;
    std::string_view construct;
  };
  struct OutOfOrder {
    size_t line;
    int64_t index;
    CtabSection section;
  };
  struct Duplicate {
    size_t line;
    int64_t index;
    CtabSection section;
  };
  struct FewerLines {
    size_t found;
    int64_t declared;
    CtabSection section;
  };
  struct MoreLines {
    size_t found;
    int64_t declared;
    CtabSection section;
  };
  struct AmbiguousBondAtom {
    size_t line;
    int64_t atom;
  };
  using Variant =
      std::variant<Malformed, NotV3000, Unsupported, OutOfOrder, Duplicate, FewerLines, MoreLines, AmbiguousBondAtom>;

  Variant value;

  std::string message() const;
};

inline CtabError malformed(size_t line, MalformedDetail::Variant detail) {
  return {CtabError::Malformed{{std::move(detail)}, line}};
}

// A value of type T or the CtabError that prevented it.
template <class T>
using CtabResult = Result<T, CtabError>;

// The outcome of an operation that yields nothing: empty on success.
using CtabStatus = Status<CtabError>;

// Reads the format and the declared counts from lines 1 to 6 (views past
// `available`, the number of lines capped at 6, are empty). Only lines 4
// and 6 are read, and no copy of them is kept.
CtabResult<CountsHeader> parse_counts_header(const std::array<std::string_view, 6>& first_lines, size_t available);

// The format a counts line names, if it names one; never an error.
std::optional<CtabFormat> counts_line_format(std::string_view line) noexcept;

// Line 6 of a V3000 table with its count tokens replaced by the two
// counts; everything else, separators and line ending included, is kept.
CtabResult<std::string> rewrite_v3000_counts(std::string_view line, size_t num_atoms, size_t num_bonds);

// An integer field: trimmed of Unicode White_Space, then an optional sign
// and ASCII digits within the signed 64-bit range.
CtabResult<int64_t> parse_int_field(std::string_view text, std::string_view field, size_t line);

}  // namespace molbrook

// The checks of the linter, by their stable codes. A code is never
// renumbered or reused; a new check gets a new code at the end.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace molbrook::lint {

enum class Code : uint8_t {
  F001,  // the last block has no $$$$ line
  F002,  // whitespace-only lines after the last $$$$ line
  F003,  // mixed line endings, or a lone CR
  F004,  // a UTF-8 byte order mark
  F005,  // bytes that are not UTF-8
  M001,  // no M  END line
  M002,  // V2000 counts that do not fit the lines
  M003,  // V3000 counts or indices that do not fit the sections
  D001,  // blank lines between M  END and the first header
  D002,  // a record ended by a whitespace-only line
  D003,  // a header straight after a value line
  D004,  // the last record runs into $$$$
  D005,  // a header without a closed, non-empty name
  D006,  // a record name twice in one block
  D007,  // text outside any record
  I001,  // a CTAB or header line over 200 characters
  I002,  // a value with leading or trailing spaces
};

inline constexpr size_t kCodeCount = static_cast<size_t>(Code::I002) + 1;

inline constexpr std::array<std::string_view, kCodeCount> kCodeNames = {
    "F001", "F002", "F003", "F004", "F005", "M001", "M002", "M003", "D001",
    "D002", "D003", "D004", "D005", "D006", "D007", "I001", "I002",
};

// A set of codes, one bit per code.
class CodeSet {
 public:
  constexpr CodeSet() noexcept = default;
  constexpr explicit CodeSet(uint32_t bits) noexcept : bits_(bits) {}

  constexpr bool has(Code code) const noexcept { return (bits_ >> static_cast<unsigned>(code)) & 1u; }
  constexpr bool empty() const noexcept { return bits_ == 0; }

 private:
  uint32_t bits_ = 0;
};

// Whether a finding's fix keeps molbrook's reading of every block (except
// for what its code names), changes it, or does not exist.
enum class FixKind : uint8_t { None, Safe, Unsafe };

}  // namespace molbrook::lint

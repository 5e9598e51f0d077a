// What a check reports: findings, and the byte-range edits that fix them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/lint/code.hpp"

namespace molbrook::lint {

inline constexpr size_t kNoOffset = SIZE_MAX;

// Offsets are into the bytes of one scan; lines and columns are 1-based
// and counted from the scan's first byte, which starts a line.
struct Finding {
  Code code;
  uint8_t detail = 0;  // which of the code's messages
  FixKind fix = FixKind::None;
  bool applied = false;  // its edits went into the output
  size_t block = 0;      // ordinal in the scan
  size_t offset = 0;
  size_t length = 0;
  size_t line = 0;
  size_t column = 0;
  size_t related = kNoOffset;  // another place the message names by its line
  size_t related_line = 0;
  std::optional<std::string_view> record = std::nullopt;  // the record name involved
  std::string_view text = {};  // bytes the message quotes
  std::array<int64_t, 4> numbers{};        // numbers the message gives
};

// Replaces bytes [start, end) with `text`: an insertion when start == end.
struct Edit {
  size_t start;
  size_t end;
  std::string text;
  size_t finding;  // index of the finding it fixes, in its block's list
};

}  // namespace molbrook::lint

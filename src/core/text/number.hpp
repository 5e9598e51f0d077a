// Numbers in record values, read as Python's int() and float() read them,
// so that a typed column or a number sort key holds what a Python loop
// over the values would compute: from bytes, ASCII digits and white space only; from str, also
// every Unicode decimal digit and White_Space character. The locale plays
// no part.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace molbrook {

// The decimal digits beyond ASCII that int() and float() read in str.
// Which scripts have them depends on the Unicode version of the
// interpreter, so its binding lists them. Unicode assigns decimal digits
// in runs of ten code points, 0 to 9: `zeros` holds the first code point
// of each run.
class UnicodeDigits {
 public:
  explicit UnicodeDigits(std::vector<char32_t> zeros);

  // 0 to 9, or -1 for a code point that is no decimal digit beyond ASCII.
  int value(char32_t code_point) const noexcept;

 private:
  std::vector<char32_t> zeros_;  // sorted
};

// The value of int(cell): white space around an optional sign and digits
// with single underscores between them. `str_digits` null reads the cell
// as bytes, else as str (UTF-8) with those digits. Nothing for any other
// text or for a value outside int64.
std::optional<int64_t> parse_int64(std::string_view cell, const UnicodeDigits* str_digits = nullptr);

// The value of float(cell): a decimal ("1", "-.5", "1_000.25e-3") or inf,
// infinity or nan in any case, each with an optional sign, white space
// around it; bytes or str as for parse_int64. Magnitudes beyond the double
// range round to infinity or zero, as float() does.
std::optional<double> parse_float64(std::string_view cell, const UnicodeDigits* str_digits = nullptr);

}  // namespace molbrook

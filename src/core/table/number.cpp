#include "core/table/number.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

namespace molbrook {
namespace {

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Strips one leading sign; true when it was a minus.
bool take_sign(std::string_view& text) noexcept {
  if (text.empty() || (text[0] != '+' && text[0] != '-')) return false;
  bool negative = text[0] == '-';
  text.remove_prefix(1);
  return negative;
}

// The length of the run of digits at `at`, underscores allowed only
// between two digits; 0 when none starts there. `bad` is set by a
// misplaced underscore.
size_t digit_run(std::string_view text, size_t at, bool& bad) noexcept {
  size_t i = at;
  while (i < text.size()) {
    if (is_digit(text[i])) {
      ++i;
    } else if (text[i] == '_' && i > at && i + 1 < text.size() && is_digit(text[i + 1])) {
      ++i;
    } else {
      break;
    }
  }
  if (i < text.size() && text[i] == '_') bad = true;
  return i - at;
}

bool equals_lower(std::string_view text, std::string_view lower) noexcept {
  if (text.size() != lower.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

// True when `text` is a decimal float without sign: digits, an optional
// fraction and an optional exponent, at least one mantissa digit.
bool is_decimal(std::string_view text) noexcept {
  bool bad = false;
  size_t at = digit_run(text, 0, bad);
  size_t mantissa_digits = at;
  if (at < text.size() && text[at] == '.') {
    size_t fraction = digit_run(text, at + 1, bad);
    mantissa_digits += fraction;
    at += 1 + fraction;
  }
  if (bad || mantissa_digits == 0) return false;
  if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
    ++at;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
    size_t exponent = digit_run(text, at, bad);
    if (bad || exponent == 0) return false;
    at += exponent;
  }
  return at == text.size();
}

// A validated decimal with its underscores removed; from_chars does the
// correctly rounded conversion, strtod only the rare out-of-range case.
// Values of usual length stay on the stack.
double convert_decimal(std::string_view text) {
  std::array<char, 128> local;
  std::string long_text;
  char* digits = local.data();
  if (text.size() >= local.size()) {
    long_text.resize(text.size() + 1);
    digits = long_text.data();
  }
  size_t size = 0;
  for (char c : text) {
    if (c != '_') digits[size++] = c;
  }
  digits[size] = '\0';
  double value = 0;
  auto [end, error] = std::from_chars(digits, digits + size, value);
  if (error == std::errc::result_out_of_range) value = std::strtod(digits, nullptr);
  return value;
}

}  // namespace

std::optional<int64_t> parse_int64(std::string_view text) noexcept {
  const bool negative = take_sign(text);
  bool bad = false;
  if (text.empty() || digit_run(text, 0, bad) != text.size() || bad) return std::nullopt;
  // Accumulated as a negative number, whose range includes INT64_MIN.
  int64_t value = 0;
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  for (char c : text) {
    if (c == '_') continue;
    int digit = c - '0';
    if (value < (kMin + digit) / 10) return std::nullopt;
    value = value * 10 - digit;
  }
  if (negative) return value;
  if (value == kMin) return std::nullopt;
  return -value;
}

std::optional<double> parse_float64(std::string_view text) {
  const double sign = take_sign(text) ? -1.0 : 1.0;
  if (equals_lower(text, "inf") || equals_lower(text, "infinity")) {
    return sign * std::numeric_limits<double>::infinity();
  }
  if (equals_lower(text, "nan")) return std::copysign(std::numeric_limits<double>::quiet_NaN(), sign);
  if (!is_decimal(text)) return std::nullopt;
  return sign * convert_decimal(text);
}

}  // namespace molbrook

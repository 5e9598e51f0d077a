#include "core/text/number.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "core/ctable/unicode.hpp"
#include "core/text/strip.hpp"
#include "core/text/utf8.hpp"

namespace molbrook {
namespace {

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// A numeral rewritten before it is read: on the stack at usual lengths.
class NumeralBuffer {
 public:
  // local_ is written before it is read: zeroing it would cost every
  // number parsed.
  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-member-init)
  explicit NumeralBuffer(size_t capacity) {
    if (capacity > local_.size()) {
      heap_.resize(capacity);
      data_ = heap_.data();
    }
  }
  NumeralBuffer(const NumeralBuffer&) = delete;
  NumeralBuffer& operator=(const NumeralBuffer&) = delete;

  void push_back(char c) noexcept { data_[size_++] = c; }
  std::string_view view() const noexcept { return {data_, size_}; }

 private:
  std::array<char, 128> local_;
  std::string heap_;
  char* data_ = local_.data();
  size_t size_ = 0;
};

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
    const bool joined = text[i] == '_' && i > at && i + 1 < text.size() && is_digit(text[i + 1]);
    if (!is_digit(text[i]) && !joined) break;
    ++i;
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

// A decimal exponent ("-12", "+3", "7"), saturated far beyond any that
// can matter next to the place of a mantissa digit.
int64_t exponent_value(std::string_view text) noexcept {
  constexpr int64_t kSaturated = int64_t{1} << 60;
  const bool negative = take_sign(text);
  int64_t value = 0;
  for (char c : text) {
    if (value >= kSaturated / 10) return negative ? -kSaturated : kSaturated;  // before value * 10 overflows
    value = value * 10 + (c - '0');
  }
  return negative ? -value : value;
}

// from_chars reports a decimal beyond the double range without saying on
// which side; float() gives infinity above it and zero below. The decimal
// place of the leading nonzero digit tells them apart: at least 308 above
// the range, below -323 under it. `decimal` is validated, without
// underscores, and not zero.
bool is_above_range(std::string_view decimal) noexcept {
  const size_t exponent_at = decimal.find_first_of("eE");
  const std::string_view mantissa = decimal.substr(0, exponent_at);
  const size_t point = std::min(mantissa.find('.'), mantissa.size());
  const size_t leading = mantissa.find_first_not_of("0.");
  const int64_t place = leading < point ? static_cast<int64_t>(point - leading) - 1
                                        : -static_cast<int64_t>(leading - point);
  const int64_t exponent = exponent_at == std::string_view::npos ? 0 : exponent_value(decimal.substr(exponent_at + 1));
  return place + exponent > 0;
}

// A validated decimal with its underscores removed, correctly rounded.
double convert_decimal(std::string_view text) {
  NumeralBuffer digits(text.size());
  for (char c : text) {
    if (c != '_') digits.push_back(c);
  }
  const std::string_view decimal = digits.view();
  double value = 0;
  auto [end, error] = std::from_chars(decimal.data(), decimal.data() + decimal.size(), value);
  if (error == std::errc::result_out_of_range) {
    value = is_above_range(decimal) ? std::numeric_limits<double>::infinity() : 0.0;
  }
  return value;
}

std::optional<int64_t> parse_ascii_int(std::string_view text) noexcept {
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

std::optional<double> parse_ascii_float(std::string_view text) {
  const double sign = take_sign(text) ? -1.0 : 1.0;
  if (equals_lower(text, "inf") || equals_lower(text, "infinity")) {
    return sign * std::numeric_limits<double>::infinity();
  }
  if (equals_lower(text, "nan")) return std::copysign(std::numeric_limits<double>::quiet_NaN(), sign);
  if (!is_decimal(text)) return std::nullopt;
  return sign * convert_decimal(text);
}

// The code point of the valid UTF-8 sequence at text[at], and its length.
std::pair<char32_t, size_t> decode_at(std::string_view text, size_t at) noexcept {
  const auto byte = [&](size_t i) { return static_cast<char32_t>(static_cast<uint8_t>(text[at + i])); };
  const char32_t lead = byte(0);
  if (lead < 0x80) return {lead, 1};
  if (lead < 0xE0) return {(lead & 0x1F) << 6 | (byte(1) & 0x3F), 2};
  if (lead < 0xF0) return {(lead & 0x0F) << 12 | (byte(1) & 0x3F) << 6 | (byte(2) & 0x3F), 3};
  return {(lead & 0x07) << 18 | (byte(1) & 0x3F) << 12 | (byte(2) & 0x3F) << 6 | (byte(3) & 0x3F), 4};
}

// The text as int() and float() rewrite a str before reading it: each
// non-ASCII White_Space character becomes a space, each decimal digit its
// ASCII digit, and ASCII below DEL stays. False at any other character,
// which no numeral holds, and at invalid UTF-8.
bool transcribe(std::string_view text, const UnicodeDigits& digits, NumeralBuffer& out) {
  if (find_invalid_utf8(text)) return false;
  for (size_t at = 0; at < text.size();) {
    if (static_cast<uint8_t>(text[at]) < 0x7F) {
      out.push_back(text[at++]);
    } else if (size_t space = white_space_length(text, at)) {
      out.push_back(' ');
      at += space;
    } else {
      auto [code_point, length] = decode_at(text, at);
      const int digit = digits.value(code_point);
      if (digit < 0) return false;
      out.push_back(static_cast<char>('0' + digit));
      at += length;
    }
  }
  return true;
}

// parse(text) of the cell without its white space, or for a str cell that
// holds more than ASCII, of its text rewritten to ASCII. ASCII numbers,
// nearly all, are read without a look for more.
template <class Parse>
auto read_numeral(std::string_view cell, const UnicodeDigits* str_digits, Parse parse) -> decltype(parse(cell)) {
  const std::string_view text = strip(cell);
  auto value = parse(text);
  if (value || str_digits == nullptr || is_ascii(text)) return value;
  NumeralBuffer ascii(text.size());
  if (!transcribe(text, *str_digits, ascii)) return std::nullopt;
  return parse(strip(ascii.view()));
}

}  // namespace

UnicodeDigits::UnicodeDigits(std::vector<char32_t> zeros) : zeros_(std::move(zeros)) {
  std::sort(zeros_.begin(), zeros_.end());
}

int UnicodeDigits::value(char32_t code_point) const noexcept {
  auto after = std::upper_bound(zeros_.begin(), zeros_.end(), code_point);
  if (after == zeros_.begin()) return -1;
  const char32_t offset = code_point - *(after - 1);
  return offset < 10 ? static_cast<int>(offset) : -1;
}

std::optional<int64_t> parse_int64(std::string_view cell, const UnicodeDigits* str_digits) {
  return read_numeral(cell, str_digits, parse_ascii_int);
}

std::optional<double> parse_float64(std::string_view cell, const UnicodeDigits* str_digits) {
  return read_numeral(cell, str_digits, parse_ascii_float);
}

}  // namespace molbrook

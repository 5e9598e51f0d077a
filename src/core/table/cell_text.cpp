#include "core/table/cell_text.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <string_view>

namespace molbrook {
namespace {

constexpr int64_t kSecondsPerDay = 86400;

template <class Number>
void append_number(ByteBuffer& out, Number value) {
  char text[24];
  std::to_chars_result end = std::to_chars(text, text + sizeof text, value);
  out.append({text, static_cast<size_t>(end.ptr - text)});
}

// `value` in at least `width` digits, zeros in front.
void append_padded(ByteBuffer& out, uint64_t value, int width) {
  char text[24];
  std::to_chars_result end = std::to_chars(text, text + sizeof text, value);
  for (int digits = static_cast<int>(end.ptr - text); digits < width; ++digits) out.push_back('0');
  out.append({text, static_cast<size_t>(end.ptr - text)});
}

// Floor division, so that instants before 1970 fall on the day before.
struct Split {
  int64_t whole;
  int64_t rest;  // 0 <= rest < divisor
};

Split floor_divide(int64_t value, int64_t divisor) noexcept {
  int64_t whole = value / divisor;
  int64_t rest = value % divisor;
  if (rest < 0) {
    --whole;
    rest += divisor;
  }
  return {whole, rest};
}

struct CivilDate {
  int64_t year;
  unsigned month;
  unsigned day;
};

// The Gregorian date of a day count from 1970-01-01, counted in 400-year
// eras of 146097 days that start on March 1st, so that leap days end a
// year.
CivilDate civil_date(int64_t days) noexcept {
  const Split era = floor_divide(days + 719468, 146097);
  const int64_t day_of_era = era.rest;
  const int64_t year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const int64_t month_from_march = (5 * day_of_year + 2) / 153;
  const auto day = static_cast<unsigned>(day_of_year - (153 * month_from_march + 2) / 5 + 1);
  const auto month = static_cast<unsigned>(month_from_march < 10 ? month_from_march + 3 : month_from_march - 9);
  const int64_t year = era.whole * 400 + year_of_era + (month <= 2 ? 1 : 0);
  return {year, month, day};
}

constexpr int64_t units_per_second(TimeUnit unit) noexcept {
  switch (unit) {
    case TimeUnit::Second:
      return 1;
    case TimeUnit::Milli:
      return 1000;
    case TimeUnit::Micro:
      return 1000000;
    case TimeUnit::Nano:
      return 1000000000;
  }
  return 1;
}

constexpr int fraction_digits(TimeUnit unit) noexcept {
  switch (unit) {
    case TimeUnit::Second:
      return 0;
    case TimeUnit::Milli:
      return 3;
    case TimeUnit::Micro:
      return 6;
    case TimeUnit::Nano:
      return 9;
  }
  return 0;
}

void append_clock(ByteBuffer& out, int64_t second_of_day, int64_t fraction, TimeUnit unit) {
  append_padded(out, static_cast<uint64_t>(second_of_day / 3600), 2);
  out.push_back(':');
  append_padded(out, static_cast<uint64_t>(second_of_day / 60 % 60), 2);
  out.push_back(':');
  append_padded(out, static_cast<uint64_t>(second_of_day % 60), 2);
  if (fraction != 0) {
    out.push_back('.');
    append_padded(out, static_cast<uint64_t>(fraction), fraction_digits(unit));
  }
}

// Positional notation of the digits d1 d2 ... dn of d1.d2...dn x 10^exponent.
void append_positional(ByteBuffer& out, std::string_view digits, int exponent) {
  if (exponent < 0) {
    out.append("0.");
    for (int zeros = -exponent - 1; zeros > 0; --zeros) out.push_back('0');
    out.append(digits);
    return;
  }
  const auto point = static_cast<size_t>(exponent) + 1;
  if (digits.size() <= point) {
    out.append(digits);
    for (size_t zeros = point - digits.size(); zeros > 0; --zeros) out.push_back('0');
    out.append(".0");
    return;
  }
  out.append(digits.substr(0, point));
  out.push_back('.');
  out.append(digits.substr(point));
}

// Divides the little-endian 32-bit limbs in place by a divisor below
// 2^32, returning the remainder; 64-bit arithmetic holds every step.
uint32_t divide_in_place(std::span<uint32_t> limbs, uint32_t divisor) noexcept {
  uint64_t remainder = 0;
  for (size_t i = limbs.size(); i-- > 0;) {
    uint64_t current = remainder << 32 | limbs[i];
    limbs[i] = static_cast<uint32_t>(current / divisor);
    remainder = current % divisor;
  }
  return static_cast<uint32_t>(remainder);
}

bool is_zero(std::span<const uint32_t> limbs) noexcept {
  for (uint32_t limb : limbs) {
    if (limb != 0) return false;
  }
  return true;
}

// The magnitude's decimal digits, most significant first, into `text`
// (room for 81); returns how many.
size_t magnitude_digits(std::span<uint32_t> limbs, char* text) noexcept {
  constexpr uint32_t kChunk = 1000000000;  // 10^9 digits per division
  char reversed[81];
  size_t count = 0;
  do {
    uint32_t chunk = divide_in_place(limbs, kChunk);
    for (int i = 0; i < 9; ++i, chunk /= 10) reversed[count++] = static_cast<char>('0' + chunk % 10);
  } while (!is_zero(limbs));
  while (count > 1 && reversed[count - 1] == '0') --count;
  for (size_t i = 0; i < count; ++i) text[i] = reversed[count - 1 - i];
  return count;
}

}  // namespace

void append_int(ByteBuffer& out, int64_t value) { append_number(out, value); }

void append_uint(ByteBuffer& out, uint64_t value) { append_number(out, value); }

void append_double(ByteBuffer& out, double value) {
  if (std::isnan(value)) {
    out.append("nan");
    return;
  }
  if (std::isinf(value)) {
    out.append(value < 0 ? "-inf" : "inf");
    return;
  }
  // The shortest round-trip digits, in the layout "d.ddde+XX", which is
  // repr's own layout wherever repr is scientific.
  char scientific[32];
  std::to_chars_result end = std::to_chars(scientific, scientific + sizeof scientific, value,
                                           std::chars_format::scientific);
  std::string_view text(scientific, static_cast<size_t>(end.ptr - scientific));
  const size_t e = text.find('e');
  int exponent = 0;
  std::from_chars(text.data() + e + (text[e + 1] == '+' ? 2 : 1), text.data() + text.size(), exponent);
  if (exponent < -4 || exponent >= 16) {
    out.append(text);
    return;
  }
  if (text.front() == '-') {
    out.push_back('-');
    text.remove_prefix(1);
  }
  char digits[24];
  size_t count = 0;
  for (char c : text.substr(0, text.find('e'))) {
    if (c != '.') digits[count++] = c;
  }
  append_positional(out, {digits, count}, exponent);
}

void append_bool(ByteBuffer& out, bool value) { out.append(value ? "True" : "False"); }

void append_date(ByteBuffer& out, int64_t days) {
  const CivilDate date = civil_date(days);
  if (date.year < 0 || date.year > 9999) out.push_back(date.year < 0 ? '-' : '+');
  append_padded(out, static_cast<uint64_t>(date.year < 0 ? -date.year : date.year), 4);
  out.push_back('-');
  append_padded(out, date.month, 2);
  out.push_back('-');
  append_padded(out, date.day, 2);
}

void append_time(ByteBuffer& out, int64_t value, TimeUnit unit) {
  const Split seconds = floor_divide(value, units_per_second(unit));
  append_clock(out, floor_divide(seconds.whole, kSecondsPerDay).rest, seconds.rest, unit);
}

void append_timestamp(ByteBuffer& out, int64_t value, TimeUnit unit, bool utc) {
  const Split seconds = floor_divide(value, units_per_second(unit));
  const Split days = floor_divide(seconds.whole, kSecondsPerDay);
  append_date(out, days.whole);
  out.push_back('T');
  append_clock(out, days.rest, seconds.rest, unit);
  if (utc) out.push_back('Z');
}

void append_decimal(ByteBuffer& out, std::span<const uint64_t> words, int32_t scale) {
  const size_t size = std::min<size_t>(words.size(), 4);
  const bool negative = size > 0 && (words[size - 1] >> 63) != 0;
  std::array<uint32_t, 8> limbs{};
  uint64_t carry = 1;
  for (size_t i = 0; i < size; ++i) {  // a negative's magnitude: invert, add one
    uint64_t word = negative ? ~words[i] + carry : words[i];
    carry = negative && carry != 0 && word == 0 ? 1 : 0;
    limbs[2 * i] = static_cast<uint32_t>(word);
    limbs[2 * i + 1] = static_cast<uint32_t>(word >> 32);
  }
  char text[81];
  const size_t count = magnitude_digits({limbs.data(), 2 * size}, text);
  std::string_view digits(text, count);
  if (negative) out.push_back('-');
  if (scale <= 0) {
    out.append(digits);
    if (digits != "0") {
      for (int32_t zeros = -scale; zeros > 0; --zeros) out.push_back('0');
    }
    return;
  }
  const auto after = static_cast<size_t>(scale);
  if (count <= after) {
    out.append("0.");
    for (size_t zeros = after - count; zeros > 0; --zeros) out.push_back('0');
    out.append(digits);
    return;
  }
  out.append(digits.substr(0, count - after));
  out.push_back('.');
  out.append(digits.substr(count - after));
}

}  // namespace molbrook

#include "core/sort/sort_key.hpp"

#include <bit>
#include <cmath>
#include <cstring>


namespace molbrook {
namespace {

constexpr char kMissingFirst = 0x00;
constexpr char kPresent = 0x01;
constexpr char kMissingLast = 0x02;

// Inside natural encodings, what follows a text run: the end of the value,
// or a digit run.
constexpr char kValueEnds = 0x01;
constexpr char kNumberFollows = 0x02;

bool is_digit(char byte) noexcept { return byte >= '0' && byte <= '9'; }

void append_text_run(ByteBuffer& out, std::string_view run, char end_mark) {
  for (char byte : run) {
    out.push_back(byte);
    if (byte == '\0') out.push_back('\xFF');
  }
  out.push_back('\0');
  out.push_back(end_mark);
}

// Doubles as unsigned integers that order as the doubles do; -0.0 is 0.0,
// as float comparison has it.
void append_number(ByteBuffer& out, double value) {
  if (value == 0) value = 0;
  uint64_t bits = std::bit_cast<uint64_t>(value);
  bits = (bits >> 63) != 0 ? ~bits : bits | (uint64_t{1} << 63);
  append_u64(out, bits);
}

// A digit run as its count of significant digits (big-endian), then those
// digits: numbers of fewer digits come first, equal counts compare digit
// by digit. ID-10 and ID-010 are equal.
void append_digit_run(ByteBuffer& out, std::string_view digits) {
  size_t first = 0;
  while (first < digits.size() && digits[first] == '0') ++first;
  digits.remove_prefix(first);
  const uint64_t count = digits.size();
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((count >> shift) & 0xFF));
  out.append(digits);
}

// Text, digits, text, ..., text: always starting and ending with a text
// run (perhaps empty), so that any two values compare run by run.
void append_natural(ByteBuffer& out, std::string_view value) {
  size_t at = 0;
  for (;;) {
    size_t digits = at;
    while (digits < value.size() && !is_digit(value[digits])) ++digits;
    const bool more = digits < value.size();
    append_text_run(out, value.substr(at, digits - at), more ? kNumberFollows : kValueEnds);
    if (!more) return;
    size_t end = digits;
    while (end < value.size() && is_digit(value[end])) ++end;
    append_digit_run(out, value.substr(digits, end - digits));
    at = end;
  }
}

// The value encoded as `key` asks, or nothing for a number that does not
// read.
bool append_value(ByteBuffer& out, const SortKeySpec& key, const UnicodeDigits* str_digits, std::string_view value) {
  switch (key.kind) {
    case KeyKind::Text:
      append_text_run(out, value, kValueEnds);
      return true;
    case KeyKind::Natural:
      append_natural(out, value);
      return true;
    case KeyKind::Number: {
      std::optional<double> number = parse_float64(value, str_digits);
      if (!number || std::isnan(*number)) return false;
      append_number(out, *number);
      return true;
    }
  }
  return false;
}

void invert(ByteBuffer& out, size_t from) noexcept {
  for (size_t i = from; i < out.size(); ++i) out.data()[i] = static_cast<char>(~out.data()[i]);
}

}  // namespace

RecordResult<std::optional<std::string_view>> key_value(const Block& block, RecordIndexCell& index,
                                                        const SortKeySpec& key, ByteBuffer& scratch) {
  if (key.title) return std::optional(block.title());
  const std::string_view section = record_section(block);
  RecordResult<std::optional<RecordValue>> found = find_last(section, index, key.name);
  if (!found) return MalformedRecord{};
  if (!*found) return std::optional<std::string_view>();
  std::string_view value = section.substr((*found)->start, (*found)->end - (*found)->start);
  if (!(*found)->fold) return std::optional(value);
  scratch.clear();
  append_folded(scratch, value);
  return std::optional(scratch.view());
}

RecordResult<bool> encode_keys(const Block& block, RecordIndexCell& index, const KeyReading& reading,
                               std::span<uint8_t> found, ByteBuffer& out, ByteBuffer& scratch) {
  for (size_t i = 0; i < reading.keys.size(); ++i) {
    const SortKeySpec& key = reading.keys[i];
    RecordResult<std::optional<std::string_view>> value = key_value(block, index, key, scratch);
    if (!value) return MalformedRecord{};
    if (*value) found[i] = 1;
    const size_t mark = out.size();
    out.push_back(kPresent);
    if (*value && append_value(out, key, reading.str_digits, **value)) {
      if (key.descending) invert(out, mark + 1);
      continue;
    }
    if (key.missing == Missing::Drop) return false;
    out.set_size(mark);
    out.push_back(key.missing == Missing::First ? kMissingFirst : kMissingLast);
  }
  return true;
}

void append_escaped(ByteBuffer& out, std::string_view bytes) { append_text_run(out, bytes, kValueEnds); }

size_t escaped_length(std::string_view encoded) noexcept {
  size_t at = 0;
  while (at + 1 < encoded.size()) {
    if (encoded[at] != '\0') {
      ++at;
    } else if (encoded[at + 1] == kValueEnds) {
      return at + 2;
    } else {
      at += 2;
    }
  }
  return encoded.size();
}

void append_u64(ByteBuffer& out, uint64_t value) {
  char bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<char>(value >> (56 - 8 * i));
  out.append({bytes, 8});
}

uint64_t read_u64(std::string_view bytes) noexcept {
  uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value = value << 8 | static_cast<unsigned char>(bytes[i]);
  return value;
}

}  // namespace molbrook

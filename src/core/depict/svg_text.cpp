#include "core/depict/svg_text.hpp"

#include <charconv>
#include <cmath>

#include "core/ctable/unicode.hpp"

namespace molbrook::depict {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

bool is_ascii_text(std::string_view bytes) noexcept {
  for (char byte : bytes) {
    if (static_cast<unsigned char>(byte) >= 0x80) return false;
  }
  return true;
}

// U+FFFE or U+FFFF, encoded EF BF BE and EF BF BF, at text[at].
bool is_noncharacter(std::string_view text, size_t at) noexcept {
  return text.size() - at >= 3 && text[at] == '\xEF' && text[at + 1] == '\xBF' &&
         (text[at + 2] == '\xBE' || text[at + 2] == '\xBF');
}

// Valid UTF-8 escaped.
void append_escaped(std::string& out, std::string_view text) {
  for (size_t at = 0; at < text.size(); ++at) {
    const char byte = text[at];
    switch (byte) {
      case '&':
        out.append("&amp;");
        break;
      case '<':
        out.append("&lt;");
        break;
      case '>':
        out.append("&gt;");
        break;
      case '"':
        out.append("&quot;");
        break;
      case '\'':
        out.append("&#39;");
        break;
      default:
        if (static_cast<unsigned char>(byte) < 0x20 || byte == 0x7F) {
          out.append(kReplacement);
        } else if (is_noncharacter(text, at)) {
          out.append(kReplacement);  // U+FFFE, U+FFFF
          at += 2;
        } else {
          out.push_back(byte);
        }
    }
  }
}

}  // namespace

void append_number(std::string& out, double value) {
  char digits[32];
  if (std::fabs(value) < 0.05) value = 0;  // no "-0.0"
  out.append(digits, std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed, 1).ptr);
}

void append_integer(std::string& out, long value) {
  char digits[24];
  out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

void append_xml_text(std::string& out, std::string_view bytes, BlockText text) {
  if (is_ascii_text(bytes) || text == BlockText::ValidUtf8) return append_escaped(out, bytes);
  std::string decoded;
  if (text == BlockText::Latin1) {
    append_latin1_as_utf8(decoded, bytes);
  } else {
    append_utf8_lossy(decoded, bytes);
  }
  append_escaped(out, decoded);
}

}  // namespace molbrook::depict

#include "core/ctable/unicode.hpp"

namespace molbrook {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

}  // namespace

void append_utf8_lossy(std::string& out, std::string_view text) {
  out.reserve(out.size() + text.size());
  while (std::optional<Utf8Error> error = find_invalid_utf8(text)) {
    out.append(text.substr(0, error->start));
    out.append(kReplacement);
    text.remove_prefix(error->end);
  }
  out.append(text);
}

void append_latin1_as_utf8(std::string& out, std::string_view bytes) {
  out.reserve(out.size() + bytes.size());
  for (char byte : bytes) {
    const uint8_t value = static_cast<uint8_t>(byte);
    if (value < 0x80) {
      out.push_back(byte);
    } else {
      out.push_back(static_cast<char>(0xC0 | (value >> 6)));
      out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
    }
  }
}

void append_utf8_as_latin1(std::string& out, std::string_view text) {
  out.reserve(out.size() + text.size());
  for (size_t at = 0; at < text.size(); ++at) {
    const uint8_t value = static_cast<uint8_t>(text[at]);
    if (value < 0x80) {
      out.push_back(static_cast<char>(value));
    } else {  // C2 or C3 and one continuation byte
      out.push_back(static_cast<char>(((value & 0x03) << 6) | (static_cast<uint8_t>(text[at + 1]) & 0x3F)));
      ++at;
    }
  }
}

}  // namespace molbrook

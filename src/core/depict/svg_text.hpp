// Appending SVG text: numbers with one decimal, and block text escaped
// for XML content and attributes.
#pragma once

#include <string>
#include <string_view>

#include "core/ctable/block_lines.hpp"

namespace molbrook::depict {

// One decimal place, as std::to_chars writes it: a tenth of a pixel.
void append_number(std::string& out, double value);

void append_integer(std::string& out, long value);

// `bytes` of a block as XML text, fit for content and for quoted
// attributes: & < > " ' as entities; control characters, invalid UTF-8
// and the noncharacters U+FFFE and U+FFFF, which XML forbids, as U+FFFD.
// Latin-1 bytes are decoded first, UTF-8 ones checked.
void append_xml_text(std::string& out, std::string_view bytes, BlockText text);

}  // namespace molbrook::depict

// Whether a record name or value, written into a block, reads back as
// written: the name as the whole name of one header line, the value as
// the lines of one record. Every writer of names and values that did not
// come from reading a block asks here first; the record editor itself
// writes what it is given.
#pragma once

#include <optional>
#include <string_view>

namespace molbrook {

enum class Unreadable {
  EmptyName,       // "> <>" reads as a name, but as none in other toolkits
  AngleBracket,    // "<" or ">" in a name: other toolkits end the name there
  NameLineBreak,   // a name spans one line
  BlankLine,       // a blank line ends the record
  TerminatorLine,  // a line that starts with $$$$ ends the block
  CarriageReturn,  // text reading turns CR into a line break
};

std::optional<Unreadable> unreadable_name(std::string_view name) noexcept;
std::optional<Unreadable> unreadable_value(std::string_view value) noexcept;

// What is wrong, as the end of a sentence: "holds a blank line".
const char* describe(Unreadable problem) noexcept;

}  // namespace molbrook

// What a caller works in: str or bytes. Every layer, from the splitter to
// the Python classes, speaks of the two by these names.
#pragma once

#include <cstdint>

namespace molbrook {

// Str reads as text: CRLF and lone CR are lines ending in LF, and bytes
// that become Python str must be UTF-8. Bytes are kept exactly as given.
enum class Kind : uint8_t { Str, Bytes };

}  // namespace molbrook

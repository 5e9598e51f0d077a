// A 64-bit hash of bytes whose value is the same on every machine: index
// files store it (for keys and for the data they were built from), so it
// is part of their format and must never change within a format version.
// It detects accidental change, not deliberate collisions.
#pragma once

#include <cstdint>
#include <string_view>

namespace molbrook {

uint64_t hash_bytes(std::string_view bytes) noexcept;

}  // namespace molbrook

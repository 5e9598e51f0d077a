// Numbers in record values, spelled as Python's int() and float() accept
// them from bytes (ASCII digits only), so that a typed column holds what a
// Python loop over the values would compute.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace molbrook {

// A base-10 integer: an optional sign, then ASCII digits with single
// underscores between them. Nothing for any other text or for a value
// outside int64.
std::optional<int64_t> parse_int64(std::string_view text) noexcept;

// A decimal float ("1", "-.5", "1_000.25e-3") or inf, infinity or nan in
// any case, each with an optional sign. Magnitudes beyond the double range
// round to infinity or zero, as float() does.
std::optional<double> parse_float64(std::string_view text);

}  // namespace molbrook

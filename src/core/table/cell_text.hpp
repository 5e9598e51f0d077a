// Typed table cells as record text: numbers as Python prints them, dates
// and times as ISO 8601, decimals as plain digits. Each appends to `out`
// and allocates only to grow it.
#pragma once

#include <cstdint>
#include <span>

#include "core/base/buffer.hpp"

namespace molbrook {

// Units of Arrow's time and timestamp values.
enum class TimeUnit : uint8_t { Second, Milli, Micro, Nano };

void append_int(ByteBuffer& out, int64_t value);
void append_uint(ByteBuffer& out, uint64_t value);

// Python's repr(float): the shortest digits that read back to the same
// double, scientific when the decimal exponent is below -4 or 16 and
// more ("1e-05", "1e+16"), else positional with at least one digit after
// the point ("0.1", "100.0"); "nan", "inf", "-inf".
void append_double(ByteBuffer& out, double value);

void append_bool(ByteBuffer& out, bool value);

// YYYY-MM-DD for days since 1970-01-01 (proleptic Gregorian); years past
// 9999 or before 0 get a sign, as ISO 8601's expanded years do.
void append_date(ByteBuffer& out, int64_t days);

// HH:MM:SS for a time of day, with the fraction the unit holds when it
// is not zero (".5" in milliseconds is ".500").
void append_time(ByteBuffer& out, int64_t value, TimeUnit unit);

// YYYY-MM-DDTHH:MM:SS[.fraction], and "Z" for a value in UTC.
void append_timestamp(ByteBuffer& out, int64_t value, TimeUnit unit, bool utc);

// A decimal given as a little-endian two's complement integer of 64-bit
// words and its scale: plain digits, "-" for negatives, `scale` digits
// after the point (a negative scale adds zeros instead).
void append_decimal(ByteBuffer& out, std::span<const uint64_t> words, int32_t scale);

}  // namespace molbrook

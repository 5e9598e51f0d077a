// Sort keys as bytes that compare with memcmp in the order the keys ask
// for, so that runs are sorted and merged without decoding anything.
//
// Each key contributes a presence byte, then (when present) its value
// encoded without being a prefix of any other value's encoding, with every
// byte inverted for a descending key. A missing value sorts after every
// present one (or before them, with Missing::First) whatever the
// direction, because the presence byte is never inverted.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/base/buffer.hpp"
#include "core/block.hpp"
#include "core/records/lookup.hpp"
#include "core/records/record.hpp"
#include "core/text/number.hpp"

namespace molbrook {

// text: UTF-8 bytes; number: the value as float() reads it, of bytes or of
// a str (a value that does not read, or NaN, is missing); natural: runs of ASCII
// digits compared as numbers, the runs between them as bytes.
enum class KeyKind { Text, Number, Natural };
enum class Missing { Last, First, Drop };

struct SortKeySpec {
  std::string name;  // the record, unless `title`
  bool title = false;
  KeyKind kind = KeyKind::Text;
  bool descending = false;
  Missing missing = Missing::Last;
};

// The value a key reads from a block: its title, or the last record so
// named as block.get() gives it (CRLF inside a value read as LF, folded
// into `scratch`). Nothing when the block has no such record.
RecordResult<std::optional<std::string_view>> key_value(const Block& block, RecordIndexCell& index,
                                                        const SortKeySpec& key, ByteBuffer& scratch);

// How a sort reads its keys: number keys as float() reads bytes, or with
// `str_digits` as it reads a str.
struct KeyReading {
  std::span<const SortKeySpec> keys;
  const UnicodeDigits* str_digits = nullptr;
};

// Appends the encoding of the block's keys to `out`, setting found[i]
// when the block has a value for key i. False when a key with
// Missing::Drop has no value: the block is not to be written.
RecordResult<bool> encode_keys(const Block& block, RecordIndexCell& index, const KeyReading& reading,
                               std::span<uint8_t> found, ByteBuffer& out, ByteBuffer& scratch);

// Appends `bytes` so that the encodings compare as the bytes do and none
// is a prefix of another: 0x00 escaped as 00 FF, then the end mark 00 01.
void append_escaped(ByteBuffer& out, std::string_view bytes);

// The length of the escaped text at the start of `encoded`, end mark
// included.
size_t escaped_length(std::string_view encoded) noexcept;

// Appends `value` big-endian, so that unsigned values compare as their
// encodings do.
void append_u64(ByteBuffer& out, uint64_t value);
uint64_t read_u64(std::string_view bytes) noexcept;

}  // namespace molbrook

// The SDBlock class: one Block and the per-instance state around it.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "base/borrow.hpp"
#include "base/module_state.hpp"
#include "core/base/kind.hpp"
#include "core/block.hpp"
#include "core/records/edit.hpp"
#include "core/records/lookup.hpp"
#include "base/object.hpp"

namespace molbrook::py {

// The state of an SDBlock.
struct PySDBlock {
  PySDBlock(Block block, Kind kind, bool utf8_valid) noexcept
      : block(std::move(block)), kind(kind), utf8_valid(utf8_valid) {}

  BorrowState borrow{"SDBlock"};
  Block block;
  Py_ssize_t exports = 0;  // live buffer exports; edits are refused while any is
  // Built by repeated lookups by name, dropped by every edit.
  RecordIndexCell record_index;
  uint64_t record_version = 0;  // grows with every record edit; record iterators watch it
  Kind kind;        // the type of its names, values and sections
  bool utf8_valid;  // the bytes are known to be valid UTF-8
};

// Creates the class for `module`.
PyTypeObject* new_sdblock_type(PyObject* module) noexcept;

// Whether `object` is an SDBlock of the module whose state is `state`.
inline bool is_sdblock(const ModuleState& state, PyObject* object) noexcept {
  return PyObject_TypeCheck(object, state.sdblock);
}
inline PySDBlock* as_sdblock(PyObject* object) noexcept { return state_of<PySDBlock>(object); }

// TypeError for an object that is not an SDBlock; `context` precedes the
// message ("argument 'block': " for a bound argument). Returns null.
PyObject* raise_not_sdblock(PyObject* object, const char* context) noexcept;

// A new instance of `type` (SDBlock or a subclass) that owns `block`; the
// record change counter starts at 0 and nothing is exported.
PyObject* wrap_block(PyTypeObject* type, Block block, Kind kind, bool utf8_valid) noexcept;

// Runs before every edit, after the edit's own argument checks: refuses
// while a buffer export is live (BufferError) and drops what caches the
// old bytes.
bool edit_guard(PySDBlock* self) noexcept;

// The style named by the `header` argument of `function` (null when not
// given, meaning "plain"): TypeError naming the argument for a non-str,
// ValueError for any other text.
std::optional<HeaderStyle> header_style(PyObject* header, const char* function) noexcept;

// The bytes of an argument that must have the block's type (names,
// values, sections). `what` names it in the TypeError: "text SDBlock
// {what} must be str" or "byte-backed SDBlock {what} must be bytes". The
// view lives as long as the argument.
std::optional<std::string_view> to_block_bytes(const PySDBlock* self, PyObject* value, const char* what) noexcept;

// Bytes of the block as an object of its type: bytes, or str decoded
// strictly as UTF-8 (the caller adds the decoding note on failure).
PyObject* make_block_object(const PySDBlock* self, std::string_view bytes) noexcept;

}  // namespace molbrook::py

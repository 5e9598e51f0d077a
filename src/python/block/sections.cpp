// The section properties of SDBlock and its copy and pickle protocol.
#include "block/sections.hpp"

#include <optional>
#include <string_view>
#include <utility>

#include "base/args.hpp"
#include "core/block.hpp"
#include "core/text/lines.hpp"
#include "core/text/newline.hpp"
#include "base/errors.hpp"
#include "block/sdblock.hpp"
#include "base/sizes.hpp"

namespace molbrook::py {

// A property's docstring is its reading text, then its assignment text.
const char kTitleDoc[] =
    "Return the title line without trailing whitespace, in the input type.\n"
    "\n"
    "Only ASCII whitespace is stripped, as `bytes.rstrip()` does, in str\n"
    "blocks too; `molblock` and writes keep the whole title line.\n"
    "\n"
    "Replace the title line.\n"
    "\n"
    "Raises\n"
    "------\n"
    "ValueError\n"
    "    If the title contains a line break or starts with\n"
    "    `$$$$`, which would end the block\n"
    "TypeError\n"
    "    If the title is not the block's type";

const char kMolblockDoc[] =
    "Return the title line and CTAB through `M  END` as one value.\n"
    "\n"
    "Suitable for RDKit's `Chem.MolFromMolBlock` or OpenEye's\n"
    "`OEReadMolFromBytes`.\n"
    "\n"
    "Replace the title line and CTAB, keeping the SD data.\n"
    "\n"
    "For example, `block.molblock = Chem.MolToMolBlock(mol)`. The\n"
    "molblock is written unchecked, like record values. Text molblocks\n"
    "have CRLF and CR line endings translated to LF, and a molblock\n"
    "without a final newline gets its title line's ending. So\n"
    "`block.molblock = block.molblock` translates a str block's title line\n"
    "and CTAB to LF and changes nothing else.\n"
    "\n"
    "Raises\n"
    "------\n"
    "TypeError\n"
    "    If the molblock is not the block's type";

const char kMdlDoc[] =
    "Return the CTAB after the title, through `M  END`, as one value.\n"
    "\n"
    "Every line ends in a newline, so `needle in block.mdl` searches the\n"
    "CTAB and `block.mdl.splitlines()` gives its lines. `block.molblock`\n"
    "is `block.title`, the title line's ending, then `block.mdl`.\n"
    "\n"
    "Replace the CTAB after the title, keeping the title line and SD data.\n"
    "\n"
    "The MDL is written unchecked, like record values. Text MDL has CRLF\n"
    "and CR line endings translated to LF, and MDL without a final\n"
    "newline gets the title line's ending.\n"
    "\n"
    "Raises\n"
    "------\n"
    "TypeError\n"
    "    If the MDL is not the block's type";

const char kCtabDoc[] =
    "Return the MDL without its program and comment lines, as one value.\n\n"
    "So `a.ctab == b.ctab` compares two structures as written, ignoring\n"
    "their titles, timestamps, and comments.";

const char kCopyDoc[] =
    "__copy__($self)\n--\n\n"
    "Return an independent copy; a block holds no other objects, so\n"
    "`copy.copy` and `copy.deepcopy` are the same.";

const char kDeepcopyDoc[] = "__deepcopy__($self, memo, /)\n--\n\n";

const char kReduceDoc[] =
    "__reduce__($self)\n--\n\n"
    "Pickle the block's exact state rather than its SDF text, which\n"
    "does not always parse back to the same block.";

const char kFromStateDoc[] =
    "_from_state($cls, data, title_end, mdl_end, text)\n"
    "--\n"
    "\n"
    "Rebuild a block pickled by `__reduce__`.\n"
    "\n"
    "Raises\n"
    "------\n"
    "ValueError\n"
    "    If the state cannot come from a block";

namespace {

using Slice = std::string_view (Block::*)() const noexcept;

// The section in the block's type. Decoding a str block's section can
// fail; the error then names the block.
PyObject* read_section(PySDBlock* self, Slice slice, const char* verb) noexcept {
  SharedBorrow borrow(self->borrow);
  if (!borrow) return nullptr;
  PyObject* value = make_block_object(self, (self->block.*slice)());
  if (value == nullptr) note_decode_error(verb, self->block.title());
  return value;
}

int refuse_delete() noexcept {
  PyErr_SetString(PyExc_AttributeError, "property has no deleter");
  return -1;
}

// A title is one line that does not end the block.
bool check_title(std::string_view title) noexcept {
  if (title.find_first_of("\r\n") != std::string_view::npos) {
    PyErr_SetString(PyExc_ValueError, "SDBlock titles must be a single line");
    return false;
  }
  if (title.starts_with(kDollars)) {
    PyErr_SetString(PyExc_ValueError, "SDBlock titles cannot start with $$$$, which would end the block");
    return false;
  }
  return true;
}

// What assigning one section takes.
struct Assignment {
  const char* what;                          // names the value in the TypeError
  bool translate_newlines;                   // text values read as in text mode
  bool (*check)(std::string_view) noexcept;  // run after the edit guard; may be null
  void (Block::*replace)(std::string_view);
};

constexpr Assignment kAssignTitle{"titles", false, check_title, &Block::replace_title};
constexpr Assignment kAssignMolblock{"molblocks", true, nullptr, &Block::replace_molblock};
constexpr Assignment kAssignMdl{"MDL", true, nullptr, &Block::replace_mdl};

// Checks come first, in a fixed order, so that a failed assignment leaves
// the block unchanged. CRLF and CR in a text molblock or MDL become LF,
// copied into `translated` only when a CR is present; bytes are kept as
// given.
int assign_section(PySDBlock* self, PyObject* value, const Assignment& rule) {
  if (value == nullptr) return refuse_delete();
  ExclusiveBorrow borrow(self->borrow);
  if (!borrow) return -1;
  std::optional<std::string_view> bytes = to_block_bytes(self, value, rule.what);
  if (!bytes) return -1;
  ByteBuffer translated;
  if (rule.translate_newlines && self->kind == Kind::Str) bytes = translate_if_needed(*bytes, translated);
  if (!edit_guard(self) || (rule.check != nullptr && !rule.check(*bytes))) return -1;
  (self->block.*rule.replace)(*bytes);
  return 0;
}

// A bound argument that must be a non-negative int fitting a size_t.
bool size_argument(PyObject* value, const char* argument, size_t& result) noexcept {
  if (!PyLong_Check(value)) {
    PyErr_Format(PyExc_TypeError, "_from_state() argument '%s' must be int, not %.200s", argument,
                 Py_TYPE(value)->tp_name);
    return false;
  }
  result = PyLong_AsSize_t(value);
  return !(result == static_cast<size_t>(-1) && PyErr_Occurred());
}

}  // namespace

PyObject* get_title(PySDBlock* self) noexcept { return read_section(self, &Block::title, "Reading the title of"); }

PyObject* get_molblock(PySDBlock* self) noexcept {
  return read_section(self, &Block::molblock, "Reading the molblock of");
}

PyObject* get_mdl(PySDBlock* self) noexcept { return read_section(self, &Block::mdl, "Reading the MDL of"); }

PyObject* get_ctab(PySDBlock* self) noexcept { return read_section(self, &Block::ctab, "Reading the CTAB of"); }

int set_title(PySDBlock* self, PyObject* value) { return assign_section(self, value, kAssignTitle); }

int set_molblock(PySDBlock* self, PyObject* value) { return assign_section(self, value, kAssignMolblock); }

int set_mdl(PySDBlock* self, PyObject* value) { return assign_section(self, value, kAssignMdl); }

int set_ctab(PySDBlock*, PyObject* value) noexcept {
  if (value == nullptr) return refuse_delete();
  PyErr_SetString(PyExc_AttributeError, "property 'ctab' of 'SDBlock' object has no setter");
  return -1;
}

// The copy owns its bytes, also when the original borrows a mapped file;
// exports and record caches are not carried over.
PyObject* block_copy(PySDBlock* self) {
  SharedBorrow borrow(self->borrow);
  if (!borrow) return nullptr;
  PyObject* copy = wrap_block(Py_TYPE(object_of(self)), self->block.clone(), self->kind, self->utf8_valid);
  if (copy != nullptr) as_sdblock(copy)->record_version = self->record_version;
  return copy;
}

PyObject* block_deepcopy(PySDBlock* self, PyObject*) { return block_copy(self); }

PyObject* block_reduce(PySDBlock* self) noexcept {
  SharedBorrow borrow(self->borrow);
  if (!borrow) return nullptr;
  Ref from_state = Ref::steal(PyObject_GetAttrString(type_object(Py_TYPE(object_of(self))), "_from_state"));
  if (!from_state) return nullptr;
  const Block& block = self->block;
  std::string_view bytes = block.bytes();
  return Py_BuildValue("(O(y#nnO))", from_state.get(), bytes.data(), to_py_size(bytes.size()),
                       to_py_size(block.title_end()), to_py_size(block.mdl_end()),
                       self->kind == Kind::Str ? Py_True : Py_False);
}

// Rebuilds exactly the pickled block, or nothing: every state that no
// block can have is refused, so the invariants hold for every instance.
// The bytes of a str block are not checked as UTF-8 here; reading its
// text reports them.
PyObject* block_from_state(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const keywords[] = {"data", "title_end", "mdl_end", "text", nullptr};
  PyObject *data, *title_end_arg, *mdl_end_arg, *text_arg;
  if (!parse_fastcall(args, nargs, kwnames, "OOOO:_from_state", keywords, &data, &title_end_arg, &mdl_end_arg,
                      &text_arg)) {
    return nullptr;
  }
  if (!PyBytes_Check(data)) {
    PyErr_Format(PyExc_TypeError, "_from_state() argument 'data' must be bytes, not %.200s", Py_TYPE(data)->tp_name);
    return nullptr;
  }
  size_t title_end, mdl_end;
  bool text;
  if (!size_argument(title_end_arg, "title_end", title_end) || !size_argument(mdl_end_arg, "mdl_end", mdl_end) ||
      !bool_argument(text_arg, "_from_state", "text", text)) {
    return nullptr;
  }
  std::string_view bytes(PyBytes_AS_STRING(data), to_size(PyBytes_GET_SIZE(data)));
  std::optional<Block> block = Block::restore(bytes, title_end, mdl_end);
  if (!block) {
    PyErr_SetString(PyExc_ValueError, "invalid SDBlock state");
    return nullptr;
  }
  return wrap_block(as_type(cls), std::move(*block), text ? Kind::Str : Kind::Bytes,
                    /*utf8_valid=*/false);
}

}  // namespace molbrook::py

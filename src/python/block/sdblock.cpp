// SDBlock construction and its basic protocol: text, repr, truth,
// equality and the generic alias. The class's other members live in the
// files that implement them; this file assembles the type.
#include "block/sdblock.hpp"

#include <cstring>
#include <utility>

#include "core/text/lines.hpp"
#include "core/text/newline.hpp"
#include "core/text/strip.hpp"
#include "core/text/utf8.hpp"
#include "ctable/ctable.hpp"
#include "depict/depict.hpp"
#include "base/entry.hpp"
#include "base/errors.hpp"
#include "block/exports.hpp"
#include "records/names.hpp"
#include "read/read.hpp"
#include "block/sections.hpp"
#include "base/sizes.hpp"

namespace molbrook::py {

namespace {

PyObject* block_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"sdf", "records", "header", nullptr};
  PyObject* sdf;
  PyObject* records = Py_None;
  PyObject* header = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O$O:SDBlock", const_cast<char**>(keywords), &sdf,
                                   &records, &header)) {
    return nullptr;
  }
  std::optional<HeaderStyle> style = header_style(header, "SDBlock");
  if (!style) return nullptr;

  const Kind kind = PyBytes_Check(sdf) ? Kind::Bytes : Kind::Str;
  if (kind == Kind::Str && !PyUnicode_Check(sdf)) {
    PyErr_SetString(PyExc_TypeError, "SDBlock() argument must be str or bytes");
    return nullptr;
  }
  std::string_view text;
  if (kind == Kind::Bytes) {
    text = {PyBytes_AS_STRING(sdf), to_size(PyBytes_GET_SIZE(sdf))};
  } else {
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(sdf, &size);
    if (utf8 == nullptr) return nullptr;
    text = {utf8, to_size(size)};
  }

  // Text input reads like a file opened in text mode: CRLF and CR become LF.
  ByteBuffer bytes = kind == Kind::Bytes ? ByteBuffer(text) : translate_copy(text, find_byte(text, '\r'));
  BlockEnd end = find_block_end(bytes.view());
  if (!is_space_between_blocks(bytes.view().substr(end.end))) {
    PyErr_SetString(PyExc_ValueError, "SDBlock() takes one block; use SDBlock.from_sdf to parse several");
    return nullptr;
  }
  bytes.set_size(end.end);
  Block block = Block::build(std::move(bytes), end.found ? std::optional(end.term_start) : std::nullopt);

  Ref object = Ref::steal(wrap_block(type, std::move(block), kind, /*utf8_valid=*/true));
  if (object && records != Py_None && !append_initial_records(as_sdblock(object.get()), records, *style)) {
    return nullptr;
  }
  return object.release();
}

// The title for repr(): bytes for a bytes block, else the title decoded
// with invalid UTF-8 replaced, so repr never fails.
PyObject* repr_title(const PySDBlock* self) noexcept {
  std::string_view title = self->block.title();
  if (self->kind == Kind::Bytes) return PyBytes_FromStringAndSize(title.data(), to_py_size(title.size()));
  return PyUnicode_DecodeUTF8(title.data(), to_py_size(title.size()), "replace");
}

PyObject* block_repr(PySDBlock* self) {
  SharedBorrow borrow(self->borrow);
  if (!borrow) return nullptr;
  Ref title = Ref::steal(repr_title(self));
  if (!title) return nullptr;
  return PyUnicode_FromFormat("<SDBlock title=%R>", title.get());
}

PyObject* block_str(PySDBlock* self) {
  if (self->kind == Kind::Bytes) return block_repr(self);
  SharedBorrow borrow(self->borrow);
  if (!borrow) return nullptr;
  std::string_view bytes = self->block.bytes();
  PyObject* text = PyUnicode_DecodeUTF8(bytes.data(), to_py_size(bytes.size()), nullptr);
  if (text == nullptr) {
    note_decode_error("Writing", self->block.title());
    return nullptr;
  }
  self->utf8_valid = true;
  return text;
}

int block_bool(PySDBlock*) noexcept { return 1; }

PyObject* block_richcompare(PySDBlock* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || !is_sdblock(module_state_of(object_of(self)), other)) {
    Py_RETURN_NOTIMPLEMENTED;
  }
  PySDBlock* that = as_sdblock(other);
  if (that == self) return PyBool_FromLong(op == Py_EQ);  // its critical section is held already
  SharedBorrow borrow_self(self->borrow);
  if (!borrow_self) return nullptr;
  SharedObjectBorrow borrow_that(other, that->borrow);
  if (!borrow_that) return nullptr;
  bool equal = self->kind == that->kind && self->block == that->block;
  return PyBool_FromLong(equal == (op == Py_EQ));
}

// The class surface, grouped by the files that implement it.
PyMethodDef block_methods[] = {
    // Reading (read.cpp)
    method<block_from_sdf>("from_sdf", kFromSdfDoc, METH_CLASS),
    method<block_from_lines>("from_lines", kFromLinesDoc, METH_CLASS),

    // Records (names.cpp)
    method<block_records>("records", kRecordsDoc),
    method<block_names>("names", kNamesDoc),
    method<block_to_dict>("to_dict", kToDictDoc),
    method<block_get>("get", kGetDoc),
    method<block_iter_records>("iter_records", kIterRecordsDoc),
    method<block_append_record>("append_record", kAppendRecordDoc),
    method<block_set_record>("set_record", kSetRecordDoc),
    method<block_remove_record>("remove_record", kRemoveRecordDoc),
    method<block_rename_record>("rename_record", kRenameRecordDoc),
    method<block_replace_records>("replace_records", kReplaceRecordsDoc),

    // bytes(block) (exports.cpp)
    method<block_bytes>("__bytes__",
                        "__bytes__($self, /)\n--\n\n"
                        "A copy of a bytes block's bytes: bytes(block).\n\n"
                        "    >>> from molbrook import SDBlock\n"
                        "    >>> bytes(SDBlock(b'T\\nM  END\\n$$$$\\n'))\n"
                        "    b'T\\nM  END\\n$$$$\\n'"),

    // Copying and pickling (sections.cpp)
    method<block_copy>("__copy__", kCopyDoc),
    method<block_deepcopy>("__deepcopy__", kDeepcopyDoc),
    method<block_reduce>("__reduce__", kReduceDoc),
    method<block_from_state>("_from_state", kFromStateDoc, METH_CLASS),

    // Connection table (ctable.cpp)
    method<block_ctable>("ctable", kBlockCtableDoc),
    method<block_renumber_indices>("renumber_indices", kBlockRenumberIndicesDoc),
    method<block_fix_counts>("fix_counts", kBlockFixCountsDoc),

    // Depiction (depict.cpp)
    method<block_depict>("depict", kBlockDepictDoc),
    method<block_repr_svg>("_repr_svg_", kBlockReprSvgDoc),
    method<block_repr_html>("_repr_html_", kBlockReprHtmlDoc),

    // Generic alias
    method<Py_GenericAlias>("__class_getitem__",
                            "__class_getitem__($cls, item, /)\n--\n\n"
                            "Allow `SDBlock[str]` and `SDBlock[bytes]` in runtime annotations.",
                            METH_CLASS),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef block_getsets[] = {
    // Sections (sections.cpp)
    property<get_title, set_title>("title", kTitleDoc),
    property<get_molblock, set_molblock>("molblock", kMolblockDoc),
    property<get_mdl, set_mdl>("mdl", kMdlDoc),
    property<get_ctab, set_ctab>("ctab", kCtabDoc),

    // Connection table (ctable.cpp)
    property<block_num_atoms>("num_atoms", kBlockNumAtomsDoc),
    property<block_num_bonds>("num_bonds", kBlockNumBondsDoc),
    property<block_format>("format", kBlockFormatDoc),

    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kBlockDoc =
    "SDBlock(sdf, records=None, *, header=\"plain\")\n--\n\n"
    "Handle a single molecule block from an SD file.\n\n"
    "`SDBlock[str]` blocks come from text input and `SDBlock[bytes]` blocks\n"
    "from binary input; names, values, and lines have the block's type.\n\n"
    "Record names are read and written as given, unchecked. The CTfile\n"
    "format reserves `>`, and its field names start with a letter followed by\n"
    "letters, digits, and underscores: no `-`, `.`, `<`, `>`, `=`, `%`, or\n"
    "spaces. Keeping names valid is up to you; other toolkits may read\n"
    "invalid ones differently.\n\n"
    "A record's value is its lines up to a blank one, as read but without\n"
    "their line endings, joined with \"\\n\". Lines of only ASCII whitespace,\n"
    "which `bytes.strip()` removes, are blank, in str blocks too, as in RDKit\n"
    "and OEChem. Methods that read\n"
    "records raise molbrook.MalformedRecordError, a ValueError, at a header\n"
    "line with no `<name>`. Values are written unchecked too: a value with a\n"
    "blank line or a `$$$$` line reads back as more records or blocks.\n\n"
    "Parameters\n"
    "----------\n"
    "sdf : str or bytes\n"
    "    The text of one block, with or without its `$$$$` line; str text\n"
    "    reads as a file opened in text mode does (CRLF and CR become LF).\n"
    "records : mapping or iterable of (name, value) pairs, optional\n"
    "    Records appended to the block, in order.\n"
    "header : {\"plain\", \"padded\", \"copy\"}, default \"plain\"\n"
    "    How appended records' header lines are written, as for\n"
    "    `append_record`.\n\n"
    "Raises\n"
    "------\n"
    "ValueError\n"
    "    The text holds more than one block (`SDBlock.from_sdf` reads several).\n\n"
    "Examples\n"
    "--------\n"
    ">>> from molbrook import SDBlock\n"
    ">>> block = SDBlock(\"water\\n\\n\\n  0  0  0  0  0  0  0  0  0  0999 V2000\\nM  END\\n\", {\"ID\": \"W1\"})\n"
    ">>> block.title, block[\"ID\"]\n"
    "('water', 'W1')\n"
    ">>> print(str(block), end=\"\")\n"
    "water\n"
    "<BLANKLINE>\n"
    "<BLANKLINE>\n"
    "  0  0  0  0  0  0  0  0  0  0999 V2000\n"
    "M  END\n"
    "> <ID>\n"
    "W1\n"
    "<BLANKLINE>\n"
    "$$$$\n";

}  // namespace

PyTypeObject* new_sdblock_type(PyObject* module) noexcept {
  return new_type<PySDBlock>(
      module, "molbrook.native.SDBlock", Py_TPFLAGS_BASETYPE, PyType_Slot{Py_tp_doc, const_cast<char*>(kBlockDoc)},
      slot<block_new>(Py_tp_new), slot<block_repr>(Py_tp_repr), slot<block_str>(Py_tp_str),
      unhashable_slot(), slot<block_richcompare>(Py_tp_richcompare),
      slot<block_bool>(Py_nb_bool),
      // Mapping protocol (names.cpp)
      slot<block_subscript>(Py_mp_subscript), slot<block_ass_subscript>(Py_mp_ass_subscript),
      slot<block_length>(Py_mp_length), slot<block_contains>(Py_sq_contains), slot<block_iter>(Py_tp_iter),
      // Buffer protocol (exports.cpp)
      slot<block_getbuffer>(Py_bf_getbuffer), slot<block_releasebuffer>(Py_bf_releasebuffer),
      PyType_Slot{Py_tp_methods, block_methods}, PyType_Slot{Py_tp_getset, block_getsets});
}

PyObject* wrap_block(PyTypeObject* type, Block block, Kind kind, bool utf8_valid) noexcept {
  return new_object<PySDBlock>(type, std::move(block), kind, utf8_valid);
}

PyObject* raise_not_sdblock(PyObject* object, const char* context) noexcept {
  if (object == Py_None) {
    PyErr_Format(PyExc_TypeError, "%s'None' is not an instance of 'SDBlock'", context);
    return nullptr;
  }
  Ref name = Ref::steal(PyType_GetName(Py_TYPE(object)));
  if (name) PyErr_Format(PyExc_TypeError, "%s'%U' object is not an instance of 'SDBlock'", context, name.get());
  return nullptr;
}

bool edit_guard(PySDBlock* self) noexcept {
  if (self->exports > 0) {
    PyErr_SetString(PyExc_BufferError, "Existing exports of data: SDBlock cannot be edited");
    return false;
  }
  self->record_index.drop();
  return true;
}

std::optional<HeaderStyle> header_style(PyObject* header, const char* function) noexcept {
  if (header == nullptr) return HeaderStyle::Plain;
  if (!PyUnicode_Check(header)) {
    PyErr_Format(PyExc_TypeError, "%s() argument 'header' must be str, not %.200s", function,
                 Py_TYPE(header)->tp_name);
    return std::nullopt;
  }
  Py_ssize_t size;
  const char* text = PyUnicode_AsUTF8AndSize(header, &size);
  if (text == nullptr) return std::nullopt;
  std::optional<HeaderStyle> style = parse_header_style({text, to_size(size)});
  if (!style) PyErr_Format(PyExc_ValueError, "header must be 'plain', 'padded', or 'copy', not '%U'", header);
  return style;
}

std::optional<std::string_view> to_block_bytes(const PySDBlock* self, PyObject* value, const char* what) noexcept {
  if (self->kind == Kind::Bytes) {
    if (PyBytes_Check(value)) {
      return std::string_view(PyBytes_AS_STRING(value), to_size(PyBytes_GET_SIZE(value)));
    }
    PyErr_Format(PyExc_TypeError, "byte-backed SDBlock %s must be bytes", what);
    return std::nullopt;
  }
  if (!PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "text SDBlock %s must be str", what);
    return std::nullopt;
  }
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
  if (utf8 == nullptr) return std::nullopt;
  return std::string_view(utf8, to_size(size));
}

PyObject* make_block_object(const PySDBlock* self, std::string_view bytes) noexcept {
  const auto size = to_py_size(bytes.size());
  if (self->kind == Kind::Bytes) return PyBytes_FromStringAndSize(bytes.data(), size);
  // SD text is nearly all ASCII, which fills a one-byte str with a single
  // copy, past the decoder's general path. An empty view, perhaps without
  // any data pointer, goes to the decoder.
  if (bytes.empty() || !is_ascii(bytes)) return PyUnicode_DecodeUTF8(bytes.data(), size, nullptr);
  PyObject* text = PyUnicode_New(size, 127);
  if (text != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(text), bytes.data(), bytes.size());
  return text;
}

}  // namespace molbrook::py

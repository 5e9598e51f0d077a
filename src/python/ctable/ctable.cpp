// CTable, a connection table held by Python code, and the SDBlock members
// that read or repair a block's table. The core does the work; this file
// converts arguments and results and raises each CtabError as its class.
#include "ctable/ctable.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "base/args.hpp"
#include "base/borrow.hpp"
#include "core/ctable/block_lines.hpp"
#include "core/ctable/table.hpp"
#include "core/ctable/v3000.hpp"
#include "base/entry.hpp"
#include "base/errors.hpp"
#include "block/sdblock.hpp"
#include "base/sizes.hpp"

namespace molbrook::py {

PyTypeObject* CTableType = nullptr;

namespace {

// The state of a CTable.
struct PyCTable {
  explicit PyCTable(CTable table) noexcept : table(std::move(table)) {}

  BorrowState borrow{"CTable"};
  CTable table;
};

// Errors

// The exception class of each error variant.
struct ExceptionClass {
  PyObject* operator()(const CtabError::Malformed&) const noexcept {
    return error_class(ErrorClass::MalformedCTable);
  }
  PyObject* operator()(const CtabError::NotV3000&) const noexcept { return PyExc_NotImplementedError; }
  PyObject* operator()(const CtabError::Unsupported&) const noexcept { return PyExc_NotImplementedError; }
  PyObject* operator()(const CtabError::OutOfOrder&) const noexcept {
    return error_class(ErrorClass::IndicesOutOfOrder);
  }
  PyObject* operator()(const CtabError::Duplicate&) const noexcept {
    return error_class(ErrorClass::IndicesDuplicate);
  }
  PyObject* operator()(const CtabError::AmbiguousBondAtom&) const noexcept {
    return error_class(ErrorClass::IndicesDuplicate);
  }
  PyObject* operator()(const CtabError::FewerLines&) const noexcept {
    return error_class(ErrorClass::IndicesMismatch);
  }
  PyObject* operator()(const CtabError::MoreLines&) const noexcept {
    return error_class(ErrorClass::IndicesMismatch);
  }
};

// Raises the error's class with its message. Returns null for tail calls.
PyObject* raise_ctab_error(const CtabError& error) {
  std::string message = error.message();
  PyObject* type = std::visit(ExceptionClass{}, error.value);
  Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), to_py_size(message.size()), nullptr));
  if (text) PyErr_SetObject(type, text.get());
  return nullptr;
}

// Raises UnicodeDecodeError for a block line that is not UTF-8.
void raise_invalid_line(const InvalidLine& line) noexcept {
  Ref error = Ref::steal(PyUnicodeDecodeError_Create(
      "utf-8", line.bytes.data(), to_py_size(line.bytes.size()),
      to_py_size(line.error.start), to_py_size(line.error.end), "invalid utf-8"));
  if (error) PyErr_SetObject(PyExc_UnicodeDecodeError, error.get());
}

// The CTable class

// A length hint sizes the line list, up to this many lines; past it the
// list grows as lines arrive, so an absurd hint cannot fail construction.
constexpr Py_ssize_t kMostReservedLines = 1 << 16;

Py_ssize_t length_hint(PyObject* iterator) noexcept {
  Py_ssize_t hint = PyObject_LengthHint(iterator, 0);
  if (hint < 0) {
    PyErr_WriteUnraisable(iterator);
    return 0;
  }
  return std::min(hint, kMostReservedLines);
}

// The UTF-8 text of every item of `iterable`, each of which must be a str.
std::optional<std::vector<std::string>> collect_lines(PyObject* iterable) {
  Ref iterator = Ref::steal(PyObject_GetIter(iterable));
  if (!iterator) return std::nullopt;
  std::vector<std::string> lines;
  lines.reserve(to_size(length_hint(iterator.get())));
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    if (!PyUnicode_Check(item.get())) {
      PyErr_Format(PyExc_TypeError, "CTable lines must be str, not %.200s", Py_TYPE(item.get())->tp_name);
      return std::nullopt;
    }
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(item.get(), &size);
    if (utf8 == nullptr) return std::nullopt;
    lines.emplace_back(utf8, to_size(size));
  }
  if (PyErr_Occurred()) return std::nullopt;
  return lines;
}

PyObject* wrap_table(PyTypeObject* type, CTable table) noexcept { return new_object<PyCTable>(type, std::move(table)); }

PyObject* ctable_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"lines", nullptr};
  PyObject* iterable;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:CTable", const_cast<char**>(keywords), &iterable)) {
    return nullptr;
  }
  std::optional<std::vector<std::string>> lines = collect_lines(iterable);
  if (!lines) return nullptr;
  CtabResult<CTable> table = CTable::create(std::move(*lines));
  if (!table) return raise_ctab_error(table.error());
  return wrap_table(type, std::move(*table));
}

PyObject* ctable_lines(PyCTable* self) {
  SharedBorrow borrow(self->borrow);
  if (!borrow) return nullptr;
  TableLines lines = self->table.lines();
  Ref list = Ref::steal(PyList_New(to_py_size(lines.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < lines.size(); ++i) {
    PyObject* line = PyUnicode_DecodeUTF8(lines[i].data(), to_py_size(lines[i].size()), nullptr);
    if (line == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), to_py_size(i), line);
  }
  return list.release();
}

PyObject* ctable_num_atoms(PyCTable* self) noexcept {
  SharedBorrow borrow(self->borrow);
  if (!borrow) return nullptr;
  return PyLong_FromLongLong(self->table.num_atoms());
}

PyObject* ctable_num_bonds(PyCTable* self) noexcept {
  SharedBorrow borrow(self->borrow);
  if (!borrow) return nullptr;
  return PyLong_FromLongLong(self->table.num_bonds());
}

PyObject* format_object(CtabFormat format) noexcept {
  std::string_view text = format_text(format);
  return PyUnicode_FromStringAndSize(text.data(), to_py_size(text.size()));
}

PyObject* ctable_format(PyCTable* self) noexcept {
  SharedBorrow borrow(self->borrow);
  if (!borrow) return nullptr;
  return format_object(self->table.format());
}

// The `strict` argument of a validation method: False when not given.
// `format` is "|O:" and the method's name.
std::optional<bool> strict_argument(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* format,
                                    const char* function) noexcept {
  PyObject* value = nullptr;
  if (kwnames == nullptr && nargs <= 1) {
    if (nargs == 1) value = args[0];
  } else {
    static const char* const keywords[] = {"strict", nullptr};
    if (!parse_fastcall(args, nargs, kwnames, format, keywords, &value)) return std::nullopt;
  }
  bool strict = false;
  if (value != nullptr && !bool_argument(value, function, "strict", strict)) return std::nullopt;
  return strict;
}

template <CtabSection Section>
PyObject* ctable_valid_indices(PyCTable* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  constexpr bool atoms = Section == CtabSection::Atom;
  std::optional<bool> strict =
      strict_argument(args, nargs, kwnames, atoms ? "|O:valid_atom_indices" : "|O:valid_bond_indices",
                      atoms ? "valid_atom_indices" : "valid_bond_indices");
  if (!strict) return nullptr;
  SharedBorrow borrow(self->borrow);
  if (!borrow) return nullptr;
  if (CtabStatus error = validate_indices(self->table, Section, *strict)) return raise_ctab_error(*error);
  Py_RETURN_TRUE;
}

template <CtabStatus (CTable::*Repair)()>
PyObject* ctable_repair(PyCTable* self) {
  ExclusiveBorrow borrow(self->borrow);
  if (!borrow) return nullptr;
  if (CtabStatus error = (self->table.*Repair)()) return raise_ctab_error(*error);
  Py_RETURN_NONE;
}

// Docstrings

constexpr char kLinesDoc[] =
    "Return a copy of the original connection-table lines.";

constexpr char kNumAtomsDoc[] =
    "Return the atom count from the counts line.";

constexpr char kNumBondsDoc[] =
    "Return the bond count from the counts line.";

constexpr char kFormatDoc[] =
    "Return the format from the counts line, \"V2000\" or \"V3000\".";

constexpr char kValidAtomIndicesDoc[] =
    "valid_atom_indices($self, strict=False)\n"
    "--\n"
    "\n"
    "Validate that the atom lines match the counts line.\n"
    "\n"
    "If strict, make sure they are 1-indexed and in order.\n"
    "A line ending in \"-\" continues onto the next, and the two are read\n"
    "as one atom line, numbered by its first line in errors.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "strict : bool, default False\n"
    "    The indices start with 1, and increment by one.\n"
    "\n"
    "Raises\n"
    "------\n"
    "MalformedCTableError\n"
    "    If an atom line has no integer index, the\n"
    "    ATOM section has no END line or its last line ends in \"-\", or\n"
    "    the root CTAB has more than one ATOM section\n"
    "IndicesDuplicateError\n"
    "    If an atom line has an index seen before\n"
    "IndicesMismatchError\n"
    "    If number of atom lines does not match count line\n"
    "IndicesOutOfOrderError\n"
    "    If strict, and indices are not in 1-indexed order\n"
    "NotImplementedError\n"
    "    If trying to validate a V2000 format table\n"
    "\n"
    "Returns\n"
    "-------\n"
    "bool\n"
    "    If all the checks pass, return True.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> import molbrook\n"
    ">>> block = list(molbrook.parse_sdf(\"python/molbrook/data/sample.sdf\"))[2]\n"
    ">>> table = block.ctable()\n"
    ">>> table.format, table.valid_atom_indices(strict=True)\n"
    "('V3000', True)\n";

constexpr char kValidBondIndicesDoc[] =
    "valid_bond_indices($self, strict=False)\n"
    "--\n"
    "\n"
    "Validate that the bond lines match the counts line.\n"
    "\n"
    "If strict, make sure they are 1-indexed and in order.\n"
    "A line ending in \"-\" continues onto the next, and the two are read\n"
    "as one bond line, numbered by its first line in errors.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "strict : bool, default False\n"
    "    The indices start with 1, and increment by one.\n"
    "\n"
    "Raises\n"
    "------\n"
    "MalformedCTableError\n"
    "    If a bond line has no integer index, the\n"
    "    BOND section has no END line or its last line ends in \"-\", or\n"
    "    the root CTAB has more than one BOND section\n"
    "IndicesDuplicateError\n"
    "    If a bond line has an index seen before\n"
    "IndicesMismatchError\n"
    "    If number of bond lines does not match count line\n"
    "IndicesOutOfOrderError\n"
    "    If strict, and indices are not in 1-indexed order\n"
    "NotImplementedError\n"
    "    If trying to validate a V2000 format table\n"
    "\n"
    "Returns\n"
    "-------\n"
    "bool\n"
    "    If all the checks pass, return True.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> import molbrook\n"
    ">>> block = list(molbrook.parse_sdf(\"python/molbrook/data/sample.sdf\"))[2]\n"
    ">>> block.ctable().valid_bond_indices(strict=True)\n"
    "True\n";

constexpr char kRenumberIndicesDoc[] =
    "renumber_indices($self)\n"
    "--\n"
    "\n"
    "Renumber the atom and bond indices in the block.\n"
    "\n"
    "Iterating through the atom lines, replace the indexes into a\n"
    "1-indexed order, keeping track of what maps to what.\n"
    "Then, renumber the bond lines, making sure to map the new atom indices\n"
    "properly, and keeping the rest of each line, such as CFG, as written.\n"
    "The counts line, num_atoms, and num_bonds stay as they are; call\n"
    "fix_counts after adding or removing atom or bond lines.\n"
    "This will run regardless of whether the indices are already valid.\n"
    "It cannot fix duplicate atom indices properly if the duplicate one\n"
    "occurs in the bond lines, and will raise an error.\n"
    "The lines are then in-place replaced within the CTable object.\n"
    "Only implemented for V3000 tables.\n"
    "\n"
    "Indices that other data refers to (atom ATTCHORD, bond ENDPTS,\n"
    "SGROUP, COLLECTION, OBJ3D, and LINKNODE lines) are not remapped, so\n"
    "renumbering refuses to change them. It also refuses \"-\" continued\n"
    "atom or bond lines and CTABs nested in RGROUP or TEMPLATE blocks.\n"
    "\n"
    "Raises\n"
    "------\n"
    "MalformedCTableError\n"
    "    If an atom or bond line is missing a field\n"
    "    or has a non-integer index, a bond refers to an atom index that\n"
    "    no atom line has, an ATOM or BOND section has no END line or\n"
    "    its last line ends in \"-\", or the root CTAB has more than one\n"
    "    of either\n"
    "IndicesDuplicateError\n"
    "    If there was a duplicate atom index, and it was used\n"
    "    somewhere in a bond line. Raised, because it is not clear which of the\n"
    "    original indices to use in the remapping.\n"
    "NotImplementedError\n"
    "    If trying to renumber in a V2000 format table,\n"
    "    or a table that renumbering would corrupt, as above\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> import molbrook\n"
    ">>> block = list(molbrook.parse_sdf(\"python/molbrook/data/sample.sdf\"))[2]\n"
    ">>> lines = [line.replace(\" 1 C \", \" 7 C \").replace(\"1 1 1 2\", \"1 1 7 2\") for line in block.ctable().lines]\n"
    ">>> table = molbrook.CTable(lines)\n"
    ">>> table.renumber_indices()\n"
    ">>> table.lines[7], table.lines[11]\n"
    "('M  V30 1 C 0.0000 0.0000 0 0', 'M  V30 1 1 1 2')\n";

constexpr char kFixCountsDoc[] =
    "fix_counts($self)\n"
    "--\n"
    "\n"
    "Set the counts line to the number of atom and bond lines.\n"
    "\n"
    "Updates num_atoms and num_bonds to match, and keeps the rest of the\n"
    "counts line, such as the Sgroup count, as written. Use it after\n"
    "adding or removing atom or bond lines. A line ending in \"-\" continues\n"
    "onto the next, and the two count as one.\n"
    "\n"
    "Raises\n"
    "------\n"
    "MalformedCTableError\n"
    "    If the counts line has no atom or bond count\n"
    "    field, an ATOM or BOND section has no END line or its last\n"
    "    line ends in \"-\", or the root CTAB has more than one of either\n"
    "NotImplementedError\n"
    "    For a V2000 format table, or CTABs nested in\n"
    "    RGROUP or TEMPLATE blocks\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> import molbrook\n"
    ">>> block = list(molbrook.parse_sdf(\"python/molbrook/data/sample.sdf\"))[2]\n"
    ">>> table = molbrook.CTable([line for line in block.ctable().lines if line != \"M  V30 1 1 1 2\"])\n"
    ">>> table.fix_counts()\n"
    ">>> table.num_bonds, table.lines[5]\n"
    "(0, 'M  V30 COUNTS 2 0 0 0 0')\n";

constexpr char kCTableDoc[] =
    "CTable(lines)\n--\n\n"
    "Handle a Connection table (CTAB) from a single molecule block.\n\n"
    "Construction\n"
    "parses only the counts line, for the format and the atom and bond\n"
    "counts, which may differ from the number of atom and bond lines; the\n"
    "other lines are kept as written.\n\n"
    "Errors about the table's contents are molbrook.CTableError, a\n"
    "ValueError; MalformedCTableError names the CTable line (the title is\n"
    "line 1). Operations a table's format or constructs do not support raise\n"
    "NotImplementedError.\n\n"
    "Parameters\n"
    "----------\n"
    "lines : Iterable[str]\n"
    "    The table's lines, from the title line through `M  END`, without\n"
    "    line endings; `SDBlock.ctable()` makes one from a block.\n\n"
    "Raises\n"
    "------\n"
    "MalformedCTableError\n"
    "    The counts line is missing or cannot be read.\n\n"
    "Examples\n"
    "--------\n"
    ">>> import molbrook\n"
    ">>> block = next(molbrook.parse_sdf(\"python/molbrook/data/sample.sdf\"))\n"
    ">>> table = block.ctable()\n"
    ">>> table.format, table.num_atoms\n"
    "('V2000', 3)\n";

PyMethodDef ctable_methods[] = {
    method<ctable_valid_indices<CtabSection::Atom>>("valid_atom_indices", kValidAtomIndicesDoc),
    method<ctable_valid_indices<CtabSection::Bond>>("valid_bond_indices", kValidBondIndicesDoc),
    method<ctable_repair<&CTable::renumber_indices>>("renumber_indices", kRenumberIndicesDoc),
    method<ctable_repair<&CTable::fix_counts>>("fix_counts", kFixCountsDoc),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef ctable_getsets[] = {
    property<ctable_lines>("lines", kLinesDoc),
    property<ctable_num_atoms>("num_atoms", kNumAtomsDoc),
    property<ctable_num_bonds>("num_bonds", kNumBondsDoc),
    property<ctable_format>("format", kFormatDoc),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The table of a block

BlockText block_text(const PySDBlock* self) noexcept {
  if (self->kind == Kind::Bytes) return BlockText::Latin1;
  return self->utf8_valid ? BlockText::ValidUtf8 : BlockText::Utf8;
}

// The block's title and MDL lines as a table; raises UnicodeDecodeError
// for a str block that does not decode, or the header's error.
std::optional<CTable> block_table(const PySDBlock* self) {
  std::vector<std::string> lines;
  if (std::optional<InvalidLine> invalid = append_block_lines(self->block, block_text(self), lines)) {
    raise_invalid_line(*invalid);
    note_decode_error("Reading the CTAB of", self->block.title());
    return std::nullopt;
  }
  CtabResult<CTable> table = CTable::create(std::move(lines));
  if (!table) {
    raise_ctab_error(table.error());
    return std::nullopt;
  }
  return std::move(*table);
}

// Runs a repair on the block's table and writes the table's lines back as
// the block's MDL, even when nothing changed. Any failure leaves the block
// as it was.
template <CtabStatus (CTable::*Repair)()>
PyObject* block_repair(PySDBlock* self) {
  ExclusiveBorrow borrow(self->borrow);
  if (!borrow) return nullptr;
  std::optional<CTable> table = block_table(self);
  if (!table) return nullptr;
  if (CtabStatus error = ((*table).*Repair)()) return raise_ctab_error(*error);
  std::string mdl = mdl_from_lines(table->lines(), block_text(self), self->block.title_line_ending());
  if (!edit_guard(self)) return nullptr;
  self->block.replace_mdl(mdl);
  Py_RETURN_NONE;
}

template <int64_t (CountsHeader::*Count)>
PyObject* block_count(PySDBlock* self) {
  SharedBorrow borrow(self->borrow);
  if (!borrow) return nullptr;
  CtabResult<CountsHeader> header = read_block_counts_header(self->block);
  if (!header) return raise_ctab_error(header.error());
  return PyLong_FromLongLong((*header).*Count);
}

}  // namespace

// Docstrings of the SDBlock members

extern const char kBlockCtableDoc[] =
    "ctable($self)\n"
    "--\n"
    "\n"
    "Parse out the underlying CTable object.\n"
    "\n"
    "A bytes block's lines are decoded as Latin-1, so\n"
    "`line.encode(\"latin-1\")` gives the bytes back.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "CTable\n"
    "    The CTable titled with this block's title, parsed from its MDL\n"
    "    lines without validation\n"
    "\n"
    "Raises\n"
    "------\n"
    "MalformedCTableError\n"
    "    If the table is shorter than its header,\n"
    "    or its format or counts cannot be read\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> import molbrook\n"
    ">>> block = next(molbrook.parse_sdf(\"python/molbrook/data/sample.sdf\"))\n"
    ">>> table = block.ctable()\n"
    ">>> table.lines[0], table.num_atoms, table.format\n"
    "('ethanol', 3, 'V2000')\n";

extern const char kBlockNumAtomsDoc[] =
    "The number of atoms declared by the counts line.\n"
    "\n"
    "The count may differ from the number of atom lines. Only the\n"
    "header is read, so unlike ctable a block that doesn't decode is not\n"
    "an error.\n"
    "\n"
    "Raises\n"
    "------\n"
    "MalformedCTableError\n"
    "    If the format or counts cannot be read";

extern const char kBlockNumBondsDoc[] =
    "The number of bonds declared by the counts line.\n"
    "\n"
    "The count may differ from the number of bond lines. Only the\n"
    "header is read, so unlike ctable a block that doesn't decode is not\n"
    "an error.\n"
    "\n"
    "Raises\n"
    "------\n"
    "MalformedCTableError\n"
    "    If the format or counts cannot be read";

extern const char kBlockFormatDoc[] =
    "The format the counts line ends with, \"V2000\" or \"V3000\", or None.";

extern const char kBlockRenumberIndicesDoc[] =
    "renumber_indices($self)\n"
    "--\n"
    "\n"
    "Renumber atom and bond indices to be 1-indexed and in order.\n"
    "\n"
    "Uses the CTable renumbering and replaces this block's MDL lines. The\n"
    "counts line stays as it is; see fix_counts.\n"
    "\n"
    "Raises\n"
    "------\n"
    "MalformedCTableError\n"
    "    As ctable and CTable.renumber_indices raise\n"
    "IndicesDuplicateError\n"
    "    As CTable.renumber_indices raises\n"
    "NotImplementedError\n"
    "    As CTable.renumber_indices raises\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> import molbrook\n"
    ">>> block = list(molbrook.parse_sdf(\"python/molbrook/data/sample.sdf\"))[2]\n"
    ">>> block.mdl = block.mdl.replace(\" 1 C \", \" 7 C \").replace(\"1 1 1 2\", \"1 1 7 2\")\n"
    ">>> block.renumber_indices()\n"
    ">>> block.ctable().lines[7]\n"
    "'M  V30 1 C 0.0000 0.0000 0 0'\n";

extern const char kBlockFixCountsDoc[] =
    "fix_counts($self)\n"
    "--\n"
    "\n"
    "Set the counts line to the number of atom and bond lines.\n"
    "\n"
    "Uses CTable.fix_counts and replaces this block's MDL lines.\n"
    "\n"
    "Raises\n"
    "------\n"
    "MalformedCTableError\n"
    "    As ctable and CTable.fix_counts raise\n"
    "NotImplementedError\n"
    "    As CTable.fix_counts raises\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> import molbrook\n"
    ">>> block = list(molbrook.parse_sdf(\"python/molbrook/data/sample.sdf\"))[2]\n"
    ">>> block.mdl = block.mdl.replace(\"M  V30 1 1 1 2\\n\", \"\")\n"
    ">>> block.fix_counts()\n"
    ">>> block.num_bonds\n"
    "0\n";

bool init_ctable_type() noexcept {
  if (CTableType == nullptr) {
    CTableType = new_type<PyCTable>("molbrook.native.CTable", Py_TPFLAGS_BASETYPE,
                                    PyType_Slot{Py_tp_doc, const_cast<char*>(kCTableDoc)}, slot<ctable_new>(Py_tp_new),
                                    PyType_Slot{Py_tp_methods, ctable_methods},
                                    PyType_Slot{Py_tp_getset, ctable_getsets});
  }
  return CTableType != nullptr;
}

PyObject* block_ctable(PySDBlock* self) {
  SharedBorrow borrow(self->borrow);
  if (!borrow) return nullptr;
  std::optional<CTable> table = block_table(self);
  if (!table) return nullptr;
  return wrap_table(CTableType, std::move(*table));
}

PyObject* block_renumber_indices(PySDBlock* self) { return block_repair<&CTable::renumber_indices>(self); }

PyObject* block_fix_counts(PySDBlock* self) { return block_repair<&CTable::fix_counts>(self); }

PyObject* block_num_atoms(PySDBlock* self) { return block_count<&CountsHeader::num_atoms>(self); }

PyObject* block_num_bonds(PySDBlock* self) { return block_count<&CountsHeader::num_bonds>(self); }

PyObject* block_format(PySDBlock* self) {
  SharedBorrow borrow(self->borrow);
  if (!borrow) return nullptr;
  std::optional<CtabFormat> format = read_block_format(self->block);
  if (!format) Py_RETURN_NONE;
  return format_object(*format);
}

}  // namespace molbrook::py

// SDBlock.depict and the notebook displays. The core draws without the
// interpreter lock, into buffers kept per thread; the block stays
// borrowed meanwhile, so no edit can move its bytes.
#include "depict.hpp"

#include <cstring>
#include <string>

#include "args.hpp"
#include "borrow.hpp"
#include "core/depict/depict.hpp"
#include "core/text/utf8.hpp"
#include "gil.hpp"

namespace molbrook::py {
namespace {

constexpr int kMaxSide = 100000;  // pixels

BlockText block_text(const PySDBlock* self) noexcept {
  if (self->kind == Kind::Bytes) return BlockText::Latin1;
  return self->utf8_valid ? BlockText::ValidUtf8 : BlockText::Utf8;
}

// The SVG as str: nearly always ASCII, copied straight into a one-byte str.
PyObject* svg_object(const std::string& svg) noexcept {
  const auto size = static_cast<Py_ssize_t>(svg.size());
  if (!is_ascii(svg)) return PyUnicode_DecodeUTF8(svg.data(), size, nullptr);
  PyObject* text = PyUnicode_New(size, 127);
  if (text != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(text), svg.data(), svg.size());
  return text;
}

PyObject* depict_block(PySDBlock* self, const depict::DepictOptions& options) {
  thread_local depict::Depicter depicter;
  thread_local std::string svg;
  SharedBorrow borrow(self->borrow);
  if (!borrow) return nullptr;
  const BlockText text = block_text(self);
  {
    ReleasedGil unlocked;
    depicter.depict(self->block, text, options, svg);
  }
  return svg_object(svg);
}

bool check_side(int value, const char* name) noexcept {
  if (value >= 1 && value <= kMaxSide) return true;
  PyErr_Format(PyExc_ValueError, "depict() %s must be from 1 to %d pixels, not %d", name, kMaxSide, value);
  return false;
}

}  // namespace

PyObject* block_depict(PySDBlock* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const keywords[] = {"width", "height", "labels", nullptr};
  depict::DepictOptions options;
  PyObject* labels = Py_True;
  if (!parse_fastcall(args, nargs, kwnames, "|ii$O:depict", keywords, &options.width, &options.height, &labels)) {
    return nullptr;
  }
  if (!check_side(options.width, "width") || !check_side(options.height, "height")) return nullptr;
  if (!bool_argument(labels, "depict", "labels", options.labels)) return nullptr;
  return depict_block(self, options);
}

PyObject* block_repr_svg(PySDBlock* self) { return depict_block(self, depict::DepictOptions{}); }

// The HTML is made where the grid's is, so that both escape alike.
PyObject* block_repr_html(PyObject* self) {
  Ref module = Ref::steal(PyImport_ImportModule("molbrook._grid"));
  if (!module) return nullptr;
  return PyObject_CallMethod(module.get(), "block_html", "O", self);
}

const char kBlockDepictDoc[] =
    "depict($self, /, width=300, height=200, *, labels=True)\n--\n\n"
    "An SVG drawing of the block's connection table from its own coordinates.\n\n"
    "Atoms are drawn where the file puts them; 3D coordinates are seen from\n"
    "their widest side (projected onto the plane of their two largest\n"
    "principal axes). Bonds are drawn as the file gives them: single,\n"
    "double, triple, aromatic (a dashed second line), any (dashed), wedge\n"
    "and hash. Non-carbon atoms are labelled, and carbons with a charge, an\n"
    "isotope or no bonds; charges and isotopes as superscripts. Nothing is\n"
    "added or perceived. A block without atoms or coordinates, or whose\n"
    "table is malformed, draws a placeholder naming why; depict() never\n"
    "raises for the block's content.\n\n"
    "Parameters\n"
    "----------\n"
    "width, height : int, default 300 and 200\n"
    "    The canvas in pixels (1 to 100000).\n"
    "labels : bool, default True\n"
    "    False draws the bonds alone.\n\n"
    "Returns\n"
    "-------\n"
    "str\n"
    "    The SVG document.\n\n"
    "Examples\n"
    "--------\n"
    ">>> import molbrook\n"
    ">>> block = next(molbrook.parse_sdf(\"python/molbrook/data/sample.sdf\"))\n"
    ">>> block.depict(200, 150).startswith('<svg')\n"
    "True\n";

const char kBlockReprSvgDoc[] =
    "_repr_svg_($self, /)\n--\n\n"
    "The depiction at its default size, for notebooks.";

const char kBlockReprHtmlDoc[] =
    "_repr_html_($self, /)\n--\n\n"
    "The depiction beside the title and the records, escaped, for notebooks.";

}  // namespace molbrook::py

#include "ctable.hpp"

#include "placeholder.hpp"

namespace molbrook::py {

PyTypeObject* CTableType = nullptr;

bool init_ctable_type() noexcept {
  if (CTableType == nullptr) {
    CTableType = placeholder_class(
        "molbrook.native.CTable",
        "CTable(lines)\n--\n\nHandle a Connection table (CTAB) from a single molecule block.\n\nConstruction\n"
        "parses only the counts line, for the format and the atom and bond\ncounts, which may differ from the "
        "number of atom and bond lines; the\nother lines are kept as written.\n\nErrors about the table's "
        "contents are molbrook.CTableError, a\nValueError; MalformedCTableError names the CTable line (the "
        "title is\nline 1). Operations a table's format or constructs do not support raise\n"
        "NotImplementedError.");
  }
  return CTableType != nullptr;
}

}  // namespace molbrook::py

// Writing a block with the edits of its fixes applied.
#pragma once

#include <string_view>
#include <vector>

#include "core/base/buffer.hpp"
#include "core/lint/finding.hpp"

namespace molbrook::lint {

// Appends `bytes` (at `offset` in the scan) to `out` with `edits` applied,
// every other byte as it is. Edits are sorted here. An edit inside a range
// that another edit deletes goes with it; one that overlaps another edit
// otherwise is not applied, nor is any other edit of its finding, whose
// `applied` flag is cleared (the findings of the applied edits have it
// set). Edits of no finding carry an index past the findings.
void apply_edits(std::string_view bytes, size_t offset, std::vector<Edit>& edits, std::vector<Finding>& findings,
                 ByteBuffer& out);

// As apply_edits, to the bytes of `buffer` from `from` on (the scan's
// offset 0 there), in place: only the bytes from the first applied edit on
// are copied, through `scratch`.
void apply_edits_in_place(ByteBuffer& buffer, size_t from, std::vector<Edit>& edits, std::vector<Finding>& findings,
                          ByteBuffer& scratch);

}  // namespace molbrook::lint

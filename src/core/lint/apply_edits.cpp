#include "core/lint/apply_edits.hpp"

#include <algorithm>

namespace molbrook::lint {
namespace {

enum class Fate { Apply, Subsumed, Conflict };

// The fate of `edit` after the last edit applied, `last` (null at first).
Fate fate_after(const Edit* last, const Edit& edit) noexcept {
  if (last == nullptr || edit.start >= last->end) return Fate::Apply;
  return last->text.empty() && edit.end <= last->end ? Fate::Subsumed : Fate::Conflict;
}

bool of_kept_finding(const Edit& edit, const std::vector<Finding>& findings) noexcept {
  return edit.finding >= findings.size() || findings[edit.finding].applied;
}

// Sorts the edits and sets each finding's `applied` flag.
void settle(std::vector<Edit>& edits, std::vector<Finding>& findings) {
  // A block's usual one edit needs no order, nor the buffer stable_sort takes.
  if (edits.size() > 1) std::stable_sort(edits.begin(), edits.end(), [](const Edit& a, const Edit& b) {
    return a.start != b.start ? a.start < b.start : a.end < b.end;
  });
  for (const Edit& edit : edits) {
    if (edit.finding < findings.size()) findings[edit.finding].applied = true;
  }
  // A finding with an edit in conflict keeps none of its edits.
  const Edit* last = nullptr;
  for (const Edit& edit : edits) {
    Fate fate = fate_after(last, edit);
    if (fate == Fate::Conflict && edit.finding < findings.size()) findings[edit.finding].applied = false;
    if (fate == Fate::Apply) last = &edit;
  }
}

// The settled edits applied to `bytes`, which start at `offset` in the
// scan, at or before the first applied edit.
void write_applied(std::string_view bytes, size_t offset, const std::vector<Edit>& edits,
                   const std::vector<Finding>& findings, ByteBuffer& out) {
  out.reserve_extra(bytes.size());
  size_t copied = offset;  // the scan offset up to which bytes are written
  const Edit* last = nullptr;
  for (const Edit& edit : edits) {
    if (!of_kept_finding(edit, findings) || fate_after(last, edit) != Fate::Apply) continue;
    out.append(bytes.substr(copied - offset, edit.start - copied));
    out.append(edit.text);
    copied = edit.end;
    last = &edit;
  }
  out.append(bytes.substr(copied - offset));
}

}  // namespace

void apply_edits(std::string_view bytes, size_t offset, std::vector<Edit>& edits, std::vector<Finding>& findings,
                 ByteBuffer& out) {
  settle(edits, findings);
  write_applied(bytes, offset, edits, findings, out);
}

void apply_edits_in_place(ByteBuffer& buffer, size_t from, std::vector<Edit>& edits, std::vector<Finding>& findings,
                          ByteBuffer& scratch) {
  settle(edits, findings);
  // Sorted, the first edit of a kept finding is the first one applied.
  auto first = std::find_if(edits.begin(), edits.end(),
                            [&](const Edit& edit) { return of_kept_finding(edit, findings); });
  if (first == edits.end()) return;
  const size_t start = first->start;
  scratch.clear();
  scratch.append(buffer.view().substr(from + start));
  buffer.set_size(from + start);
  write_applied(scratch.view(), start, edits, findings, buffer);
}

}  // namespace molbrook::lint

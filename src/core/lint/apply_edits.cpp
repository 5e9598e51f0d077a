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

}  // namespace

void apply_edits(std::string_view bytes, size_t offset, std::vector<Edit>& edits, std::vector<Finding>& findings,
                 ByteBuffer& out) {
  std::stable_sort(edits.begin(), edits.end(), [](const Edit& a, const Edit& b) {
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
  out.reserve_extra(bytes.size());
  size_t copied = offset;  // the scan offset up to which bytes are written
  last = nullptr;
  for (const Edit& edit : edits) {
    if (!of_kept_finding(edit, findings) || fate_after(last, edit) != Fate::Apply) continue;
    out.append(bytes.substr(copied - offset, edit.start - copied));
    out.append(edit.text);
    copied = edit.end;
    last = &edit;
  }
  out.append(bytes.substr(copied - offset));
}

}  // namespace molbrook::lint

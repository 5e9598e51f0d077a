#include "core/depict/read_sketch.hpp"

#include "core/ctable/block_lines.hpp"
#include "core/text/lines.hpp"

namespace molbrook::depict {
namespace {

void split_lines(std::string_view title, std::string_view mdl, std::vector<std::string_view>& lines) {
  lines.clear();
  lines.push_back(title);
  LineScanner scanner(mdl);
  for (Line line; scanner.next(line);) lines.push_back(line_content(mdl.substr(line.start, line.end - line.start)));
}

void count_degrees(Sketch& sketch) noexcept {
  for (const SketchBond& bond : sketch.bonds) {
    ++sketch.atoms[bond.first].degree;
    ++sketch.atoms[bond.second].degree;
  }
}

}  // namespace

CtabStatus SketchReader::read(std::string_view title, std::string_view mdl, Sketch& sketch) {
  sketch.clear();
  CtabResult<CountsHeader> header = read_counts_header(mdl);
  if (!header) return std::move(header.error());
  split_lines(title, mdl, lines_);
  CtabStatus status = header->format == CtabFormat::V2000 ? read_v2000(lines_, *header, sketch)
                                                            : read_v3000(lines_, sketch, atom_indices_);
  if (!status) count_degrees(sketch);
  return status;
}

}  // namespace molbrook::depict

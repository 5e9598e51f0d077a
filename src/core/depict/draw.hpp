// The SVG elements of a laid-out sketch: bonds as lines, wedges and
// hashes, then atom labels over them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/ctable/block_lines.hpp"
#include "core/depict/layout.hpp"
#include "core/depict/sketch.hpp"

namespace molbrook::depict {

struct DrawOptions {
  bool labels;     // element labels; without them only the bonds are drawn
  BlockText text;  // how label bytes decode
};

// Reused from block to block, like the sketch.
class Drawer {
 public:
  // Appends the bonds' and labels' groups to `out`.
  void draw(const Sketch& sketch, const Layout& layout, const DrawOptions& options, std::string& out);

 private:
  void index_neighbours(const Sketch& sketch);
  void draw_bond(const Layout& layout, const SketchBond& bond, std::string& out) const;
  int ring_side(const Layout& layout, const SketchBond& bond) const noexcept;

  std::vector<uint32_t> offsets_;     // atom i's neighbours: neighbours_[offsets_[i], offsets_[i + 1])
  std::vector<uint32_t> neighbours_;
  std::vector<double> clearance_;     // per atom: how far bonds stop short of its label
};

}  // namespace molbrook::depict

// A block's connection table drawn as SVG from its own coordinates.
#pragma once

#include <string>

#include "core/block.hpp"
#include "core/ctable/block_lines.hpp"
#include "core/depict/draw.hpp"
#include "core/depict/layout.hpp"
#include "core/depict/read_sketch.hpp"
#include "core/depict/sketch.hpp"

namespace molbrook::depict {

struct DepictOptions {
  int width = 300;  // pixels, at least 1
  int height = 200;
  bool labels = true;
};

// Holds the buffers every drawing reuses, so that drawing block after
// block allocates only while they grow. One per thread.
class Depicter {
 public:
  // Replaces `out` with the SVG of the block's table. A block without atoms
  // or coordinates, or whose table is malformed, gets a placeholder of the
  // same size saying so; nothing is thrown but std::bad_alloc.
  void depict(const Block& block, BlockText text, const DepictOptions& options, std::string& out);

 private:
  SketchReader reader_;
  Sketch sketch_;
  Layout layout_;
  Drawer drawer_;
};

}  // namespace molbrook::depict

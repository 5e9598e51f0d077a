// Where each atom goes in the drawing: the plane the coordinates are seen
// in, and the one scale that fits them to the canvas.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "core/depict/sketch.hpp"

namespace molbrook::depict {

struct Point {
  double x;
  double y;
};

struct Layout {
  std::vector<Point> points;  // one per atom, in pixels, y pointing down
  double bond_length = 0;     // the mean bond's length in pixels
  double font_size = 0;
};

// Fills `layout` for a canvas of width x height pixels: 3D coordinates
// (any z differing) are projected onto the plane of their two largest
// principal axes; the drawing is centred with a margin, one scale on both
// axes, no larger than keeps the mean bond within a fifth of the shorter
// side. Returns what prevents a drawing: no atoms, or no coordinates
// (several atoms, every coordinate 0).
std::optional<std::string_view> lay_out(const Sketch& sketch, double width, double height, Layout& layout);

// The unit eigenvectors of a symmetric 3x3 matrix as rows, by decreasing
// eigenvalue, found by Jacobi rotations.
void principal_axes(const double (&matrix)[3][3], double (&axes)[3][3]) noexcept;

}  // namespace molbrook::depict

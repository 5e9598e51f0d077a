#include "core/depict/layout.hpp"

#include <algorithm>
#include <cmath>

namespace molbrook::depict {
namespace {

// The mean bond drawn at most this fraction of the canvas's shorter side,
// so that two atoms do not fill a whole card.
constexpr double kMaxBondShare = 0.18;
constexpr double kMarginShare = 0.07;
// Stands for the mean bond of a table without bonds: a typical length in
// the angstrom units of most files.
constexpr double kTypicalBond = 1.5;

bool all_zero(const Sketch& sketch) noexcept {
  return std::all_of(sketch.atoms.begin(), sketch.atoms.end(),
                     [](const SketchAtom& atom) { return atom.x == 0 && atom.y == 0 && atom.z == 0; });
}

bool is_flat(const Sketch& sketch) noexcept {
  const double z = sketch.atoms.front().z;
  return std::all_of(sketch.atoms.begin(), sketch.atoms.end(), [z](const SketchAtom& atom) { return atom.z == z; });
}

// The atoms seen along their smallest principal axis.
void project(const Sketch& sketch, std::vector<Point>& points) {
  double mean[3] = {0, 0, 0};
  for (const SketchAtom& atom : sketch.atoms) {
    mean[0] += atom.x;
    mean[1] += atom.y;
    mean[2] += atom.z;
  }
  for (double& m : mean) m /= static_cast<double>(sketch.atoms.size());
  double covariance[3][3] = {};
  for (const SketchAtom& atom : sketch.atoms) {
    const double d[3] = {atom.x - mean[0], atom.y - mean[1], atom.z - mean[2]};
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) covariance[i][j] += d[i] * d[j];
    }
  }
  double axes[3][3];
  principal_axes(covariance, axes);
  for (const SketchAtom& atom : sketch.atoms) {
    const double d[3] = {atom.x - mean[0], atom.y - mean[1], atom.z - mean[2]};
    points.push_back({d[0] * axes[0][0] + d[1] * axes[0][1] + d[2] * axes[0][2],
                      d[0] * axes[1][0] + d[1] * axes[1][1] + d[2] * axes[1][2]});
  }
}

double mean_bond(const Sketch& sketch, const std::vector<Point>& points) noexcept {
  double total = 0;
  size_t counted = 0;
  for (const SketchBond& bond : sketch.bonds) {
    const double length = std::hypot(points[bond.first].x - points[bond.second].x,
                                     points[bond.first].y - points[bond.second].y);
    if (length > 0) {
      total += length;
      ++counted;
    }
  }
  return counted > 0 ? total / static_cast<double>(counted) : kTypicalBond;
}

}  // namespace

void principal_axes(const double (&matrix)[3][3], double (&axes)[3][3]) noexcept {
  double a[3][3];
  double v[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};  // columns: eigenvectors
  std::copy(&matrix[0][0], &matrix[0][0] + 9, &a[0][0]);
  for (int sweep = 0; sweep < 32; ++sweep) {
    const double off = a[0][1] * a[0][1] + a[0][2] * a[0][2] + a[1][2] * a[1][2];
    if (off <= 1e-30 * (a[0][0] * a[0][0] + a[1][1] * a[1][1] + a[2][2] * a[2][2]) || off == 0) break;
    for (int p = 0; p < 2; ++p) {
      for (int q = p + 1; q < 3; ++q) {
        if (a[p][q] == 0) continue;
        // The rotation in the (p, q) plane that zeroes a[p][q].
        const double theta = (a[q][q] - a[p][p]) / (2 * a[p][q]);
        const double t = std::copysign(1.0, theta) / (std::fabs(theta) + std::sqrt(theta * theta + 1));
        const double c = 1 / std::sqrt(t * t + 1);
        const double s = t * c;
        for (int k = 0; k < 3; ++k) {
          const double akp = a[k][p];
          const double akq = a[k][q];
          a[k][p] = c * akp - s * akq;
          a[k][q] = s * akp + c * akq;
        }
        for (int k = 0; k < 3; ++k) {
          const double apk = a[p][k];
          const double aqk = a[q][k];
          a[p][k] = c * apk - s * aqk;
          a[q][k] = s * apk + c * aqk;
        }
        for (int k = 0; k < 3; ++k) {
          const double vkp = v[k][p];
          const double vkq = v[k][q];
          v[k][p] = c * vkp - s * vkq;
          v[k][q] = s * vkp + c * vkq;
        }
      }
    }
  }
  int order[3] = {0, 1, 2};
  std::sort(order, order + 3, [&](int i, int j) { return a[i][i] > a[j][j]; });
  for (int row = 0; row < 3; ++row) {
    for (int k = 0; k < 3; ++k) axes[row][k] = v[k][order[row]];
  }
}

std::optional<std::string_view> lay_out(const Sketch& sketch, double width, double height, Layout& layout) {
  layout.points.clear();
  if (sketch.atoms.empty()) return "no atoms";
  if (sketch.atoms.size() > 1 && all_zero(sketch)) return "no coordinates";
  if (is_flat(sketch)) {
    for (const SketchAtom& atom : sketch.atoms) layout.points.push_back({atom.x, atom.y});
  } else {
    project(sketch, layout.points);
  }
  auto [min_x, max_x] = std::minmax_element(layout.points.begin(), layout.points.end(),
                                            [](Point a, Point b) { return a.x < b.x; });
  auto [min_y, max_y] = std::minmax_element(layout.points.begin(), layout.points.end(),
                                            [](Point a, Point b) { return a.y < b.y; });
  const double span_x = max_x->x - min_x->x;
  const double span_y = max_y->y - min_y->y;
  const double centre_x = (max_x->x + min_x->x) / 2;
  const double centre_y = (max_y->y + min_y->y) / 2;
  const double shorter = std::min(width, height);
  const double margin = kMarginShare * shorter + 2;
  const double bond = mean_bond(sketch, layout.points);
  double scale = kMaxBondShare * shorter / bond;
  if (span_x > 0) scale = std::min(scale, std::max(width - 2 * margin, 1.0) / span_x);
  if (span_y > 0) scale = std::min(scale, std::max(height - 2 * margin, 1.0) / span_y);
  if (!std::isfinite(scale) || !std::isfinite(span_x) || !std::isfinite(span_y)) return "coordinates too large";
  for (Point& point : layout.points) {
    point = {width / 2 + scale * (point.x - centre_x), height / 2 - scale * (point.y - centre_y)};
  }
  layout.bond_length = scale * bond;
  layout.font_size = std::clamp(0.45 * layout.bond_length, 5.0, 14.0);
  return std::nullopt;
}

}  // namespace molbrook::depict

#include "core/depict/draw.hpp"

#include <algorithm>
#include <cmath>

#include "core/depict/svg_text.hpp"

namespace molbrook::depict {
namespace {

// Shares of the mean bond length.
constexpr double kLineGap = 0.18;      // between the lines of a double or triple bond
constexpr double kInnerTrim = 0.12;    // an offset second line is shorter by this at each end
constexpr double kWedgeWidth = 0.16;   // half the width of a wedge's or hash's wide end
constexpr double kHashSpacing = 0.11;  // between a hash's strokes
constexpr double kSuperscript = 0.7;   // of the font size
constexpr std::string_view kMinus = "\xE2\x88\x92";  // U+2212

struct Vec {
  double x;
  double y;
};

Vec operator-(Point a, Point b) noexcept { return {a.x - b.x, a.y - b.y}; }
Point operator+(Point p, Vec v) noexcept { return {p.x + v.x, p.y + v.y}; }
Vec operator*(double k, Vec v) noexcept { return {k * v.x, k * v.y}; }
double cross(Vec a, Vec b) noexcept { return a.x * b.y - a.y * b.x; }

struct Segment {
  Point from;
  Point to;
};

Segment shifted(Segment s, Vec by) noexcept { return {s.from + by, s.to + by}; }

Segment trimmed(Segment s, double share) noexcept {
  const Vec along = s.to - s.from;
  return {s.from + share * along, s.to + (-share) * along};
}

bool is_labelled(const Sketch& sketch, const SketchAtom& atom) noexcept {
  return sketch.label(atom) != "C" || atom.charge != 0 || atom.mass != 0 || atom.degree == 0;
}

std::string_view element_colour(std::string_view label) noexcept {
  if (label == "N") return "#2233cc";
  if (label == "O") return "#cc2222";
  if (label == "S") return "#a08000";
  if (label == "P") return "#d06000";
  if (label == "F" || label == "Cl") return "#118811";
  if (label == "Br") return "#882222";
  if (label == "I") return "#660099";
  return "#000";
}

void append_point(std::string& out, Point p) {
  append_number(out, p.x);
  out.push_back(',');
  append_number(out, p.y);
}

void append_line(std::string& out, Segment s, bool dashed) {
  out.append("<line x1=\"");
  append_number(out, s.from.x);
  out.append("\" y1=\"");
  append_number(out, s.from.y);
  out.append("\" x2=\"");
  append_number(out, s.to.x);
  out.append("\" y2=\"");
  append_number(out, s.to.y);
  out.append(dashed ? "\" stroke-dasharray=\"2,2\"/>" : "\"/>");
}

void append_wedge(std::string& out, Segment s, Vec half_width) {
  out.append("<polygon points=\"");
  append_point(out, s.from);
  out.push_back(' ');
  append_point(out, s.to + half_width);
  out.push_back(' ');
  append_point(out, s.to + (-1.0) * half_width);
  out.append("\" fill=\"#000\"/>");
}

void append_hash(std::string& out, Segment s, Vec half_width, double spacing) {
  const double length = std::hypot(s.to.x - s.from.x, s.to.y - s.from.y);
  const int strokes = std::max(3, static_cast<int>(length / spacing));
  out.append("<path d=\"");
  for (int i = 1; i <= strokes; ++i) {
    const double t = static_cast<double>(i) / strokes;
    const Point centre = s.from + t * (s.to - s.from);
    out.push_back('M');
    append_point(out, centre + t * half_width);
    out.push_back('L');
    append_point(out, centre + (-t) * half_width);
  }
  out.append("\"/>");
}

// The superscript tspan; `dy` lifts it, and the next tspan drops back.
void open_superscript(std::string& out, double font_size) {
  out.append("<tspan font-size=\"");
  append_number(out, kSuperscript * font_size);
  out.append("\" dy=\"");
  append_number(out, -0.4 * font_size);
  out.append("\">");
}

void append_charge(std::string& out, int32_t charge) {
  const int32_t size = charge < 0 ? -charge : charge;
  if (size != 1) append_integer(out, size);
  out.append(charge < 0 ? kMinus : "+");
}

void append_label(std::string& out, const Sketch& sketch, const SketchAtom& atom, Point at, double font_size,
                  BlockText text) {
  std::string_view label = sketch.label(atom);
  out.append("<text x=\"");
  append_number(out, at.x);
  out.append("\" y=\"");
  append_number(out, at.y);
  out.append("\" fill=\"");
  out.append(element_colour(label));
  out.append("\">");
  if (atom.mass != 0) {
    open_superscript(out, font_size);
    append_integer(out, atom.mass);
    out.append("</tspan><tspan dy=\"");
    append_number(out, 0.4 * font_size);
    out.append("\">");
    append_xml_text(out, label, text);
    out.append("</tspan>");
  } else {
    append_xml_text(out, label, text);
  }
  if (atom.charge != 0) {
    open_superscript(out, font_size);
    append_charge(out, atom.charge);
    out.append("</tspan>");
  }
  out.append("</text>");
}

// How far bonds stop short of a label: wider labels, wider berths.
double label_clearance(const Sketch& sketch, const SketchAtom& atom, double font_size) noexcept {
  const size_t glyphs = std::min<size_t>(sketch.label(atom).size(), 4);
  return font_size * (0.55 + 0.15 * static_cast<double>(glyphs - 1));
}

}  // namespace

void Drawer::index_neighbours(const Sketch& sketch) {
  offsets_.assign(sketch.atoms.size() + 1, 0);
  for (const SketchBond& bond : sketch.bonds) {
    ++offsets_[bond.first + 1];
    ++offsets_[bond.second + 1];
  }
  for (size_t i = 1; i < offsets_.size(); ++i) offsets_[i] += offsets_[i - 1];
  neighbours_.resize(2 * sketch.bonds.size());
  // Each atom's offset walks to the end of its run, then all shift back.
  for (const SketchBond& bond : sketch.bonds) {
    neighbours_[offsets_[bond.first]++] = bond.second;
    neighbours_[offsets_[bond.second]++] = bond.first;
  }
  for (size_t i = offsets_.size() - 1; i > 0; --i) offsets_[i] = offsets_[i - 1];
  offsets_[0] = 0;
}

// +1 when the bond's second line belongs left of first -> second (in
// drawing coordinates), -1 right, 0 centred: the side of a small ring
// through the bond, else the only side its neighbours are on.
int Drawer::ring_side(const Layout& layout, const SketchBond& bond) const noexcept {
  const Point p = layout.points[bond.first];
  const Vec along = layout.points[bond.second] - p;
  const auto side_of = [&](uint32_t atom) {
    const double c = cross(along, layout.points[atom] - p);
    return c > 0 ? 1 : c < 0 ? -1 : 0;
  };
  const auto adjacent = [&](uint32_t a, uint32_t b) {
    return std::find(neighbours_.begin() + offsets_[a], neighbours_.begin() + offsets_[a + 1], b) !=
           neighbours_.begin() + offsets_[a + 1];
  };
  int left = 0;
  int right = 0;
  for (uint32_t i = offsets_[bond.first]; i < offsets_[bond.first + 1]; ++i) {
    const uint32_t a = neighbours_[i];
    if (a == bond.second) continue;
    (side_of(a) > 0 ? left : right) += side_of(a) != 0;
    for (uint32_t j = offsets_[bond.second]; j < offsets_[bond.second + 1]; ++j) {
      const uint32_t b = neighbours_[j];
      if (b == bond.first || side_of(a) != side_of(b)) continue;
      // Rings of three to five atoms close here; of six, through a common neighbour.
      if (a == b || adjacent(a, b)) return side_of(a);
      for (uint32_t k = offsets_[a]; k < offsets_[a + 1]; ++k) {
        const uint32_t c = neighbours_[k];
        if (c != bond.first && c != bond.second && adjacent(c, b)) return side_of(a);
      }
    }
  }
  for (uint32_t j = offsets_[bond.second]; j < offsets_[bond.second + 1]; ++j) {
    const uint32_t b = neighbours_[j];
    if (b != bond.first) (side_of(b) > 0 ? left : right) += side_of(b) != 0;
  }
  if (left > 0 && right == 0) return 1;
  if (right > 0 && left == 0) return -1;
  return 0;
}

void Drawer::draw_bond(const Layout& layout, const SketchBond& bond, std::string& out) const {
  const Point p = layout.points[bond.first];
  const Point q = layout.points[bond.second];
  const double length = std::hypot(q.x - p.x, q.y - p.y);
  const double room = length - clearance_[bond.first] - clearance_[bond.second];
  if (length <= 0 || room <= 0) return;  // the atoms' labels meet
  const Vec unit = (1 / length) * (q - p);
  const Segment main{p + clearance_[bond.first] * unit, q + (-clearance_[bond.second]) * unit};
  const double gap = kLineGap * layout.bond_length;
  const Vec normal{unit.y, -unit.x};  // left of p -> q as drawn (y down)
  switch (bond.kind) {
    case BondKind::Single:
      if (bond.stereo == BondStereo::Wedge) return append_wedge(out, main, kWedgeWidth * layout.bond_length * normal);
      if (bond.stereo == BondStereo::Hash) {
        return append_hash(out, main, kWedgeWidth * layout.bond_length * normal, kHashSpacing * layout.bond_length);
      }
      return append_line(out, main, false);
    case BondKind::Any:
      return append_line(out, main, true);
    case BondKind::Triple:
      append_line(out, main, false);
      append_line(out, shifted(main, gap * normal), false);
      return append_line(out, shifted(main, -gap * normal), false);
    case BondKind::Double:
    case BondKind::Aromatic: {
      const bool dashed = bond.kind == BondKind::Aromatic;
      const int side = ring_side(layout, bond);
      if (side == 0) {
        append_line(out, shifted(main, 0.5 * gap * normal), false);
        return append_line(out, shifted(main, -0.5 * gap * normal), dashed);
      }
      append_line(out, main, false);
      return append_line(out, trimmed(shifted(main, side * gap * normal), kInnerTrim), dashed);
    }
  }
}

void Drawer::draw(const Sketch& sketch, const Layout& layout, const DrawOptions& options, std::string& out) {
  index_neighbours(sketch);
  clearance_.assign(sketch.atoms.size(), 0);
  if (options.labels) {
    for (size_t i = 0; i < sketch.atoms.size(); ++i) {
      if (is_labelled(sketch, sketch.atoms[i])) clearance_[i] = label_clearance(sketch, sketch.atoms[i], layout.font_size);
    }
  }
  out.append("<g stroke=\"#000\" stroke-width=\"");
  append_number(out, std::clamp(layout.bond_length / 22, 0.6, 2.0));
  out.append("\" stroke-linecap=\"round\">");
  for (const SketchBond& bond : sketch.bonds) draw_bond(layout, bond, out);
  out.append("</g>");
  if (!options.labels) return;
  out.append("<g font-family=\"sans-serif\" font-size=\"");
  append_number(out, layout.font_size);
  out.append("\" text-anchor=\"middle\" dominant-baseline=\"central\">");
  for (size_t i = 0; i < sketch.atoms.size(); ++i) {
    if (clearance_[i] > 0) append_label(out, sketch, sketch.atoms[i], layout.points[i], layout.font_size, options.text);
  }
  out.append("</g>");
}

}  // namespace molbrook::depict

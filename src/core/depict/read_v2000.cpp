// V2000: the atom and bond blocks in fixed columns, then the property
// lines up to M  END that a drawing shows (CHG, ISO, RGP, ALS).
#include <algorithm>
#include <utility>

#include "core/ctable/unicode.hpp"
#include "core/depict/fields.hpp"
#include "core/depict/read_sketch.hpp"

namespace molbrook::depict {
namespace {

constexpr size_t kFirstAtomPosition = 4;  // table line 5

// The atom block's charge codes 1-7; 4 is a radical, not a charge.
constexpr int32_t kChargeCodes[8] = {0, 3, 2, 1, 0, -1, -2, -3};

CtabStatus read_atom(std::string_view line, size_t number, Sketch& sketch) {
  SketchAtom atom;
  CtabResult<double> x = number_field(column(line, 0, 10), "x coordinate", number);
  if (!x) return std::move(x.error());
  CtabResult<double> y = number_field(column(line, 10, 10), "y coordinate", number);
  if (!y) return std::move(y.error());
  CtabResult<double> z = number_field(column(line, 20, 10), "z coordinate", number);
  if (!z) return std::move(z.error());
  std::string_view symbol = strip(column(line, 31, 3));
  if (symbol.empty()) return malformed(number, MalformedDetail::NoField{"atom symbol"});
  CtabResult<int64_t> code = optional_int_field(column(line, 36, 3), "charge", number);
  if (!code) return std::move(code.error());
  atom.x = *x;
  atom.y = *y;
  atom.z = *z;
  atom.charge = *code >= 0 && *code < 8 ? kChargeCodes[*code] : 0;
  sketch.set_label(atom, symbol);
  sketch.atoms.push_back(atom);
  return std::nullopt;
}

BondKind bond_kind(int64_t type) noexcept {
  switch (type) {
    case 1:
      return BondKind::Single;
    case 2:
      return BondKind::Double;
    case 3:
      return BondKind::Triple;
    case 4:
      return BondKind::Aromatic;
    default:
      return BondKind::Any;
  }
}

BondStereo bond_stereo(int64_t stereo) noexcept {
  if (stereo == 1) return BondStereo::Wedge;
  if (stereo == 6) return BondStereo::Hash;
  return BondStereo::None;
}

CtabResult<uint32_t> bond_atom(std::string_view field, std::string_view name, size_t number, size_t atoms) {
  CtabResult<int64_t> atom = parse_int_field(field, name, number);
  if (!atom) return std::move(atom.error());
  if (*atom < 1 || std::cmp_greater(*atom, atoms)) return malformed(number, MalformedDetail::UnknownBondAtom{*atom});
  return static_cast<uint32_t>(*atom - 1);
}

CtabStatus read_bond(std::string_view line, size_t number, Sketch& sketch) {
  CtabResult<uint32_t> first = bond_atom(column(line, 0, 3), "first bond atom", number, sketch.atoms.size());
  if (!first) return std::move(first.error());
  CtabResult<uint32_t> second = bond_atom(column(line, 3, 3), "second bond atom", number, sketch.atoms.size());
  if (!second) return std::move(second.error());
  CtabResult<int64_t> type = parse_int_field(column(line, 6, 3), "bond type", number);
  if (!type) return std::move(type.error());
  CtabResult<int64_t> stereo = optional_int_field(column(line, 9, 3), "bond stereo", number);
  if (!stereo) return std::move(stereo.error());
  sketch.bonds.push_back({*first, *second, bond_kind(*type), bond_stereo(*stereo)});
  return std::nullopt;
}

// The atom a property names, or null for a number no atom has.
SketchAtom* property_atom(Sketch& sketch, int64_t number) noexcept {
  return number >= 1 && std::cmp_less_equal(number, sketch.atoms.size()) ? &sketch.atoms[number - 1] : nullptr;
}

// "M  CHG", "M  ISO", "M  RGP": a count, then that many atom-value pairs.
template <class Apply>
CtabStatus read_pairs(std::string_view line, size_t number, Sketch& sketch, Apply apply) {
  WhiteSpaceFields fields(line.substr(6));
  std::string_view piece;
  if (!fields.next(piece)) return malformed(number, MalformedDetail::NoField{"entry count"});
  CtabResult<int64_t> count = parse_int_field(piece, "entry count", number);
  if (!count) return std::move(count.error());
  for (int64_t i = 0; i < *count; ++i) {
    std::string_view atom_field;
    std::string_view value_field;
    if (!fields.next(atom_field) || !fields.next(value_field)) return std::nullopt;  // fewer than counted
    CtabResult<int64_t> atom = parse_int_field(atom_field, "atom number", number);
    if (!atom) return std::move(atom.error());
    CtabResult<int64_t> value = parse_int_field(value_field, "property value", number);
    if (!value) return std::move(value.error());
    if (SketchAtom* target = property_atom(sketch, *atom)) apply(*target, *value);
  }
  return std::nullopt;
}

// "M  ALS aaannn e 1111222233334444...": the list shown as [C,N] or NOT [C,N].
CtabStatus read_atom_list(std::string_view line, size_t number, Sketch& sketch) {
  CtabResult<int64_t> atom = parse_int_field(column(line, 7, 3), "atom number", number);
  if (!atom) return std::move(atom.error());
  CtabResult<int64_t> count = parse_int_field(column(line, 10, 3), "entry count", number);
  if (!count) return std::move(count.error());
  SketchAtom* target = property_atom(sketch, *atom);
  if (target == nullptr) return std::nullopt;
  const size_t start = sketch.labels.size();
  if (column(line, 14, 1) == "T") sketch.labels.append("NOT ");
  sketch.labels.push_back('[');
  for (int64_t i = 0; i < *count; ++i) {
    std::string_view element = strip(column(line, 16 + 4 * static_cast<size_t>(i), 4));
    if (element.empty()) break;
    if (i > 0) sketch.labels.push_back(',');
    sketch.labels.append(element);
  }
  sketch.labels.push_back(']');
  sketch.label_from(*target, start);
  return std::nullopt;
}

void set_r_group(Sketch& sketch, SketchAtom& atom, int64_t group) {
  const size_t start = sketch.labels.size();
  sketch.labels.push_back('R');
  char digits[24];
  sketch.labels.append(digits, std::to_chars(digits, digits + sizeof digits, group).ptr);
  sketch.label_from(atom, start);
}

class PropertyReader {
 public:
  explicit PropertyReader(Sketch& sketch) noexcept : sketch_(sketch) {}

  CtabStatus read(std::string_view line, size_t number) {
    if (line.starts_with("M  CHG")) {
      supersede();
      return read_pairs(line, number, sketch_, [](SketchAtom& atom, int64_t value) {
        atom.charge = static_cast<int32_t>(std::clamp<int64_t>(value, -99, 99));
      });
    }
    if (line.starts_with("M  ISO")) {
      supersede();
      return read_pairs(line, number, sketch_, [](SketchAtom& atom, int64_t value) {
        atom.mass = static_cast<int32_t>(std::clamp<int64_t>(value, 0, 9999));
      });
    }
    if (line.starts_with("M  RAD")) {
      supersede();
      return std::nullopt;
    }
    if (line.starts_with("M  RGP")) {
      return read_pairs(line, number, sketch_, [this](SketchAtom& atom, int64_t value) {
        set_r_group(sketch_, atom, value);
      });
    }
    if (line.starts_with("M  ALS")) return read_atom_list(line, number, sketch_);
    return std::nullopt;
  }

 private:
  // The first CHG, ISO or RAD line replaces every charge of the atom block.
  void supersede() noexcept {
    if (superseded_) return;
    superseded_ = true;
    for (SketchAtom& atom : sketch_.atoms) atom.charge = 0;
  }

  Sketch& sketch_;
  bool superseded_ = false;
};

}  // namespace

CtabStatus read_v2000(LineViews lines, const CountsHeader& header, Sketch& sketch) {
  const size_t atoms = static_cast<size_t>(std::max<int64_t>(header.num_atoms, 0));
  const size_t bonds = static_cast<size_t>(std::max<int64_t>(header.num_bonds, 0));
  const size_t present = lines.size() - std::min(lines.size(), kFirstAtomPosition);
  if (present < atoms) return CtabError{CtabError::FewerLines{present, header.num_atoms, CtabSection::Atom}};
  if (present - atoms < bonds) {
    return CtabError{CtabError::FewerLines{present - atoms, header.num_bonds, CtabSection::Bond}};
  }
  sketch.atoms.reserve(atoms);
  size_t position = kFirstAtomPosition;
  for (size_t end = position + atoms; position < end; ++position) {
    if (CtabStatus status = read_atom(lines[position], position + 1, sketch)) return status;
  }
  sketch.bonds.reserve(bonds);
  for (size_t end = position + bonds; position < end; ++position) {
    if (CtabStatus status = read_bond(lines[position], position + 1, sketch)) return status;
  }
  PropertyReader properties(sketch);
  for (; position < lines.size() && !lines[position].starts_with("M  END"); ++position) {
    if (CtabStatus status = properties.read(lines[position], position + 1)) return status;
  }
  return std::nullopt;
}

}  // namespace molbrook::depict

// V3000: the root CTAB's ATOM and BOND sections, found and joined across
// continued lines by the connection table's own functions; each atom's
// type, coordinates and CHG=, MASS= and RGROUPS= fields, each bond's
// type, atoms and CFG=. Bonds name atoms by index, not position.
#include <algorithm>
#include <utility>

#include "core/ctable/unicode.hpp"
#include "core/depict/fields.hpp"
#include "core/depict/read_sketch.hpp"

namespace molbrook::depict {
namespace {

using AtomIndices = std::vector<std::pair<int64_t, uint32_t>>;

// The pieces of a V3000 line between White_Space runs, a quoted text or a
// parenthesised list (RGROUPS=(1 2)) staying one piece with its spaces.
class V3000Pieces {
 public:
  explicit V3000Pieces(std::string_view text) noexcept : text_(text) {}

  bool next(std::string_view& piece) noexcept {
    size_t at = position_;
    while (at < text_.size()) {
      const size_t space = white_space_length(text_, at);
      if (space == 0) break;
      at += space;
    }
    if (at == text_.size()) return false;
    const size_t start = at;
    int depth = 0;
    bool quoted = false;
    while (at < text_.size() && (quoted || depth > 0 || white_space_length(text_, at) == 0)) {
      const char byte = text_[at++];
      if (byte == '"') quoted = !quoted;
      if (!quoted) depth += byte == '(' ? 1 : byte == ')' ? -1 : 0;
    }
    piece = text_.substr(start, at - start);
    position_ = at;
    return true;
  }

 private:
  std::string_view text_;
  size_t position_ = 0;
};

// The value of a KEY=value piece, if the piece has that key (any case).
bool keyed_value(std::string_view piece, std::string_view key, std::string_view& value) noexcept {
  if (!begins_with_keyword(piece, key)) return false;
  value = piece.substr(key.size());
  return true;
}

std::string_view unquoted(std::string_view text) noexcept {
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') return text.substr(1, text.size() - 2);
  return text;
}

// RGROUPS=(count r1 r2 ...): the atom is labelled R and its groups, "R1,2".
void set_r_groups(Sketch& sketch, SketchAtom& atom, std::string_view list) {
  if (list.starts_with('(')) list.remove_prefix(1);
  if (list.ends_with(')')) list.remove_suffix(1);
  WhiteSpaceFields numbers(list);
  std::string_view number;
  if (!numbers.next(number)) return;  // the count
  const size_t start = sketch.labels.size();
  sketch.labels.push_back('R');
  for (bool first = true; numbers.next(number); first = false) {
    if (!first) sketch.labels.push_back(',');
    sketch.labels.append(number);
  }
  sketch.label_from(atom, start);
}

CtabStatus read_atom_options(V3000Pieces& pieces, size_t number, Sketch& sketch, SketchAtom& atom) {
  for (std::string_view piece, value; pieces.next(piece);) {
    if (keyed_value(piece, "CHG=", value)) {
      CtabResult<int64_t> charge = parse_int_field(value, "CHG", number);
      if (!charge) return std::move(charge.error());
      atom.charge = static_cast<int32_t>(std::clamp<int64_t>(*charge, -99, 99));
    } else if (keyed_value(piece, "MASS=", value)) {
      CtabResult<double> mass = number_field(value, "MASS", number);
      if (!mass) return std::move(mass.error());
      atom.mass = static_cast<int32_t>(std::clamp(*mass, 0.0, 9999.0));
    } else if (keyed_value(piece, "RGROUPS=", value)) {
      set_r_groups(sketch, atom, value);
    }
  }
  return std::nullopt;
}

CtabStatus read_atom(std::string_view text, size_t number, Sketch& sketch, AtomIndices& indices) {
  static constexpr std::string_view kNames[] = {"atom index", "atom index", "atom index", "atom type",
                                                "x coordinate", "y coordinate", "z coordinate"};
  std::string_view pieces[7];  // "M", "V30", index, type, x, y, z
  V3000Pieces fields(text);
  for (size_t i = 0; i < 7; ++i) {
    if (!fields.next(pieces[i])) return malformed(number, MalformedDetail::NoField{kNames[i]});
  }
  CtabResult<int64_t> index = parse_int_field(pieces[2], "atom index", number);
  if (!index) return std::move(index.error());
  SketchAtom atom;
  for (size_t axis = 0; axis < 3; ++axis) {
    CtabResult<double> value = number_field(pieces[4 + axis], kNames[4 + axis], number);
    if (!value) return std::move(value.error());
    (axis == 0 ? atom.x : axis == 1 ? atom.y : atom.z) = *value;
  }
  sketch.set_label(atom, unquoted(pieces[3]));
  fields.next(pieces[0]);  // the atom-atom mapping number
  if (CtabStatus status = read_atom_options(fields, number, sketch, atom)) return status;
  indices.emplace_back(*index, static_cast<uint32_t>(sketch.atoms.size()));
  sketch.atoms.push_back(atom);
  return std::nullopt;
}

// Atom positions by index: direct while the indices run 1, 2, 3, ...,
// else by a binary search of the sorted indices.
class AtomLookup {
 public:
  explicit AtomLookup(AtomIndices& indices) : indices_(indices) {
    for (size_t i = 0; i < indices.size() && sequential_; ++i) sequential_ = std::cmp_equal(indices[i].first, i + 1);
    if (!sequential_) std::sort(indices.begin(), indices.end());
  }

  CtabResult<uint32_t> find(std::string_view field, std::string_view name, size_t number) const {
    CtabResult<int64_t> index = parse_int_field(field, name, number);
    if (!index) return std::move(index.error());
    if (sequential_) {
      if (*index >= 1 && std::cmp_less_equal(*index, indices_.size())) return static_cast<uint32_t>(*index - 1);
      return malformed(number, MalformedDetail::UnknownBondAtom{*index});
    }
    auto found = std::lower_bound(indices_.begin(), indices_.end(), std::pair<int64_t, uint32_t>(*index, 0));
    if (found == indices_.end() || found->first != *index) {
      return malformed(number, MalformedDetail::UnknownBondAtom{*index});
    }
    if (found + 1 != indices_.end() && (found + 1)->first == *index) {
      return CtabError{CtabError::AmbiguousBondAtom{number, *index}};
    }
    return found->second;
  }

 private:
  AtomIndices& indices_;
  bool sequential_ = true;
};

BondKind bond_kind(std::string_view type) noexcept {
  if (type == "1") return BondKind::Single;
  if (type == "2") return BondKind::Double;
  if (type == "3") return BondKind::Triple;
  if (type == "4") return BondKind::Aromatic;
  return BondKind::Any;
}

CtabStatus read_bond(std::string_view text, size_t number, Sketch& sketch, const AtomLookup& lookup) {
  static constexpr std::string_view kNames[] = {"bond index", "bond index", "bond index", "bond type",
                                                "first bond atom", "second bond atom"};
  std::string_view pieces[6];  // "M", "V30", index, type, atom, atom
  V3000Pieces fields(text);
  for (size_t i = 0; i < 6; ++i) {
    if (!fields.next(pieces[i])) return malformed(number, MalformedDetail::NoField{kNames[i]});
  }
  CtabResult<uint32_t> first = lookup.find(pieces[4], kNames[4], number);
  if (!first) return std::move(first.error());
  CtabResult<uint32_t> second = lookup.find(pieces[5], kNames[5], number);
  if (!second) return std::move(second.error());
  BondStereo stereo = BondStereo::None;
  for (std::string_view piece, value; fields.next(piece);) {
    if (keyed_value(piece, "CFG=", value)) stereo = value == "1" ? BondStereo::Wedge
                                                    : value == "3" ? BondStereo::Hash
                                                                   : BondStereo::None;
  }
  sketch.bonds.push_back({*first, *second, bond_kind(pieces[3]), stereo});
  return std::nullopt;
}

}  // namespace

CtabStatus read_v3000(LineViews lines, Sketch& sketch, AtomIndices& atom_indices) {
  CtabResult<SectionRange> atoms = locate_section(lines, CtabSection::Atom);
  if (!atoms) return std::move(atoms.error());
  CtabResult<SectionRange> bonds = locate_section(lines, CtabSection::Bond);
  if (!bonds) return std::move(bonds.error());
  atom_indices.clear();
  LogicalLineViews atom_lines(lines, *atoms);
  for (LogicalLine line; atom_lines.next(line);) {
    if (CtabStatus status = read_atom(line.text, line.number, sketch, atom_indices)) return status;
  }
  const AtomLookup lookup(atom_indices);
  LogicalLineViews bond_lines(lines, *bonds);
  for (LogicalLine line; bond_lines.next(line);) {
    if (CtabStatus status = read_bond(line.text, line.number, sketch, lookup)) return status;
  }
  return std::nullopt;
}

}  // namespace molbrook::depict

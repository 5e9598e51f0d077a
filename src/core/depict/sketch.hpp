// What a depiction draws, read from a connection table: atoms with their
// coordinates and label parts, and bonds with their kind and stereo mark.
// Nothing is perceived or added; a sketch holds what the file says.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace molbrook::depict {

enum class BondKind : uint8_t { Single, Double, Triple, Aromatic, Any };
// As the file marks it: the narrow end of a wedge or hash is at the
// bond's first atom.
enum class BondStereo : uint8_t { None, Wedge, Hash };

struct SketchAtom {
  double x = 0;
  double y = 0;
  double z = 0;
  uint32_t label_start = 0;  // the symbol or query text, in Sketch::labels
  uint32_t label_size = 0;
  int32_t charge = 0;
  int32_t mass = 0;  // an isotope's mass number; 0 for none
  uint32_t degree = 0;  // bonds drawn to the atom
};

struct SketchBond {
  uint32_t first;  // atom positions, 0-based
  uint32_t second;
  BondKind kind;
  BondStereo stereo;
};

// Reused from block to block: clear() keeps the capacity, so drawing many
// blocks allocates only while the largest one grows the vectors.
struct Sketch {
  std::vector<SketchAtom> atoms;
  std::vector<SketchBond> bonds;
  std::string labels;

  void clear() noexcept {
    atoms.clear();
    bonds.clear();
    labels.clear();
  }

  std::string_view label(const SketchAtom& atom) const noexcept {
    return std::string_view(labels).substr(atom.label_start, atom.label_size);
  }

  // Makes `text` (or the text appended since `start`) the atom's label.
  void set_label(SketchAtom& atom, std::string_view text) {
    const size_t start = labels.size();
    labels.append(text);
    label_from(atom, start);
  }
  void label_from(SketchAtom& atom, size_t start) noexcept {
    atom.label_start = static_cast<uint32_t>(start);
    atom.label_size = static_cast<uint32_t>(labels.size() - start);
  }
};

}  // namespace molbrook::depict

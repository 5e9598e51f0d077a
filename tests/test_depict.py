"""Depictions: geometry against the connection table, the 3D projection,
placeholders, every corpus block, and escaping in the notebook and grid
output."""

import html
import itertools
import math
import os
import subprocess
import sys
import xml.etree.ElementTree as ET

import pytest

import molbrook
from conftest import CORPUS, corpus_params

SVG = "{http://www.w3.org/2000/svg}"
MINUS = "\u2212"

# N+ - C = C - O- # Cl, with a wedge from atom 2 to a 13C. Coordinates in
# angstroms; atom 2 and 3 are the only unlabelled atoms.
ATOMS = [("N", 0.0, 0.0, 1, 0), ("C", 1.5, 0.0, 0, 0), ("C", 2.25, 1.3, 0, 0), ("O", 3.75, 1.3, -1, 0),
         ("C", 1.5, -1.5, 0, 13), ("Cl", 4.5, 0.0, 0, 0)]
BONDS = [(1, 2, 1, 0), (2, 3, 2, 0), (3, 4, 1, 0), (4, 6, 3, 0), (2, 5, 1, 1)]  # first, second, type, stereo
LINES_PER_TYPE = {1: 1, 2: 2, 3: 3}


def v2000(atoms, bonds, props=()):
    lines = ["title", "  test", "", f"{len(atoms):3d}{len(bonds):3d}  0  0  0  0  0  0  0  0999 V2000"]
    lines += [f"{x:10.4f}{y:10.4f}{z:10.4f} {sym:<3} 0  0  0  0  0  0  0  0  0  0  0  0"
              for sym, x, y, z in atoms]
    lines += [f"{a:3d}{b:3d}{t:3d}{s:3d}" for a, b, t, s in bonds]
    return "\n".join([*lines, *props, "M  END", "$$$$", ""])


def v3000(atoms, bonds):
    lines = ["title", "  test", "", "  0  0  0     0  0            999 V3000", "M  V30 BEGIN CTAB",
             f"M  V30 COUNTS {len(atoms)} {len(bonds)} 0 0 0", "M  V30 BEGIN ATOM"]
    lines += [f"M  V30 {i} {sym} {x} {y} 0 0" + (f" CHG={chg}" if chg else "") + (f" MASS={iso}" if iso else "")
              for i, (sym, x, y, chg, iso) in enumerate(atoms, 1)]
    lines += ["M  V30 END ATOM", "M  V30 BEGIN BOND"]
    lines += [f"M  V30 {i} {t} {a} {b}" + (" CFG=1" if s else "") for i, (a, b, t, s) in enumerate(bonds, 1)]
    return "\n".join([*lines, "M  V30 END BOND", "M  V30 END CTAB", "M  END", "$$$$", ""])


def example(fmt):
    if fmt == "V3000":
        return v3000(ATOMS, BONDS)
    charges = [(i, c) for i, (_, _, _, c, _) in enumerate(ATOMS, 1) if c]
    isotopes = [(i, m) for i, (_, _, _, _, m) in enumerate(ATOMS, 1) if m]
    props = [f"M  CHG{len(charges):3d}" + "".join(f" {i:3d} {c:3d}" for i, c in charges),
             f"M  ISO{len(isotopes):3d}" + "".join(f" {i:3d} {m:3d}" for i, m in isotopes)]
    return v2000([(s, x, y, 0.0) for s, x, y, _, _ in ATOMS], BONDS, props)


def parse(svg):
    return ET.fromstring(svg)


def labels(root):
    """(x, y, text, superscripts) of every atom label."""
    found = []
    for text in root.iter(f"{SVG}text"):
        supers = [t.text for t in text.iter(f"{SVG}tspan") if float(t.get("dy", "0")) < 0]
        found.append((float(text.get("x")), float(text.get("y")), "".join(text.itertext()), supers))
    return found


def lines(root):
    return [tuple(float(line.get(k)) for k in ("x1", "y1", "x2", "y2")) for line in root.iter(f"{SVG}line")]


def distance_to_segment(p, a, b):
    ax, ay, bx, by = *a, *b
    t = max(0.0, min(1.0, ((p[0] - ax) * (bx - ax) + (p[1] - ay) * (by - ay)) / ((bx - ax) ** 2 + (by - ay) ** 2)))
    return math.dist(p, (ax + t * (bx - ax), ay + t * (by - ay)))


@pytest.mark.parametrize("fmt", ["V2000", "V3000"])
def test_geometry_follows_the_table(fmt):
    root = parse(molbrook.SDBlock(example(fmt)).depict(300, 200))
    found = {text: (x, y, supers) for x, y, text, supers in labels(root)}
    assert found.keys() == {"N+", f"O{MINUS}", "13C", "Cl"}
    assert found["N+"][2] == ["+"] and found[f"O{MINUS}"][2] == [MINUS] and found["13C"][2] == ["13"]
    assert found["Cl"][2] == []
    # One scale on both axes, y pointing down: fitted on N and Cl, checked on O.
    (nx, ny, _), (clx, cly, _) = found["N+"], found["Cl"]
    scale = (clx - nx) / 4.5
    assert scale > 0 and cly == pytest.approx(ny, abs=0.1)
    place = [(nx + scale * x, ny - scale * y) for _, x, y, _, _ in ATOMS]
    assert found[f"O{MINUS}"][:2] == pytest.approx(place[3], abs=0.15)

    drawn = lines(root)
    gap = 0.2 * scale * 1.5 + 0.2
    for first, second, kind, stereo in BONDS:
        a, b = place[first - 1], place[second - 1]
        mine = [line for line in drawn if max(distance_to_segment(line[:2], a, b),
                                               distance_to_segment(line[2:], a, b)) <= gap]
        assert len(mine) == (0 if stereo else LINES_PER_TYPE[kind]), (first, second)
    assert len(drawn) == sum(LINES_PER_TYPE[k] for _, _, k, s in BONDS if not s)

    (wedge,) = root.iter(f"{SVG}polygon")
    tip, *base = [tuple(map(float, point.split(","))) for point in wedge.get("points").split()]
    assert tip == pytest.approx(place[1], abs=0.15)  # the stereo atom, unlabelled
    middle = ((base[0][0] + base[1][0]) / 2, (base[0][1] + base[1][1]) / 2)
    assert distance_to_segment(middle, place[1], place[4]) < 0.2
    assert math.dist(middle, place[4]) < math.dist(middle, place[1])


@pytest.mark.parametrize("turn", [(0.3, 0.2), (1.1, -0.7), (2.0, 1.4)])
def test_projection_keeps_the_order_of_distances_in_the_plane(turn):
    flat = [(0.0, 0.0), (1.4, 0.1), (2.1, 1.3), (1.3, 2.5), (-0.2, 2.2), (3.6, 1.2), (-1.3, -0.9)]
    a, b = turn
    rotation = [[math.cos(a), -math.sin(a) * math.cos(b), math.sin(a) * math.sin(b)],
                [math.sin(a), math.cos(a) * math.cos(b), -math.cos(a) * math.sin(b)],
                [0.0, math.sin(b), math.cos(b)]]
    atoms = []
    for i, (x, y) in enumerate(flat):
        z = 0.05 * (-1) ** i  # planar-ish
        atoms.append(("N", *(sum(r * c for r, c in zip(row, (x, y, z))) for row in rotation)))
    root = parse(molbrook.SDBlock(v2000(atoms, [])).depict(400, 400))
    drawn = [(x, y) for x, y, _, _ in labels(root)]
    assert len(drawn) == len(flat)
    pairs = list(itertools.combinations(range(len(flat)), 2))
    before = sorted(pairs, key=lambda p: math.dist(flat[p[0]], flat[p[1]]))
    after = sorted(pairs, key=lambda p: math.dist(drawn[p[0]], drawn[p[1]]))
    assert before == after


def test_double_bond_second_line_goes_inside_the_ring():
    hexagon = [("C", math.cos(k * math.pi / 3), math.sin(k * math.pi / 3), 0.0) for k in range(6)]
    bonds = [(k + 1, (k + 1) % 6 + 1, 2 if k % 2 == 0 else 1, 0) for k in range(6)]
    root = parse(molbrook.SDBlock(v2000(hexagon, bonds)).depict(300, 300))
    centre = (150, 150)
    drawn = sorted(lines(root), key=lambda l: math.dist(centre, ((l[0] + l[2]) / 2, (l[1] + l[3]) / 2)))
    assert len(drawn) == 9
    inner = drawn[:3]  # the three offset lines lie nearest the centre, and are shorter
    assert all(math.dist(l[:2], l[2:]) < min(math.dist(o[:2], o[2:]) for o in drawn[3:]) for l in inner)


@pytest.mark.parametrize("text, problem", [
    (v2000([], []), "no atoms"),
    (v2000([("C", 0, 0, 0), ("O", 0, 0, 0)], [(1, 2, 1, 0)]), "no coordinates"),
    (v2000([("C", 0, 0, 0), ("O", 1, 0, 0)], [(1, 9, 1, 0)]), "bond atom 9 is not an atom index"),
    (v2000([("C", 0, 0, 0)], []).replace("    0.0000", "       abc", 1), "x coordinate abc is not a number"),
    (v2000([("C", 0, 0, 0)], [(1, 1, 1, 0)]).replace("  1  1  1  0\n", "", 1), "fewer bond lines (0)"),
    (v3000([("C", 0, 0, 0, 0)], []).replace("M  V30 END ATOM\n", ""), "has no M  V30 END ATOM line"),
    ("t\n\n\n  0  0  0  0  0  0            999 V9000\nM  END\n$$$$\n", "format V9000 is not V2000 or V3000"),
    ("t\n> <a>\n1\n\n$$$$\n", "no connection table"),
])
def test_placeholders_name_the_problem(text, problem):
    root = parse(molbrook.SDBlock(text).depict(200, 100))
    assert root.get("width") == "200" and root.get("height") == "100"
    assert not lines(root)
    assert problem in "".join(root.itertext())


def test_single_atom_at_the_origin_is_drawn():
    assert labels(parse(molbrook.SDBlock(v2000([("Na", 0, 0, 0)], [])).depict()))[0][2] == "Na"


def test_arguments():
    block = molbrook.SDBlock(example("V2000"))
    assert not labels(parse(block.depict(labels=False)))
    assert block._repr_svg_() == block.depict()
    for bad in ({"width": 0}, {"height": 10**6}):
        with pytest.raises(ValueError, match="pixels"):
            block.depict(**bad)
    with pytest.raises(TypeError):
        block.depict(labels=1)


HOSTILE = ['<script>alert(1)</script>', '"><img src=x onerror=alert(1)>', "a & b < c", "\x01\x7f'"]


@pytest.mark.parametrize("hostile", HOSTILE)
def test_hostile_text_is_escaped(hostile, tmp_path):
    atom = hostile.replace("\n", "")[:3]
    text = v2000([(atom, 0, 0, 0), ("C", 1.5, 0, 0)], [(1, 2, 1, 0)]).replace("title", hostile, 1)
    block = molbrook.SDBlock(text, records=[("ID", hostile), (hostile, "v")])
    svg = block.depict()
    parse(svg)
    for shown in (block._repr_html_(), molbrook.grid([block], names=["ID", hostile])._repr_html_()):
        assert "<script" not in shown and "<img" not in shown and "\x01" not in shown
        assert html.escape(hostile.replace("\x01", "\ufffd")) in shown
    grid = molbrook.grid([block, block], names=["ID"])
    grid.save(tmp_path / "g.svg")
    root = parse((tmp_path / "g.svg").read_text("utf-8"))
    assert [g.get("data-ordinal") for g in root.iter(f"{SVG}g") if g.get("data-ordinal")] == ["0", "1"]
    grid.save(tmp_path / "g.html")
    page = (tmp_path / "g.html").read_text("utf-8")
    assert page.count('data-ordinal="') == 2 and "<script" not in page


def test_bytes_blocks_decode_labels_as_latin1():
    block = molbrook.SDBlock(v2000([("\xe9", 0, 0, 0)], []).encode("latin-1"))
    assert labels(parse(block.depict()))[0][2] == "\xe9"


def test_grid_checks_its_arguments(tmp_path):
    block = molbrook.SDBlock(example("V2000"), records=[("MW", "1")])
    with pytest.raises(ValueError, match="did you mean 'MW'"):
        molbrook.grid([block], names=["mw"])
    with pytest.raises(ValueError, match="html or .svg"):
        molbrook.grid([block]).save(tmp_path / "g.png")
    assert not (tmp_path / "g.png").exists()


def test_record_table_html_shows_the_first_rows_escaped():
    blocks = [molbrook.SDBlock(example("V2000"), records=[("ID", f"<b>{i}</b>")]) for i in range(12)]
    shown = molbrook.read_table(blocks)._repr_html_()
    assert shown.count("<tr") == 1 + 10 + 1  # header, ten rows, the ellipsis row
    assert "&lt;b&gt;0&lt;/b&gt;" in shown and "<b>" not in shown and "12 rows" in shown


@pytest.mark.parametrize("path", corpus_params())
def test_every_corpus_block_depicts_as_xml(path):
    for source in (os.fsencode(path), str(path)):
        for block in molbrook.parse_sdf(source):
            parse(block.depict(120, 90))


def test_depict_command(tmp_path):
    copy = tmp_path / "cdk2.sdf"
    copy.write_bytes((CORPUS / "rdkit-data" / "cdk2.sdf").read_bytes())
    run = [sys.executable, "-m", "molbrook", "depict"]
    # The package the tests import, in place or installed.
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(
        os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p)}
    done = subprocess.run([*run, str(copy), "3", "0:2", "-f", "id", "-o", str(tmp_path / "g.html")],
                          env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    page = (tmp_path / "g.html").read_text()
    assert [int(n) for n in page.split('data-ordinal="')[1:] for n in [n.split('"')[0]]] == [3, 0, 1]
    done = subprocess.run([*run, str(copy), "-n", "2", "-f", "ID", "-o", str(tmp_path / "h.svg")],
                          env=env, capture_output=True, text=True)
    assert done.returncode == 2 and "did you mean 'id'" in done.stderr
    assert not (tmp_path / "h.svg").exists()

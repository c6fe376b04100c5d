"""The native shortcuts give exactly what the general path gives: placement
products composed natively, per-layer trees reusing products, placement arrays
read straight from KLayout transformations."""

import itertools
import types

import klayout.db as kdb
import numpy as np
import pytest

import tessarand.core.show3d as show3d
from conftest import make_layout, walk
from tessarand.core.show3d import KTrans, Output, ParseGDS

ORIENTATIONS = [kdb.Trans(rot, mirror, x, y)
                for (rot, mirror), (x, y) in zip(itertools.product(range(4), (False, True)),
                                                 [(0, 0), (100, -7), (-2500, 40), (3, 3)] * 2)]


class GeneralKTrans(KTrans):
    """A subclass: the module composes its products through KLayout itself."""

    @staticmethod
    def multiply(parent_trans, trans):
        return KTrans.multiply(parent_trans, trans)


class OwnMatrixKTrans(KTrans):
    """Same numbers, computed by the object itself: the general array path."""

    def trans_matrix(self):
        return super().trans_matrix()


def test_products_equal_klayout_for_every_orientation_pair():
    products = KTrans.multiply([KTrans(t) for t in ORIENTATIONS], [KTrans(t) for t in ORIENTATIONS])
    assert [k.trans for k in products] == [p * t for t in ORIENTATIONS for p in ORIENTATIONS]


def nested_layout():
    """Three levels, every orientation, arrays, and shapes on two layers."""
    array = (kdb.Vector(300, 0), kdb.Vector(0, 200), 3, 2)
    return make_layout({"leaf": {(1, 0): [(0, 0, 100, 50)], (2, 0): [(0, 0, 100, 50)]}, "middle": {}, "top": {}},
                       [("middle", "leaf", t) for t in ORIENTATIONS[:5]] + [("middle", "leaf", ORIENTATIONS[5], *array)]
                       + [("top", "middle", t) for t in ORIENTATIONS[3:]]
                       + [("top", "leaf", kdb.ICplxTrans(1.5, 30.0, True, 10, 20)),
                          ("top", "leaf", kdb.ICplxTrans(0.4, 85.0, False, 10, -20))])


def exported(table, output):
    parser = ParseGDS(nested_layout(), table)
    parser.export_cells() if output == Output.CELL else parser.export_layers()
    return parser


def trees(parser, output):
    if output == Output.CELL:
        return parser.parsed_cells.cells
    return [t for d in parser.parsed_layers.layers for t in d.values()]


def placements(tree):
    """(name, number of children, to_dict of each placement) for every reference of a tree, depth first."""
    return [(n.name, len(n.references), [k.to_dict() for k in n.trans]) for n in walk(tree) if hasattr(n, "trans")]


@pytest.mark.parametrize("output", [Output.CELL, Output.LAYER])
def test_combination_equals_the_general_path(table, monkeypatch, output):
    fast = exported(table, output)
    monkeypatch.setattr(show3d, "KTrans", GeneralKTrans)
    general = exported(table, output)
    if output == Output.LAYER:
        assert [list(a) for a in fast.parsed_layers.layers] == [list(b) for b in general.parsed_layers.layers]
    pairs = list(zip(trees(fast, output), trees(general, output), strict=True))
    assert len(pairs) == (1 if output == Output.CELL else 2)
    assert all(placements(a) == placements(b) for a, b in pairs)


@pytest.mark.parametrize("output", [Output.CELL, Output.LAYER])
def test_placement_arrays_equal_the_general_path(table, output):
    fast, slow = exported(table, output), exported(table, output)
    for tree in trees(slow, output):
        for node in walk(tree):
            if hasattr(node, "trans"):
                node.trans = [OwnMatrixKTrans(k.trans) for k in node.trans]

    def arrays(scene):
        return [(node.id, node.shape.matrices) for node in walk(scene) if hasattr(node, "shape")]

    found = list(zip(arrays(fast.to_viewer(output)), arrays(slow.to_viewer(output)), strict=True))
    assert len(found) == 4
    for (id_a, a), (id_b, b) in found:
        assert id_a == id_b and a.dtype == np.float32 and a.tobytes() == b.tobytes()


def test_layer_trees_and_leaves_get_their_own_lists_and_arrays(table):
    """The per-layer trees of one top cell: the second gets new lists of the products made for the first."""
    first, second = exported(table, Output.LAYER).parsed_layers.layers[0].values()
    pairs = [(a, b) for a, b in zip(walk(first), walk(second), strict=True) if hasattr(a, "trans")]
    assert [(a.name, len(a.trans)) for a, _ in pairs] == [("middle", 5), ("leaf", 55), ("leaf", 2)]
    for a, b in pairs:
        assert a.trans is not b.trans and all(x is y for x, y in zip(a.trans, b.trans, strict=True))
    scene = exported(table, Output.CELL).to_viewer(Output.CELL)
    first, second = (part.shape.matrices for part in scene.parts[0].parts[0].parts[0].parts)  # top/middle/leaf
    assert first is not second and first.tobytes() == second.tobytes()


class Texted(kdb.Trans):
    """A simple transformation with a given text form: native products read the text form of the
    module's kdb.Trans type."""

    text = None

    def to_s(self, *args):
        return super().to_s(*args) if self.text is None else self.text


READABLE = ["r0 0,0", "r90 100,200", "r180 -5,7", "r270 0,-1", "m0 3,3", "m45 -3,0", "m90 1,-1", "m135 -20,45"]
UNREADABLE = ["", "r", "r90", "r90 1,", "r90 ,2", "x90 1,2", "R90 1,2", "r45 1,2", "r360 1,2", "m180 0,0",
              "r9x 1,2", "r90,1,2", "r90 1,2 ", "r90 1;2", "r90  1,2", "r90 1,2,3"]
GENERAL = kdb.Trans(0, False, 14, 14)  # the product of the numbers behind every text: KLayout's arithmetic


def texted_kdb(monkeypatch):
    """The module's kdb with Texted as its simple transformation type."""
    kinds = {name: getattr(kdb, name) for name in ("ICplxTrans", "DCplxTrans", "CplxTrans", "VCplxTrans")}
    monkeypatch.setattr(show3d, "kdb", types.SimpleNamespace(Trans=Texted, **kinds))


@pytest.mark.parametrize("parent, child, product", [
    *[(p, c, kdb.Trans.from_s(p) * kdb.Trans.from_s(c)) for p, c in zip(READABLE, READABLE[::-1])],
    *[(text, "r90 1,2", GENERAL) for text in UNREADABLE],
    ("r0 2147483646,0", "r0 1,0", kdb.Trans(0, False, 2147483647, 0)),
    ("m0 0,-2147483646", "r0 0,1", kdb.Trans(0, True, 0, -2147483647)),
    ("r0 2147483647,0", "r0 1,0", GENERAL),  # beyond KLayout's coordinates
    ("r0 0,-2147483647", "r0 0,-1", GENERAL),
])
def test_combination_products_from_the_text_form_of_simple_placements(table, monkeypatch, parent, child, product):
    texted_kdb(monkeypatch)
    sides = [Texted(0, False, 7, 7), Texted(0, False, 7, 7)]
    sides[0].text, sides[1].text = parent, child
    inner = show3d.Reference(9, "C", trans=[KTrans(sides[1])], trans_count=1)
    outer = show3d.Reference(7, "B", trans=[KTrans(sides[0])], trans_count=1, references=[inner])
    p = ParseGDS(kdb.Layout(), table)
    p.parsed_cells = show3d.ParsedCells([], {}, [show3d.Cell(0, "T", references=[outer])])
    p.combine_references(Output.CELL)
    (result,) = inner.trans
    assert type(result.trans) is (kdb.Trans if product is GENERAL else Texted) and result.trans == product


@pytest.mark.parametrize("text", READABLE + UNREADABLE + [None])
@pytest.mark.parametrize("mode", [Output.CELL, Output.LAYER])
def test_placement_arrays_from_the_text_form_of_simple_placements(table, monkeypatch, mode, text):
    parser = exported(table, mode)
    texted_kdb(monkeypatch)
    if text is None:  # neither a simple nor a complex transformation: its own numbers
        placement, expected = KTrans(kdb.DTrans(1, True, 0.5, 2.0)), kdb.DTrans(1, True, 0.5, 2.0)
    else:
        placement, expected = KTrans(Texted(0, False, 7, 7)), kdb.Trans(0, False, 7, 7)
        placement.trans.text = text
        expected = kdb.Trans.from_s(text) if text in READABLE else expected
    for tree in trees(parser, mode):
        for node in walk(tree):
            if hasattr(node, "trans"):
                node.trans = [placement]
    shapes = [node.shape for node in walk(parser.to_viewer(mode)) if getattr(node, "shape", None) is not None]
    matrices = [shape.matrices for shape in shapes if shape.matrices.size]
    expected = np.array(KTrans(expected).trans_matrix(), dtype="float32").tobytes()
    assert len(matrices) == 4 and all(m.tobytes() == expected for m in matrices)


@pytest.mark.parametrize("where", ["class", "objects", "objects' text form"])
@pytest.mark.parametrize("mode", [Output.CELL, Output.LAYER])
def test_a_replaced_binary_form_of_transformations_is_not_read(table, monkeypatch, mode, where):
    """KLayout's own binary form is read where it is KLayout's; a replacement that
    lies, on the class or on the objects, changes no placement, in the combination
    or in the arrays."""
    def matrices(parser):
        return [node.shape.matrices.tobytes() for node in walk(parser.to_viewer(mode))
                if getattr(node, "shape", None) is not None]

    before = matrices(exported(table, mode))
    lie = kdb.Trans(0, False, 1, 1).to_bytes()
    if where == "class":
        monkeypatch.setattr(kdb.Trans, "to_bytes", lambda self: lie)
        parser = exported(table, mode)
    else:
        if where == "objects' text form":  # the class's binary form is not KLayout's: the text form is read
            monkeypatch.setattr(kdb.Trans, "to_bytes", lambda self: lie)
        parser = exported(table, mode)
        for tree in trees(parser, mode):
            for node in walk(tree):
                for placement in getattr(node, "trans", ()):
                    placement.trans.to_bytes = lambda: lie
                    placement.trans.to_s = lambda *args: "r0 1,1"
    assert matrices(parser) == before and len(before) == 4

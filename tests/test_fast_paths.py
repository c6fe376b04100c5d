"""The native shortcuts give exactly what the general path gives: placement
products composed natively, per-layer trees reusing products, placement arrays
read straight from KLayout transformations."""

import itertools

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
    first, second = exported(table, Output.LAYER).parsed_layers.layers[0].values()
    for a, b in zip(first.references, second.references, strict=True):
        assert a.trans is not b.trans and [k.to_dict() for k in a.trans] == [k.to_dict() for k in b.trans]
    scene = exported(table, Output.CELL).to_viewer(Output.CELL)
    first, second = (part.shape.matrices for part in scene.parts[0].parts[0].parts[0].parts)  # top/middle/leaf
    assert first is not second and first.tobytes() == second.tobytes()

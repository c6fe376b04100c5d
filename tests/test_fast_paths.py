"""The native shortcuts give exactly what the general path gives: placement
products composed natively, per-layer trees reusing products, placement arrays
read straight from KLayout transformations."""

import itertools

import klayout.db as kdb
import numpy as np
import pytest

import tessarand.core.show3d as show3d
from tessarand.core.show3d import KTrans, Output, ParseGDS

ORIENTATIONS = [kdb.Trans(rot, mirror, x, y)
                for (rot, mirror), (x, y) in zip(itertools.product(range(4), (False, True)),
                                                 [(0, 0), (100, -7), (-2500, 40), (3, 3)] * 2)]


class GeneralKTrans(KTrans):
    """A subclass: the module composes its products through KLayout itself."""

    @staticmethod
    def multiply(parent_trans, trans):
        return KTrans.multiply(parent_trans, trans)


def test_products_equal_klayout_for_every_orientation_pair():
    parents = [KTrans(t) for t in ORIENTATIONS]
    children = [KTrans(t) for t in ORIENTATIONS]
    products = KTrans.multiply(parents, children)
    expected = [p * t for t in ORIENTATIONS for p in ORIENTATIONS]
    assert [k.trans for k in products] == expected


def nested_layout():
    """Three levels, every orientation, arrays, and shapes on two layers."""
    layout = kdb.Layout()
    leaf, middle, top = (layout.create_cell(name) for name in ("leaf", "middle", "top"))
    for layer in (layout.layer(1, 0), layout.layer(2, 0)):
        leaf.shapes(layer).insert(kdb.Box(0, 0, 100, 50))
    for trans in ORIENTATIONS[:5]:
        middle.insert(kdb.CellInstArray(leaf.cell_index(), trans))
    middle.insert(kdb.CellInstArray(leaf.cell_index(), ORIENTATIONS[5], kdb.Vector(300, 0),
                                    kdb.Vector(0, 200), 3, 2))
    for trans in ORIENTATIONS[3:]:
        top.insert(kdb.CellInstArray(middle.cell_index(), trans))
    top.insert(kdb.CellInstArray(leaf.cell_index(), kdb.ICplxTrans(1.5, 30.0, True, 10, 20)))
    return layout


def placements(tree):
    """(path, to_dict of each placement) for every reference of a tree."""
    found = []

    def walk(cell, path):
        for reference in cell.references:
            where = path + (reference.name,)
            found.append((where, [k.to_dict() for k in reference.trans]))
            walk(reference, where)

    walk(tree, ())
    return found


@pytest.mark.parametrize("output", [Output.CELL, Output.LAYER])
def test_combination_equals_the_general_path(table, monkeypatch, output):
    layout = nested_layout()
    fast = ParseGDS(layout, table)
    fast.export_cells() if output == Output.CELL else fast.export_layers()
    monkeypatch.setattr(show3d, "KTrans", GeneralKTrans)
    general = ParseGDS(layout, table)
    general.export_cells() if output == Output.CELL else general.export_layers()
    if output == Output.CELL:
        pairs = zip(fast.parsed_cells.cells, general.parsed_cells.cells)
    else:
        pairs = [(a[key], b[key]) for a, b in zip(fast.parsed_layers.layers, general.parsed_layers.layers)
                 for key in a]
        assert [list(a) for a in fast.parsed_layers.layers] == [list(b) for b in general.parsed_layers.layers]
    for a, b in pairs:
        assert placements(a) == placements(b)


def test_layer_trees_get_their_own_placement_lists(table):
    parser = ParseGDS(nested_layout(), table)
    parser.export_layers()
    first, second = parser.parsed_layers.layers[0].values()
    for a, b in zip(first.references, second.references):
        assert a.trans is not b.trans
        assert [k.to_dict() for k in a.trans] == [k.to_dict() for k in b.trans]


class OwnMatrixKTrans(KTrans):
    """Same numbers, computed by the object itself: the general array path."""

    def trans_matrix(self):
        return super().trans_matrix()


@pytest.mark.parametrize("output", [Output.CELL, Output.LAYER])
def test_placement_arrays_equal_the_general_path(table, output):
    layout = nested_layout()
    fast = ParseGDS(layout, table)
    fast.export_cells() if output == Output.CELL else fast.export_layers()
    slow = ParseGDS(layout, table)
    slow.export_cells() if output == Output.CELL else slow.export_layers()

    def rewrap(cell):
        for reference in cell.references:
            reference.trans = [OwnMatrixKTrans(k.trans) for k in reference.trans]
            rewrap(reference)

    trees = (slow.parsed_cells.cells if output == Output.CELL
             else [t for d in slow.parsed_layers.layers for t in d.values()])
    for tree in trees:
        rewrap(tree)

    def arrays(scene):
        found = []

        def walk(node):
            if hasattr(node, "shape"):
                found.append((node.id, node.shape.matrices))
            for child in getattr(node, "parts", []):
                walk(child)

        walk(scene)
        return found

    for (id_a, a), (id_b, b) in zip(arrays(fast.to_viewer(output)), arrays(slow.to_viewer(output)), strict=True):
        assert id_a == id_b
        assert a.dtype == np.float32 and a.tobytes() == b.tobytes()


def test_leaves_of_one_reference_get_distinct_arrays(table):
    parser = ParseGDS(nested_layout(), table)
    parser.export_cells()
    scene = parser.to_viewer(Output.CELL)
    leaf_node = scene.parts[0].parts[0].parts[0]  # top/middle/leaf
    first, second = (part.shape.matrices for part in leaf_node.parts)
    assert first is not second and first.tobytes() == second.tobytes()

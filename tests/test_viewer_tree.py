"""Viewer trees from ParseGDS.to_viewer: cell mode, layer mode, exclusions, arrays."""

import klayout.db as kdb
import numpy as np
import pytest

import tessarand.core.show3d as show3d
from conftest import make_layout, snap, walk
from tessarand.core.show3d import KTrans, Output, ParseGDS, PdkLayer

WG, MET1, MET2 = "WG (1, 0)", "Metal1 (2, 0)", "METAL2 (3, 0)"
TABLE = {(1, 0): PdkLayer("WG", 0.22, 0.5, "#ff80a8"), (2, 0): PdkLayer("Metal1", 0.4, 2.0, "#3471eb"),
         (3, 0): PdkLayer("METAL2", 0.5, 3.0, "#ebc634")}
MODES = [Output.CELL, Output.LAYER]
T_M = [kdb.Trans(0, False, 100, 200), kdb.Trans(1, False, 5000, 0)]


def f32(values):
    return np.array(values, dtype="float32").flatten()


def bits(array):  # exact float32 content: -0.0 and 0.0 differ
    assert type(array) is np.ndarray and array.dtype == np.float32 and array.ndim == 1
    return array.tobytes()


def exported(cells, places=(), mode=Output.CELL, cls=ParseGDS, combine=True, **kwargs):
    parser = cls(make_layout(cells, places), TABLE, curve_tolerance=None, **kwargs)
    (parser.export_cells if mode == Output.CELL else parser.export_layers)(combine=combine)
    return parser


def tm_parser(mode, **kwargs):  # top cell T (WG) placing M (WG) twice
    return exported({"T": {(1, 0): [(0, 0, 1000, 500)]}, "M": {(1, 0): [(0, 0, 200, 300)]}},
                    [("T", "M", t) for t in T_M], mode, **kwargs)


def ids(tree):
    return [n.id for n in walk(tree)]


def leaves(tree):
    return [n for n in walk(tree) if type(n) is show3d.Part]


def top_tree(parser, mode):  # the parser's record of the first top cell (on WG in layer mode)
    if mode == Output.CELL:
        return parser.parsed_cells.cells[0]
    return parser.parsed_layers.layers[0][str(parser.reverse_layer_map[(1, 0)])]


@pytest.mark.parametrize("mode, z_scale, expected", [
    (Output.CELL, 1.0, [("/Cells", "Cells"), ("/Cells/T", "T"), (f"/Cells/T/{WG}", WG), ("/Cells/T/M", "M"),
                        (f"/Cells/T/M/{WG}", WG)]),
    (Output.LAYER, 2, [("/Layers", "Layers"), (f"/Layers/{WG}", WG), (f"/Layers/{WG}/T", "T"),
                       (f"/Layers/{WG}/T/components", "components"), (f"/Layers/{WG}/T/M", "M"),
                       (f"/Layers/{WG}/T/M/components", "components")])])
def test_tree_of_top_cell_with_placed_cell(mode, z_scale, expected):
    root = tm_parser(mode, z_scale=z_scale).to_viewer(mode)
    assert type(root) is show3d.ViewerData and [(n.id, n.name) for n in walk(root)] == expected
    assert [type(n).__name__ for n in walk(root)][-3:] == ["Part", "Parts", "Part"] and root.format == "GDS"
    own, placed = leaves(root)
    assert bits(own.shape.matrices) == b""
    assert bits(placed.shape.matrices) == f32([KTrans(t).trans_matrix() for t in T_M]).tobytes()
    for leaf in (own, placed):
        assert (leaf.color, leaf.shape.height, leaf.renderback, leaf.state, leaf.type, leaf.subtype) == (
            "#ff80a8", z_scale * 0.22, False, (1, 1), "polygon", "solid")
        assert leaf.loc == ((0, 0, z_scale * 0.5), (0, 0, 0, 1))
        assert [type(v) for v in leaf.loc[0] + leaf.loc[1]] == [int, int, float, int, int, int, int]
    for node in [n for n in walk(root) if type(n) is not show3d.Part]:  # containers keep float defaults
        assert snap(node.loc) == snap(((0.0, 0.0, 0.0), (0.0, 0.0, 0.0, 1.0)))


@pytest.mark.parametrize("patterns, shown", [
    ([], [WG, MET1, MET2]), (["m*"], [WG]), (["M*"], [WG]), (["metal?*"], [WG]), (["[!w]*"], [WG]),
    (["metal1"], [WG, MET1, MET2]), (["wg"], [WG, MET1, MET2]),  # without wildcards the whole name must match
    (["METAL1 (2, 0)"], [WG, MET2]), (["*2, 0)"], [WG, MET2]), (["zz", "wg (1, 0)"], [MET1, MET2])])
def test_excluded_layers(patterns, shown):
    def tree(mode):  # T on WG, Metal1, METAL2; M (Metal1 only) placed in T
        return exported({"T": {(1, 0): [(0, 0, 10, 10)], (2, 0): [(0, 0, 20, 20)], (3, 0): [(0, 0, 30, 30)]},
                         "M": {(2, 0): [(0, 0, 40, 40)]}}, [("T", "M", kdb.Trans())], mode,
                        exclude_layers=list(patterns)).to_viewer(mode)

    cells, layers = tree(Output.CELL), tree(Output.LAYER)
    assert [n.name for n in cells.parts[0].parts] == shown + (["M"] if MET1 in shown else [])
    assert [n.name for n in layers.parts] == shown
    assert len(cells.instances) == len(layers.instances) == 4  # the polygon table stays complete


def test_nodes_without_leaves_dropped_in_cell_mode_kept_in_layer_mode():
    parser = ParseGDS(make_layout({"T": {(1, 0): [(0, 0, 10, 10)]}}), TABLE, curve_tolerance=None)
    key = str(parser.reverse_layer_map[(1, 0)])
    parser.instances.append([(0.0, 0.0), (0.0, 1.0), (1.0, 1.0)])

    def tree():
        return show3d.Cell(0, "T", references=[
            show3d.Reference(1, "E", trans_count=1, trans=[KTrans(kdb.Trans())]),
            show3d.Reference(2, "F", polygons={key: [0]}, trans_count=1, trans=[KTrans(kdb.Trans(0, False, 9, 0))])])

    parser.parsed_cells = show3d.ParsedCells(parser.instances, parser.layer_map, [tree(), show3d.Cell(3, "Bare")])
    parser.parsed_layers = show3d.ParsedLayers(parser.instances, parser.layer_map, [{key: tree()}])
    parser.cell_combined = parser.layer_combined = True
    assert ids(parser.to_viewer(Output.CELL)) == ["/Cells", "/Cells/T", "/Cells/T/F", f"/Cells/T/F/{WG}"]
    layers = parser.to_viewer(Output.LAYER)
    assert ids(layers) == ["/Layers", f"/Layers/{WG}", f"/Layers/{WG}/T", f"/Layers/{WG}/T/E",
                           f"/Layers/{WG}/T/F", f"/Layers/{WG}/T/F/components"]
    assert layers.parts[0].parts[0].parts[0].parts == []
    parser.exclude_layers.append("*")  # exclusions are read at every call
    assert parser.to_viewer(Output.CELL).parts == [] and parser.to_viewer(Output.LAYER).parts == []
    assert len(parser.to_viewer(Output.CELL).instances) == 1


@pytest.mark.parametrize("output, text", [("CELL", "CELL"), ("LAYER", "LAYER"), (1, "1"), (2, "2"),
                                          (None, "None"), (2.5, "2.5")])
def test_unknown_output(output, text):
    parser = tm_parser(Output.CELL, combine=False)
    with pytest.raises(ValueError) as info:
        parser.to_viewer(output)
    assert str(info.value) == "Unknown output " + text
    assert not parser.cell_combined and len(parser.parsed_cells.cells[0].references) == 2


class Counting(ParseGDS):
    def combine_references(self, output):
        self.combined = getattr(self, "combined", []) + [output]
        return super().combine_references(output)


@pytest.mark.parametrize("mode", MODES)
def test_polygon_table_shared_refs_and_second_call(mode):
    parser = tm_parser(mode, cls=Counting, combine=False)
    root = parser.to_viewer(mode)
    assert [bits(a) for a in root.instances] == [f32(p).tobytes() for p in parser.instances]
    assert root.instances[0].tolist() == [0.0, 0.0, 0.0, 0.5, 1.0, 0.5, 1.0, 0.0]
    top, (own, placed) = top_tree(parser, mode), leaves(root)
    assert own.shape.refs is top.polygons["0"] and placed.shape.refs is top.references[0].polygons["0"]
    again = parser.to_viewer(mode)
    assert parser.combined == [mode] and snap(again) == snap(root) and again.parts[0] is not root.parts[0]
    assert again.instances[0] is not root.instances[0] and leaves(again)[1].shape.refs is placed.shape.refs
    parser.exclude_layers.append("*")
    assert len(parser.to_viewer(mode).instances) == len(parser.instances) == 2


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("result, message", [
    (7, "Expected str, got int"), (b"WG", "Expected str, got bytes"),
    (None, "Argument 'layer_name' has incorrect type (expected str, got NoneType)")])
def test_layer_name_must_be_text(mode, result, message):
    parser = tm_parser(mode, cls=type("Named", (ParseGDS,), {"get_name": lambda self, layer_spec: self.result}))
    parser.result = result
    with pytest.raises(TypeError) as info:
        parser.to_viewer(mode)
    assert str(info.value) == message
    parser.result = "Core"
    assert all("/Core/" in n.id or n.id.endswith("/Core") for n in leaves(parser.to_viewer(mode)))


def test_one_layer_node_per_layer_for_several_top_cells():
    parser = exported({"A": {(2, 0): [(0, 0, 5, 5)]}, "B": {(1, 0): [(0, 0, 6, 6)], (2, 0): [(0, 0, 7, 7)]},
                       "C": {(1, 0): [(0, 0, 8, 8)]}}, mode=Output.LAYER)
    assert [c.name for c in parser.layout.top_cells()] == ["A", "B", "C"]
    root = parser.to_viewer(Output.LAYER)
    assert [i for i in ids(root) if not i.endswith("components")] == [
        "/Layers", f"/Layers/{MET1}", f"/Layers/{MET1}/A", f"/Layers/{MET1}/B", f"/Layers/{WG}", f"/Layers/{WG}/B",
        f"/Layers/{WG}/C"]
    assert len(ids(root)) == 11 == len(set(ids(root)))


class Doubled(KTrans):
    def trans_matrix(self):
        (a, b, tx), (c, d, ty) = super().trans_matrix()
        return (2 * a, 2 * b, tx + 1.0), (2 * c, 2 * d, ty - 1.0)


class Fixed(KTrans):
    def to_dict(self):
        return {"mirror": True, "angle": 180, "displacement": [1.5, -2.5]}


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("cls, first", [(Doubled, 2.0), (Fixed, -1.0)])
def test_placement_overrides_are_honoured(mode, cls, first):
    parser = tm_parser(mode)
    placements = [cls(kdb.Trans(0, False, 100, 200)), KTrans(kdb.Trans(1, False, 5000, 0))]
    top_tree(parser, mode).references[0].trans = placements
    expected = f32([k.trans_matrix() for k in placements])
    assert expected[0] == first
    assert bits(leaves(parser.to_viewer(mode))[1].shape.matrices) == expected.tobytes()


class Marked(np.ndarray):
    """Arrays made by a replaced module numpy."""


class MarkingNumpy:
    """numpy as the module's np, with arrays of its own."""

    def array(self, value, dtype):
        return np.array(value, dtype=dtype).view(Marked)

    def __getattr__(self, name):
        return getattr(np, name)


@pytest.mark.parametrize("mode", MODES)
def test_a_replaced_numpy_makes_every_array(monkeypatch, mode):
    parser = tm_parser(mode)
    expected = parser.to_viewer(mode)
    monkeypatch.setattr(show3d, "np", MarkingNumpy())
    root = parser.to_viewer(mode)
    arrays = root.instances + [leaves(root)[1].shape.matrices]  # the polygons, the placements of M
    assert len(arrays) == 3 and all(type(a) is Marked for a in arrays)
    before = expected.instances + [leaves(expected)[1].shape.matrices]
    assert [a.tobytes() for a in arrays] == [a.tobytes() for a in before]


@pytest.mark.parametrize("outline", [
    [(0.0, 1.5), (2.0, 3)],  # an int y
    [(0, 1.5), (2.0, 3.0)],  # an int x
    [(1.0, 2.0), [3.0, 4.0]],  # a list
    [(np.float64(1.25), 2.0), (3.0, np.float32(0.5))],
    [(True, 2.0), (0.1, 0.2)],
], ids=["int y", "int x", "list", "numpy floats", "bool"])
@pytest.mark.parametrize("mode", MODES)
def test_polygon_table_arrays_from_any_numbers(mode, outline):
    parser = tm_parser(mode)
    parser.instances[1] = outline
    assert bits(parser.to_viewer(mode).instances[1]) == f32(outline).tobytes()

"""Viewer trees from ParseGDS.to_viewer: cell mode, layer mode, exclusions, arrays."""

from pathlib import Path

import klayout.db as kdb
import numpy as np
import pytest

import tessarand.core.show3d as show3d
from tessarand.core.show3d import KTrans, Output, ParseGDS, PdkLayer

LAYOUTS = Path(__file__).resolve().parents[2] / "shared" / "layouts"
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


def snap(x):  # exact, type-strict picture of a tree
    if hasattr(x, "__dataclass_fields__"):
        return type(x).__name__, [(k, snap(getattr(x, k))) for k in x.__dataclass_fields__]
    if isinstance(x, (list, tuple)):
        return type(x).__name__, [snap(v) for v in x]
    if isinstance(x, np.ndarray):
        return str(x.dtype), x.tobytes()
    return type(x).__name__, (x.hex() if isinstance(x, float) else x)


def layout(*cells, places=()):
    """cells: (name, {spec: [box, ...]}); places: (parent, child, transformation)."""
    ly, made = kdb.Layout(), {}
    for name, shapes in cells:
        made[name] = ly.create_cell(name)
        for spec, boxes in shapes.items():
            for box in boxes:
                made[name].shapes(ly.layer(*spec)).insert(kdb.Box(*box))
    for parent, child, trans in places:
        made[parent].insert(kdb.CellInstArray(made[child].cell_index(), trans))
    return ly


def tm_parser(cls=ParseGDS, **kwargs):  # top cell T (WG) placing M (WG) twice
    ly = layout(("T", {(1, 0): [(0, 0, 1000, 500)]}), ("M", {(1, 0): [(0, 0, 200, 300)]}),
                places=[("T", "M", t) for t in T_M])
    return cls(ly, TABLE, curve_tolerance=None, **kwargs)


def export(parser, mode, combine=True):
    (parser.export_cells if mode == Output.CELL else parser.export_layers)(combine=combine)
    return parser


def walk(node):
    yield node
    for child in getattr(node, "parts", []):
        yield from walk(child)


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
    root = export(tm_parser(z_scale=z_scale), mode).to_viewer(mode)
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


def exclusion_parser(mode, patterns):  # T on WG, Metal1, METAL2; M (Metal1 only) placed in T
    ly = layout(("T", {(1, 0): [(0, 0, 10, 10)], (2, 0): [(0, 0, 20, 20)], (3, 0): [(0, 0, 30, 30)]}),
                ("M", {(2, 0): [(0, 0, 40, 40)]}), places=[("T", "M", kdb.Trans())])
    return export(ParseGDS(ly, TABLE, curve_tolerance=None, exclude_layers=patterns), mode)


@pytest.mark.parametrize("patterns, shown", [
    ([], [WG, MET1, MET2]), (["m*"], [WG]), (["M*"], [WG]), (["metal?*"], [WG]), (["[!w]*"], [WG]),
    (["metal1"], [WG, MET1, MET2]), (["wg"], [WG, MET1, MET2]),  # without wildcards the whole name must match
    (["METAL1 (2, 0)"], [WG, MET2]), (["*2, 0)"], [WG, MET2]), (["zz", "wg (1, 0)"], [MET1, MET2])])
def test_excluded_layers(patterns, shown):
    cells = exclusion_parser(Output.CELL, list(patterns)).to_viewer(Output.CELL)
    assert [n.name for n in cells.parts[0].parts] == shown + (["M"] if MET1 in shown else [])
    layers = exclusion_parser(Output.LAYER, list(patterns)).to_viewer(Output.LAYER)
    assert [n.name for n in layers.parts] == shown
    assert len(cells.instances) == len(layers.instances) == 4  # the polygon table stays complete


@pytest.mark.parametrize("mode", MODES)
def test_exclusions_read_at_every_call(mode):
    parser = exclusion_parser(mode, None)

    def shown():
        root = parser.to_viewer(mode)
        return {n.name for n in (leaves(root) if mode == Output.CELL else root.parts)}

    assert shown() == {WG, MET1, MET2}
    parser.exclude_layers.append("WG*")
    assert shown() == {MET1, MET2}
    parser.exclude_layers = ["*3, 0)"]
    assert shown() == {WG, MET1}


def test_nodes_without_leaves_dropped_in_cell_mode_kept_in_layer_mode():
    parser = ParseGDS(layout(("T", {(1, 0): [(0, 0, 10, 10)]})), TABLE, curve_tolerance=None)
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
    parser.exclude_layers.append("*")
    assert parser.to_viewer(Output.CELL).parts == [] and parser.to_viewer(Output.LAYER).parts == []
    assert len(parser.to_viewer(Output.CELL).instances) == 1


@pytest.mark.parametrize("output, text", [("CELL", "CELL"), ("LAYER", "LAYER"), (1, "1"), (2, "2"),
                                          (None, "None"), (2.5, "2.5")])
def test_unknown_output(output, text):
    parser = export(tm_parser(), Output.CELL, combine=False)
    with pytest.raises(ValueError) as info:
        parser.to_viewer(output)
    assert str(info.value) == "Unknown output " + text
    assert not parser.cell_combined and len(parser.parsed_cells.cells[0].references) == 2


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("trans", [
    kdb.Trans(0, False, 100, 200), kdb.Trans(1, False, 100, 200), kdb.Trans(2, True, -5, 7),
    kdb.Trans(3, True, 0, 11), kdb.Trans(0, True, 1500, -1), kdb.ICplxTrans(0.4, 85.0, False, 10, -20),
    kdb.ICplxTrans(2.5, 355.0, True, -1234, 77), kdb.ICplxTrans(30.0, 90.0, False, 0, 0)], ids=str)
def test_placement_arrays(mode, trans):
    ly = layout(("T", {}), ("M", {(1, 0): [(-300, 100, 700, 400)]}), places=[("T", "M", trans)])
    parser = export(ParseGDS(ly, TABLE, curve_tolerance=None), mode)
    (placed,) = leaves(parser.to_viewer(mode))
    (reference,) = top_tree(parser, mode).references
    matrices = placed.shape.matrices
    assert bits(matrices) == f32([k.trans_matrix() for k in reference.trans]).tobytes()
    if str(trans) == "r0 100,200":
        assert matrices.tolist() == [1.0, -0.0, float(np.float32(0.1)), 0.0, 1.0, float(np.float32(0.2))]
        assert np.signbit(matrices).tolist() == [False, True, False, False, False, False]
    a, b, tx, c, d, ty = matrices.astype(float)
    to_um = kdb.CplxTrans(0.001) * kdb.ICplxTrans(trans)  # KLayout's own placement, in micrometres
    for x, y in [(-300, 100), (700, 400), (0, 0), (700, 100)]:
        q = to_um * kdb.Point(x, y)
        got = (a * x / 1000 + b * y / 1000 + tx, c * x / 1000 + d * y / 1000 + ty)
        assert got == pytest.approx((q.x, q.y), rel=1e-6, abs=1e-6)


class Counting(ParseGDS):
    def combine_references(self, output):
        self.combined = getattr(self, "combined", []) + [output]
        return super().combine_references(output)


@pytest.mark.parametrize("mode", MODES)
def test_polygon_table_shared_refs_and_second_call(mode):
    parser = export(tm_parser(Counting), mode, combine=False)
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


class Named(ParseGDS):
    def get_name(self, layer_spec):
        return self.result


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("result, message", [
    (7, "Expected str, got int"), (b"WG", "Expected str, got bytes"),
    (None, "Argument 'layer_name' has incorrect type (expected str, got NoneType)")])
def test_layer_name_must_be_text(mode, result, message):
    parser = export(tm_parser(Named), mode)
    parser.result = result
    with pytest.raises(TypeError) as info:
        parser.to_viewer(mode)
    assert str(info.value) == message
    parser.result = "Core"
    assert all("/Core/" in n.id or n.id.endswith("/Core") for n in leaves(parser.to_viewer(mode)))


def test_one_layer_node_per_layer_for_several_top_cells():
    ly = layout(("A", {(2, 0): [(0, 0, 5, 5)]}), ("B", {(1, 0): [(0, 0, 6, 6)], (2, 0): [(0, 0, 7, 7)]}),
                ("C", {(1, 0): [(0, 0, 8, 8)]}))
    assert [c.name for c in ly.top_cells()] == ["A", "B", "C"]
    root = export(ParseGDS(ly, TABLE, curve_tolerance=None), Output.LAYER).to_viewer(Output.LAYER)
    assert [i for i in ids(root) if not i.endswith("components")] == [
        "/Layers", f"/Layers/{MET1}", f"/Layers/{MET1}/A", f"/Layers/{MET1}/B", f"/Layers/{WG}", f"/Layers/{WG}/B",
        f"/Layers/{WG}/C"]
    assert len(ids(root)) == 11 == len(set(ids(root)))


def test_cell_library_layer_nodes(kit):  # kit: conftest fixture, "ebeam" is active again afterwards
    path = LAYOUTS / "ihp_sg13g2_stdcell.gds"
    if not path.is_file():
        pytest.skip("shared sample layouts not available")
    ly = kdb.Layout()
    ly.read(str(path))
    parser = export(ParseGDS(ly, kit("sg13g2")), Output.LAYER)
    root = parser.to_viewer(Output.LAYER)
    tops, expected = [c.name for c in ly.top_cells()], {}
    assert len(tops) == 84 == len(parser.parsed_layers.layers)
    for top, per_layer in zip(tops, parser.parsed_layers.layers):
        for key in per_layer:
            if parser.layer_map.get(int(key)) is not None:
                expected.setdefault(parser.get_name(parser.layer_map[int(key)]), []).append(top)
    assert [(n.name, [c.name for c in n.parts]) for n in root.parts] == list(expected.items())
    assert len(root.parts) > 1 and len(set(ids(root))) == len(ids(root))


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
    parser = export(tm_parser(), mode)
    placements = [cls(kdb.Trans(0, False, 100, 200)), KTrans(kdb.Trans(1, False, 5000, 0))]
    top_tree(parser, mode).references[0].trans = placements
    expected = f32([k.trans_matrix() for k in placements])
    assert expected[0] == first
    assert bits(leaves(parser.to_viewer(mode))[1].shape.matrices) == expected.tobytes()

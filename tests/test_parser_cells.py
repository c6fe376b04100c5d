"""Cell walk, cell export, per-layer split and merging of repeated references."""

import sys
from types import SimpleNamespace

import klayout.db as kdb
import pytest

import tessarand.core.show3d as show3d
from tessarand.core.show3d import Cell, KTrans, Output, ParsedCells, ParsedLayers, ParseGDS, Reference

TUPLE_MESSAGE = "Argument 'references' has incorrect type (expected list, got tuple)"


def dicts(ktrans_list):
    return [k.to_dict() for k in ktrans_list]


def new_layout(*names):
    layout = kdb.Layout()
    layers = [layout.layer(1, 0), layout.layer(2, 0), layout.layer(68, 0)]  # 68/0 has no table entry
    return layout, layers, [layout.create_cell(n) for n in names]


def place(parent, child, trans=kdb.Trans(), *array):
    parent.insert(kdb.CellInstArray(child.cell_index(), trans, *array))


def ref(index, *trans, refs=()):
    r = Reference(index, f"C{index}", trans=[KTrans(t) for t in trans], trans_count=len(trans))
    r.references = list(refs)
    return r


def walk(cell):
    yield cell
    for r in cell.references:
        yield from walk(r)


def test_single_rectangle_on_first_layer(table):
    layout, (l1, _, _), (top,) = new_layout("T")
    top.shapes(l1).insert(kdb.Box(0, 0, 1000, 2000))
    p = ParseGDS(layout, table)
    result = p.export_cells(combine=False)
    assert result is p.parsed_cells and result.instances is p.instances and result.layer_map is p.layer_map
    (cell,) = result.cells
    assert type(cell) is Cell and cell == Cell(top.cell_index(), "T", {"0": [0]}, [])
    assert p.instance_mapping == {(top.cell_index(), 0, 0): 0} and p.instance_index == 1 and len(p.instances) == 1
    assert type(p.parse_cells(cell=top)) is Cell and len(p.instances) == 1


def fake_cell(kinds):
    """A cell whose first shown layer holds texts ("t") and boxes ("b") in the given order."""
    shapes = [SimpleNamespace(is_text=lambda k=k: k == "t", polygon=None if k == "t" else kdb.Polygon(kdb.Box(0, 0, 10 * i + 10, 10)))
              for i, k in enumerate(kinds)]
    return SimpleNamespace(name="FAKE", cell_index=lambda: 5, each_inst=lambda: [],
                           shapes=lambda layer: SimpleNamespace(each=lambda: iter(shapes if layer == 0 else [])))


@pytest.mark.parametrize("kinds, keys", [
    ("tb", [(5, 0, 1)]),
    ("btb", [(5, 0, 0), (5, 0, 2)]),
    ("ttb", [(5, 0, 2)]),
    ("t", []),
])
def test_texts_take_a_shape_position(table, kinds, keys):
    p = ParseGDS(kdb.Layout(), table)
    p.layer_map = {0: (1, 0)}
    cell = p.parse_cells(fake_cell(kinds))
    assert list(p.instance_mapping) == keys and list(p.instance_mapping.values()) == list(range(len(keys)))
    assert cell.polygons == ({"0": list(range(len(keys)))} if keys else {})


def test_layers_in_map_order_and_unmapped_layers_ignored(table):
    layout, (l1, l2, hidden), (top,) = new_layout("T")
    top.shapes(hidden).insert(kdb.Box(0, 0, 5, 5))
    top.shapes(l2).insert(kdb.Box(0, 0, 1000, 1000))
    top.shapes(l2).insert(kdb.Text("label", kdb.Trans()))
    top.shapes(l1).insert(kdb.Path([kdb.Point(0, 0), kdb.Point(2000, 0)], 200))
    p = ParseGDS(layout, table)
    (cell,) = p.export_cells().cells
    assert list(cell.polygons.items()) == [("0", [0]), ("1", [1])]
    assert list(p.instance_mapping) == [(0, 0, 0), (0, 1, 0)]


def test_repeated_placements_convert_once(table):
    layout, (l1, _, _), (top, a, other) = new_layout("T", "A", "T2")
    a.shapes(l1).insert(kdb.Box(0, 0, 100, 100))
    a.shapes(l1).insert(kdb.Box(0, 0, 300, 100))
    place(top, a, kdb.Trans(0, False, 10, 0))
    place(top, a, kdb.Trans(1, True, 0, 20))
    place(other, a)
    p = ParseGDS(layout, table)
    first, second = p.export_cells(combine=False).cells
    refs = first.references + second.references
    assert [type(r) for r in refs] == [Reference] * 3 and len(p.instances) == 2
    assert [(r.cell_index, r.name, r.polygons, r.trans_count) for r in refs] == [(a.cell_index(), "A", {"0": [0, 1]}, 1)] * 3
    assert [[k.trans for k in r.trans] for r in refs] == [[kdb.Trans(0, False, 10, 0)], [kdb.Trans(1, True, 0, 20)], [kdb.Trans()]]
    assert refs[0].polygons is not refs[1].polygons
    p.export_cells()
    assert len(p.instances) == 2 and p.instance_index == 2


def test_array_placement_keeps_member_order(table):
    layout, (l1, _, _), (top, a) = new_layout("T", "A")
    a.shapes(l1).insert(kdb.Box(0, 0, 100, 100))
    place(top, a, kdb.Trans(1, False, 5, 7), kdb.Vector(1000, 0), kdb.Vector(0, 2000), 3, 2)
    (r,) = ParseGDS(layout, table).export_cells(combine=False).cells[0].references
    assert r.trans_count == 6 and [type(k) for k in r.trans] == [KTrans] * 6
    assert [k.trans for k in r.trans] == list(next(top.each_inst()).cell_inst.each_trans())


@pytest.mark.parametrize("trans, array, kind, dictionary", [
    (kdb.ICplxTrans(1.0, 85, False, 100, 200), (), kdb.ICplxTrans,
     {"mirror": False, "angle": 85.0, "displacement": [0.1, 0.2], "magnification": 1.0}),
    (kdb.ICplxTrans(1.5, 0, True, 0, -40), (), kdb.ICplxTrans,
     {"mirror": True, "angle": 0.0, "displacement": [0.0, -0.04], "magnification": 1.5}),
    (kdb.ICplxTrans(1.5, 85, False, 0, 0), (kdb.Vector(500, 0), kdb.Vector(0, 500), 2, 1), kdb.ICplxTrans,
     {"mirror": False, "angle": 85.0, "displacement": [0.0, 0.0], "magnification": 1.5}),
    (kdb.ICplxTrans(1.0, 90, True, 5, 5), (), kdb.Trans, {"mirror": True, "angle": 90, "displacement": [0.005, 0.005]}),
])
def test_complex_placements_keep_angle_and_magnification(table, trans, array, kind, dictionary):
    layout, (l1, _, _), (top, a) = new_layout("T", "A")
    a.shapes(l1).insert(kdb.Box(0, 0, 100, 100))
    place(top, a, trans, *array)
    (r,) = ParseGDS(layout, table).export_cells().cells[0].references
    inst = next(top.each_inst()).cell_inst
    expected = list(inst.each_cplx_trans() if inst.is_complex() else inst.each_trans())
    assert [type(k.trans) for k in r.trans] == [kind] * len(expected) and r.trans_count == len(expected)
    assert [k.trans for k in r.trans] == expected and r.trans[0].to_dict() == dictionary


@pytest.mark.parametrize("steps, flags", [
    ([{"combine": False}], [False]),
    ([{}], [True]),
    ([{}, {"combine": False}], [True, False]),
    ([{"combine": None}, {"combine": 1}, {"combine": ""}], [False, True, False]),
])
def test_cell_combined_follows_last_export(table, steps, flags):
    layout, (l1, _, _), (top, a) = new_layout("T", "A")
    a.shapes(l1).insert(kdb.Box(0, 0, 100, 100))
    place(top, a)
    place(top, a, kdb.Trans(0, False, 500, 0))
    p = ParseGDS(layout, table)
    seen = []
    for kwargs in steps:
        cells = p.export_cells(**kwargs)
        seen.append(p.cell_combined)
        assert len(cells.cells[0].references) == (1 if p.cell_combined else 2)
    assert seen == flags
    with pytest.raises(TypeError):
        p.export_cells(True)


@pytest.fixture
def split_layout():
    """T: box on 1/0, A (2/0 only), B (no own shapes) placing C (1/0), E (only a hidden layer)."""
    layout, (l1, l2, hidden), cells = new_layout("T", "A", "B", "C", "E")
    top, a, b, c, e = cells
    top.shapes(l1).insert(kdb.Box(0, 0, 100, 100))
    a.shapes(l2).insert(kdb.Box(0, 0, 200, 200))
    c.shapes(l1).insert(kdb.Box(0, 0, 300, 300))
    e.shapes(hidden).insert(kdb.Box(0, 0, 5, 5))
    place(top, a), place(top, b, kdb.Trans(2, False, 0, 0)), place(top, e), place(b, c, kdb.Trans(0, False, 9, 9))
    place(top, a, kdb.Trans(0, False, 1000, 0))
    return layout


def test_layer_split_prunes_and_shares(table, split_layout):
    p = ParseGDS(split_layout, table)
    result = p.export_layers(combine=False)
    cells = p.parsed_cells.cells
    assert result is p.parsed_layers and result.instances is p.instances and result.layer_map is p.layer_map
    (layers,) = result.layers
    assert list(layers) == ["0", "1"]
    one, two = layers["0"], layers["1"]
    assert [(type(x), x.name, x.polygons) for x in walk(one)] == [(Cell, "T", {"0": [0]}), (Reference, "B", {}),
                                                                    (Reference, "C", {"0": [2]})]
    assert [(x.name, x.polygons) for x in walk(two)] == [("T", {}), ("A", {"1": [1]}), ("A", {"1": [1]})]
    source_b, source_a = cells[0].references[1], cells[0].references[0]
    assert one.polygons["0"] is cells[0].polygons["0"] and two.references[0].polygons["1"] is source_a.polygons["1"]
    assert one.references[0].trans is source_b.trans and one.references[0].references[0].trans is source_b.references[0].trans
    assert p.cell_combined is False and p.layer_combined is False


class MyCell(Cell):
    pass


class MyReference(Reference):
    pass


def test_layer_split_keeps_record_classes(table):
    p = ParseGDS(kdb.Layout(), table)
    p.layer_map = {0: (1, 0), 1: (2, 0)}
    child = MyReference(4, "R", polygons={"1": []}, trans=[KTrans(kdb.Trans())], trans_count=99)
    top = MyCell(3, "T", polygons={"0": [7]}, references=[child])
    p.parsed_cells = ParsedCells(p.instances, p.layer_map, [top])
    (layers,) = p.export_layers(combine=False).layers
    assert [x.__class__ for x in walk(layers["0"])] == [MyCell]
    assert [x.__class__ for x in walk(layers["1"])] == [MyCell, MyReference]
    copy = layers["1"].references[0]
    assert copy.polygons["1"] is child.polygons["1"] and copy.trans is child.trans and copy.trans_count == 1


def test_empty_layer_map_gives_one_empty_dict_per_top_cell():
    layout, (l1, _, _), (t1, t2) = new_layout("T1", "T2")
    t1.shapes(l1).insert(kdb.Box(0, 0, 1, 1))
    p = ParseGDS(layout, {(50, 0): show3d.PdkLayer("X", 1.0, 0.0, "#000001")})
    assert p.export_layers().layers == [{}, {}] and len(p.parsed_cells.cells) == 2


def test_layer_split_reexports_only_a_combined_or_missing_tree(table, split_layout):
    p = ParseGDS(split_layout, table)
    p.export_cells()
    combined = p.parsed_cells
    p.export_layers(combine=False)
    fresh = p.parsed_cells
    assert fresh is not combined and p.cell_combined is False and len(fresh.cells[0].references) == 4
    assert len(p.parsed_layers.layers[0]["1"].references) == 2
    p.export_layers()
    assert p.parsed_cells is fresh and len(p.parsed_layers.layers[0]["1"].references) == 1


@pytest.mark.parametrize("steps", [["default"], [False], [True, False, True], ["default", 0]])
def test_layer_combined_follows_last_split(table, split_layout, steps):
    p = ParseGDS(split_layout, table)
    for combine in steps:
        p.export_layers(**({} if combine == "default" else {"combine": combine}))
        assert p.layer_combined is (combine == "default" or bool(combine))


def attach(p, output, tops):
    if output == Output.CELL:
        p.parsed_cells = ParsedCells([], {}, tops)
    else:
        p.parsed_layers = ParsedLayers([], {}, [{"0": t} for t in tops])


@pytest.mark.parametrize("output", [Output.CELL, Output.LAYER])
def test_combination_worked_example(table, output):
    A, B, C, D = kdb.Trans(1, False, 100, 0), kdb.Trans(2, True, 0, 50), kdb.Trans(0, False, -30, 70), kdb.Trans(3, True, 5, 6)
    first, second = ref(7, A, refs=[ref(9, D)]), ref(7, B, C, refs=[ref(9, kdb.Trans(0, False, 1, 1))])
    nested, lists = first.references[0], [first.trans, second.trans, first.references[0].trans]
    kept = [k for r in (first, second) for k in r.trans]
    top = Cell(0, "TOP", references=[first, second])
    p = ParseGDS(kdb.Layout(), table)
    attach(p, output, [top])
    result = p.combine_references(output=output)
    assert result is (p.parsed_cells if output == Output.CELL else p.parsed_layers)
    assert (p.cell_combined, p.layer_combined) == (output == Output.CELL, output == Output.LAYER)
    assert top.references == [first] and top.references[0] is first and first.references[0] is nested
    assert all(x is y for x, y in zip(first.trans, kept)) and first.trans_count == 3 and len(first.trans) == 3
    assert dicts(first.trans) == dicts(KTrans(t) for t in (A, B, C))
    assert nested.trans_count == 3 and dicts(nested.trans) == dicts(KTrans(t * D) for t in (A, B, C))
    assert [len(x) for x in lists] == [1, 2, 1] and all(x is not y for x in lists for y in (first.trans, nested.trans))


def test_combination_groups_in_order_of_first_appearance(table):
    refs = [ref(4, kdb.Trans(0, False, 1, 0)), ref(2, kdb.Trans()), ref(4, kdb.Trans(0, False, 2, 0), kdb.Trans(0, False, 3, 0)),
            ref(3), ref(2)]
    top, childless = Cell(0, "TOP", references=list(refs)), Cell(1, "EMPTY")
    p = ParseGDS(kdb.Layout(), table)
    attach(p, Output.CELL, [top, childless])
    p.combine_references(Output.CELL)
    assert [r.cell_index for r in top.references] == [4, 2, 3] and all(a is b for a, b in zip(top.references, refs[:2] + refs[3:4]))
    assert [r.trans_count for r in top.references] == [3, 1, 0] and top.references[2].trans == []
    assert [k.trans.disp.x for k in top.references[0].trans] == [1, 2, 3] and childless.references == []


@pytest.mark.parametrize("output", [1, 2, "CELL", "LAYER", None])
def test_unknown_output_changes_nothing(table, output):
    top = Cell(0, "TOP", references=[ref(4, kdb.Trans()), ref(4, kdb.Trans())])
    p = ParseGDS(kdb.Layout(), table)
    attach(p, Output.CELL, [top])
    assert p.combine_references(output) is None
    assert len(top.references) == 2 and (p.cell_combined, p.layer_combined) == (False, False)


@pytest.mark.parametrize("where, error, message", [
    ("top", TypeError, TUPLE_MESSAGE),
    ("nested", TypeError, TUPLE_MESSAGE),
    ("no placements", ValueError, "Either parent_trans or trans must be provided"),
])
def test_combination_errors(table, where, error, message):
    inner = ref(9, kdb.Trans())
    outer = ref(7, kdb.Trans(), refs=[inner])
    top = Cell(0, "TOP", references=[outer])
    if where == "top":
        top.references = (outer,)
    elif where == "nested":
        outer.references = (inner,)
    else:
        outer.trans = None
    p = ParseGDS(kdb.Layout(), table)
    attach(p, Output.CELL, [top])
    with pytest.raises(error) as info:
        p.combine_references(Output.CELL)
    assert str(info.value) == message and p.cell_combined is False


def test_combination_leaves_cell_tree_placements_intact(sample):
    p = ParseGDS(*sample)
    p.export_cells(combine=False)
    before = [(r, r.trans, list(r.trans)) for c in p.parsed_cells.cells for r in walk(c) if isinstance(r, Reference)]
    p.export_layers()
    assert all(r.trans is lst and r.trans == copy and r.trans_count == len(copy) for r, lst, copy in before)


def test_overridden_steps_are_honoured(table, split_layout):
    calls = []

    class Custom(ParseGDS):
        def extract_dpolygon(self, polygon):
            return [("box", polygon.bbox().width())]

        def parse_cells(self, cell):
            calls.append(("parse", cell.name))
            return super().parse_cells(cell)

        def combine_references(self, output):
            calls.append(("combine", output))
            return None

        def export_cells(self, *, combine=True):
            calls.append(("export", combine))
            return super().export_cells(combine=combine)

    p = Custom(split_layout, table)
    p.export_layers()
    assert calls == [("export", False), ("parse", "T"), ("combine", Output.LAYER)]
    assert p.instances == [[("box", 100)], [("box", 200)], [("box", 300)]]
    assert len(p.parsed_layers.layers[0]["1"].references) == 2


def deep_parser(table, depth, step):
    layout, (l1, _, _), _ = new_layout()
    cells = [layout.create_cell(f"C{i}") for i in range(depth if step == "walk" else 1)]
    for parent, child in zip(cells, cells[1:]):
        place(parent, child)
    cells[-1].shapes(l1).insert(kdb.Box(0, 0, 10, 10))
    p = ParseGDS(layout, table)
    if step != "walk":
        deep = top = Cell(0, "TOP")
        for i in range(depth):
            deep.references.append(ref(i + 1, kdb.Trans()))
            deep = deep.references[0]
        deep.polygons = {"0": [0]}
        p.parsed_cells = ParsedCells(p.instances, p.layer_map, [top])
    return p


@pytest.mark.parametrize("step, call", [
    ("walk", lambda p: p.export_cells()),
    ("split", lambda p: p.export_layers(combine=False)),
    ("combine", lambda p: p.combine_references(Output.CELL)),
], ids=["walk", "split", "combine"])
@pytest.mark.parametrize("depth", [sys.getrecursionlimit() + 2000, 20000])
def test_hierarchy_deeper_than_recursion_limit(table, depth, step, call):
    p = deep_parser(table, depth, step)
    with pytest.raises(RecursionError):
        call(p)
    assert p.cell_combined is False and p.layer_combined is False


def test_real_layouts_reference_valid_polygons(sample):
    p = ParseGDS(*sample)
    trees = p.export_cells().cells + [t for d in p.export_layers().layers for t in d.values()]
    assert list(p.instance_mapping.values()) == list(range(len(p.instances))) == list(range(p.instance_index))
    for tree in trees:
        for node in walk(tree):
            assert all(0 <= i < len(p.instances) for ids in node.polygons.values() for i in ids)
            assert len({r.cell_index for r in node.references}) == len(node.references)
            if isinstance(node, Reference):
                assert node.trans_count == len(node.trans) and all(type(k) is KTrans for k in node.trans)


def test_sram_exports_in_both_modes(sram):
    layout, layers = sram
    p = ParseGDS(layout, layers)
    (top,) = p.export_cells().cells
    placed = {}
    for inst in layout.cell(top.cell_index).each_inst():
        placed[inst.cell_index] = placed.get(inst.cell_index, 0) + inst.size()
    assert {r.cell_index: r.trans_count for r in top.references} == placed and p.cell_combined
    (split,) = p.export_layers().layers
    assert p.layer_combined and set(split) <= {str(i) for i in p.layer_map} and len(split) > 3
    assert p.cell_combined is False and len(p.parsed_cells.cells[0].references) == sum(1 for _ in layout.cell(top.cell_index).each_inst())

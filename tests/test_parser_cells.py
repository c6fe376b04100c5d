"""Cell walk, cell export, per-layer split and merging of repeated references."""

import os
import subprocess
import sys
from types import SimpleNamespace

import klayout.db as kdb
import pytest

import tessarand.core.show3d as show3d
from conftest import make_layout, walk
from tessarand.core.show3d import Cell, KTrans, Output, ParsedCells, ParsedLayers, ParseGDS, Reference

LAYERS = [(1, 0), (2, 0), (68, 0)]  # indices 0, 1, 2; 68/0 has no table entry
BOX = (0, 0, 100, 100)


def dicts(ktrans_list):
    return [k.to_dict() for k in ktrans_list]


def ref(index, *trans, refs=()):
    r = Reference(index, f"C{index}", trans=[KTrans(t) for t in trans], trans_count=len(trans))
    r.references = list(refs)
    return r


def test_walk_of_one_cell_in_layer_map_order(table):
    path = kdb.Path([kdb.Point(0, 0), kdb.Point(2000, 0)], 200)  # texts and unmapped layers are left out
    layout = make_layout({"T": {(68, 0): [(0, 0, 5, 5)], (2, 0): [(0, 0, 1000, 1000), kdb.Text("label", kdb.Trans())],
                                (1, 0): [path]}}, layers=LAYERS)
    p = ParseGDS(layout, table)
    result = p.export_cells(combine=False)
    assert result is p.parsed_cells and result.instances is p.instances and result.layer_map is p.layer_map
    (cell,) = result.cells
    assert type(cell) is Cell and cell == Cell(0, "T", {"0": [0], "1": [1]}, [])
    assert list(cell.polygons) == ["0", "1"] and p.instance_mapping == {(0, 0, 0): 0, (0, 1, 0): 1}
    assert list(p.instance_mapping) == [(0, 0, 0), (0, 1, 0)] and p.instance_index == 2 and len(p.instances) == 2
    assert type(p.parse_cells(cell=layout.cell("T"))) is Cell and len(p.instances) == 2


def fake_cell(kinds):
    """A cell whose first shown layer holds texts ("t") and boxes ("b") in the given order."""
    shapes = [SimpleNamespace(is_text=lambda k=k: k == "t",
                              polygon=None if k == "t" else kdb.Polygon(kdb.Box(0, 0, 10 * i + 10, 10)))
              for i, k in enumerate(kinds)]
    return SimpleNamespace(name="FAKE", cell_index=lambda: 5, each_inst=lambda: [],
                           shapes=lambda layer: SimpleNamespace(each=lambda: iter(shapes if layer == 0 else [])))


@pytest.mark.parametrize("kinds, keys", [("tb", [(5, 0, 1)]), ("btb", [(5, 0, 0), (5, 0, 2)]),
                                         ("ttb", [(5, 0, 2)]), ("t", [])])
def test_texts_take_a_shape_position(table, kinds, keys):
    p = ParseGDS(kdb.Layout(), table)
    p.layer_map = {0: (1, 0)}
    cell = p.parse_cells(fake_cell(kinds))
    assert list(p.instance_mapping) == keys and list(p.instance_mapping.values()) == list(range(len(keys)))
    assert cell.polygons == ({"0": list(range(len(keys)))} if keys else {})


def test_repeated_placements_convert_once(table):
    layout = make_layout({"T": {}, "A": {(1, 0): [BOX, (0, 0, 300, 100)]}, "T2": {}},
                         [("T", "A", kdb.Trans(0, False, 10, 0)), ("T", "A", kdb.Trans(1, True, 0, 20)),
                          ("T2", "A", kdb.Trans())], layers=LAYERS)
    p = ParseGDS(layout, table)
    first, second = p.export_cells(combine=False).cells
    refs = first.references + second.references
    assert [type(r) for r in refs] == [Reference] * 3 and len(p.instances) == 2
    assert [(r.cell_index, r.name, r.polygons, r.trans_count) for r in refs] == [(1, "A", {"0": [0, 1]}, 1)] * 3
    assert [[k.trans for k in r.trans] for r in refs] == [[kdb.Trans(0, False, 10, 0)], [kdb.Trans(1, True, 0, 20)],
                                                          [kdb.Trans()]]
    assert refs[0].polygons is not refs[1].polygons
    p.export_cells()
    assert len(p.instances) == 2 and p.instance_index == 2


ARRAY = (kdb.Vector(1000, 0), kdb.Vector(0, 2000), 3, 2)


@pytest.mark.parametrize("trans, array, kind, dictionary", [
    (kdb.Trans(1, False, 5, 7), ARRAY, kdb.Trans, {"mirror": False, "angle": 90, "displacement": [0.005, 0.007]}),
    (kdb.ICplxTrans(1.0, 85, False, 100, 200), (), kdb.ICplxTrans,
     {"mirror": False, "angle": 85.0, "displacement": [0.1, 0.2], "magnification": 1.0}),
    (kdb.ICplxTrans(1.5, 0, True, 0, -40), (), kdb.ICplxTrans,
     {"mirror": True, "angle": 0.0, "displacement": [0.0, -0.04], "magnification": 1.5}),
    (kdb.ICplxTrans(1.5, 85, False, 0, 0), ARRAY, kdb.ICplxTrans,
     {"mirror": False, "angle": 85.0, "displacement": [0.0, 0.0], "magnification": 1.5}),
    (kdb.ICplxTrans(1.0, 90, True, 5, 5), (), kdb.Trans, {"mirror": True, "angle": 90, "displacement": [0.005, 0.005]}),
])
def test_placements_keep_member_order_angle_and_magnification(table, trans, array, kind, dictionary):
    layout = make_layout({"T": {}, "A": {(1, 0): [BOX]}}, [("T", "A", trans, *array)], layers=LAYERS)
    (r,) = ParseGDS(layout, table).export_cells(combine=False).cells[0].references
    inst = next(layout.cell("T").each_inst()).cell_inst
    expected = list(inst.each_cplx_trans() if inst.is_complex() else inst.each_trans())
    assert [type(k) for k in r.trans] == [KTrans] * len(expected) and r.trans_count == len(expected)
    assert [type(k.trans) for k in r.trans] == [kind] * len(expected)
    assert [k.trans for k in r.trans] == expected and r.trans[0].to_dict() == dictionary


@pytest.mark.parametrize("method, steps, flags", [
    ("export_cells", [{"combine": False}], [False]),
    ("export_cells", [{}, {"combine": False}], [True, False]),
    ("export_cells", [{"combine": None}, {"combine": 1}, {"combine": ""}], [False, True, False]),
    ("export_layers", [{}], [True]),
    ("export_layers", [{"combine": True}, {"combine": False}, {"combine": True}], [True, False, True]),
    ("export_layers", [{}, {"combine": 0}], [True, False]),
])
def test_combined_flag_follows_last_export(table, method, steps, flags):
    layout = make_layout({"T": {}, "A": {(1, 0): [BOX]}},
                         [("T", "A", kdb.Trans()), ("T", "A", kdb.Trans(0, False, 500, 0))], layers=LAYERS)
    p, seen = ParseGDS(layout, table), []
    for kwargs in steps:
        result = getattr(p, method)(**kwargs)
        seen.append(p.cell_combined if method == "export_cells" else p.layer_combined)
        top = result.cells[0] if method == "export_cells" else result.layers[0]["0"]
        assert len(top.references) == (1 if seen[-1] else 2)
    assert seen == flags and all(type(flag) is bool for flag in seen)


@pytest.fixture
def split_layout():
    """T: box on 1/0, A (2/0 only) twice, B (no own shapes) placing C (1/0), E (only a hidden layer)."""
    return make_layout({"T": {(1, 0): [BOX]}, "A": {(2, 0): [(0, 0, 200, 200)]}, "B": {},
                        "C": {(1, 0): [(0, 0, 300, 300)]}, "E": {(68, 0): [(0, 0, 5, 5)]}},
                       [("T", "A", kdb.Trans()), ("T", "B", kdb.Trans(2, False, 0, 0)), ("T", "E", kdb.Trans()),
                        ("B", "C", kdb.Trans(0, False, 9, 9)), ("T", "A", kdb.Trans(0, False, 1000, 0))], layers=LAYERS)


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
    assert one.references[0].trans is source_b.trans
    assert one.references[0].references[0].trans is source_b.references[0].trans
    assert p.cell_combined is False and p.layer_combined is False


def test_layer_split_keeps_record_classes(table):
    MyCell, MyReference = type("MyCell", (Cell,), {}), type("MyReference", (Reference,), {})
    p = ParseGDS(kdb.Layout(), table)
    p.layer_map = {0: (1, 0), 1: (2, 0)}
    child = MyReference(4, "R", polygons={"1": []}, trans=[KTrans(kdb.Trans())], trans_count=99)
    p.parsed_cells = ParsedCells(p.instances, p.layer_map, [MyCell(3, "T", polygons={"0": [7]}, references=[child])])
    (layers,) = p.export_layers(combine=False).layers
    assert [x.__class__ for x in walk(layers["0"])] == [MyCell]
    assert [x.__class__ for x in walk(layers["1"])] == [MyCell, MyReference]
    copy = layers["1"].references[0]
    assert copy.polygons["1"] is child.polygons["1"] and copy.trans is child.trans and copy.trans_count == 1


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
    empty = ParseGDS(make_layout({"T1": {(1, 0): [BOX]}, "T2": {}}), {(50, 0): show3d.PdkLayer("X", 1.0, 0.0, "#01")})
    assert empty.export_layers().layers == [{}, {}] and len(empty.parsed_cells.cells) == 2  # one per top cell


def attach(p, output, tops):
    if output == Output.CELL:
        p.parsed_cells = ParsedCells([], {}, tops)
    else:
        p.parsed_layers = ParsedLayers([], {}, [{"0": t} for t in tops])


@pytest.mark.parametrize("output", [Output.CELL, Output.LAYER])
def test_combination_worked_example(table, output):
    A, B = kdb.Trans(1, False, 100, 0), kdb.Trans(2, True, 0, 50)
    C, D = kdb.Trans(0, False, -30, 70), kdb.Trans(3, True, 5, 6)
    first, second = ref(7, A, refs=[ref(9, D)]), ref(7, B, C, refs=[ref(9, kdb.Trans(0, False, 1, 1))])
    nested, lists = first.references[0], [first.trans, second.trans, first.references[0].trans]
    nested.references = ()  # nothing below: left as it is
    kept = [k for r in (first, second) for k in r.trans]
    top = Cell(0, "TOP", references=[first, second])
    refs = [ref(4, kdb.Trans(0, False, 1, 0)), ref(2, kdb.Trans()),  # groups in order of first appearance
            ref(4, kdb.Trans(0, False, 2, 0), kdb.Trans(0, False, 3, 0)), ref(3), ref(2)]
    other, childless = Cell(1, "OTHER", references=list(refs)), Cell(2, "EMPTY")
    p = ParseGDS(kdb.Layout(), table)
    attach(p, output, [top, other, childless])
    result = p.combine_references(output=output)
    assert result is (p.parsed_cells if output == Output.CELL else p.parsed_layers)
    assert (p.cell_combined, p.layer_combined) == (output == Output.CELL, output == Output.LAYER)
    assert top.references == [first] and top.references[0] is first and first.references[0] is nested
    assert all(x is y for x, y in zip(first.trans, kept)) and first.trans_count == 3 and len(first.trans) == 3
    assert dicts(first.trans) == dicts(KTrans(t) for t in (A, B, C))
    assert nested.trans_count == 3 and dicts(nested.trans) == dicts(KTrans(t * D) for t in (A, B, C))
    assert nested.references == ()
    assert [len(x) for x in lists] == [1, 2, 1] and all(x is not y for x in lists for y in (first.trans, nested.trans))
    assert [r.cell_index for r in other.references] == [4, 2, 3]
    assert all(a is b for a, b in zip(other.references, refs[:2] + refs[3:4]))
    assert [r.trans_count for r in other.references] == [3, 1, 0] and other.references[2].trans == []
    assert [k.trans.disp.x for k in other.references[0].trans] == [1, 2, 3] and childless.references == []


PA, PB, TC = kdb.Trans(1, False, 100, 0), kdb.Trans(2, True, 0, 50), kdb.Trans(0, False, -30, 70)


@pytest.mark.parametrize("second_parent", ["another parent", "the top cell"])
@pytest.mark.parametrize("output", [Output.CELL, Output.LAYER])
def test_combination_composes_a_shared_placement_list_with_each_parent(table, output, second_parent):
    """One placement list object under two parents (records built by hand may share them)."""
    shared = [KTrans(TC)]
    original = shared[0]
    under_a, second = ref(9, refs=[]), ref(9, refs=[])
    under_a.trans = second.trans = shared
    if second_parent == "another parent":
        second = ref(5, PB, refs=[second])
    top = Cell(0, "TOP", references=[ref(4, PA, refs=[under_a]), second])
    p = ParseGDS(kdb.Layout(), table)
    attach(p, output, [top])
    p.combine_references(output)
    first_c, second_c = [r for r in walk(top) if r.cell_index == 9]
    assert dicts(first_c.trans) == dicts([KTrans(PA * TC)])
    assert dicts(second_c.trans) == dicts([KTrans(PB * TC if second_parent == "another parent" else TC)])
    assert shared == [original] and first_c.trans is not shared and second_c.trans is not shared


@pytest.mark.parametrize("where, error, message", [
    ("unknown output", None, None),
    ("top", TypeError, "Argument 'references' has incorrect type (expected list, got tuple)"),
    ("nested", TypeError, "Argument 'references' has incorrect type (expected list, got tuple)"),
    ("no placements", ValueError, "Either parent_trans or trans must be provided"),
])
def test_combination_errors_change_nothing(table, where, error, message):
    inner = ref(9, kdb.Trans())
    outer = ref(7, kdb.Trans(), refs=[inner])
    top = Cell(0, "TOP", references=[outer, ref(7, kdb.Trans())])
    if where == "top":
        top.references = tuple(top.references)
    elif where == "nested":
        outer.references = (inner,)
    elif where == "no placements":
        outer.trans = None
    p = ParseGDS(kdb.Layout(), table)
    attach(p, Output.CELL, [top])
    if error is None:  # anything but an Output member is ignored
        for output in (1, 2, "CELL", "LAYER", None):
            assert p.combine_references(output) is None and len(top.references) == 2
    else:
        with pytest.raises(error) as info:
            p.combine_references(Output.CELL)
        assert str(info.value) == message
    assert (p.cell_combined, p.layer_combined) == (False, False)


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

        def export_cells(self, *, combine=True):
            calls.append(("export", combine))
            return super().export_cells(combine=combine)

    p = Custom(split_layout, table)
    p.export_layers()
    assert calls == [("export", False), ("parse", "T"), ("combine", Output.LAYER)]
    assert p.instances == [[("box", 100)], [("box", 200)], [("box", 300)]]
    assert len(p.parsed_layers.layers[0]["1"].references) == 2


@pytest.mark.parametrize("step", ["walk", "split", "combine"])
@pytest.mark.parametrize("depth", [sys.getrecursionlimit() + 2000, 20000])
def test_hierarchy_deeper_than_recursion_limit(table, depth, step):
    names = [f"C{i}" for i in range(depth if step == "walk" else 1)]  # a chain of placed cells
    p = ParseGDS(make_layout({**{n: {} for n in names[:-1]}, names[-1]: {(1, 0): [BOX]}},
                             [(a, b, kdb.Trans()) for a, b in zip(names, names[1:])]), table)
    if step != "walk":  # a tree that deep, as records
        deep = top = Cell(0, "TOP")
        for i in range(depth):
            deep.references.append(ref(i + 1, kdb.Trans()))
            deep = deep.references[0]
        deep.polygons = {"0": [0]}
        p.parsed_cells = ParsedCells(p.instances, p.layer_map, [top])
    call = {"walk": lambda: p.export_cells(), "split": lambda: p.export_layers(combine=False),
            "combine": lambda: p.combine_references(Output.CELL)}[step]
    with pytest.raises(RecursionError):
        call()
    assert p.cell_combined is False and p.layer_combined is False


def chain(count):
    """A chain of `count` cells, each placing the next; the last has a box."""
    names = [f"C{i}" for i in range(count)]
    return make_layout({**{n: {} for n in names[:-1]}, names[-1]: {(1, 0): [BOX]}},
                       [(a, b, kdb.Trans()) for a, b in zip(names, names[1:])])


@pytest.mark.parametrize("step", [
    lambda p: p.export_cells(combine=False), lambda p: p.export_cells(), lambda p: p.export_layers(combine=False),
    lambda p: p.export_layers(), lambda p: (p.export_cells(), p.to_viewer(Output.CELL)),
    lambda p: (p.export_layers(), p.to_viewer(Output.LAYER)),
], ids=["walk", "combine", "split", "split and combine", "cell viewer", "layer viewer"])
def test_hierarchy_as_deep_as_the_recursion_limit(table, step):
    limit, deep, deeper = 300, ParseGDS(chain(300), table), ParseGDS(chain(301), table)
    saved = sys.getrecursionlimit()
    sys.setrecursionlimit(limit)
    try:
        step(deep)
        with pytest.raises(RecursionError) as info:
            step(deeper)
    finally:
        sys.setrecursionlimit(saved)
    assert str(info.value) == "maximum recursion depth exceeded while parsing the cell hierarchy"


SMALL_STACK_WALK = """
import sys, threading
import klayout.db as kdb
from conftest import make_layout
from tessarand.core.show3d import Output, ParseGDS, PdkLayer
names = [f"C{i}" for i in range(4000)]
layout = make_layout({**{n: {} for n in names[:-1]}, names[-1]: {(1, 0): [(0, 0, 1, 1)]}},
                     [(a, b, kdb.Trans()) for a, b in zip(names, names[1:])])
sys.setrecursionlimit(1_000_000)  # the interpreter's limit no longer stops the walk
threading.stack_size(1 << 20)
outcome = []
def run(step):
    p = ParseGDS(layout, {(1, 0): PdkLayer("WG", 0.22, 0.5, "#ff0000")})
    try:
        {"walk": p.export_cells, "split": lambda: p.export_layers(combine=False)}[step]()
        outcome.append("no error")
    except RecursionError:
        outcome.append("RecursionError")
thread = threading.Thread(target=run, args=(sys.argv[1],))
thread.start(); thread.join()
print(outcome[0])
"""


@pytest.mark.parametrize("step", ["walk", "split"])
def test_deep_hierarchy_on_a_small_thread_stack(step):
    # The guard measures the C stack left, whatever the recursion limit.
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(path for path in sys.path if path)}  # this module
    child = subprocess.run([sys.executable, "-c", SMALL_STACK_WALK, step], capture_output=True, text=True,
                           env=env, timeout=120)
    assert (child.returncode, child.stdout.strip()) == (0, "RecursionError"), child.stderr[-2000:]


def test_samples_parse_consistently(sample):
    p = ParseGDS(*sample)
    p.export_cells(combine=False)
    before = [(r, r.trans, list(r.trans)) for c in p.parsed_cells.cells for r in walk(c) if isinstance(r, Reference)]
    layers = p.export_layers().layers  # combining the split leaves the cell tree's placements intact
    assert all(r.trans is lst and r.trans == copy and r.trans_count == len(copy) for r, lst, copy in before)
    trees = p.export_cells().cells + [t for d in layers for t in d.values()]
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
    placed, insts = {}, list(layout.cell(top.cell_index).each_inst())
    for inst in insts:
        placed[inst.cell_index] = placed.get(inst.cell_index, 0) + inst.size()
    assert {r.cell_index: r.trans_count for r in top.references} == placed and p.cell_combined
    (split,) = p.export_layers().layers
    assert p.layer_combined and set(split) <= {str(i) for i in p.layer_map} and len(split) > 3
    assert p.cell_combined is False and len(p.parsed_cells.cells[0].references) == len(insts)

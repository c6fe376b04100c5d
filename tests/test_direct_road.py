"""The direct road of to_3D_viewer and show3d (layout straight to the scene) against
the step-by-step road it replaces: the same dictionaries and the same message text, and
the step-by-step road whenever something it would use was replaced."""

import copy
import fnmatch
import gc
import math
import random
import sys
import types

import klayout.db as kdb
import klayout.dbcore as dbcore
import orjson
import pytest

import tessarand.core.show3d as show3d
from conftest import SAMPLE_NAMES, kit_of, make_layout, sample_path, snap
from orvalis import Component, pdk
from tessarand.core.show3d import Output

MODES = [Output.LAYER, Output.CELL]


def step_by_step(monkeypatch):
    """Replaces a module name by an equal function, which takes the general road."""
    monkeypatch.setattr(show3d, "fnmatch", lambda name, pattern: fnmatch.fnmatch(name, pattern))


HIERARCHY = {"Cell", "Reference"}
VIEWER = {"Part", "Parts", "Shape", "ViewerData"}


def records_made(run, names=HIERARCHY | VIEWER):
    """Runs `run` and counts the records of `names` it builds (their __init__ is
    Python code): the direct road makes no hierarchy records, and viewer records
    only when they are the result."""
    count = 0

    def profile(frame, event, arg):
        nonlocal count
        if event == "call" and frame.f_code.co_name == "__init__":
            count += type(frame.f_locals.get("self")).__name__ in names

    sys.setprofile(profile)
    try:
        result = run()
    finally:
        sys.setprofile(None)
    return count, result


@pytest.fixture
def sent(monkeypatch):
    """The texts of the messages show3d hands to the viewer, which gets none."""
    import tessarand.core.communication as comms
    texts = []
    monkeypatch.setattr(comms, "send_message", lambda message: texts.append(message.content))
    return texts


def both_roads(monkeypatch, run, skipped=HIERARCHY | VIEWER, replaced=False):
    """What `run` gives, and what it gives on the general road. Where KLayout's own
    was `replaced`, the call decides which road it takes."""
    direct_records, direct = records_made(run, skipped)
    with monkeypatch.context() as patch:
        step_by_step(patch)
        general = run()
    assert replaced or direct_records == 0  # the direct road was taken
    return direct, general


def same_scene(direct, general):
    assert snap(direct) == snap(general)
    assert not isinstance(direct, dict) or (orjson.dumps(show3d.numpy_to_buffer_json(direct))
            == orjson.dumps(show3d.numpy_to_buffer_json(general)))


@pytest.mark.parametrize("as_dict", [True, False])
@pytest.mark.parametrize("tolerance", [0.01, None])
@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("name", SAMPLE_NAMES)
def test_samples_give_the_same_scene(monkeypatch, name, mode, tolerance, as_dict):
    path = str(sample_path(name))
    pdk.activate_pdk(kit_of(name))
    exclude = ["metal1*", "si"] if tolerance is None else None
    try:
        direct, general = both_roads(monkeypatch, lambda: show3d.to_3D_viewer(
            path, mode, curve_tolerance=tolerance, exclude_layers=exclude, as_dict=as_dict),
            skipped=HIERARCHY | VIEWER if as_dict else HIERARCHY)
    finally:
        pdk.activate_pdk("ebeam")
    same_scene(direct, general)


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("name", ["ihp_sram_1p_1024x16.gds", "siepic_rotation_flip_test.gds"])
def test_show3d_sends_the_same_message(monkeypatch, name, mode, sent):
    pdk.activate_pdk(kit_of(name))
    try:
        both_roads(monkeypatch, lambda: show3d.show3d(str(sample_path(name)), mode))
    finally:
        pdk.activate_pdk("ebeam")
    assert len(sent) == 2 and sent[0] == sent[1]


def large_scene():
    """Over a megabyte of arrays, written on every core: 2,000 outlines; 90,000
    simple and 40,000 complex placements, each group under a rotated parent, the
    simple ones on two layers (one array in two leaves)."""
    cells = {"TOP": {(1, 0): [(i, 0, i + 7, 5 + i % 3) for i in range(0, 20000, 10)]},
             "MID": {}, "U": {(1, 0): [BOX], (2, 0): [(0, 0, 30, 40)]}, "V": {(2, 0): [RING]}}
    places = [("TOP", "MID", kdb.Trans(1, True, 5, -7)),
              ("MID", "U", kdb.Trans(), kdb.Vector(2000, 0), kdb.Vector(0, 2000), 300, 300),
              ("MID", "V", kdb.ICplxTrans(1.5, 30.0, False, kdb.Vector(10, 20)),
               kdb.Vector(3000, 0), kdb.Vector(0, 3000), 200, 200)]
    return make_layout(cells, places, layers=[(1, 0), (2, 0)])


@pytest.mark.parametrize("mode", MODES)
def test_show3d_sends_the_same_large_message(monkeypatch, tmp_path, mode, sent):
    path = tmp_path / "large.gds"
    large_scene().write(str(path))
    both_roads(monkeypatch, lambda: show3d.show3d(str(path), mode))
    assert len(sent) == 2 and len(sent[0]) > 4_000_000 and sent[0] == sent[1]


def leaf_groups(case):
    """Cells that place nothing (U, W) under a placed cell (MID), whose placements
    the direct road composes only while it writes the message."""
    cells = {"TOP": {}, "MID": {(1, 0): [BOX]}, "U": {(1, 0): [BOX], (2, 0): [(0, 0, 30, 40)]},
             "W": {(2, 0): [(0, 0, 5, 5)]}}
    cplx = kdb.ICplxTrans(1.5, 30.0, False, kdb.Vector(10, 20))
    if case == "runs":  # three parents, U in three runs a chunk or a piece of text long, W apart
        places = [("TOP", "MID", kdb.Trans(1, True, 5, -7), kdb.Vector(0, 900), kdb.Vector(900, 0), 3, 1),
                  ("MID", "U", kdb.Trans(2, False, 3, 4), kdb.Vector(40, 3), kdb.Vector(-5, 25), 7, 13),
                  ("MID", "W", kdb.Trans(3, True, 0, 0)),
                  ("MID", "U", kdb.Trans(1, True, -8, 9)),
                  ("MID", "U", kdb.Trans(0, False, 0, 0), kdb.Vector(50, 0), kdb.Vector(0, 50), 100, 50)]
    elif case == "mixed":  # one group of U: a simple array and a complex placement
        places = [("TOP", "MID", kdb.Trans(1, False, 5, 5), kdb.Vector(0, 900), kdb.Vector(900, 0), 2, 1),
                  ("MID", "U", kdb.Trans(), kdb.Vector(40, 0), kdb.Vector(0, 40), 30, 30),
                  ("MID", "U", cplx)]
    elif case == "complex parents":
        places = [("TOP", "MID", cplx, kdb.Vector(0, 900), kdb.Vector(900, 0), 3, 2),
                  ("MID", "U", kdb.Trans(2, False, 3, 4), kdb.Vector(40, 3), kdb.Vector(-5, 25), 17, 13)]
    elif case == "at the edge":  # the reaches add up to KLayout's largest coordinate
        edge = 2**31 - 1
        places = [("TOP", "MID", kdb.Trans(0, False, edge - 290, 0)),
                  ("TOP", "MID", kdb.Trans(3, True, 0, -(edge - 290))),
                  ("MID", "U", kdb.Trans(0, False, 0, 0), kdb.Vector(10, 0), kdb.Vector(0, 10), 30, 30)]
    else:  # beyond the range the products could reach, though none does
        far = 2_000_000_000
        places = [("TOP", "MID", kdb.Trans(0, False, far, 0)),
                  ("MID", "U", kdb.Trans(0, False, -far, 0), kdb.Vector(10, 0), kdb.Vector(0, 10), 30, 30)]
    return make_layout(cells, places, layers=[(1, 0), (2, 0)])


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("case", ["runs", "mixed", "complex parents", "at the edge", "near the edge"])
def test_placements_composed_while_the_message_is_written(monkeypatch, tmp_path, case, mode, sent):
    path = tmp_path / "leaves.gds"
    leaf_groups(case).write(str(path))
    both_roads(monkeypatch, lambda: show3d.show3d(str(path), mode))
    assert len(sent) == 2 and sent[0] == sent[1]
    both_forms(monkeypatch, lambda: leaf_groups(case), mode)


def test_placements_composed_late_are_let_go_after_the_message(monkeypatch, tmp_path, sent):
    """What the late matrices are made from (the walk's tables, which hold the
    curve tolerance among other objects) goes when the message is written. (KLayout
    keeps references to the types of the objects it hands out, so the tolerance,
    an object of the caller's, tells.)"""
    path = tmp_path / "leaves.gds"
    leaf_groups("runs").write(str(path))
    tolerance = float("0.0125")

    def references_after_a_message():
        show3d.show3d(str(path), Output.LAYER, curve_tolerance=tolerance)
        gc.collect()
        return sys.getrefcount(tolerance)

    held = references_after_a_message()
    assert [references_after_a_message() for _ in range(3)] == [held] * 3


@pytest.mark.parametrize("dumps", ["orjson's", "a stand-in's"])
@pytest.mark.parametrize("mode", MODES)
def test_show3d_message_with_text_beyond_ascii(monkeypatch, tmp_path, mode, dumps, sent):
    """The arrays' text goes into the message after orjson wrote the rest; with a
    stand-in orjson, or text beyond ASCII, the message is still orjson's own."""
    calls = []
    if dumps == "a stand-in's":
        monkeypatch.setattr(show3d, "orjson", types.SimpleNamespace(
            dumps=lambda *args, **kwargs: calls.append(1) or orjson.dumps(*args, **kwargs)))
    from orvalis.technology import Color
    monkeypatch.setattr(Color, "as_hex", lambda self: "gr\u00fcn \u20ac \U0001d11e")
    path = tmp_path / "names.gds"
    hierarchy().write(str(path))
    both_roads(monkeypatch, lambda: show3d.show3d(str(path), mode))
    assert len(sent) == 2 and sent[0] == sent[1]
    assert '"color":"gr\u00fcn \u20ac \U0001d11e"' in sent[0] and '"codec":"b64"' in sent[0]
    assert len(calls) == (2 if dumps == "a stand-in's" else 0)


def test_show3d_writes_large_arrays_straight_into_the_message(monkeypatch, tmp_path):
    """The matrices of 90,000 placements and a polygon table of 2,000 outlines reach
    the message text without passing through Python strings: the Python memory peak
    stays near the message's own size (their base64 strings, orjson's bytes and the
    decoded text would take three times it)."""
    import tracemalloc

    import tessarand.core.communication as comms
    sizes = []
    monkeypatch.setattr(comms, "send_message", lambda message: sizes.append(len(message.content)))
    layout = make_layout({"TOP": {(1, 0): [(i, 0, i + 7, 5 + i % 3) for i in range(0, 20000, 10)]},
                          "U": {(1, 0): [BOX]}},
                         [("TOP", "U", kdb.Trans(), kdb.Vector(2000, 0), kdb.Vector(0, 2000), 300, 300)])
    path = tmp_path / "array.gds"
    layout.write(str(path))
    show3d.show3d(str(path), Output.CELL)  # imports and first calls out of the measurement
    tracemalloc.start()
    try:
        show3d.show3d(str(path), Output.CELL)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert sizes[0] == sizes[1] > 3_000_000
    assert peak < 1.3 * sizes[1]


BOX, RING = (0, 0, 1000, 500), kdb.Polygon([kdb.Point(round(3000 * kdb.DPoint(1, 0).x), 0),
                                            kdb.Point(0, 3000), kdb.Point(-2000, -1000)])


def hierarchy():
    """Arrays, rotations, mirrors, complex placements, texts, several top cells,
    a cell placed twice at one level, a layer without a table entry."""
    cells = {"TOP": {(1, 0): [BOX]}, "A": {(1, 0): [BOX, RING], (2, 0): [kdb.Text("t", kdb.Trans())]},
             "B": {(2, 0): [(0, 0, 50, 50)], (68, 0): [BOX]}, "LEAF": {(2, 0): [(0, 0, 7, 9)]},
             "EMPTY": {}, "OTHER_TOP": {(2, 0): [(5, 5, 10, 10)]}}
    places = [("TOP", "A", kdb.Trans(1, False, 100, 200)),
              ("TOP", "A", kdb.Trans(2, True, -300, 0)),
              ("TOP", "B", kdb.Trans(0, False, 0, 0), kdb.Vector(100, 0), kdb.Vector(0, 100), 3, 2),
              ("A", "LEAF", kdb.ICplxTrans(1.5, 30.0, True, kdb.Vector(10, 20))),
              ("B", "LEAF", kdb.Trans(3, True, 1, 2)),
              ("B", "EMPTY", kdb.Trans())]
    return make_layout(cells, places, layers=[(1, 0), (2, 0), (68, 0)])


def converted(layout, mode, tolerance, exclude=None, as_dict=True):
    """to_3D_viewer on a component wrapping the layout, with the demo kit's layers
    replaced by the two test layers."""
    stack = pdk.get_layer_stack()
    views = pdk.get_layer_views()
    return show3d.to_3D_viewer(Component.from_layout(layout), mode, views, stack,
                               curve_tolerance=tolerance, exclude_layers=exclude, as_dict=as_dict)


def both_forms(monkeypatch, build, mode, tolerance=None, exclude=None):
    """The dictionaries and the records of both roads are the same."""
    for as_dict in (True, False):
        direct, general = both_roads(monkeypatch, lambda: converted(build(), mode, tolerance, exclude, as_dict),
                                     skipped=HIERARCHY | VIEWER if as_dict else HIERARCHY)
        same_scene(direct, general)
    return direct


def arrays_of_arrays():
    """Regular arrays at every orientation, nested in turned and mirrored arrays, one
    reaching the edge of KLayout's coordinates, beside a complex array."""
    cells = {"TOP": {}, "ROW": {(1, 0): [BOX]}, "UNIT": {(2, 0): [(0, 0, 30, 20)]}}
    places = [("ROW", "UNIT", kdb.Trans(a, m, 10 * a, -7), kdb.Vector(40, 3), kdb.Vector(-5, 25), 4, 3)
              for a in range(4) for m in (False, True)]
    places += [("TOP", "ROW", kdb.Trans(1, True, 1000, 2000), kdb.Vector(0, 600), kdb.Vector(900, 0), 5, 2),
               ("TOP", "UNIT", kdb.Trans(0, False, 2**31 - 100, 0), kdb.Vector(30, 0), kdb.Vector(0, 30), 3, 1),
               ("TOP", "UNIT", kdb.ICplxTrans(2.0, 45.0, False, kdb.Vector(0, 0)), kdb.Vector(100, 0),
                kdb.Vector(0, 100), 2, 2)]
    return make_layout(cells, places, layers=[(1, 0), (2, 0)])


def singles_and_rows():
    """Single placements at every orientation, and rows, columns and a two-way
    array of them in the same cell, as a placed block holds them; and runs of
    single placements of two cells, interleaved."""
    cells = {"TOP": {}, "MID": {}, "UNIT": {(2, 0): [(0, 0, 30, 20)]}, "OTHER": {(1, 0): [(0, 0, 9, 9)]},
             "ROW": {}}
    places = [("ROW", child, kdb.Trans(i % 4, i % 3 == 0, 40 * i, -7 * i))
              for i, child in enumerate(["UNIT", "UNIT", "OTHER", "UNIT", "OTHER", "OTHER", "UNIT"])]
    places += [("TOP", "ROW", kdb.Trans(1, True, 0, 2000)), ("TOP", "ROW", kdb.Trans(0, False, 900, 2000))]
    places += [("MID", "UNIT", kdb.Trans(a, m, 50 * a, 70 * m)) for a in range(4) for m in (False, True)]
    places += [("MID", "UNIT", kdb.Trans(a, m, 0, 500), kdb.Vector(40, 3), kdb.Vector(-5, 25), n, k)
               for n, k in ((5, 1), (1, 4), (1, 1)) for a, m in ((1, True), (3, False))]
    places += [("MID", "UNIT", kdb.Trans(), kdb.Vector(0, 0), kdb.Vector(0, 100), 3, 2),
               ("MID", "UNIT", kdb.Trans(2, False, 9, 9), kdb.Vector(100, 0), kdb.Vector(0, 100), 3, 2),
               ("TOP", "MID", kdb.Trans(1, True, 7, 7), kdb.Vector(0, 900), kdb.Vector(900, 0), 1, 3),
               ("TOP", "MID", kdb.Trans(3, False, -9, 0))]
    return make_layout(cells, places, layers=[(1, 0), (2, 0)])


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("build", [arrays_of_arrays, singles_and_rows])
def test_arrays_of_arrays_give_the_same_scene(monkeypatch, mode, build):
    both_forms(monkeypatch, build, mode)


@pytest.mark.parametrize("exclude", [None, ["si_rib*"]])
@pytest.mark.parametrize("tolerance", [0.01, None])
@pytest.mark.parametrize("mode", MODES)
def test_hand_built_hierarchy_gives_the_same_scene(monkeypatch, mode, tolerance, exclude):
    assert both_forms(monkeypatch, hierarchy, mode, tolerance, exclude).parts  # something is shown


@pytest.mark.parametrize("mode", MODES)
def test_the_callers_dictionaries_share_no_lists(mode):
    """The message's dictionaries may share their equal lists; those a caller gets
    may not, so that changing one node changes no other."""
    seen, nodes = set(), [converted(hierarchy(), mode, None)]
    while nodes:
        node = nodes.pop()
        lists = [node["loc"], *node["loc"], *([node["state"]] if "state" in node else [])]
        assert not seen & {id(item) for item in lists}
        seen |= {id(item) for item in lists}
        nodes.extend(node.get("parts", ()))
    assert len(seen) > 20


def shapes_and_placements():
    """Boxes with and without area, far out and with properties, beside texts,
    a polygon and a path, in the top cell and in a cell placed singly at every
    orientation, at the edge of KLayout's coordinates, magnified, and in arrays
    (one of a single member)."""
    edge, far = 2**31 - 1, 2**30
    shapes = [(0, 0, 100, 50), (-70, -30, -10, 40), (5, 5, 5, 60), (0, 9, 80, 9), (3, 3, 3, 3),
              (-edge, -edge, edge, edge), (-far, -far, far, far), (far - 1, 0, far + 1, 3),
              kdb.BoxWithProperties(kdb.Box(10, 10, 20, 30), {"net": "a"}),
              kdb.Text("label", kdb.Trans(4, 4)), kdb.TextWithProperties(kdb.Text("t", kdb.Trans()), {1: 2}),
              RING, kdb.Path([kdb.Point(0, 0), kdb.Point(100, 0), kdb.Point(100, 80)], 10)]
    cells = {"TOP": {(1, 0): shapes[:8], (2, 0): shapes[8:]}, "UNIT": {(2, 0): shapes[1:11]}}
    places = [("TOP", "UNIT", kdb.Trans(angle, mirror, 100 * angle - 7, 30 if mirror else -30))
              for angle in range(4) for mirror in (False, True)]
    places += [("TOP", "UNIT", kdb.Trans(0, False, edge, -edge)),
               ("TOP", "UNIT", kdb.ICplxTrans(2.0, 90.0, False, kdb.Vector(10, 20))),
               ("TOP", "UNIT", kdb.Trans(1, True, 500, 0), kdb.Vector(300, 0), kdb.Vector(0, 300), 2, 2),
               ("TOP", "UNIT", kdb.Trans(3, False, 9, 9), kdb.Vector(300, 0), kdb.Vector(0, 300), 1, 1)]
    return make_layout(cells, places, layers=[(1, 0), (2, 0)])


@pytest.mark.parametrize("tolerance", [0.01, None])
@pytest.mark.parametrize("mode", MODES)
def test_shapes_and_placements_give_the_same_scene(monkeypatch, mode, tolerance):
    both_forms(monkeypatch, shapes_and_placements, mode, tolerance)


def patch_klayout(patch, where):
    """Replaces a KLayout method the walks read through: on the class, or on the
    top cells' own objects (KLayout hands out one object per cell)."""
    if where == "Shapes.each":
        each = kdb.Shapes.each
        patch.setattr(kdb.Shapes, "each", lambda self, *flags: (s for s in each(self, *flags) if not s.is_box()))
    elif where == "Shape.polygon":
        polygon = kdb.Shape.polygon
        patch.setattr(kdb.Shape, "polygon",
                      property(lambda self: None if (p := polygon.__get__(self)) is None else p.moved(1, 0)))
    elif where == "Instance.cell_inst":
        cell_inst = kdb.Instance.cell_inst
        patch.setattr(kdb.Instance, "cell_inst",
                      property(lambda self: (array := cell_inst.__get__(self)).transform(kdb.Trans(1, 0)) or array))
    elif where == "CellInstArray.each_trans":
        each_trans = kdb.CellInstArray.each_trans
        patch.setattr(kdb.CellInstArray, "each_trans", lambda self: list(each_trans(self))[::-1])
    else:
        top_cells = kdb.Layout.top_cells

        def with_own_shapes(layout):
            tops = top_cells(layout)
            for top in tops:
                top.shapes = lambda layer, cell=top: kdb.Shapes()
            return tops
        patch.setattr(kdb.Layout, "top_cells", with_own_shapes)


@pytest.mark.parametrize("where", ["Shapes.each", "Shape.polygon", "Instance.cell_inst",
                                   "CellInstArray.each_trans", "a top cell's shapes"])
def test_replaced_klayout_methods_are_read_on_both_roads(monkeypatch, where):
    with monkeypatch.context() as patch:
        patch_klayout(patch, where)
        direct, general = both_roads(monkeypatch, lambda: converted(hierarchy(), Output.CELL, None), replaced=True)
    same_scene(direct, general)
    assert snap(direct) != snap(converted(hierarchy(), Output.CELL, None))  # the replacement was read


@pytest.mark.parametrize("name, replacement", [
    ("Shape.type", lambda self: kdb.Shape.TText),
    ("Shape.bbox", lambda self: kdb.Box(0, 0, 1, 1)),
    ("Box.to_bytes", lambda self, to_bytes=kdb.Box.to_bytes: to_bytes(kdb.Box(0, 0, 1, 1))),
    ("Instance.size", lambda self: 1),
    ("Instance.is_complex", lambda self: False),
    ("Instance.trans", property(lambda self: kdb.Trans(5, 5))),
    ("Trans.to_bytes", lambda self, to_bytes=kdb.Trans.to_bytes: to_bytes(kdb.Trans(5, 5))),
    ("Shape.__getattribute__", lambda self, name: (lambda: kdb.Box(0, 0, 1, 1)) if name == "bbox"
     else object.__getattribute__(self, name)),
    ("Layout.write_bytes", lambda self, options: kdb.Layout().write_bytes(options)),
    ("SaveLayoutOptions.add_layer", lambda self, index, info: None),
    ("Shapes.size", lambda self: 0),
    ("Shapes.SPaths", kdb.Shapes.SBoxes),
    ("Shape.is_path", lambda self: True),
])
def test_klayout_names_only_the_direct_road_might_read_change_nothing(monkeypatch, name, replacement):
    """The direct road reads a box through its bounding box, skips a text by its
    kind, reads a single placement from its instance and most shapes from the
    layout's stream form while KLayout's methods are its own; replaced, it reads
    what the step-by-step road reads."""
    unreplaced = converted(shapes_and_placements(), Output.CELL, None)
    with monkeypatch.context() as patch:
        cls, method = name.split(".")
        patch.setattr(getattr(kdb, cls), method, replacement, raising=False)
        direct, general = both_roads(monkeypatch, lambda: converted(shapes_and_placements(), Output.CELL, None), replaced=True)
    same_scene(direct, unreplaced)
    same_scene(general, unreplaced)


@pytest.mark.parametrize("cls, name, lender", [
    ("Shape", "bbox", "Box"), ("Box", "to_bytes", "Edge"), ("Instance", "trans", "CellInstArray"),
    ("Instance", "size", "CellInstArray"), ("Trans", "to_bytes", "Box"), ("CellInstArray", "to_s", "Trans"),
])
def test_a_method_of_another_klayout_class_changes_nothing(monkeypatch, cls, name, lender):
    """A KLayout method of the same name but of another class does not apply to
    this class's objects; the step-by-step road never reads it."""
    unreplaced = converted(shapes_and_placements(), Output.CELL, None)
    with monkeypatch.context() as patch:
        patch.setattr(getattr(kdb, cls), name, getattr(kdb, lender).__dict__[name])
        direct, general = both_roads(monkeypatch, lambda: converted(shapes_and_placements(), Output.CELL, None), replaced=True)
    same_scene(direct, unreplaced)
    same_scene(general, unreplaced)


def mixed_layers(seed):
    """Every kind of shape interleaved on shared layers, in three cells: boxes (some
    without area, beyond 2^30, with properties), polygons (one of 2,000 points, one
    without area, one touching itself at a corner), paths of every end, edges,
    texts."""
    rng = random.Random(seed)
    touching = kdb.Polygon([kdb.Point(*p) for p in [(0, 0), (0, 10), (10, 10), (10, 20), (20, 20), (20, 10), (10, 10), (10, 0)]])
    circle = kdb.Polygon([kdb.Point(round(9e5 * math.cos(a * math.tau / 2000)), round(9e5 * math.sin(a * math.tau / 2000)))
                          for a in range(2000)])

    def shape():
        x, y, w, h = rng.randrange(-9000, 9000), rng.randrange(-9000, 9000), rng.randrange(0, 90), rng.randrange(0, 90)
        return rng.choice([
            lambda: (x, y, x + w, y + h), lambda: (x, y, x + w + 1, y + h + 1),
            lambda: kdb.BoxWithProperties(kdb.Box(x, y, x + 5, y + 9), {"n": x}),
            lambda: kdb.Polygon([kdb.Point(x, y), kdb.Point(x + w + 1, y), kdb.Point(x, y + h + 1)]),
            lambda: kdb.Polygon([kdb.Point(x, y), kdb.Point(x + 5, y), kdb.Point(x + 9, y)]),
            lambda: kdb.Path([kdb.Point(x, y), kdb.Point(x + w, y + 40), kdb.Point(x + 90, y)], 6 + w % 5, w % 3, h % 4, w % 2 == 0),
            lambda: kdb.Path([kdb.Point(x, y)], 8), lambda: kdb.Edge(x, y, x + w, y + h),
            lambda: kdb.Text("t", x, y), lambda: touching.moved(x, y), lambda: circle.moved(x, y),
            lambda: (-2**30 - 5, y, 0, y + 3),
        ])()
    weights = {"TOP": 40, "A": 60, "B": 30}
    cells = {name: {(1 + rng.randrange(2), 0): [shape() for _ in range(count)]} for name, count in weights.items()}
    for name in cells:
        cells[name][(2, 0)] = [shape() for _ in range(weights[name] // 2)]
    places = [("TOP", "A", kdb.Trans(1, False, 100, 0)), ("A", "B", kdb.Trans(0, True, -50, 70)),
              ("TOP", "B", kdb.Trans(), kdb.Vector(500, 0), kdb.Vector(0, 500), 2, 3)]
    return make_layout(cells, places, layers=[(1, 0), (2, 0)])


@pytest.mark.parametrize("tolerance", [0.01, None])
@pytest.mark.parametrize("seed", range(4))
def test_mixed_layers_give_the_same_scene(monkeypatch, seed, tolerance):
    for mode in MODES:
        direct, general = both_roads(monkeypatch, lambda: converted(mixed_layers(seed), mode, tolerance))
        same_scene(direct, general)


class KeptAsIs(Component):
    """A component written in a form that keeps what a stream file cannot hold:
    holes, points."""

    def write_gds(self, path):
        options = kdb.SaveLayoutOptions()
        options.format = "LStream"
        self.layout.write(str(path), options)
        return path


def kept_as_is(layout):
    """to_3D_viewer on the layout written as KeptAsIs writes it: the kit's stack
    with a derived-layer step that hands the component on as it is."""
    stack = copy.copy(pdk.get_layer_stack())
    stack.get_component_with_derived_layers = lambda component: component
    return show3d.to_3D_viewer(KeptAsIs.from_layout(layout), Output.CELL, pdk.get_layer_views(), stack,
                               curve_tolerance=None, as_dict=True)


def one_awkward_shape(awkward):
    """Plain boxes and polygons on both layers, and one shape whose stream form is
    not the polygon KLayout gives for it, among them on layer 1/0."""
    plain = [(0, 0, 100, 50), kdb.Polygon([kdb.Point(0, 0), kdb.Point(90, 0), kdb.Point(40, 70)]), (200, 0, 260, 30)]
    return make_layout({"TOP": {(1, 0): [plain[0], awkward, *plain[1:]], (2, 0): plain}}, layers=[(1, 0), (2, 0)])


def holed():
    polygon = kdb.Polygon(kdb.Box(0, 0, 100, 100))
    polygon.insert_hole(kdb.Box(10, 10, 20, 20))
    return polygon


@pytest.mark.parametrize("awkward", [
    (-2**31 + 1, -2**31 + 1, 2**31 - 1, 2**31 - 1), (5, 0, 5, 20), (0, 5, 10, 5), holed(),
    kdb.Polygon([kdb.Point(*p) for p in [(0, 0), (0, 10), (10, 10), (10, 20), (20, 20), (20, 10), (10, 10), (10, 0)]]),
], ids=["full box", "no width", "no height", "holes", "touching itself"])
def test_shapes_whose_stream_form_differs_give_the_same_scene(monkeypatch, awkward):
    same_scene(*both_roads(monkeypatch, lambda: kept_as_is(one_awkward_shape(awkward))))


@pytest.mark.parametrize("lying_size", [False, True])
def test_a_shape_the_stream_form_leaves_out_fails_on_both_roads(monkeypatch, lying_size):
    """A point has no polygon, and the step-by-step road refuses it; the stream
    form leaves it out, even where Shapes.size was replaced to agree with it."""
    if lying_size:
        size = kdb.Shapes.size
        monkeypatch.setattr(kdb.Shapes, "size", lambda self: size(self) - sum(1 for s in self.each() if s.is_point()))
    layout = one_awkward_shape((7, 7, 9, 9))
    layout.top_cell().shapes(layout.layer(1, 0)).insert(kdb.Point(3, 3))
    errors = []
    for road in (lambda patch: None, step_by_step):
        with monkeypatch.context() as patch, pytest.raises(AttributeError) as error:
            road(patch)
            kept_as_is(layout)
        errors.append(str(error.value))
    assert errors[0] == errors[1]


def two_cells(first="A", second="B"):
    """Two placed cells with a box of their own size and a path on each layer, under a
    top cell whose layers hold the same box (the one the direct road compares)."""
    path = kdb.Path([kdb.Point(0, 0), kdb.Point(80, 0)], 6)
    cells = {"TOP": {(1, 0): [(0, 0, 100, 50)], (2, 0): [(0, 0, 100, 50)]},
             first: {(1, 0): [(0, 0, 10, 10), path], (2, 0): [(0, 0, 5, 5), path]},
             second: {(1, 0): [(0, 0, 70, 20), path], (2, 0): [(0, 0, 9, 3), path]}}
    return make_layout(cells, [("TOP", first, kdb.Trans(1000, 0)), ("TOP", second, kdb.Trans(2000, 0))],
                       layers=[(1, 0), (2, 0)])


@pytest.mark.parametrize("first, second", [("a b", "a$b"), ("é", "$$"), ("x" * 32001, "x" * 32000)])
def test_cells_the_stream_form_renames_give_the_same_scene(monkeypatch, first, second):
    """The stream form renames a name it cannot hold, to a name another cell may have."""
    same_scene(*both_roads(monkeypatch, lambda: kept_as_is(two_cells(first, second))))


def test_a_polygon_kept_with_a_point_on_its_edge_gives_the_same_scene(monkeypatch):
    """KLayout's polygon of the shape leaves the point out; its stream form keeps it."""
    raw = kdb.Polygon([kdb.Point(0, 0), kdb.Point(9, 31), kdb.Point(9, 0), kdb.Point(5, 0)], True)
    layout = make_layout({"TOP": {(1, 0): [(0, 0, 100, 50)], (2, 0): [raw]}}, layers=[(1, 0), (2, 0)])
    direct, general = both_roads(monkeypatch, lambda: kept_as_is(layout))
    assert general["instances"][1].tolist() == pytest.approx([0, 0, 0.009, 0.031, 0.009, 0])
    same_scene(direct, general)


def hostile(patch, case):
    """Python code that changes what the stream form holds, or when it is read."""
    read, init, each_inst = dbcore.Layout.read, dbcore.SaveLayoutOptions.__init__, dbcore.Cell.each_inst

    def moved(layout):
        return [layout.cell(name).shapes(i).transform(kdb.Trans(1, 0)) for name in "AB" for i in layout.layer_indexes()]
    if case == "names swapped":
        patch.setattr(dbcore.Cell, "__getattribute__", lambda self, name: (lambda value: {"A": "B", "B": "A"}.get(
            value, value) if name == "name" else value)(object.__getattribute__(self, name)), raising=False)
    elif case == "the layout's own write_bytes":
        def reading(self, *args):
            read(self, *args)
            self.write_bytes = lambda options, copy=self.dup(): moved(copy) and copy.write_bytes(options)
        patch.setattr(dbcore.Layout, "read", reading)
    elif case == "the options' own add_layer":
        def swapping(self, *args):
            init(self, *args)
            add = self.add_layer
            self.add_layer = lambda index, info: add(index, kdb.LayerInfo(1 - info.layer, 0))
        patch.setattr(dbcore.SaveLayoutOptions, "__init__", swapping)
    elif case == "changed during the walk":
        patch.setattr(dbcore.Cell, "each_inst", lambda self: moved(self.layout()) and each_inst(self))
    else:  # a flag KLayout refuses
        patch.setattr(dbcore.Shapes, "SPaths", int(case))


@pytest.mark.parametrize("case", ["names swapped", "the layout's own write_bytes", "the options' own add_layer",
                                  "changed during the walk", "-1", str(2**40)])
def test_replacements_around_the_stream_form_are_read_alike_on_both_roads(monkeypatch, case):
    with monkeypatch.context() as patch:
        hostile(patch, case)
        direct, general = both_roads(monkeypatch, lambda: converted(two_cells(), Output.CELL, None),
                                     replaced=not case.lstrip("-").isdigit())
    same_scene(direct, general)


def test_a_stream_form_other_than_klayouts_is_not_read(monkeypatch):
    """A replaced write_bytes that moves the shapes of the placed cell; the top
    cell, whose first shape the direct road compares, is left as it is."""
    write_bytes = kdb.Layout.write_bytes

    def moved_placed_cell(layout, options):
        copy = layout.dup()
        for index in copy.layer_indexes():
            copy.cell("UNIT").shapes(index).transform(kdb.Trans(1, 0))
        return write_bytes(copy, options)

    def layout():
        plain = one_awkward_shape((7, 7, 9, 9))
        unit = plain.create_cell("UNIT")
        unit.shapes(0).insert(kdb.Box(0, 0, 30, 20))
        plain.cell("TOP").insert(kdb.CellInstArray(unit.cell_index(), kdb.Trans(40, 0)))
        return plain
    unreplaced = converted(layout(), Output.CELL, None)
    monkeypatch.setattr(kdb.Layout, "write_bytes", moved_placed_cell)
    direct, general = both_roads(monkeypatch, lambda: converted(layout(), Output.CELL, None), replaced=True)
    same_scene(direct, unreplaced)
    same_scene(general, unreplaced)


def replace_in_place(patch, case):
    """A KLayout class changed in place (a method, or its attribute reads) while
    the converter's name for it may be bound to another KLayout class."""
    cls, _, what = case.partition(".")
    if what == "__getattribute__":
        to_bytes = getattr(kdb, cls).__dict__["to_bytes"]
        patch.setattr(getattr(kdb, cls), "__getattribute__", lambda self, name: (lambda: to_bytes(self.moved(1, 0)))
                      if name == "to_bytes" else object.__getattribute__(self, name), raising=False)
    elif cls == "Box":
        to_bytes = kdb.Box.__dict__["to_bytes"]
        patch.setattr(kdb.Box, "to_bytes", lambda self: to_bytes(self.moved(1, 0)))
        patch.setattr(dbcore, "Box", kdb.DBox)
    elif cls == "Polygon":
        to_dtype = kdb.Polygon.__dict__["to_dtype"]
        patch.setattr(kdb.Polygon, "to_dtype", lambda self, dbu=1: to_dtype(self.moved(1, 0), dbu))
        patch.setattr(dbcore, "Polygon", kdb.SimplePolygon)
    else:
        each_trans = kdb.CellInstArray.__dict__["each_trans"]
        patch.setattr(kdb.CellInstArray, "each_trans", lambda self: [t * kdb.Trans(1, 0) for t in each_trans(self)])
        patch.setattr(dbcore, "CellInstArray", kdb.DCellInstArray)


@pytest.mark.parametrize("case", ["Box", "Polygon", "CellInstArray", "Box.__getattribute__",
                                  "Polygon.__getattribute__"])
def test_a_class_changed_in_place_is_read_alike_on_both_roads(monkeypatch, case):
    first, second = shapes_and_placements(), shapes_and_placements()
    with monkeypatch.context() as patch:
        replace_in_place(patch, case)
        direct = converted(first, Output.CELL, None)
        step_by_step(patch)
        general = converted(second, Output.CELL, None)
    same_scene(direct, general)


ONLY_THE_DIRECT_ROAD_READS = ["Shape", "Shapes", "Box", "Cell", "CellInstArray", "Instance", "Layout", "SaveLayoutOptions",
                              "LayerInfo"]


@pytest.mark.parametrize("name, change", [
    *[(name, "replaced by a non-class") for name in ONLY_THE_DIRECT_ROAD_READS + ["Polygon", "Trans"]],
    *[(name, "removed") for name in ONLY_THE_DIRECT_ROAD_READS]])
def test_a_klayout_class_name_changed_where_the_converter_reads_it(monkeypatch, name, change):
    """The converter reads KLayout's classes from klayout.dbcore, which klayout.db
    re-exports."""
    unreplaced = converted(shapes_and_placements(), Output.CELL, None)
    first, second = shapes_and_placements(), shapes_and_placements()
    with monkeypatch.context() as patch:
        if change == "removed":
            patch.delattr(dbcore, name)
        else:
            patch.setattr(dbcore, name, 5)
        direct = converted(first, Output.CELL, None)
        step_by_step(patch)
        general = converted(second, Output.CELL, None)
    same_scene(direct, unreplaced)
    same_scene(general, unreplaced)


def test_placements_beyond_klayout_range_are_composed_in_64_bits():
    big = 2_000_000_000
    layout = make_layout({"T": {}, "M": {}, "L": {(1, 0): [BOX]}},
                         [("T", "M", kdb.Trans(0, False, big, 0)), ("M", "L", kdb.Trans(0, False, big, 0))])
    records, direct = records_made(lambda: converted(layout, Output.LAYER, None))
    assert records == 0  # the direct road's own, not KLayout's 32-bit products
    leaves = [node for node in _nodes(direct) if "shape" in node]
    assert [leaf["shape"]["matrices"][2] for leaf in leaves] == [4_000_000.0]  # µm


def _nodes(node):
    yield node
    for child in node.get("parts", []):
        yield from _nodes(child)


class CountingPart(show3d.Part):
    made = 0

    def __init__(self, *args, **kwargs):
        type(self).made += 1
        super().__init__(*args, **kwargs)


@pytest.mark.parametrize("replace", [
    lambda patch: patch.setattr(show3d, "Part", CountingPart),
    lambda patch: patch.setattr(show3d.ParseGDS, "get_color", lambda self, layer_spec: "#123456"),
    lambda patch, matrix=show3d.KTrans.trans_matrix: patch.setattr(show3d.KTrans, "trans_matrix",
                                                                  lambda self: matrix(self)),
    lambda patch: patch.setattr(show3d, "np", __import__("numpy")),
    lambda patch, to_s=kdb.Trans.to_s: patch.setattr(kdb.Trans, "to_s", lambda self, *args: to_s(self, *args)),
    lambda patch, mul=kdb.ICplxTrans.__mul__: patch.setattr(kdb.ICplxTrans, "__mul__", lambda s, o: mul(s, o)),
])
def test_a_replaced_name_or_method_takes_the_general_road(monkeypatch, replace):
    layout = hierarchy()
    replace(monkeypatch)
    records, result = records_made(lambda: converted(layout, Output.CELL, None))
    assert records > 0


def test_a_replaced_method_is_honoured(monkeypatch):
    monkeypatch.setattr(show3d.ParseGDS, "get_color", lambda self, layer_spec: "#123456")
    result = converted(hierarchy(), Output.LAYER, None)
    leaves = [part for layer in result["parts"] for part in walk_parts(layer) if "shape" in part]
    assert leaves and {leaf["color"] for leaf in leaves} == {"#123456"}


def walk_parts(node):
    yield node
    for child in node.get("parts", []):
        yield from walk_parts(child)


@pytest.mark.parametrize("mode", MODES)
def test_placements_below_complex_placements(monkeypatch, mode):
    """Cells placed at arbitrary angles and magnifications place others: complex parents of simple children."""
    layout = make_layout({"T": {}, "M": {(1, 0): [BOX]}, "L": {(1, 0): [(0, 0, 7, 9)]}},
                         [("T", "M", kdb.ICplxTrans(1.5, 30.0, False, kdb.Vector(10, 20))),
                          ("T", "M", kdb.ICplxTrans(0.5, 45.0, True, kdb.Vector(0, 5))),
                          ("M", "L", kdb.Trans(1, False, 100, 0)), ("M", "L", kdb.Trans(2, True, 0, 50))],
                         layers=[(1, 0)])
    direct, general = both_roads(monkeypatch, lambda: converted(layout, mode, None))
    same_scene(direct, general)
    assert len(direct["parts"]) == 1


def test_an_attribute_added_to_a_record_class_is_honoured(monkeypatch):
    plain = converted(hierarchy(), Output.CELL, None)

    def upper_color(self, name, value):
        object.__setattr__(self, name, value.upper() if name == "color" else value)

    monkeypatch.setattr(show3d.Part, "__setattr__", upper_color, raising=False)
    result = converted(hierarchy(), Output.CELL, None)
    colors = [part["color"] for part in walk_parts(plain) if "shape" in part]
    assert colors != [c.upper() for c in colors]  # some lower-case letters
    assert [part["color"] for part in walk_parts(result) if "shape" in part] == [c.upper() for c in colors]


class Int(int):
    pass


class Number(float):
    pass


class Text(str):
    pass


def changed_entry(**values):
    def change(key, entry):  # a new entry (copy.copy would give PdkLayer a __slotnames__ entry)
        fields = {name: values.get(name, lambda v: v)(value) for name, value in vars(entry).items()}
        return key, show3d.PdkLayer(**fields)
    return change


@pytest.mark.parametrize("change", [
    lambda key, entry: ((Int(key[0]), key[1]), entry),
    lambda key, entry: ((key[0], Int(key[1])), entry),
    lambda key, entry: (key, type("Layer", (show3d.PdkLayer,), {})(**vars(entry))),
    changed_entry(thickness=Number),
    changed_entry(zmin=Number),
    changed_entry(name=Text),
    changed_entry(color=Text),
], ids=["layer number", "datatype", "entry class", "thickness", "zmin", "name", "colour"])
def test_a_layer_table_of_other_types_takes_the_general_road(monkeypatch, change):
    """Keys, entries and values of other types than those get_layer_properties makes (the first entry here)."""
    original = show3d.get_layer_properties

    def layer_properties(*args):
        (key, entry), *others = original(*args).items()
        return dict([change(key, entry), *others])

    layout = hierarchy()
    monkeypatch.setattr(show3d, "get_layer_properties", layer_properties)
    records, result = records_made(lambda: converted(layout, Output.LAYER, None))
    with monkeypatch.context() as patch:
        step_by_step(patch)
        general = converted(layout, Output.LAYER, None)
    assert records > 0
    same_scene(result, general)


@pytest.mark.parametrize("mode", MODES)
def test_hierarchy_as_deep_as_the_recursion_limit(mode):
    def chain(count):
        names = [f"C{i}" for i in range(count)]
        return make_layout({**{n: {} for n in names[:-1]}, names[-1]: {(1, 0): [BOX]}},
                           [(a, b, kdb.Trans()) for a, b in zip(names, names[1:])])

    deep, deeper = chain(300), chain(301)
    saved = sys.getrecursionlimit()
    sys.setrecursionlimit(300)
    try:
        records, result = records_made(lambda: converted(deep, mode, None))
        with pytest.raises(RecursionError) as info:
            converted(deeper, mode, None)
    finally:
        sys.setrecursionlimit(saved)
    assert records == 0 and str(info.value) == "maximum recursion depth exceeded while parsing the cell hierarchy"
    node = result["parts"][0]  # C0 (cell mode) or the layer's node (layer mode)
    for _ in range(299 if mode == Output.CELL else 300):
        node = node["parts"][-1]
    assert node["name"] == "C299"


def test_copying_a_layer_entry_keeps_the_direct_road():
    copy.copy(show3d.PdkLayer("WG", 0.22, 0.5, "#ff0000"))  # caches slot names on the class
    records, _ = records_made(lambda: converted(hierarchy(), Output.CELL, None))
    assert records == 0


def curves_and_pinches():
    """Circles the module simplifies itself, and outlines it leaves to shapely (a bump
    whose chord would pass through the tip of a notch), mixed in several batches of the
    simplifying workers."""
    circles = [kdb.Polygon(kdb.Box(-r, -r, r, r)).round_corners(0, r, 512).moved(7 * r, 0)
               for r in range(3000, 3000 + 60 * 37, 37)]
    pinch = [(0, 1000), (500, 1005), (1000, 1000), (1000, 0), (510, 0), (500, 1000), (490, 0), (0, 0)]
    pinches = [kdb.Polygon([kdb.Point(x + 2000 * k, y - 5000) for x, y in pinch]) for k in range(20)]
    return make_layout({"TOP": {(1, 0): circles[:30] + pinches + circles[30:]}}, layers=[(1, 0)])


@pytest.mark.parametrize("mode", MODES)
def test_simplified_curves_are_shapelys_on_the_direct_road(monkeypatch, mode):
    import shapely.geometry as sg

    import shapely

    simplified = []
    original = shapely.lib.simplify_preserve_topology
    with monkeypatch.context() as patch:  # counts the outlines shapely gets
        patch.setattr(shapely.lib, "simplify_preserve_topology",
                      lambda geometry, *args, **kwargs: simplified.append(len(geometry)) or original(geometry, *args, **kwargs))
        direct_records, direct = records_made(lambda: converted(curves_and_pinches(), mode, 0.01))
    assert direct_records == 0 and sum(simplified) == 20  # the pinches alone
    with monkeypatch.context() as patch:  # shapely simplifies every outline, one by one
        simplify = sg.Polygon.simplify
        patch.setattr(sg.Polygon, "simplify", lambda self, *args, **kwargs: simplify(self, *args, **kwargs))
        general = converted(curves_and_pinches(), mode, 0.01)
    same_scene(direct, general)


class AskingType(type):
    """A metaclass whose isinstance checks run code: the first one raises."""
    calls = []

    def __instancecheck__(cls, instance):
        AskingType.calls.append(instance)
        if len(AskingType.calls) == 1:
            raise ValueError("first look")
        return False


@pytest.mark.parametrize("mode", MODES)
def test_a_complex_type_that_runs_code_when_asked_leaves_the_scene_to_the_step_by_step_road(monkeypatch, mode):
    """hierarchy() composes a simple placement with a complex one, which the
    step-by-step combination asks kdb's complex types about."""
    asked = []
    for forced in (False, True):
        AskingType.calls = []
        with monkeypatch.context() as patch:
            if forced:
                step_by_step(patch)
            patch.setattr(dbcore, "VCplxTrans", AskingType("Asking", (), {}))
            with pytest.raises(ValueError, match="first look"):
                converted(hierarchy(), mode, None)
        asked.append(len(AskingType.calls))
    assert asked[0] == asked[1] > 0

"""Polygon extraction: open micrometre outlines, simplification, and the walk's bulk conversion."""

import functools
import math
import struct
import types

import klayout.db as kdb
import pytest
import shapely.geometry as sg

import tessarand.core.show3d as show3d
from conftest import make_layout

RECT = [(0.0, 0.0), (0.0, 2.0), (1.0, 2.0), (1.0, 0.0)]
BOX = kdb.Polygon(kdb.Box(0, 0, 1000, 2000))
NONE_MESSAGE = "'NoneType' object has no attribute 'to_dtype'"


class OneByOne(show3d.ParseGDS):
    """Converts every polygon on its own through shapely, as a plain Python method."""

    calls = 0

    def extract_dpolygon(self, polygon):
        pts = [(p.x / 1000, p.y / 1000) for p in polygon.to_dtype().each_point_hull()]
        self.calls += 1
        if self.curve_tolerance is None:
            return pts
        try:
            c = list(sg.Polygon(pts).simplify(tolerance=self.curve_tolerance, preserve_topology=True).exterior.coords)
        except Exception:
            return pts
        if not c:
            return pts
        return c[:-1] if c[0] == c[-1] else c


def parser(table, tolerance, cls=show3d.ParseGDS):
    return cls(kdb.Layout(), table, curve_tolerance=tolerance)


def circle(points=2000, radius=10000, cx=0, cy=0):
    turns = [2 * math.pi * k / points for k in range(points)]
    return kdb.Polygon([kdb.Point(cx + round(radius * math.cos(a)), cy + round(radius * math.sin(a)))
                        for a in turns], True)


@pytest.mark.parametrize("tolerance", [None, 0.01, 0.5, 0.0])
def test_rectangle_keeps_four_corners(table, tolerance):
    p = parser(table, tolerance)
    result = p.extract_dpolygon(polygon=BOX)
    assert type(result) is list and all(type(pt) is tuple and [type(v) for v in pt] == [float, float] for pt in result)
    assert result == parser(table, tolerance, OneByOne).extract_dpolygon(BOX) and sorted(result) == sorted(RECT)
    assert tolerance is not None or result == RECT  # no simplification: hull order
    assert p.extract_dpolygon(BOX) is not result and p.instances == [] and p.instance_mapping == {}
    holed = kdb.Polygon(kdb.Box(0, 0, 4000, 4000))
    holed.insert_hole(kdb.Box(1000, 1000, 3000, 3000))  # only the outer contour counts
    assert sorted(p.extract_dpolygon(holed)) == [(0.0, 0.0), (0.0, 4.0), (4.0, 0.0), (4.0, 4.0)]


@pytest.mark.parametrize("dbu", [0.001, 0.005, 0.25])
@pytest.mark.parametrize("tolerance", [None, 0.01])
def test_micrometres_are_database_units_over_1000_whatever_the_unit(table, dbu, tolerance):
    layout = make_layout({"T": {(1, 0): [(0, 0, 1000, 2000)]}})
    layout.dbu = dbu
    p = show3d.ParseGDS(layout, table, curve_tolerance=tolerance)
    p.export_cells()
    assert sorted(p.instances[0]) == sorted(RECT) and len(p.instances) == 1


def test_curve_tolerance_honoured(table):
    ring = circle()
    results = {t: parser(table, t).extract_dpolygon(ring) for t in (None, 0.01, 0.5, 2.0)}
    assert results == {t: parser(table, t, OneByOne).extract_dpolygon(ring) for t in results}
    assert len(results.pop(None)) == ring.num_points_hull() == 2000
    assert 2000 > len(results[0.01]) > len(results[0.5]) > len(results[2.0]) > 3


@pytest.mark.parametrize("points", [
    [(0, 0), (1000, 0)],
    [(0, 0), (2000, 0), (1000, 0)],
    [(0, 0), (1000, 1000), (2000, 2000), (1000, 1000)],
], ids=["two points", "collinear sliver", "folded sliver"])
@pytest.mark.parametrize("tolerance", [None, 0.01, 0.5])
def test_degenerate_outlines_keep_raw_open_outline(table, points, tolerance):
    polygon = kdb.Polygon([kdb.Point(x, y) for x, y in points], True)
    result = parser(table, tolerance).extract_dpolygon(polygon)
    assert result == parser(table, tolerance, OneByOne).extract_dpolygon(polygon)
    if len(points) == 2:
        assert result == [(0.0, 0.0), (1.0, 0.0)]


@pytest.mark.parametrize("polygon, message", [(None, NONE_MESSAGE),
                                               ("box", "'str' object has no attribute 'to_dtype'")])
@pytest.mark.parametrize("tolerance", [None, 0.01])
def test_object_without_polygon_form_raises(table, polygon, message, tolerance):
    with pytest.raises(AttributeError) as info:
        parser(table, tolerance).extract_dpolygon(polygon)
    assert str(info.value) == message


Q = [(-5, -7), (-5, 3000), (2500, 10)]  # read from the binary form
R = "(100,200;300,400;500,-600)"  # read from the text form
Q_UM, R_UM = [(-0.005, -0.007), (-0.005, 3.0), (2.5, 0.01)], [(0.1, 0.2), (0.3, 0.4), (0.5, -0.6)]


def binary(points, version=1, zero=0, contours=1, count=None):
    """KLayout's binary form of a polygon whose hull is `points` (the header may lie)."""
    head = struct.pack("<BBqq", version, zero, contours, len(points) if count is None else count)
    return head + b"".join(struct.pack("<qq", x, y) for x, y in points)


def holed_binary():
    holed = kdb.Polygon(kdb.Box(0, 0, 4000, 4000))
    holed.insert_hole(kdb.Box(1000, 1000, 3000, 3000))
    return holed.to_bytes()


NO_BINARY = object()  # to_bytes raises AttributeError, as without a binary form

HULL_FORMS = {  # to_bytes gives (or raises), to_s gives: the hull read
    "binary": (binary(Q), R, Q_UM),
    "binary with trailing bytes": (binary(Q) + bytes(15), R, Q_UM),
    "binary without points": (binary([]), R, []),
    "binary with a hole": (holed_binary(), R, [(0.0, 0.0), (0.0, 4.0), (4.0, 4.0), (4.0, 0.0)]),
    "no binary": (NO_BINARY, R, R_UM),
    "binary not bytes": (bytearray(binary(Q)), R, R_UM),
    "version 0": (binary(Q, version=0), R, R_UM),
    "version 2": (binary(Q, version=2), R, R_UM),
    "second byte set": (binary(Q, zero=1), R, R_UM),
    "no contours": (binary(Q, contours=0), R, R_UM),
    "more points than bytes": (binary(Q, count=4), R, R_UM),
    "short header": (binary([])[:17], R, R_UM),
    "text with a hole": (NO_BINARY, "(100,200;300,400/1,1;1,3;3,3;3,1)", [(0.1, 0.2), (0.3, 0.4)]),
    "text without points": (NO_BINARY, "()", []),
    "empty text": (NO_BINARY, "", "points"),
    "text in brackets": (NO_BINARY, "[100,200;300,400;500,-600]", "points"),
    "text opened by a bracket": (NO_BINARY, "[100,200;300,400)", "points"),
    "text unterminated": (NO_BINARY, "(100,200;300,400", "points"),
    "text ends in a separator": (NO_BINARY, "(100,200;300,400;", "points"),
    "text without y": (NO_BINARY, "(100,200;300,)", "points"),
    "text without x": (NO_BINARY, "(100,200;,400)", "points"),
    "text without comma": (NO_BINARY, "(100 200;300,400)", "points"),
    "text without separator": (NO_BINARY, "(100,200 300,400)", "points"),
    "neither form readable": (binary(Q, version=2), "(100,200", "points"),
}


@pytest.mark.parametrize("to_bytes, to_s, expected", list(HULL_FORMS.values()), ids=list(HULL_FORMS))
def test_hull_read_from_binary_then_text_form_then_points(table, monkeypatch, to_bytes, to_s, expected):
    """For KLayout's integer polygon type: the binary form, else the text form, else the points of the float form."""

    class Forms(kdb.Polygon):
        def to_bytes(self):
            if to_bytes is NO_BINARY:
                raise AttributeError("to_bytes")
            return to_bytes

        def to_s(self):
            return to_s

    assert binary(Q) == kdb.Polygon([kdb.Point(*p) for p in Q], True).to_bytes()
    points = [(0.0, 0.0), (0.0, 2.0), (1.0, 2.0), (1.0, 0.0)]  # the polygon itself
    polygon = Forms(kdb.Box(0, 0, 1000, 2000))
    p = parser(table, None)
    assert p.extract_dpolygon(polygon) == points  # not the module's polygon type: its points
    monkeypatch.setattr(show3d, "kdb", types.SimpleNamespace(Polygon=Forms))
    assert p.extract_dpolygon(polygon) == (points if expected == "points" else expected)


def test_hull_binary_form_errors_other_than_attribute_error_propagate(table, monkeypatch):
    class Failing(kdb.Polygon):
        def to_bytes(self):
            raise ValueError("no bytes today")

    monkeypatch.setattr(show3d, "kdb", types.SimpleNamespace(Polygon=Failing))
    with pytest.raises(ValueError, match="^no bytes today$"):
        parser(table, None).extract_dpolygon(Failing(kdb.Box(0, 0, 10, 10)))


def mixed_layout():
    """Curves, holes, paths, texts, slivers and repeated placements on two shown layers and one hidden."""
    holed = kdb.Polygon(kdb.Box(0, 0, 4000, 4000))
    holed.insert_hole(kdb.Box(1000, 1000, 3000, 3000))
    sliver = kdb.Polygon([kdb.Point(0, 0), kdb.Point(2000, 0), kdb.Point(1000, 0)], True)
    two_points = kdb.Polygon([kdb.Point(0, 0), kdb.Point(1000, 0)], True)
    return make_layout({
        "TOP": {(1, 0): [(0, 0, 10, 20)]},
        "RING": {(1, 0): [circle(720, 5000), kdb.Path([kdb.Point(0, 0), kdb.Point(3000, 10), kdb.Point(6000, 0)], 500)],
                 (2, 0): [sliver, two_points]},
        "PAD": {(2, 0): [holed, kdb.Text("pad", kdb.Trans(0, 0))], (68, 0): [(0, 0, 5, 5)]},
    }, [("TOP", "RING", kdb.Trans(1, True, 100, 0)),
        ("TOP", "PAD", kdb.Trans(), kdb.Vector(9000, 0), kdb.Vector(0, 9000), 2, 2),
        ("TOP", "RING", kdb.ICplxTrans(1.5, 85, False, 0, 0))], layers=[(1, 0), (2, 0), (68, 0)])


def assert_same_table(bulk, single):
    assert repr(bulk.instances) == repr(single.instances)
    assert list(bulk.instance_mapping.items()) == list(single.instance_mapping.items())
    assert bulk.instance_index == single.instance_index == len(single.instances) == single.calls


@pytest.mark.parametrize("tolerance", [0.01, 0.5, None])
def test_bulk_simplification_matches_one_by_one_on_samples(sample, tolerance):
    layout, layers = sample
    bulk, single = (cls(layout, layers, curve_tolerance=tolerance) for cls in (show3d.ParseGDS, OneByOne))
    bulk.export_cells(combine=False)
    single.export_cells(combine=False)
    assert len(single.instances) > 0
    assert_same_table(bulk, single)


@pytest.mark.parametrize("tolerance", [0.01, 0.5, None])
def test_bulk_simplification_matches_one_by_one_on_mixed_layout(table, tolerance):
    layout = mixed_layout()
    bulk, single = (cls(layout, table, curve_tolerance=tolerance) for cls in (show3d.ParseGDS, OneByOne))
    bulk.export_layers()
    single.export_layers()
    assert_same_table(bulk, single)
    assert [len(p) for p in bulk.instances][:1] == [3 if tolerance is not None else 4]
    assert [(0.0, 0.0), (1.0, 0.0)] in bulk.instances  # slivers do not stop the walk


def failing_in_top():
    return make_layout({"TOP": {(1, 0): [circle(500, 3000), (0, 0, 1000, 2000)],
                                (2, 0): [circle(300, 2000, 50, 50), kdb.Edge(0, 0, 1000, 2000), (0, 0, 50, 50)]}})


def failing_in_child():  # polygons come before edges in a shape list
    path = kdb.Path([kdb.Point(0, 0), kdb.Point(9000, 0)], 300)
    return make_layout({"TOP": {(1, 0): [circle(400, 4000)], (2, 0): [path]},
                        "CHILD": {(1, 0): [circle(256, 1500), kdb.Edge(0, 0, 10, 10)]}},
                       [("TOP", "CHILD", kdb.Trans())])


@pytest.mark.parametrize("build", [failing_in_top, failing_in_child])
@pytest.mark.parametrize("tolerance", [0.01, 0.5, None])
def test_walk_stopped_by_error_keeps_what_one_by_one_keeps(table, build, tolerance):
    layout, results = build(), []
    for cls in (show3d.ParseGDS, OneByOne):
        p = cls(layout, table, curve_tolerance=tolerance)
        p.calls = 0
        with pytest.raises(AttributeError) as info:
            p.export_cells()
        assert str(info.value) == NONE_MESSAGE and p.parsed_cells is None
        results.append(p)
    bulk, single = results
    assert single.instances, "the walk converted nothing before the error"
    assert_same_table(bulk, single)


def many_vertices(count):
    """Curves enough for one batch on the walk's own thread, or several on the workers."""
    return make_layout({"T": {(1, 0): [circle(count, 20000 + 7 * k, 100 * k) for k in range(3)]}})


def shapely_for_every_outline(monkeypatch):
    """The module simplifies outlines itself only with the geometry library's version it
    is checked against: with another, every outline goes to shapely."""
    import shapely

    monkeypatch.setattr(shapely, "geos_version", (0, 0, 0))


@pytest.mark.parametrize("count", [500, 40000])
def test_failing_batch_simplification_gives_the_one_by_one_outlines(table, monkeypatch, count):
    import shapely

    def refuse(*args, **kwargs):
        raise ValueError("no simplification today")

    # The vectorised call fails; one by one (the scalar call) still simplifies.
    shapely_for_every_outline(monkeypatch)
    monkeypatch.setattr(shapely.lib, "simplify_preserve_topology", refuse)
    layout = many_vertices(count)
    bulk, single = (cls(layout, table, curve_tolerance=0.01) for cls in (show3d.ParseGDS, OneByOne))
    bulk.export_cells()
    single.export_cells()
    assert_same_table(bulk, single)
    assert len(bulk.instances) == 3 and all(len(outline) < count for outline in bulk.instances)


@pytest.mark.parametrize("count", [500, 40000])
@pytest.mark.parametrize("road", ["step by step", "direct"])
def test_interrupted_simplification_stops_the_conversion(table, monkeypatch, count, road):
    import shapely
    from orvalis import Component

    def interrupt(*args, **kwargs):
        raise KeyboardInterrupt

    shapely_for_every_outline(monkeypatch)
    for name in ("simplify_preserve_topology", "simplify_preserve_topology_scalar"):
        monkeypatch.setattr(shapely.lib, name, interrupt)
    layout = many_vertices(count)
    with pytest.raises(KeyboardInterrupt):
        if road == "direct":
            show3d.to_3D_viewer(Component.from_layout(layout), curve_tolerance=0.01, as_dict=True)
        else:
            show3d.ParseGDS(layout, table, curve_tolerance=0.01).export_cells()


@pytest.mark.parametrize("count", [500, 40000])
def test_outline_the_direct_road_cannot_store_sends_it_to_the_general_road(monkeypatch, count):
    import shapely
    import shapely.geometry
    from orvalis import Component

    class NotNumbers:
        coords = [("a", "b"), ("c", "d"), ("a", "b")]

    def refuse(*args, **kwargs):
        raise ValueError("no simplification today")

    # The vectorised call fails, and one by one an outline comes back that the
    # direct road cannot store, on a worker thread when there are many vertices.
    shapely_for_every_outline(monkeypatch)
    monkeypatch.setattr(shapely.lib, "simplify_preserve_topology", refuse)
    monkeypatch.setattr(shapely.geometry.Polygon, "exterior", property(lambda self: NotNumbers()))
    with pytest.raises(ValueError, match="could not convert string to float: 'a'"):
        show3d.to_3D_viewer(Component.from_layout(many_vertices(count)), curve_tolerance=0.01, as_dict=True)


class CodeFails:
    """A stand-in for shapely.simplify whose __code__ cannot be read."""

    def __init__(self, function):
        self.function = function

    def __call__(self, *args, **kwargs):
        return self.function(*args, **kwargs)

    @property
    def __code__(self):
        raise ValueError("no code here")


@pytest.mark.parametrize("replace", ["shapely.simplify", "shapely.simplify, __code__ failing",
                                     "shapely.simplify without __code__", "Polygon.simplify"])
@pytest.mark.parametrize("count", [500, 40000])
def test_replaced_simplification_gives_what_one_by_one_gives(table, monkeypatch, replace, count):
    import shapely

    original = shapely.simplify

    def shifted(geometry, tolerance, **kwargs):  # a stand-in that moves everything by 1 um
        return original(shapely.transform(geometry, lambda xy: xy + 1.0), tolerance, **kwargs)

    if replace == "shapely.simplify":
        monkeypatch.setattr(shapely, "simplify", shifted)
    elif replace == "shapely.simplify, __code__ failing":
        monkeypatch.setattr(shapely, "simplify", CodeFails(shifted))
    elif replace == "shapely.simplify without __code__":
        monkeypatch.setattr(shapely, "simplify", functools.partial(shifted))
    else:
        monkeypatch.setattr(sg.Polygon, "simplify",
                            lambda self, tolerance, preserve_topology=True: shifted(self, tolerance))
    layout = make_layout({"T": {(1, 0): [(0, 0, 1000, 2000), circle(count, 30000)]}})
    bulk, single = (cls(layout, table, curve_tolerance=0.01) for cls in (show3d.ParseGDS, OneByOne))
    bulk.export_cells()
    single.export_cells()
    assert_same_table(bulk, single)
    shift = 1.0 if replace == "Polygon.simplify" else 0.0  # the method does not call shapely.simplify
    assert [(x + shift, y + shift) for x, y in RECT] in bulk.instances


class VersionTuple(tuple):
    pass


class HostileInt(int):
    def __eq__(self, other):
        raise RuntimeError("no comparing")

    __hash__ = int.__hash__


@pytest.mark.parametrize("version", [
    "verified", (3, 13, 0), (4, 14, 1), (3,), "3.14.1", VersionTuple((3, 14, 1)), (3.0, 14, 1),
    (HostileInt(3), 14, 1), (3, 2**70, 1), None,
])
def test_curves_reach_shapely_only_where_the_library_version_is_not_verified(table, monkeypatch, version):
    """Curves are simplified in the module only with the geometry library's verified
    version; any other version, or anything odd in its place, sends them to shapely.
    Both give what one-by-one simplification gives."""
    import shapely

    if shapely.geos_version[:2] != (3, 14):
        pytest.skip("the simplifier is verified against another version of GEOS")
    layout = make_layout({"T": {(1, 0): [circle(512, 20000 + 9 * k, 100 * k) for k in range(20)]}})
    single = OneByOne(layout, table, curve_tolerance=0.01)
    single.export_cells()
    if version != "verified":
        monkeypatch.setattr(shapely, "geos_version", version)
    reached = []
    original = shapely.lib.simplify_preserve_topology

    def counting(*args, **kwargs):
        reached.append(1)
        return original(*args, **kwargs)

    monkeypatch.setattr(shapely.lib, "simplify_preserve_topology", counting)
    bulk = show3d.ParseGDS(layout, table, curve_tolerance=0.01)
    bulk.export_cells()
    assert_same_table(bulk, single)
    assert bool(reached) == (version != "verified")

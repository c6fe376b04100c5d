"""Polygon extraction: open micrometre outlines, simplification, and the walk's bulk conversion."""

import math

import klayout.db as kdb
import pytest
import shapely.geometry as sg

import tessarand.core.show3d as show3d

RECT = [(0.0, 0.0), (0.0, 2.0), (1.0, 2.0), (1.0, 0.0)]
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


def parser(table, tolerance):
    return show3d.ParseGDS(kdb.Layout(), table, curve_tolerance=tolerance)


def circle(points=2000, radius=10000, cx=0, cy=0):
    return kdb.Polygon([kdb.Point(cx + round(radius * math.cos(2 * math.pi * k / points)),
                                  cy + round(radius * math.sin(2 * math.pi * k / points))) for k in range(points)], True)


def raw_outline(polygon):
    return [(p.x / 1000, p.y / 1000) for p in polygon.each_point_hull()]


def shapely_outline(polygon, tolerance):
    ring = list(sg.Polygon(raw_outline(polygon)).simplify(tolerance=tolerance, preserve_topology=True).exterior.coords)
    return ring[:-1]


def test_rectangle_corners_in_hull_order_without_simplification(table):
    result = parser(table, None).extract_dpolygon(kdb.Polygon(kdb.Box(0, 0, 1000, 2000)))
    assert result == RECT and type(result) is list
    assert all(type(pt) is tuple and [type(v) for v in pt] == [float, float] for pt in result)


@pytest.mark.parametrize("tolerance", [0.01, 0.5, 0.0])
def test_simplified_rectangle_keeps_four_corners(table, tolerance):
    box = kdb.Polygon(kdb.Box(0, 0, 1000, 2000))
    p = parser(table, tolerance)
    result = p.extract_dpolygon(polygon=box)
    assert len(result) == 4 and sorted(result) == sorted(RECT)
    assert result == shapely_outline(box, tolerance)
    assert p.extract_dpolygon(box) is not result and p.instances == [] and p.instance_mapping == {}


@pytest.mark.parametrize("tolerance", [None, 0.01])
def test_only_outer_contour_of_polygon_with_hole(table, tolerance):
    holed = kdb.Polygon(kdb.Box(0, 0, 4000, 4000))
    holed.insert_hole(kdb.Box(1000, 1000, 3000, 3000))
    result = parser(table, tolerance).extract_dpolygon(holed)
    assert sorted(result) == [(0.0, 0.0), (0.0, 4.0), (4.0, 0.0), (4.0, 4.0)] and len(result) == 4


@pytest.mark.parametrize("dbu", [0.001, 0.005, 0.25])
@pytest.mark.parametrize("tolerance", [None, 0.01])
def test_micrometres_are_database_units_over_1000_whatever_the_unit(table, dbu, tolerance):
    layout = kdb.Layout()
    layout.dbu = dbu
    layout.create_cell("T").shapes(layout.layer(1, 0)).insert(kdb.Box(0, 0, 1000, 2000))
    p = show3d.ParseGDS(layout, table, curve_tolerance=tolerance)
    p.export_cells()
    assert sorted(p.instances[0]) == sorted(RECT) and len(p.instances) == 1


def test_curve_tolerance_honoured(table):
    ring = circle()
    results = {t: parser(table, t).extract_dpolygon(ring) for t in (None, 0.01, 0.5, 2.0)}
    assert results.pop(None) == raw_outline(ring) and ring.num_points_hull() == 2000
    assert results == {t: shapely_outline(ring, t) for t in results}
    assert 2000 > len(results[0.01]) > len(results[0.5]) > len(results[2.0]) > 3


@pytest.mark.parametrize("points", [
    [(0, 0), (1000, 0)],
    [(0, 0), (2000, 0), (1000, 0)],
    [(0, 0), (1000, 1000), (2000, 2000), (1000, 1000)],
], ids=["two points", "collinear sliver", "folded sliver"])
@pytest.mark.parametrize("tolerance", [None, 0.01, 0.5])
def test_degenerate_outlines_keep_raw_open_outline(table, points, tolerance):
    polygon = kdb.Polygon([kdb.Point(x, y) for x, y in points], True)
    expected = raw_outline(polygon)
    assert parser(table, tolerance).extract_dpolygon(polygon) == OneByOne(kdb.Layout(), table,
                                                                        curve_tolerance=tolerance).extract_dpolygon(polygon)
    if len(points) == 2:
        assert parser(table, tolerance).extract_dpolygon(polygon) == expected == [(0.0, 0.0), (1.0, 0.0)]


@pytest.mark.parametrize("tolerance", [None, 0.01])
def test_degenerate_shapes_do_not_stop_the_walk(table, tolerance):
    layout = kdb.Layout()
    shapes = layout.create_cell("T").shapes(layout.layer(1, 0))
    shapes.insert(kdb.Polygon([kdb.Point(0, 0), kdb.Point(1000, 0)], True))
    shapes.insert(kdb.Polygon([kdb.Point(0, 0), kdb.Point(2000, 0), kdb.Point(1000, 0)], True))
    shapes.insert(kdb.Box(0, 0, 1000, 2000))
    p = show3d.ParseGDS(layout, table, curve_tolerance=tolerance)
    p.export_cells()
    assert p.instances[0] == [(0.0, 0.0), (1.0, 0.0)] and len(p.instances) == 3
    assert p.parsed_cells.cells[0].polygons == {"0": [0, 1, 2]}


@pytest.mark.parametrize("polygon, message", [
    (None, NONE_MESSAGE),
    ("box", "'str' object has no attribute 'to_dtype'"),
])
@pytest.mark.parametrize("tolerance", [None, 0.01])
def test_object_without_polygon_form_raises(table, polygon, message, tolerance):
    with pytest.raises(AttributeError) as info:
        parser(table, tolerance).extract_dpolygon(polygon)
    assert str(info.value) == message


def mixed_layout():
    """Curves, holes, paths, texts, slivers and repeated placements on two shown layers and one hidden."""
    layout = kdb.Layout()
    l1, l2, hidden = layout.layer(1, 0), layout.layer(2, 0), layout.layer(68, 0)
    top, ring, pad = layout.create_cell("TOP"), layout.create_cell("RING"), layout.create_cell("PAD")
    ring.shapes(l1).insert(circle(720, 5000))
    ring.shapes(l1).insert(kdb.Path([kdb.Point(0, 0), kdb.Point(3000, 10), kdb.Point(6000, 0)], 500))
    ring.shapes(l2).insert(kdb.Polygon([kdb.Point(0, 0), kdb.Point(2000, 0), kdb.Point(1000, 0)], True))
    holed = kdb.Polygon(kdb.Box(0, 0, 4000, 4000))
    holed.insert_hole(kdb.Box(1000, 1000, 3000, 3000))
    pad.shapes(l2).insert(holed)
    pad.shapes(l2).insert(kdb.Text("pad", kdb.Trans(0, 0)))
    pad.shapes(hidden).insert(kdb.Box(0, 0, 5, 5))
    top.shapes(l1).insert(kdb.Box(0, 0, 10, 20))
    top.insert(kdb.CellInstArray(ring.cell_index(), kdb.Trans(1, True, 100, 0)))
    top.insert(kdb.CellInstArray(pad.cell_index(), kdb.Trans(), kdb.Vector(9000, 0), kdb.Vector(0, 9000), 2, 2))
    top.insert(kdb.CellInstArray(ring.cell_index(), kdb.ICplxTrans(1.5, 85, False, 0, 0)))
    return layout


def assert_same_table(bulk, single):
    assert repr(bulk.instances) == repr(single.instances)
    assert bulk.instance_mapping == single.instance_mapping
    assert list(bulk.instance_mapping) == list(single.instance_mapping)
    assert bulk.instance_index == single.instance_index == len(single.instances) == single.calls


@pytest.mark.parametrize("tolerance", [0.01, 0.5, None])
def test_bulk_simplification_matches_one_by_one_on_samples(sample, tolerance):
    layout, layers = sample
    bulk, single = show3d.ParseGDS(layout, layers, curve_tolerance=tolerance), OneByOne(layout, layers, curve_tolerance=tolerance)
    bulk.export_cells(combine=False)
    single.export_cells(combine=False)
    assert len(single.instances) > 0
    assert_same_table(bulk, single)


@pytest.mark.parametrize("tolerance", [0.01, 0.5, None])
def test_bulk_simplification_matches_one_by_one_on_mixed_layout(table, tolerance):
    layout = mixed_layout()
    bulk, single = show3d.ParseGDS(layout, table, curve_tolerance=tolerance), OneByOne(layout, table, curve_tolerance=tolerance)
    bulk.export_layers()
    single.export_layers()
    assert_same_table(bulk, single)
    assert [len(p) for p in bulk.instances][:1] == [3 if tolerance is not None else 4]


def failing_in_top(layout, l1, l2):
    top = layout.create_cell("TOP")
    top.shapes(l1).insert(circle(500, 3000))
    top.shapes(l1).insert(kdb.Box(0, 0, 1000, 2000))
    top.shapes(l2).insert(circle(300, 2000, 50, 50))  # polygons come before edges in a shape list
    top.shapes(l2).insert(kdb.Edge(0, 0, 1000, 2000))
    top.shapes(l2).insert(kdb.Box(0, 0, 50, 50))


def failing_in_child(layout, l1, l2):
    top, child = layout.create_cell("TOP"), layout.create_cell("CHILD")
    top.shapes(l1).insert(circle(400, 4000))
    top.shapes(l2).insert(kdb.Path([kdb.Point(0, 0), kdb.Point(9000, 0)], 300))
    top.insert(kdb.CellInstArray(child.cell_index(), kdb.Trans()))
    child.shapes(l1).insert(circle(256, 1500))
    child.shapes(l1).insert(kdb.Edge(0, 0, 10, 10))


@pytest.mark.parametrize("build", [failing_in_top, failing_in_child])
@pytest.mark.parametrize("tolerance", [0.01, 0.5, None])
def test_walk_stopped_by_error_keeps_what_one_by_one_keeps(table, build, tolerance):
    layout = kdb.Layout()
    build(layout, layout.layer(1, 0), layout.layer(2, 0))
    results = []
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

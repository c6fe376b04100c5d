"""The Python-free core (placement algebra, hull readers, base64, work spread over the
cores) built on its own with the C++ compiler and checked against KLayout and the
standard library."""

import base64
import math
import os
import random
import shutil
import subprocess
from pathlib import Path

import klayout.db as kdb
import pytest

from tessarand.core.show3d import KTrans

SOURCES = Path(__file__).resolve().parents[1] / "src" / "tessarand" / "core" / "show3d"
ORIENTATIONS = [(angle, mirror) for mirror in (False, True) for angle in range(4)]


@pytest.fixture(scope="module")
def core(tmp_path_factory):
    """Runs lines of cases through the compiled checker, one result line each."""
    compiler = os.environ.get("CXX") or shutil.which("g++") or shutil.which("c++")
    if not compiler:
        pytest.skip("no C++ compiler")
    program = tmp_path_factory.mktemp("core") / "core_check"
    subprocess.run([compiler, "-std=c++20", "-O1", "-pthread", "-I", str(SOURCES), "-o", str(program),
                    str(Path(__file__).parent / "core" / "core_check.cpp")], check=True)

    def run(lines):
        done = subprocess.run([str(program)], input="\n".join(lines) + "\n", capture_output=True,
                              text=True, check=True)
        return done.stdout.splitlines()
    return run


def trans_text(t):
    return f"{t.angle} {int(t.is_mirror())} {t.disp.x} {t.disp.y}"


def test_products_of_all_orientations_are_klayouts(core):
    pairs = [(kdb.Trans(a, m, x, y), kdb.Trans(b, n, u, v))
             for a, m in ORIENTATIONS for b, n in ORIENTATIONS
             for (x, y, u, v) in [(0, 0, 0, 0), (100, -7, 3, 250), (-2**30, 5, 2**30 - 1, -9)]]
    results = core([f"compose {trans_text(p)} {trans_text(t)}" for p, t in pairs])
    assert results == [trans_text(p * t) for p, t in pairs]


def test_matrices_equal_ktrans(core):
    cases = [kdb.Trans(a, m, x, y) for a, m in ORIENTATIONS for x, y in [(0, 0), (1, -1), (123456, 7)]]
    results = core([f"matrix {trans_text(t)}" for t in cases])
    expected = [" ".join(float(v).hex() for row in KTrans(t).trans_matrix() for v in row) for t in cases]
    assert [" ".join(float.fromhex(v).hex() for v in line.split()) for line in results] == expected


def test_base64_equals_the_standard_library(core):
    rng = random.Random(7)
    sizes = (0, 1, 2, 3, 4, 5, 27, 28, 29, 30, 51, 52, 53, 63, 64, 65, 76, 77, 1000, 4099)
    blobs = [bytes(rng.randrange(256) for _ in range(n)) for n in sizes] + [bytes(range(256)) * 3]
    results = core([f"base64 {blob.hex()}" for blob in blobs])
    assert results == [base64.b64encode(blob).decode() for blob in blobs]


def hull(polygon):
    return " ".join(f"{p.x} {p.y}" for p in polygon.each_point_hull())


def polygons():
    box_with_hole = kdb.Polygon(kdb.Box(0, 0, 1000, 1000))
    box_with_hole.insert_hole(kdb.Box(100, 100, 200, 200))
    circle = kdb.Polygon(kdb.Box(-3000, -3000, 3000, 3000)).round_corners(0, 3000, 64)
    return [kdb.Polygon(kdb.Box(-5, -7, 100, 200)),
            kdb.Polygon([kdb.Point(0, 0), kdb.Point(1000, 0), kdb.Point(500, 866)]),
            box_with_hole, circle]


def test_hull_readers_give_klayouts_hull(core):
    shapes = polygons()
    lines = [f"hull-text {p.to_s()}" for p in shapes] + [f"hull-bytes {p.to_bytes().hex()}" for p in shapes]
    assert core(lines) == [hull(p) for p in shapes] * 2


@pytest.mark.parametrize("line", [
    "hull-text ", "hull-text 0,0;1,1)", "hull-text (0,0;1", "hull-text (0;1,1)", "hull-text (a,0;1,1)",
    "hull-bytes ", "hull-bytes 0200" + "00" * 16, "hull-bytes 0100" + "00" * 8,
    "hull-bytes 0100" + "01" + "00" * 7 + "ff" + "00" * 7 + "00" * 16,  # more points than bytes
])
def test_hull_readers_refuse_other_forms(core, line):
    assert core([line]) == ["none"]


def test_box_reader_gives_klayouts_polygon_of_the_box(core):
    far = 2**30
    boxes = [kdb.Box(-5, -7, 100, 200), kdb.Box(-far, -far, far, far), kdb.Box(far - 1, 0, far, 1)]
    assert core([f"box-bytes {box.to_bytes().hex()}" for box in boxes]) == [hull(kdb.Polygon(b)) for b in boxes]


@pytest.mark.parametrize("box", [
    kdb.Box(0, 0, 0, 10), kdb.Box(0, 5, 10, 5), kdb.Box(3, 3, 3, 3), kdb.Box(),
    kdb.Box(-2**30 - 1, 0, 0, 1), kdb.Box(0, 0, 1, 2**30 + 1), kdb.Box(-2**31 + 1, -2**31 + 1, 2**31 - 1, 2**31 - 1),
])
def test_box_reader_refuses_boxes_klayout_may_turn_otherwise(core, box):
    assert core([f"box-bytes {box.to_bytes().hex()}"]) == ["none"]


@pytest.mark.parametrize("hex", ["", "0100" + "00" * 31, "0100" + "00" * 33, "0200" + "00" * 32])
def test_box_reader_refuses_other_forms(core, hex):
    assert core([f"box-bytes {hex}"]) == ["none"]


def test_simple_transformation_bytes(core):
    edge = 2**31 - 1
    cases = [kdb.Trans(a, m, x, y) for a, m in ORIENTATIONS for x, y in [(0, 0), (-555, 170), (edge, -edge - 1)]]
    assert core([f"trans-bytes {t.to_bytes().hex()}" for t in cases]) == [trans_text(t) for t in cases]


@pytest.mark.parametrize("hex", ["", "01000800" + "00" * 16, "01000000" + "00" * 15, "02000000" + "00" * 16,
                                 "01000001" + "00" * 16, "01000000" + "0000008000000000" + "00" * 8,
                                 "01000000" + "00" * 8 + "ffffff7fffffffff"])
def test_simple_transformation_bytes_refuse_other_forms(core, hex):
    assert core([f"trans-bytes {hex}"]) == ["none"]


@pytest.mark.parametrize("text, parts", [
    ("r90 1,-2", "1 0 1 -2"), ("m135 -3,4", "3 1 -3 4"), ("r0 0,0", "0 0 0 0"),
    ("r-90 1,2", "none"), ("m-45 0,0", "none"), ("r360 0,0", "none"), ("r45 0,0", "none"),
    ("m180 0,0", "none"), ("x90 0,0", "none"), ("r90 1,2 ", "none"), ("r90 1;2", "none"),
])
def test_simple_transformation_text(core, text, parts):
    assert core([f"trans {text}"]) == [parts]


def curved_rings(rng):
    """Outlines as photonic layouts draw them, in database units: circles and rounded
    boxes, arcs and S-bends of waveguides (paths), and jittered circles."""
    rings = []
    for points in (16, 64, 200, 512, 2048):
        for radius in (500, 5000, 50000):
            rings.append(kdb.Polygon(kdb.Box(-radius, -radius, radius, radius)).round_corners(0, radius, points))
            rings.append(kdb.Polygon(kdb.Box(-radius, -radius // 3, radius, radius // 3))
                         .round_corners(0, radius // 3, points))
    for _ in range(80):
        radius, width, points = rng.randrange(500, 30000), rng.randrange(100, 2000), rng.choice([64, 256, 512])
        start, sweep = rng.uniform(0, 6), rng.uniform(0.3, 4.3)
        arc = [kdb.DPoint(radius * math.cos(start + sweep * k / points), radius * math.sin(start + sweep * k / points))
               for k in range(points + 1)]
        rings.append(kdb.DPath(arc, width).polygon().to_itype(1.0))
    for _ in range(40):
        length, height, points = rng.randrange(2000, 50000), rng.randrange(500, 10000), rng.choice([50, 200])
        bend = [kdb.DPoint(length * k / points, height * (1 - math.cos(math.pi * k / points)) / 2)
                for k in range(points + 1)]
        rings.append(kdb.DPath(bend, rng.randrange(200, 1000)).polygon().to_itype(1.0))
    for _ in range(40):
        count, radius = rng.randrange(8, 400), rng.randrange(100, 20000)
        rings.append(kdb.Polygon([kdb.Point(round(radius * (1 + 0.05 * rng.random()) * math.cos(2 * math.pi * k / count)),
                                            round(radius * (1 + 0.05 * rng.random()) * math.sin(2 * math.pi * k / count)))
                                  for k in range(count)]))
    return [[(p.x, p.y) for p in polygon.each_point_hull()] for polygon in rings]


def awkward_rings(rng):
    """Outlines where the topology checks or the minimum size decide, in database units:
    rectangles down to the tolerance, merged Manhattan outlines, combs with gaps about
    the tolerance, random stars, spirals, near-collinear runs and notches at the
    tolerance."""
    rings = []
    for _ in range(100):
        w, h = rng.choice([5, 9, 10, 11, 20, 500, 7000]), rng.randrange(1, 5000)
        x, y = rng.randrange(-10**6, 10**6), rng.randrange(-10**6, 10**6)
        rings.append([(x, y), (x, y + h), (x + w, y + h), (x + w, y)])
    for _ in range(40):
        region = kdb.Region([kdb.Box(rng.randrange(2000), rng.randrange(2000), 0, 0).enlarged(
            rng.randrange(5, 900), rng.randrange(5, 900)) for _ in range(5)]).merged()
        rings.extend([(p.x, p.y) for p in polygon.each_point_hull()] for polygon in region.each())
    for _ in range(150):
        gap, width, height = rng.choice([1, 5, 9, 10, 11, 20, 50]), rng.choice([1, 5, 10, 30]), rng.randrange(5, 200)
        comb, x = [(0, 0)], 0
        for _ in range(rng.randrange(2, 20)):
            comb += [(x, height), (x + width, height), (x + width, 10), (x + width + gap, 10)]
            x += width + gap
        rings.append([(a + rng.randrange(-2, 3), b + rng.randrange(-2, 3)) for a, b in comb + [(x, 0)]])
    for _ in range(150):
        count, radius = rng.randrange(3, 200), rng.randrange(20, 3000)
        rings.append([(round(radius * (0.3 + rng.random()) * math.cos(2 * math.pi * k / count)),
                       round(radius * (0.3 + rng.random()) * math.sin(2 * math.pi * k / count))) for k in range(count)])
    for _ in range(40):
        count, turns, width = rng.randrange(50, 400), rng.uniform(1, 4), rng.randrange(2, 60)
        spiral = [kdb.DPoint((50 + 30 * t / count * turns) * math.cos(2 * math.pi * turns * t / count),
                             (50 + 30 * t / count * turns) * math.sin(2 * math.pi * turns * t / count))
                  for t in range(count)]
        rings.append([(p.x, p.y) for p in kdb.DPath(spiral, width).polygon().to_itype(1.0).each_point_hull()])
    for _ in range(50):
        count = rng.randrange(4, 60)
        rings.append([(k * 100, rng.choice([0, 0, 0, 1, -1])) for k in range(count)] + [(count * 100, 500), (0, 500)])
    for depth in (9, 10, 11, 30):
        rings.append([(0, 0), (1000, 0), (1000, 400), (500, 400 + depth), (0, 400)])
    # Degenerate: slivers with all points on one line, a ring that comes back to a
    # point after a loop within the tolerance, repeated points.
    for count in (3, 7, 40):
        rings.append([(0, 5 * k) for k in range(count)] + [(0, 5 * k + 2) for k in reversed(range(1, count - 1))])
        rings.append([(3 * k, 0) for k in range(count)] + [(3 * k + 1, 0) for k in reversed(range(1, count - 1))])
    rings.append([(0, 0), (5000, 0), (5000, 3000), (2500, 3000), (2503, 3004), (2506, 3000), (2500, 3000), (0, 3000)])
    rings.append([(0, 0), (0, 0), (4000, 0), (4000, 10), (4000, 2000), (4000, 2000), (0, 2000)])
    # Each ring again from other start points, so that every segment is the first one somewhere.
    rings += [ring[k:] + ring[:k] for ring in rings for k in rng.sample(range(len(ring)), min(2, len(ring)))]
    return rings


def compare_with_shapely(core, rings, tolerance):
    """The verdicts of the native simplifier on rings in micrometres; every ring it
    simplifies or keeps must be exactly what shapely gives."""
    import shapely.geometry as sg

    rings = [[(x / 1000, y / 1000) for x, y in ring] for ring in rings]
    results = core([f"simplify {tolerance!r} " + " ".join(f"{x!r} {y!r}" for x, y in ring) for ring in rings])
    verdicts = []
    for ring, line in zip(rings, results):
        verdict, *numbers = line.split()
        verdicts.append(verdict)
        if verdict == "unsure":
            continue
        ours = ring if verdict == "kept" else list(zip(map(float.fromhex, numbers[::2]), map(float.fromhex, numbers[1::2])))
        theirs = list(sg.Polygon(ring).simplify(tolerance, preserve_topology=True).exterior.coords)[:-1]
        assert ours == theirs, (tolerance, ring)
    return verdicts


@pytest.fixture
def verified_geos():
    import shapely

    if shapely.geos_version[:2] != (3, 14):
        pytest.skip("the simplifier is verified against another version of GEOS")


@pytest.mark.parametrize("line", [
    "simplify 0.01", "simplify 0.01 0 0 1 1", "simplify 0.01 0 0 1 1 2 0 nan 0", "simplify 0.01 0 0 1 1 inf 0",
    "simplify -0.01 0 0 1 1 2 0", "simplify nan 0 0 1 1 2 0", "simplify inf 0 0 1 1 2 0",
])
def test_rings_the_simplifier_cannot_take_are_left_to_shapely(core, line):
    assert core([line]) == ["unsure"]


@pytest.mark.parametrize("tolerance", [0.001, 0.01, 0.05])
def test_curves_are_simplified_as_shapely_does(core, verified_geos, tolerance):
    verdicts = compare_with_shapely(core, curved_rings(random.Random(5)), tolerance)
    # Nearly all curves are decided here, most of them simplified.
    assert verdicts.count("unsure") < 0.1 * len(verdicts)
    assert verdicts.count("simplified") > 0.6 * len(verdicts)


@pytest.mark.parametrize("tolerance", [0.0, 0.005, 0.01, 0.2])
def test_awkward_rings_are_simplified_as_shapely_does_or_left_to_it(core, verified_geos, tolerance):
    rings = awkward_rings(random.Random(3))
    verdicts = compare_with_shapely(core, rings, tolerance)
    # Rectangles wider and taller than twice the tolerance stay as they are.
    rectangles = [k for k, ring in enumerate(rings[:100])
                  if min(abs(ring[2][0] - ring[0][0]), abs(ring[1][1] - ring[0][1])) > 2000 * tolerance]
    assert rectangles and all(verdicts[k] == "kept" for k in rectangles)
    assert {"kept", "simplified", "unsure"} <= set(verdicts) or tolerance == 0.0


@pytest.mark.parametrize("tolerance", [0.0, 0.005, 0.01, 0.2])
def test_every_search_gives_the_same_results(core, tolerance):
    # The topology checks' two searches, and the furthest point search four
    # points at a time (where the processor can) or one at a time.
    rings = curved_rings(random.Random(5)) + awkward_rings(random.Random(3))
    lines = [f"{tolerance!r} " + " ".join(f"{x / 1000!r} {y / 1000!r}" for x, y in ring) for ring in rings]
    in_grid = core([f"simplify-in-grid {line}" for line in lines])
    assert core([f"simplify-along-runs {line}" for line in lines]) == in_grid
    assert core([f"simplify-scalar {line}" for line in lines]) == in_grid
    assert core([f"simplify {line}" for line in lines]) == in_grid
    assert tolerance == 0.0 or "unsure" in {line.split()[0] for line in in_grid}


def test_the_vector_pass_skips_distances_that_overflow_as_the_scalar_one_does(core):
    # Coordinates this large make a cross product inf - inf (NaN); both passes
    # must still leave the ring to shapely.
    ring = "0 -1e200 2e200 1 -1 1 3 -1 2 -1e200 -1e200 1e200 1"
    assert core([f"simplify {ring}", f"simplify-scalar {ring}"]) == ["unsure", "unsure"]


def array_cases():
    rng = random.Random(11)
    cases = [kdb.CellInstArray(7, kdb.Trans(a, m, rng.randrange(-9999, 9999), rng.randrange(-9999, 9999)),
                               kdb.Vector(rng.randrange(-500, 500), rng.randrange(-500, 500)),
                               kdb.Vector(rng.randrange(-500, 500), rng.randrange(-500, 500)),
                               rng.randrange(1, 6), rng.randrange(1, 6))
             for a, m in ORIENTATIONS for _ in range(3)]
    cases += [kdb.CellInstArray(0, kdb.Trans(1, True, 5, 7)),  # a single placement
              kdb.CellInstArray(0, kdb.Trans(), kdb.Vector(0, 0), kdb.Vector(0, 0), 2, 2),  # degenerate
              kdb.CellInstArray(0, kdb.Trans(2, False, 2**31 - 10, 0), kdb.Vector(3, 0), kdb.Vector(0, 1), 3, 1)]
    return cases


def test_array_members_are_klayouts(core):
    cases = array_cases()
    results = core([f"array {a.to_s()}" for a in cases])
    assert results == ["; ".join(trans_text(t) for t in a.each_trans()) for a in cases]


def test_array_members_beyond_32_bits_are_exact_where_klayouts_wrap(core):
    big = 2**31 - 1
    text = f"#0 m90 {big},{-big} [{big},{-big}*3;{-big},{big}*2]"
    assert core([f"array {text}"]) == ["; ".join(f"2 1 {big * (1 + c - r)} {-big * (1 + c - r)}"
                                                 for r in range(2) for c in range(3))]


@pytest.mark.parametrize("line, shown", [
    *[(f"limit {text}", shown) for text, shown in [("1", "1"), ("007", "7"), ("20000000", "20,000,000"),
                                                   ("99999999999999999999999", "18,446,744,073,709,551,615")]],
    *[(f"limit {text}", "none") for text in ("0", "", "-5", "+5", "1e6", "12 ", "1_000")],
    ("flattened 1", "1"), ("flattened 100 100 100 100", "101,010,100"), ("flattened 3 0 5", "3"),
    ("flattened 4294967295 4294967295", "18,446,744,069,414,584,320"),
    *[(f"flattened {chain}", "18,446,744,073,709,551,615") for chain in ("4294967296 4294967295",
                                                                        "2 4294967295 4294967295")],
])
def test_limits_and_flattened_counts_saturate(core, line, shown):
    assert core([line]) == [shown]


@pytest.mark.parametrize("text", [
    "#0 r30 *1.5 1,2", "#0 r30 *1.5 1,2 [1,0*2;0,1*2]", "#0 r90 1,2 [1,0*2;0,1*0]", "#0 r90 1,2 [1,0*2;0,1*2",
    "#0 r90 1,2 [1,0*2,0,1*2]", "0 r90 1,2", "#0 r90 1,2 [3000000000,0*2;0,1*2]",
])
def test_other_placement_texts_are_refused(core, text):
    assert core([f"array {text}"]) == ["none"]


@pytest.mark.parametrize("count, per", [(0, 4), (1, 4), (3, 4), (4, 4), (5, 4), (1000, 7), (70_000, 1 << 15)])
def test_batches_visit_every_item_once(core, count, per):
    assert core([f"batches {count} {per}"]) == [str(count)]


def written_form(layout):
    options = kdb.SaveLayoutOptions()
    options.format = "GDS2"
    options.gds2_multi_xy_records = True
    return layout.write_bytes(options).hex()


def expected_element(layer, shape):
    if shape.is_text():
        return f"{layer}:t"
    if shape.is_path():
        return f"{layer}:p"
    polygon = shape.polygon
    far = any(abs(c) > 2**30 for p in polygon.each_point_hull() for c in (p.x, p.y))
    refused = polygon.holes() > 0 or (shape.is_box() and (shape.box.area() == 0 or far))
    return f"{layer}:" + ("none" if refused else hull(polygon))


def test_stream_reader_gives_klayouts_order_and_hulls(core):
    """Kinds mixed on one layer come in KLayout's order, each boundary as the hull of
    KLayout's polygon; outlines that may not be that hull are refused."""
    layout = kdb.Layout()
    cell = layout.create_cell("C")
    circle = kdb.Polygon([kdb.Point(round(2e6 * math.cos(a * math.tau / 9000)), round(2e6 * math.sin(a * math.tau / 9000)))
                          for a in range(9000)])  # more points than one record holds
    holed = polygons()[2]
    mixed = [kdb.Box(0, 0, 10, 20), kdb.Text("t", 1, 2), polygons()[1], kdb.Path([kdb.Point(0, 0), kdb.Point(50, 0)], 4),
             kdb.SimplePolygon(kdb.Box(-5, -5, 5, 5)), kdb.BoxWithProperties(kdb.Box(1, 1, 2, 2), {"a": 1}), circle,
             kdb.Box(7, 7, 9, 8)]
    refused = [holed, kdb.Box(5, 0, 5, 20), kdb.Box(0, 5, 10, 5), kdb.Box(-2**30 - 1, 0, 0, 1), kdb.Box(),
               kdb.Box(2, 2, 9, 9)]
    for layer, shapes in ((3, mixed), (8, refused)):
        for shape in shapes:
            cell.shapes(layout.layer(layer, 0)).insert(shape)
    want = " | ".join(expected_element(layer, shape) for layer in (3, 8)
                      for shape in cell.shapes(layout.layer(layer, 0)).each())
    assert want.count("none") == 5 and want.count(":t") == 1 and want.count(":p") == 1
    assert core([f"stream {written_form(layout)} C", f"stream {written_form(layout)} D"]) == [want, "none"]


def record(kind, payload=b"", data_type=0):
    return (4 + len(payload)).to_bytes(2, "big") + bytes([kind, data_type]) + payload


def stream(*elements, cells=1, end=True):
    body = b"".join(record(0x05, bytes(24)) + record(0x06, b"C\0") + b"".join(elements) + record(0x07)
                    for _ in range(cells))
    return record(0x00, bytes(2)) + record(0x01, bytes(24)) + body + (record(0x04) if end else b"")


LAYER_1 = record(0x0D, (1).to_bytes(2, "big"))
SQUARE = record(0x10, b"".join(v.to_bytes(4, "big", signed=True) for v in (0, 0, 0, 9, 9, 9, 9, 0, 0, 0)))


def boundary(*parts):
    return record(0x08) + b"".join(parts) + record(0x11)


@pytest.mark.parametrize("form, result", [
    (stream(boundary(LAYER_1, SQUARE)), "1:0 0 0 9 9 9 9 0"),
    (stream(boundary(LAYER_1, SQUARE[:-4] + (1).to_bytes(4, "big"))), "1:none"),  # not closed
    (stream(boundary(LAYER_1, SQUARE), cells=2), "none"),  # one name, two cells
    (stream(boundary(LAYER_1, SQUARE), end=False), "none"),
    (stream(boundary(LAYER_1, SQUARE))[:-3], "none"),
    (stream(boundary(SQUARE)), "none"),  # no layer
    (stream(boundary(record(0x0D, bytes(4)), SQUARE)), "none"),
    (stream(boundary(LAYER_1, record(0x10, bytes(12)))), "none"),
    (stream(boundary(LAYER_1, SQUARE)).replace(record(0x07), b""), "1:0 0 0 9 9 9 9 0"),
    (stream(boundary(LAYER_1, SQUARE), boundary(record(0x0D, (2).to_bytes(2, "big")), SQUARE),
            boundary(LAYER_1, SQUARE)), "1:split | 2:0 0 0 9 9 9 9 0"),
    (record(0x00, bytes(2)) + boundary(LAYER_1, SQUARE) + record(0x04), "none"),  # outside a cell
    (stream(boundary(LAYER_1, SQUARE))[:1] + b"\x03" + stream(boundary(LAYER_1, SQUARE))[2:], "none"),
])
def test_stream_reader_refuses_other_forms(core, form, result):
    assert core([f"stream {form.hex()} C"]) == [result]


@pytest.mark.parametrize("points", [[(9, 9), (9, 0), (0, 0), (0, 9)], [(0, 0), (9, 0), (9, 9), (0, 9)]],
                         ids=["not from the lowest point", "counter-clockwise"])
def test_stream_reader_refuses_hulls_klayout_does_not_keep(core, points):
    xy = b"".join(v.to_bytes(4, "big", signed=True) for p in [*points, points[0]] for v in p)
    assert core([f"stream {stream(boundary(LAYER_1, record(0x10, xy))).hex()} C"]) == ["1:none"]


def placement(kind, name, *parts):
    return record(kind) + record(0x12, name) + b"".join(parts) + record(0x11)


def real8(value):
    """A GDS 8-byte real: sign, a base-16 exponent above 64, a 56-bit fraction."""
    if value == 0:
        return bytes(8)
    exponent = 64
    magnitude = abs(value)
    while magnitude >= 1:
        magnitude, exponent = magnitude / 16, exponent + 1
    while magnitude < 1 / 16:
        magnitude, exponent = magnitude * 16, exponent - 1
    return bytes([exponent | (0x80 if value < 0 else 0)]) + round(magnitude * 2**56).to_bytes(7, "big")


def points(*values):
    return record(0x10, b"".join(v.to_bytes(4, "big", signed=True) for v in values))


MIRRORED = record(0x1A, b"\x80\x00")


@pytest.mark.parametrize("elements, result", [
    ([placement(0x0A, b"U\0", points(3, -4))], "U r0 1x1 3 -4"),
    ([placement(0x0A, b"U\0", MIRRORED, record(0x1C, real8(270.0)), points(0, 0))], "U m3 1x1 0 0"),
    ([placement(0x0A, b"U\0", record(0x1B, real8(1.0)), record(0x1C, real8(90.0)), points(1, 2)),
      placement(0x0B, b"VV", record(0x13, (3).to_bytes(2, "big") + (1).to_bytes(2, "big")),
                points(0, 0, 30, 0, 0, 5))], "U r1 1x1 1 2 | VV r0 3x1 0 0 30 0 0 5"),
    ([placement(0x0A, b"U\0", record(0x1B, real8(1.5)), points(0, 0))], "U r0 c 1x1 0 0"),
    ([placement(0x0A, b"U\0", record(0x1C, real8(30.0)), points(0, 0))], "U r0 c 1x1 0 0"),
    ([placement(0x0A, b"U\0", record(0x1A, b"\x00\x04"), points(0, 0))], "U r0 c 1x1 0 0"),  # absolute
    ([placement(0x0A, b"U\0", points(0, 0, 1, 1))], "none"),  # an SREF has one point
    ([placement(0x0A, b"U\0", record(0x1B, bytes(4)), points(0, 0))], "none"),
])
def test_stream_reader_gives_placements_as_written(core, elements, result):
    assert core([f"placed {stream(*elements).hex()} C"]) == [result]


def cells(*bodies):
    """A stream form of the cells named and holding what `bodies` give, in order."""
    body = b"".join(record(0x05, bytes(24)) + record(0x06, name) + b"".join(elements) + record(0x07)
                    for name, elements in bodies)
    return record(0x00, bytes(2)) + record(0x01, bytes(24)) + body + record(0x04)


def sref(name):
    return placement(0x0A, name, points(0, 0))


def aref(name, columns, rows):
    return placement(0x0B, name, record(0x13, columns.to_bytes(2, "big") + rows.to_bytes(2, "big")),
                     points(0, 0, columns, 0, 0, rows))


@pytest.mark.parametrize("form, count", [
    # Two tops; A places B once and as a 3 x 2 array: T1 holds 1 + (1 + 6) x (1 + 4), T2 one more.
    (cells((b"T1", [sref(b"A\0")]), (b"A\0", [sref(b"B\0"), aref(b"B\0", 3, 2)]),
           (b"B\0", [aref(b"L\0", 2, 2)]), (b"L\0", []), (b"T2", [sref(b"L\0")])), str(1 + 7 * 5 + 1)),
    (cells((b"T\0", [sref(b"GONE")])), "none"),  # a placed cell never written
    (cells((b"A\0", [sref(b"B\0")]), (b"B\0", [sref(b"A\0")])), "none"),  # a cycle
    (cells((b"T\0", [aref(b"L\0", 0, 3)]), (b"L\0", [])), "none"),
    (cells((b"T\0", [aref(b"M\0", 30000, 30000)]), (b"M\0", [aref(b"L\0", 30000, 30000)]), (b"L\0", [])),
     str(900_000_000 * (900_000_000 + 1))),
])
def test_placements_counted_from_the_stream_form(core, form, count):
    assert core([f"placed-count {form.hex()}"]) == [count]

"""Limits of a conversion: tiny files of enormous layouts are refused before anything big
is made; placements and the temporary file reach beyond 32-bit coordinates and GDS2."""

import itertools
import os
import subprocess
import sys
from pathlib import Path
from types import SimpleNamespace as NS

import klayout.db as kdb
import klayout.dbcore as dbcore
import numpy as np
import pytest

import tessarand.core.show3d as show3d
from conftest import make_layout
from orvalis import Component, import_gds
from tessarand.core.show3d import Output, ParseGDS

TABLE = {(1, 0): show3d.PdkLayer("WG", 0.22, 0.5, "#ff0000")}
BIG = 2_000_000_000


def placements_refused(count, limit=20_000_000, at_least=False):
    return (f"MemoryError: the layout places cells {'at least ' * at_least}{count:,} times when flattened, more "
            f"than the limit of {limit:,} placements; set TESSARAND_MAX_PLACEMENTS to allow more")


def outcome(run):
    try:
        run()
    except (MemoryError, ValueError) as error:
        return f"{type(error).__name__}: {error}"
    return "done"


def read(path):
    (layout := kdb.Layout()).read(str(path))
    return layout


class GeneralWalk(ParseGDS):
    """A parser of the caller's: the general walk and combination."""


ROADS = {"direct": lambda path: show3d.to_3D_viewer(path, Output.LAYER, as_dict=True),
         "show3d": lambda path: show3d.show3d(path, Output.CELL),
         "records": lambda path: show3d.to_3D_viewer(path, Output.CELL),  # on the walk's tables
         "general": lambda path: GeneralWalk(read(path), TABLE).export_cells(),
         "export": lambda path: ParseGDS(read(path), TABLE).export_cells()}  # the walk on a parser

EVERY_ROAD = """
import os, resource, tempfile
if "ASAN_OPTIONS" not in os.environ:  # the sanitizer's shadow memory needs the address space
    resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
from test_limits import ROADS, outcome
print([outcome(lambda: run({path!r})) for run in ROADS.values()], os.listdir(tempfile.gettempdir()))
"""


@pytest.mark.parametrize("kind, refused, general, export", [
    ("array", placements_refused(1_000_014_129), *[placements_refused(1_000_014_129, at_least=True)] * 2),
    ("nested", placements_refused(101_010_100), placements_refused(101_010_100, at_least=True),
     placements_refused(101_010_100))])
def test_tiny_files_of_enormous_layouts_are_refused_on_every_road(tmp_path, kind, refused, general, export):
    """One 31,623 x 31,623 array of a box, or four levels of 10 x 10 arrays, in a
    process whose address space a regression would fill."""
    leaf = {(1, 0): [(0, 0, 10, 10)]}
    layout = make_layout({"L0": {}, "L1": leaf}, [("L0", "L1", kdb.Trans(), kdb.Vector(20, 0), kdb.Vector(0, 20),
                                                    31_623, 31_623)]) if kind == "array" else make_layout(
        {"L0": {}, "L1": {}, "L2": {}, "L3": {}, "L4": leaf},
        [(f"L{i}", f"L{i + 1}", kdb.Trans(), kdb.Vector(20 * 10**(3 - i), 0), kdb.Vector(0, 20 * 10**(3 - i)), 10, 10)
         for i in range(4)])
    layout.write(str(path := tmp_path / "tiny.gds"))
    (tmp_path / "tmp").mkdir()
    env = {**os.environ, "TMPDIR": str(tmp_path / "tmp"), "TESSARAND_VIEWER_DIR": str(tmp_path),
           "PYTHONPATH": os.pathsep.join([str(Path(__file__).parent), *sys.path])}
    env.pop("TESSARAND_MAX_PLACEMENTS", None)
    done = subprocess.run([sys.executable, "-c", EVERY_ROAD.format(path=str(path))], env=env, capture_output=True,
                          text=True, timeout=300)
    assert done.stdout == f"{[refused] * 3 + [general, export]} []\n", done.stderr  # the temporary file is gone


POLYGONS_REFUSED = ("MemoryError: the layout holds at least 4 distinct polygons, more than the limit of 3; "
                    "set TESSARAND_MAX_POLYGONS to allow more")


@pytest.mark.parametrize("placements, polygons, direct, export, general", [
    (80, 4, "done", "done", "done"),
    # The direct road counts the component before anything; an export, before or as
    # the products are made.
    (79, 4, placements_refused(80, 79), placements_refused(80, 79), placements_refused(80, 79, True)),
    (22, 4, placements_refused(80, 22), *[placements_refused(23, 22, True)] * 2),  # as the placements are read
    (80, 3, *[POLYGONS_REFUSED] * 3),
])
def test_limits_from_the_environment(monkeypatch, tmp_path, placements, polygons, direct, export, general):
    """A 5 x 4 array of A, which places B three times: 23 placements read, 80 when
    flattened; 4 distinct polygons."""
    make_layout({"TOP": {(1, 0): [(0, 0, 1, 1)]}, "A": {(1, 0): [(0, 0, 2, 2)]},
                 "B": {(1, 0): [(0, 0, 3, 3), (5, 5, 6, 6)]}},
                [("TOP", "A", kdb.Trans(), kdb.Vector(100, 0), kdb.Vector(0, 100), 5, 4),
                 *[("A", "B", kdb.Trans(10 * k, 0)) for k in range(3)]]).write(path := str(tmp_path / "c.gds"))
    monkeypatch.setenv("TESSARAND_MAX_PLACEMENTS", str(placements))
    monkeypatch.setenv("TESSARAND_MAX_POLYGONS", str(polygons))
    assert [outcome(lambda: ROADS[road](path)) for road in ("direct", "export", "general")] == [
        direct, export, general]


@pytest.mark.parametrize("name", ["TESSARAND_MAX_PLACEMENTS", "TESSARAND_MAX_POLYGONS"])
@pytest.mark.parametrize("text", [b"", b"0", b"-3", b"ten", b"1e6", b" 5", b"\xff"])
def test_a_limit_that_is_no_positive_integer_is_refused_by_every_conversion(monkeypatch, tmp_path, name, text):
    make_layout({"T": {(1, 0): [(0, 0, 1, 1)]}}).write(path := str(tmp_path / "t.gds"))
    monkeypatch.setitem(os.environb, name.encode(), text)
    parser = ParseGDS(read(path), TABLE)
    assert [outcome(run) for run in (lambda: ROADS["direct"](path), parser.export_cells,
                                     lambda: parser.combine_references(Output.CELL))] == [
        f"ValueError: {name} must be a positive integer, not {os.fsdecode(text)!r}"] * 3


@pytest.mark.parametrize("replaced, counted_first", [
    (None, True), ("Box.to_bytes", True), ("Shape.bbox", True), ("Instance.size", False)])
def test_a_component_is_counted_first_unless_what_counts_it_was_replaced(monkeypatch, replaced, counted_first):
    """The component's placements are counted before layers are derived from it
    while the KLayout methods the count calls are KLayout's own (an equal wrapper
    of another method changes nothing); else they are counted as they are read."""
    layout = make_layout({"TOP": {}, "A": {(1, 0): [(0, 0, 2, 2)]}},
                         [("TOP", "A", kdb.Trans(), kdb.Vector(100, 0), kdb.Vector(0, 100), 5, 4)])
    if replaced:
        cls, name = replaced.split(".")
        method = getattr(dbcore, cls).__dict__[name]
        monkeypatch.setattr(getattr(dbcore, cls), name, lambda self, *args: method(self, *args))
    monkeypatch.setenv("TESSARAND_MAX_PLACEMENTS", "19")
    assert outcome(lambda: show3d.to_3D_viewer(Component.from_layout(layout), Output.CELL)) == (
        placements_refused(20, 19, at_least=not counted_first))


def test_an_endless_array_of_the_callers_is_refused_as_it_is_read(monkeypatch):
    monkeypatch.setenv("TESSARAND_MAX_PLACEMENTS", "1000")
    endless = NS(cell_index=1, cell_inst=NS(is_complex=lambda: False, each_trans=lambda: itertools.repeat(kdb.Trans())))
    cells = {index: NS(name=f"C{index}", cell_index=lambda index=index: index, each_inst=lambda places=places: places,
                       shapes=lambda layer: NS(each=lambda: iter([]))) for index, places in ((0, [endless]), (1, []))}
    (parser := ParseGDS(kdb.Layout(), TABLE)).cell_index_map = cells
    assert outcome(lambda: parser.parse_cells(cells[0])) == placements_refused(1001, 1000, True)


@pytest.mark.parametrize("suffix, form, cells, places, positions", [
    (".gds", b"\x00\x06\x00\x02", {"T": {}, "M": {}},  # a placement at 2e9 in a cell placed at 2e9
     [("T", "M", kdb.Trans(BIG, 0)), ("M", "L", kdb.Trans(BIG, -BIG))], [(4e6, -2e6)]),
    (".oas", b"%SEMI-OASIS", {"T": {}},  # an array reaching beyond 32 bits
     [("T", "L", kdb.Trans(BIG, 0), kdb.Vector(BIG // 2, 0), kdb.Vector(0, -BIG), 3, 2)],
     [(2e6 + k * 1e6, -r * 2e6) for r in range(2) for k in range(3)]),
    (".oas", b"%SEMI-OASIS", {"T": {(70000, 0): [(0, 0, 5, 5)]}},  # a layer number beyond GDS2's
     [("T", "L", kdb.Trans(7, 9))], [(0.007, 0.009)]),
])
def test_placements_and_layers_beyond_gds2_are_drawn_where_they_lie(tmp_path, suffix, form, cells, places, positions):
    layout = make_layout({**cells, "L": {(1, 0): [(0, 0, 10, 10)]}}, places)
    layout.write(str(path := tmp_path / f"wide{suffix}"))
    assert Component.from_layout(layout).write_gds(tmp_path / "w.gds").read_bytes().startswith(form)
    scene = show3d.to_3D_viewer(str(path), Output.CELL, as_dict=True)
    leaves, pending = [], [scene]
    while pending:
        node = pending.pop()
        pending += node.get("parts", [])
        leaves += [node] if "shape" in node else []
    assert [leaf["id"] for leaf in leaves] == [f"/Cells/{'/'.join(cells)}/L/Si (1, 0)"]
    matrices = np.asarray(leaves[0]["shape"]["matrices"]).reshape(-1, 6)
    assert matrices[:, [2, 5]].tolist() == np.asarray(positions, dtype=np.float32).tolist()


def test_a_layout_too_large_for_a_nanometre_unit_is_refused(tmp_path):
    (layout := kdb.Layout()).dbu = 1.0
    layout.create_cell("T").shapes(layout.layer(1, 0)).insert(kdb.Box(2**30, 0, 2**30 + 10, 10))
    layout.write(str(path := tmp_path / "micrometres.gds"))
    assert outcome(lambda: import_gds(path)) == (
        f"ValueError: cannot convert {path} to a database unit of 0.001 µm: it reaches 1,073,741,834.000 µm "
        "from the origin, beyond the 2,147,483.647 µm that 32-bit coordinates hold at that unit")

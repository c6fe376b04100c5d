"""The `show3d` command as a user runs it: a subprocess on sample layouts, with
its exit status, its exact messages and the page and JSON it writes."""

import gzip
import os
import pty
import resource
import re
import select
import signal
import struct
import subprocess
import sys
import time
from pathlib import Path

import klayout.db as kdb
import orjson
import pytest

from conftest import sample_path
from orvalis import pdk
from tessarand import viewer
from tessarand.core import show3d

STACKS = Path(__file__).resolve().parent / "stacks"
VELTRA = {  # the invented process: name -> (zmin, thickness, colour), as tests/stacks/veltra40.toml
    "Diff (11, 0)": (0.0, 0.3, "#33aa33"), "Poly (12, 0)": (0.3, 0.15, "#cc3333"),
    "Contact (13, 0)": (0.3, 0.5, "#888888"), "Met1 (21, 0)": (0.8, 0.35, "#3366ff"),
    "Via1 (22, 0)": (1.15, 0.4, "#ffcc00"), "Met2 (23, 0)": (1.55, 0.5, "#e41a1c"),
    "Pad (40, 5)": (2.3, 1.0, "#aaaaaa"), "Gate (1000, 0)": (0.3, 0.15, "#ff00ff"),
    "WellDiff (1001, 0)": (0.0, 0.05, "#00cccc"),
}


@pytest.fixture
def folders(tmp_path):
    """Pages and temporary files of the runs go to folders of the test."""
    (tmp_path / "pages").mkdir()
    (tmp_path / "tmp").mkdir()
    return tmp_path


# The folder this test run imports `tessarand` from (the source tree with its
# developer build, or the installed package), so the command runs the same code.
PACKAGE_ROOT = str(Path(show3d.__file__).resolve().parents[2])


def environment(folders, **extra):
    return {**os.environ, "PYTHONPATH": PACKAGE_ROOT, "TESSARAND_VIEWER_DIR": str(folders / "pages"),
            "TMPDIR": str(folders / "tmp"), **extra}


def run(folders, *args, **extra):
    done = subprocess.run([sys.executable, "-m", "tessarand.cli", *map(str, args)], capture_output=True,
                          text=True, env=environment(folders, **extra), timeout=120)
    return done.returncode, done.stdout, done.stderr


def page_path(out: str) -> Path:
    return Path(re.search(r"^page with the 3D view: (.*)$", out, re.M).group(1))


def layers_in(message: str) -> dict[str, tuple[float, float, str]]:
    """Layer name -> (zmin, height, colour) of the leaves of the scene in `message`
    (in layer mode the layer nodes below the root name their leaves)."""
    found = {}

    def walk(node, layer):
        for child in node.get("parts", []):
            if "shape" in child:
                found[layer or child["name"]] = (child["loc"][0][2], child["shape"]["height"], child["color"])
            else:
                walk(child, layer)
    data = orjson.loads(message)["data"]
    for node in data["parts"]:
        walk({"parts": [node]} if data["name"] == "Cells" else node, node["name"] if data["name"] == "Layers" else None)
    return found


def veltra_layout(path: Path) -> Path:
    """A small design of the invented process: a transistor cell placed twice and
    a shape on every layer of the stack."""
    layout = kdb.Layout()
    layout.dbu = 0.001
    top, cell = layout.create_cell("CHIP"), layout.create_cell("nmos")
    boxes = {(3, 0): (0, 0, 4000, 3000), (11, 0): (500, 500, 3500, 2500), (12, 0): (1800, 0, 2200, 3000),
             (13, 0): (800, 1200, 1200, 1600), (21, 0): (600, 1000, 1400, 1800), (22, 0): (900, 1300, 1100, 1500)}
    for (layer, datatype), box in boxes.items():
        cell.shapes(layout.layer(layer, datatype)).insert(kdb.Box(*box))
    top.shapes(layout.layer(23, 0)).insert(kdb.Box(0, 0, 12000, 800))
    top.shapes(layout.layer(40, 5)).insert(kdb.Box(10000, 4000, 12000, 6000))
    for x in (0, 5000):
        top.insert(kdb.CellInstArray(cell.cell_index(), kdb.Trans(x, 1000)))
    if path.suffix == ".oas":
        layout.write(str(path))
    else:
        plain = path.with_suffix("") if path.suffix == ".gz" else path
        layout.write(str(plain))
        if path.suffix == ".gz":
            path.write_bytes(gzip.compress(plain.read_bytes()))
            plain.unlink()
    return path


# ---------------------------------------------------------------- any process

def test_derived_layers_are_drawn_on_pairs_the_layout_leaves_free(folders):
    layout = kdb.Layout()
    layout.read(str(veltra_layout(folders / "chip.gds")))
    layout.top_cell().shapes(layout.layer(1000, 0)).insert(kdb.Box(0, 0, 100, 100))
    layout.write(str(folders / "chip.gds"))
    code, out, err = run(folders, folders / "chip.gds", "--stack", STACKS / "veltra40.toml", "--json", folders / "m.json")
    assert (code, err) == (0, "")
    # The layout's own 1000/0 shapes are not taken for the derived layer.
    assert out.splitlines()[5:8] == ["  not shown   3/0 Well: 1 shape (used only by derived layer WellDiff)",
                                     "              1000/0: 1 shape (no stack entry)",
                                     "  coverage    7 of 9 shapes shown (77.8%), 7 of 9 layers"]
    drawn = layers_in((folders / "m.json").read_text())
    assert drawn["Gate (1002, 0)"] == VELTRA["Gate (1000, 0)"] and "Gate (1000, 0)" not in drawn


@pytest.mark.parametrize("name", ["chip.gds", "chip.gds.gz", "chip.oas"])
def test_invented_process_from_the_command_line(folders, name):
    layout = veltra_layout(folders / name)
    code, out, err = run(folders, layout, "--stack", STACKS / "veltra40.toml", "--json", folders / "m.json")
    assert (code, err) == (0, "")
    assert out.splitlines()[0] == f"{layout}: converted with kit 'veltra40' in layer mode, top cell CHIP"
    # The well is drawn only through the derived layer that reads it.
    assert out.splitlines()[5:7] == ["  not shown   3/0 Well: 1 shape (used only by derived layer WellDiff)",
                                     "  coverage    7 of 8 shapes shown (87.5%), 7 of 8 layers"]
    assert layers_in((folders / "m.json").read_text()) == VELTRA
    # The page, written before the JSON, carries the same message and its identity.
    page = page_path(out).read_text()
    assert orjson.loads(viewer.message_from_page(page)) == orjson.loads((folders / "m.json").read_text())
    assert f"<title>{name} · CHIP · show3d</title>" in page and f'<h1 id="title" title="{name} · CHIP">{name} · CHIP</h1>' in page
    assert '"opacity": {"Met1 (21, 0)": 0.7}' in page
    assert out.index("page with the 3D view") < out.index("message JSON written")


def test_invented_process_from_python(folders, monkeypatch):
    monkeypatch.setenv("TESSARAND_VIEWER_DIR", str(folders / "pages"))
    sent = []
    monkeypatch.setattr(show3d, "comms", type("Comms", (), {"send_message": staticmethod(sent.append)}))
    try:
        pdk.load_pdk(STACKS / "veltra40.toml")
        show3d.show3d(str(veltra_layout(folders / "chip.gds")), show3d.Output.CELL)
    finally:
        pdk.unregister_pdk("veltra40")
    assert layers_in(sent[0].content) == VELTRA


def test_lyp_colours_layers_the_stack_leaves_uncoloured(folders):
    layout = veltra_layout(folders / "chip.gds")
    code, out, err = run(folders, layout, "--stack", STACKS / "veltra40.toml", "--lyp", STACKS / "veltra40.lyp",
                         "--json", folders / "m.json")
    assert code == 0 and layers_in((folders / "m.json").read_text())["Met2 (23, 0)"] == (1.55, 0.5, "#ff9900")


def test_siepic_stack_draws_every_layer_of_a_siepic_design(folders):
    code, out, err = run(folders, sample_path("siepic_minichip_1mm.gds"), "--stack", STACKS / "siepic.toml",
                         "--json", folders / "m.json")
    assert (code, err) == (0, "")
    assert "  coverage    629 of 629 shapes shown (100.0%), 8 of 8 layers" in out.splitlines()
    assert layers_in((folders / "m.json").read_text()) == {
        "Si (1, 0)": (0.0, 0.22, "#ff80a8"), "PinRec (1, 10)": (0.22, 0.01, "#00ffff"),
        "Text (10, 0)": (0.5, 0.01, "#0000ff"), "Layer26 (26, 0)": (0.6, 0.05, "#996633"),
        "DevRec (68, 0)": (0.3, 0.02, "#008000"), "PinRecM (69, 0)": (0.32, 0.02, "#ff0000"),
        "FbrTgt (81, 0)": (0.4, 0.05, "#808080"), "FloorPlan (99, 0)": (-0.1, 0.01, "#8000ff")}


EBEAM_PUBLIC = {  # the public kit's further layers: name (L, D) -> (zmin, thickness, colour)
    "Waveguide (1, 99)": (0.0, 0.22, "#ff80a8"), "Si_Litho193nm (1, 69)": (0.0, 0.22, "#cc80a8"),
    "Oxide_open (6, 0)": (0.22, 2.2, "#ffae00"), "Si_N (20, 0)": (0.0, 0.22, "#7000ff"),
    "Si_Npp (24, 0)": (0.0, 0.22, "#0000ff"), "VC (40, 0)": (0.22, 2.2, "#3a027f"),
    "Deep_Trench (201, 0)": (-2.0, 2.0, "#c0c0c0"), "Isolation_Trench (203, 0)": (-2.0, 2.22, "#c0c0c0"),
    "Shelf_Etch (205, 0)": (0.09, 0.13, "#c0e0c0"), "BlackBox (998, 0)": (0.0, 0.22, "#004080"),
    "Laser (131, 155)": (0.0, 1.0, "#ff0000")}


def test_default_kit_draws_the_public_layer_set(folders):
    """A shape on each drawn layer of the public set, and one on each it names only."""
    layout = kdb.Layout()
    top = layout.create_cell("TOP")
    pairs = [tuple(map(int, re.search(r"\((\d+), (\d+)\)", name).groups())) for name in EBEAM_PUBLIC]
    named = [(81, 0), (1, 11), (200, 0), (202, 0), (210, 0), (290, 0), (733, 0), (999, 0)]
    for k, pair in enumerate(pairs + named):
        top.shapes(layout.layer(*pair)).insert(kdb.Box(0, 1000 * k, 500, 1000 * k + 500))
    layout.write(str(path := folders / "public.gds"))
    code, out, err = run(folders, path, "--json", folders / "m.json")
    assert (code, err) == (0, "")
    assert layers_in((folders / "m.json").read_text()) == EBEAM_PUBLIC
    assert "  coverage    11 of 19 shapes shown (57.9%), 11 of 19 layers" in out.splitlines()
    assert all(re.search(rf" {p[0]}/{p[1]} \w+: 1 shape \(no heights in the stack\)$", out, re.M) for p in named)


def test_built_in_kit_gives_the_same_message_as_its_stack_file(folders):
    gds = sample_path("ihp_sram_1p_1024x16.gds")
    kit = Path(pdk.__file__).parent / "kits" / "sg13g2.toml"
    run(folders, gds, "--kit", "sg13g2", "--json", folders / "kit.json")
    run(folders, gds, "--stack", kit, "--json", folders / "file.json")
    assert (folders / "kit.json").read_bytes() == (folders / "file.json").read_bytes()


# ---------------------------------------------------------------- nothing dropped in silence

def test_report_lists_the_layers_not_shown(folders):
    code, out, err = run(folders, sample_path("siepic_ring_resonator.gds"))
    assert code == 0
    assert out.splitlines()[4:11] == [
        "  layers      1 shown: Si (1, 0)",
        "  not shown   10/0 Text: 101 shapes (no heights in the stack)",
        "              733/0 Lumerical: 17 shapes (no heights in the stack)",
        "              69/0: 10 shapes (no stack entry)",
        "              68/0 DevRec: 6 shapes (no heights in the stack)",
        "              81/0 FbrTgt: 1 shape (no heights in the stack)",
        "  coverage    162 of 297 shapes shown (54.5%), 1 of 6 layers",
    ]


def test_layers_read_only_by_derived_layers_are_named(folders):
    code, out, err = run(folders, sample_path("ihp_sg13g2_stdcell.gds"), "--kit", "sg13g2", "--top", "sg13g2_inv_1")
    assert "              14/0 pSD: 2 shapes (used only by derived layers Rhigh, Rppd)" in out.splitlines()


def test_nothing_to_show_is_an_error_unless_allowed(folders):
    layout = kdb.Layout()
    layout.create_cell("coupler").shapes(layout.layer(31, 0)).insert(kdb.Box(0, 0, 100, 100))
    layout.write(str(folders / "coupler.gds"))
    code, out, err = run(folders, folders / "coupler.gds")
    assert (code, out) == (1, "")
    assert err == ("show3d: error: nothing to show in coupler.gds: none of its layers (31/0) has heights "
                   "in stack 'ebeam'; give a stack file for this process with --stack\n")
    assert list((folders / "pages").iterdir()) == []
    code, out, err = run(folders, folders / "coupler.gds", "--allow-empty")
    assert code == 0 and "  coverage    0 of 1 shapes shown (0.0%), 0 of 1 layers" in out.splitlines()
    # Shapes on a layer of the stack, of which nothing is drawn (a derived layer that
    # comes out empty): no page, and an existing --out is left as it was.
    (folders / "empty.toml").write_text('[[layer]]\nname = "A"\ngds = "31/0"\n\n'
                                        '[[layer]]\nname = "D"\nderived = "A - A"\nzmin = 0\nthickness = 1\n')
    (folders / "old.html").write_text("kept")
    code, out, err = run(folders, folders / "coupler.gds", "--stack", folders / "empty.toml", "--out",
                         folders / "old.html")
    assert (code, out, err) == (1, "", "show3d: error: nothing to show in coupler.gds: the scene is empty\n")
    assert (folders / "old.html").read_text() == "kept" and len(list((folders / "pages").iterdir())) == 1


# ---------------------------------------------------------------- exclusions

SRAM_LAYERS = ["Cont (6, 0)", "Metal1 (8, 0)", "Activ (1, 0)", "GatPoly (5, 0)", "Cont_to_Gatpoly (1003, 0)",
               "Metal2 (10, 0)", "Metal3 (30, 0)", "Via1 (19, 0)", "Via2 (29, 0)", "Via3 (49, 0)", "Metal4 (50, 0)"]


@pytest.mark.parametrize("patterns, left_out", [
    (["metal2"], ["Metal2 (10, 0)"]),
    (["10/0", "METAL1"], ["Metal2 (10, 0)", "Metal1 (8, 0)"]),
    (["via*"], ["Via1 (19, 0)", "Via2 (29, 0)", "Via3 (49, 0)"]),
    (["*Poly*", "Cont (6, 0)"], ["GatPoly (5, 0)", "Cont_to_Gatpoly (1003, 0)", "Cont (6, 0)"]),
    (["Metal[34]"], ["Metal3 (30, 0)", "Metal4 (50, 0)"]),
])
def test_exclude_takes_names_pairs_and_wildcards(folders, patterns, left_out):
    args = [item for pattern in patterns for item in ("--exclude", pattern)]
    # The patterns come before the file: each --exclude takes exactly one.
    code, out, err = run(folders, *args, sample_path("ihp_sram_1p_1024x16.gds"), "--kit", "sg13g2")
    assert (code, err) == (0, "")
    shown = [layer for layer in SRAM_LAYERS if layer not in left_out]
    assert re.search(r"^  layers      \d+ shown: (.*)$", out, re.M).group(1) == ", ".join(shown)
    for layer in left_out:
        name, pair = layer.split(" ", 1)
        if name == "Cont_to_Gatpoly":
            continue  # derived: not a layer of the file
        numbers = "/".join(re.findall(r"\d+", pair))
        assert re.search(rf"^  (not shown)? +{numbers} {name}: [\d,]+ shapes \(excluded\)$", out, re.M)


def test_exclude_warns_about_a_pattern_that_matches_nothing(folders):
    code, out, err = run(folders, sample_path("siepic_ring_resonator.gds"), "--exclude", "Metal9",
                         "--exclude", "99/0")
    assert code == 0
    assert err == ("show3d: warning: --exclude 'Metal9' matches no layer shown\n"
                   "show3d: warning: --exclude '99/0' matches no layer shown\n")


def test_excluding_everything_is_an_error(folders):
    code, out, err = run(folders, "--exclude", "*", sample_path("siepic_ring_resonator.gds"))
    assert (code, out) == (1, "")
    assert err == ("show3d: error: nothing to show in siepic_ring_resonator.gds: "
                   "the --exclude patterns leave out every layer the stack shows\n")


# ---------------------------------------------------------------- top cell, options, identity

def test_top_cell_is_chosen_and_names_the_page(folders):
    code, out, err = run(folders, sample_path("siepic_ring_resonator.gds"), "--top", "Ring")  # the whole layout
    assert (code, err) == (0, "") and out.splitlines()[1] == "  cells       13"
    code, out, err = run(folders, sample_path("ihp_sg13g2_stdcell.gds"), "--kit", "sg13g2", "--top", "sg13g2_inv_1",
                         "--mode", "cell")
    assert code == 0 and out.splitlines()[1] == "  cells       1"
    page = page_path(out)
    assert page.parent == folders / "pages" and page.name.startswith("show3d-ihp_sg13g2_stdcell-sg13g2_inv_1-")
    assert "<title>ihp_sg13g2_stdcell.gds · sg13g2_inv_1 · show3d</title>" in page.read_text()


def test_many_top_cells_are_said_and_an_unknown_one_lists_them(folders):
    code, out, err = run(folders, sample_path("ihp_sg13g2_stdcell.gds"), "--kit", "sg13g2")
    assert out.splitlines()[0].endswith("in layer mode, 84 top cells at one origin, the largest sg13g2_sdfrbp_2, "
                                        "sg13g2_sdfrbp_1, sg13g2_sdfrbpq_2 (pick one with --top)")
    code, out, err = run(folders, sample_path("ihp_sg13g2_stdcell.gds"), "--top", "inv")
    assert code == 1 and err.startswith(
        f"show3d: error: no cell 'inv' in {sample_path('ihp_sg13g2_stdcell.gds')}; its top cells: "
        "sg13g2_a21o_1, sg13g2_a21o_2, ")
    assert err.endswith(", sg13g2_decap_8, ... (84 in all)\n")


def test_z_scale_simplification_and_chosen_page(folders):
    gds = sample_path("siepic_ring_resonator.gds")
    code, out, err = run(folders, gds, "--z-scale", "2", "--out", folders / "ring.html", "--json", folders / "a.json")
    assert code == 0 and page_path(out) == folders / "ring.html" and (folders / "ring.html").is_file()
    assert layers_in((folders / "a.json").read_text()) == {"Si (1, 0)": (0.0, 0.44, "#ff80a8")}
    run(folders, gds, "--no-simplify", "--json", folders / "b.json")
    run(folders, gds, "--tolerance", "0.01", "--json", folders / "c.json")
    run(folders, gds, "--tolerance", "0.2", "--json", folders / "d.json")
    default, kept, same, coarse = (orjson.loads((folders / f"{n}.json").read_text())["data"]["instances"]
                                   for n in "abcd")
    assert same == default
    # Every outline point kept: some polygons have more points, none fewer; a coarser
    # tolerance the other way round.
    for fewer, more in [(default, kept), (coarse, default)]:
        sizes = [(a["shape"][0], b["shape"][0]) for a, b in zip(fewer, more, strict=True)]
        assert all(a <= b for a, b in sizes) and any(a < b for a, b in sizes)


@pytest.mark.parametrize("args, message", [
    (["--tolerance", "-1"], "argument --tolerance: expected a number of 0 or more and at most 1000, got '-1'"),
    (["--tolerance", "nan"], "argument --tolerance: expected a number of 0 or more and at most 1000, got 'nan'"),
    (["--tolerance", "0.1", "--no-simplify"], "argument --no-simplify: not allowed with argument --tolerance"),
    *(([f"--z-scale={value}"], f"argument --z-scale: expected a number above 0 and at most 1000, got '{value}'")
      for value in ("inf", "-inf", "nan", "0", "1e308")),
    (["--max-placements", "0"], "argument --max-placements: expected a whole number above 0, got '0'"),
])
def test_numbers_out_of_range_refused(folders, args, message):
    code, out, err = run(folders, sample_path("siepic_ring_resonator.gds"), *args)
    assert code == 2 and err.endswith(f"show3d: error: {message}\n")


@pytest.mark.parametrize("args, message", [
    (["missing.gds"], "no layout file at {tmp}/missing.gds"),
    (["."], "{tmp} is a directory, not a layout file"),
    (["notes.txt"], "cannot read layout file {tmp}/notes.txt: Stream has unknown format: {tmp}/notes.txt"),
    (["{ring}", "--stack", "missing.toml"], "no stack file at {tmp}/missing.toml"),
    (["{ring}", "--stack", "bad.toml"],
     "bad.toml, layer 1 (line 1), key 'zmin' (line 4): expected a number, got 'low'"),
    (["{ring}", "--kit", "nope"], "unknown kit 'nope' (known: ebeam, sg13g2)"),
    (["{ring}", "--json", "no/such/dir/m.json"], "--json {tmp}/no/such/dir/m.json: no directory {tmp}/no/such/dir"),
    (["{ring}", "--out", "."], "--out {tmp} is a directory, not a file"),
    (["{ring}", "--max-placements", "5"], "the layout places cells 22 times when flattened, more than "
                                          "the limit of 5 placements; raise it with --max-placements"),
    (["{ring}", "--max-polygons", "5"],
     "the layout holds at least 6 distinct polygons, more than the limit of 5; raise it with --max-polygons"),
])
def test_errors_name_what_is_at_fault(folders, args, message):
    (folders / "notes.txt").write_text("not a layout")
    (folders / "bad.toml").write_text('[[layer]]\nname = "Si"\ngds = "1/0"\nzmin = "low"\nthickness = 1\n')
    ring = sample_path("siepic_ring_resonator.gds")
    args = [str(folders / arg) if not arg.startswith("-") and arg != "{ring}" and arg not in ("nope", "5") else arg
            for arg in args]
    args = [str(ring) if arg == "{ring}" else arg for arg in args]
    code, out, err = run(folders, *args)
    assert (code, out) == (1, "")
    assert err == f"show3d: error: {message.format(tmp=folders)}\n"


def test_unusable_viewer_folder_is_named_with_its_variable(folders):
    (folders / "file").write_text("")
    code, out, err = run(folders, sample_path("siepic_ring_resonator.gds"), TESSARAND_VIEWER_DIR=str(folders / "file/pages"))
    assert code == 1
    assert err == (f"show3d: error: cannot write pages to $TESSARAND_VIEWER_DIR {folders}/file/pages: "
                   "Not a directory\n")


def test_lyp_without_stack_is_refused(folders):
    code, out, err = run(folders, "chip.gds", "--lyp", "colours.lyp")
    assert code == 2 and err.endswith("show3d: error: --lyp needs --stack: it fills in what a stack file leaves out\n")


def gds_with_a_two_point_boundary(path: Path) -> Path:
    """A GDS file of one cell with a square on 1/0 and a boundary of two points on
    2/0, which KLayout skips with a warning."""
    return gds_of_boundaries(path, [(1, [(0, 0), (100, 0), (100, 100), (0, 100), (0, 0)]), (2, [(0, 0), (5, 0)])])


def gds_of_boundaries(path: Path, boundaries, cell: bytes = b"TOP") -> Path:
    """A GDS file, record by record, of one cell named `cell` (raw bytes) with
    boundaries given as (layer, points)."""
    def record(kind, data_type, data=b""):
        return struct.pack(">HBB", 4 + len(data), kind, data_type) + data

    def boundary(layer, points):
        return (record(8, 0) + record(13, 2, struct.pack(">h", layer)) + record(14, 2, struct.pack(">h", 0))
                + record(16, 3, struct.pack(f">{2 * len(points)}i", *(v for p in points for v in p))) + record(17, 0))

    units = bytes.fromhex("3e4189374bc6a7ef 3944b82fa09b5a54")  # 0.001 user units, 1e-9 m per database unit
    name = cell + b"\0" * (len(cell) % 2)  # even length, zero padded
    path.write_bytes(
        record(0, 2, struct.pack(">h", 600)) + record(1, 2, bytes(24)) + record(2, 6, b"LIB\0") + record(3, 5, units)
        + record(5, 2, bytes(24)) + record(6, 6, name) + b"".join(boundary(*item) for item in boundaries)
        + record(7, 0) + record(4, 0))
    return path


def test_klayout_warnings_come_once_naming_the_users_file(folders):
    gds = gds_with_a_two_point_boundary(folders / "odd.gds")
    code, out, err = run(folders, gds)
    assert code == 0 and "  layers      1 shown: Si (1, 0)" in out.splitlines()
    assert err == (f"Warning: In file {gds}:\n"
                   "Warning: BOUNDARY with less than 3 points ignored (position=198, record number=14, cell=TOP)\n")


# ---------------------------------------------------------------- progress and Ctrl-C

def run_on_terminal(folders, *args, until=None):
    """Run the command with standard error on a pseudo-terminal; with `until`, send
    Ctrl-C once that text has appeared. Returns (status, stdout, stderr text)."""
    leader, follower = pty.openpty()
    # Ctrl-C as on a terminal: with SIGINT's default action, even where the tests
    # run with it ignored (as they do when started in the background of a shell).
    process = subprocess.Popen([sys.executable, "-m", "tessarand.cli", *map(str, args)], stdout=subprocess.PIPE,
                               stderr=follower, env=environment(folders), text=True,
                               preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    os.close(follower)
    seen, deadline = b"", time.monotonic() + 120
    while time.monotonic() < deadline:
        if until and until.encode() in seen:
            process.send_signal(signal.SIGINT)
            until = None
        ready, _, _ = select.select([leader], [], [], 0.05)
        if ready:
            try:
                chunk = os.read(leader, 4096)
            except OSError:  # the command has ended and closed the terminal
                break
            if not chunk:
                break
            seen += chunk
        elif process.poll() is not None:
            break
    out = process.stdout.read()
    os.close(leader)
    return process.wait(), out, seen.decode()


@pytest.mark.parametrize("out", ["page.html", "sub/../page.html", None])
def test_open_hands_the_browser_the_pages_address(folders, out):
    """--open with the default folder or an --out relative to the working folder."""
    (folders / "sub").mkdir()
    seen = folders / "seen.txt"
    browser = folders / "browser.py"
    browser.write_text(f"import sys; open({str(seen)!r}, 'w').write(sys.argv[1])")
    args = [sys.executable, "-m", "tessarand.cli", sample_path("siepic_ring_resonator.gds"), "--open"]
    done = subprocess.run(args + (["--out", out] if out else []), capture_output=True, text=True, cwd=folders,
                          env=environment(folders, BROWSER=f"{sys.executable} {browser} %s"), timeout=120)
    assert done.returncode == 0, done.stderr
    assert "opened in the browser" in done.stdout
    page = (folders / page_path(done.stdout)).resolve()
    assert seen.read_text() == page.as_uri() and page.is_file()


def test_progress_shows_on_a_terminal_only(folders):
    gds = sample_path("ihp_sram_1p_1024x16.gds")
    code, out, err = run_on_terminal(folders, gds, "--kit", "sg13g2")
    assert code == 0
    stages = re.findall(r"show3d: (.*?) \.\.\.", err)
    assert stages == ["reading ihp_sram_1p_1024x16.gds", "converting the layout (walk, tree, encoding)",
                      "computing derived layer Rhigh (1 of 3)", "computing derived layer Rppd (2 of 3)",
                      "computing derived layer Cont_to_Gatpoly (3 of 3)",
                      "converting the layout (walk, tree, encoding)", "writing the page"]
    assert err.endswith("\r\x1b[K")  # the line is cleared before the report
    assert run(folders, gds, "--kit", "sg13g2")[2] == ""


def test_ctrl_c_ends_with_one_line_and_leaves_nothing(folders):
    code, out, err = run_on_terminal(folders, sample_path("ihp_sram_1p_4096x16.gds"), "--kit", "sg13g2",
                                     until="converting the layout")
    assert code == 130
    assert err.rsplit("\x1b[K", 1)[-1] == "show3d: interrupted\r\n" and "Traceback" not in err
    assert list((folders / "tmp").iterdir()) == []
    assert list((folders / "pages").iterdir()) == []


# ---------------------------------------------------------------- outputs

def _fifo(path):
    os.mkfifo(path)
    return path


@pytest.mark.parametrize("args, message", [
    (["--out", "{layout}"], "--out {layout} is the same file as the input {layout}: writing it would destroy it"),
    (["--out", "{link}"], "--out {link} is the same file as the input {layout}: writing it would destroy it"),
    (["--stack", "{stack}", "--json", "{stack}"],
     "--json {stack} is the same file as --stack {stack}: writing it would destroy it"),
    (["--out", "{tmp}/a.html", "--json", "{tmp}/a.html"], "--json {tmp}/a.html is the same file as --out {tmp}/a.html"),
    (["--out", "/dev/null"],
     "--out /dev/null is not an ordinary file (a device, pipe or socket); give the name of a file to write"),
    (["--json", "{fifo}"],
     "--json {fifo} is not an ordinary file (a device, pipe or socket); give the name of a file to write"),
])
def test_outputs_that_would_destroy_something_are_refused_before_converting(folders, args, message):
    layout = folders / "mine.gds"
    layout.write_bytes(sample_path("siepic_ring_resonator.gds").read_bytes())
    stack = folders / "st.toml"
    stack.write_bytes((STACKS / "siepic.toml").read_bytes())
    (folders / "link.html").symlink_to(layout)
    names = {"layout": layout, "link": folders / "link.html", "stack": stack, "fifo": _fifo(folders / "fifo"),
             "tmp": folders}
    before = {path: path.read_bytes() for path in (layout, stack)}
    code, out, err = run(folders, layout, *(arg.format(**names) for arg in args))
    assert (code, out, err) == (1, "", f"show3d: error: {message.format(**names)}\n")
    assert {path: path.read_bytes() for path in before} == before and (folders / "fifo").is_fifo()
    assert not (folders / "a.html").exists() and list((folders / "pages").iterdir()) == []


def test_outputs_keep_mode_links_and_are_written_through_symlinks(folders):
    kept, alias = folders / "kept.html", folders / "alias.html"
    kept.write_text("old")
    kept.chmod(0o600)
    os.link(kept, alias)
    (folders / "via.json").symlink_to("target.json")
    code, out, err = run(folders, sample_path("siepic_ring_resonator.gds"), "--out", kept,
                         "--json", folders / "via.json")
    assert code == 0, err
    assert kept.stat().st_mode & 0o777 == 0o600 and alias.read_bytes() == kept.read_bytes() != b"old"
    assert (folders / "via.json").is_symlink() and orjson.loads((folders / "target.json").read_bytes())["type"] == "data"
    assert sorted(path.name for path in folders.iterdir()) == [
        "alias.html", "kept.html", "pages", "target.json", "tmp", "via.json"]


def test_pages_have_one_mode_and_the_default_folder_is_the_users_own(folders):
    folders.chmod(0o755)  # not private: pages there are readable by all
    ring = sample_path("siepic_ring_resonator.gds")
    default = environment(folders)
    del default["TESSARAND_VIEWER_DIR"]
    done = subprocess.run([sys.executable, "-m", "tessarand.cli", ring, "--json", folders / "new.json"],
                          capture_output=True, text=True, env=default, timeout=120)
    page = page_path(done.stdout)
    assert page.parent == folders / "tmp" / f"show3d-{os.getuid()}"
    assert (page.parent.stat().st_mode & 0o777, page.stat().st_mode & 0o777) == (0o700, 0o600)
    assert (folders / "new.json").stat().st_mode & 0o777 == 0o644 & ~_umask()
    code, out, err = run(folders, ring, "--out", folders / "new.html")
    assert (folders / "new.html").stat().st_mode & 0o777 == 0o644 & ~_umask()
    page.parent.chmod(0o777)  # as if someone else had made it ready for us
    done = subprocess.run([sys.executable, "-m", "tessarand.cli", ring], capture_output=True, text=True,
                          env=default, timeout=120)
    assert (done.returncode, done.stderr) == (1, (
        f"show3d: error: cannot write pages to the page folder {page.parent}: it belongs to another user or "
        "others may write to it; remove it or set $TESSARAND_VIEWER_DIR\n"))


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


# ---------------------------------------------------------------- start-up

# Modules that take long to load; a run loads those its road needs and no other.
HEAVY = ("klayout.db", "numpy", "shapely", "tessarand.core.show3d", "importlib.metadata", "webbrowser",
         "concurrent.futures", "orvalis.kits.sg13g2", "orvalis.lyp")
# Runs the command in-process, then names the heavy modules it loaded.
LOADED = ("import sys\nfrom tessarand import cli\ntry:\n    status = cli.main(sys.argv[1:])\n"
          "except SystemExit as done:\n    status = done.code\n"
          f"print('loaded', status, *[name for name in {HEAVY!r} if name in sys.modules])")


@pytest.mark.parametrize("args, loaded", [
    (["--help"], []),
    (["--version"], ["importlib.metadata"]),
    (["siepic_ring_resonator.gds", "--no-simplify"], ["klayout.db", "numpy", "tessarand.core.show3d"]),
    (["siepic_ring_resonator.gds"], ["klayout.db", "numpy", "shapely", "tessarand.core.show3d"]),
])
def test_a_run_loads_only_the_modules_its_road_needs(folders, args, loaded):
    args = [str(sample_path(arg)) if arg.endswith(".gds") else arg for arg in args]
    done = subprocess.run([sys.executable, "-c", LOADED, *args], capture_output=True, text=True,
                          env=environment(folders), timeout=120)
    assert done.stdout.splitlines()[-1].split() == ["loaded", "0", *loaded]


# ---------------------------------------------------------------- terminal, pipes and signals

def test_control_characters_of_a_layout_are_shown_escaped(folders):
    square = [(0, 0), (100, 0), (100, 100), (0, 100), (0, 0)]
    gds_of_boundaries(folders / "odd.gds", [(1, square)], cell="TOP\x1b]0;HACKED\x07\x1b[31m\u202e".encode())
    code, out, err = run(folders, folders / "odd.gds")
    assert code == 0 and "top cell TOP\\x1b]0;HACKED\\x07\\x1b[31m\\u202e\n" in out
    assert "\x1b" not in out + err and "\x07" not in out


def test_a_closed_pipe_ends_the_run_quietly(folders):
    process = subprocess.Popen([sys.executable, "-m", "tessarand.cli", sample_path("siepic_ring_resonator.gds"),
                                "--json", folders / "m.json"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               env=environment(folders))
    process.stdout.close()  # as `show3d ... | head` once head has had its line
    assert (process.wait(timeout=120), process.stderr.read()) == (141, b"")
    assert (folders / "m.json").is_file()  # the work is done all the same


@pytest.mark.parametrize("number, status, said", [
    (signal.SIGINT, 130, "interrupted"), (signal.SIGTERM, 143, "terminated")])
@pytest.mark.parametrize("delay", [0.15, 0.5, 1.5])
def test_a_signal_at_any_moment_leaves_nothing_and_no_traceback(folders, number, status, said, delay):
    process = subprocess.Popen([sys.executable, "-m", "tessarand.cli", sample_path("ihp_sram_1p_4096x16.gds"),
                                "--kit", "sg13g2"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               env=environment(folders), text=True,
                               preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    time.sleep(delay)
    process.send_signal(number)
    code = process.wait(timeout=120)
    err = process.stderr.read()
    assert "Traceback" not in err
    if code != 0:  # the run may have ended before the signal came
        assert (code, err) == (status, f"show3d: {said}\n")
        assert list((folders / "pages").iterdir()) == []
    assert list((folders / "tmp").iterdir()) == []


@pytest.mark.skipif("ASAN_OPTIONS" in os.environ, reason="the sanitizer's shadow memory needs the address space")
def test_a_billion_placements_are_refused_before_layers_are_derived_from_them(folders):
    """322 bytes: a 31,623 x 31,623 array of a cell with shapes on both inputs of a
    derived layer of the kit, in a process whose address space a regression would fill."""
    layout = kdb.Layout()
    top, cell = layout.create_cell("TOP"), layout.create_cell("C")
    for pair in ((5, 0), (6, 0)):  # GatPoly and Cont
        cell.shapes(layout.layer(*pair)).insert(kdb.Box(0, 0, 10, 10))
    top.insert(kdb.CellInstArray(cell.cell_index(), kdb.Trans(), kdb.Vector(20, 0), kdb.Vector(0, 20), 31_623, 31_623))
    layout.write(str(folders / "bomb.gds"))
    cap = lambda: resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))  # noqa: E731
    done = subprocess.run([sys.executable, "-m", "tessarand.cli", folders / "bomb.gds", "--kit", "sg13g2"],
                          capture_output=True, text=True, env=environment(folders), timeout=120, preexec_fn=cap)
    assert (done.returncode, done.stderr) == (1, "show3d: error: the layout places cells 1,000,014,129 times when "
                                                 "flattened, more than the limit of 20,000,000 placements; raise it "
                                                 "with --max-placements\n")
    assert list((folders / "tmp").iterdir()) == [] == list((folders / "pages").iterdir())

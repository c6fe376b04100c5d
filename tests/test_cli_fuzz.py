"""The command line under random option lists, stack files and layer-properties
files, valid or not, in any order and repeated: `show3d` ends with status 0, 1 or
2 and an error line of its own, never a traceback or a hang; a run that succeeds
has written a page whose scene draws; inputs are never touched, nothing else is
written unless asked for, and nothing is left among the temporary files."""

import base64
import contextlib
import faulthandler
import gzip
import hashlib
import json
import math
import os
import re
import shutil
import signal
import sys
import tempfile
from pathlib import Path
from xml.sax.saxutils import escape

import klayout.db as kdb
import numpy as np
import orjson
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from conftest import sample_path
from orvalis import pdk
from tessarand import cli, command, viewer
from test_stack_fuzz import VALUES, WRONG, expressions

# A longer run: CLI_FUZZ_EXAMPLES=3000 pytest tests/test_cli_fuzz.py --hypothesis-seed=N
EXAMPLES = int(os.environ.get("CLI_FUZZ_EXAMPLES", "30"))
HANG = 120  # seconds after which a run counts as hung


def mix(good, bad):
    """Mostly a value the command takes, sometimes one it refuses."""
    return st.integers(0, 5).flatmap(lambda n: st.sampled_from(good if n else bad))


# Paths are written with the folders of the layouts and of the run left open.
L, W = "{layouts}", "{work}"
FILES = [f"{L}/ring.gds"] * 3 + [f"{L}/tiny.gds"] * 3 + [f"{L}/cells.gds"] * 2 + [
    f"{L}/tiny.oas", f"{L}/tiny.gds.gz", f"{L}/empty.gds", f"{L}/notes.txt", f"{L}/missing.gds", L,
    f"{W}/copy.gds", "copy.gds", f"{W}/link.html", "/dev/null", f"{L}/ring-\udce9.gds"]
TARGETS = mix([f"{W}/page.html", "page.html", f"{W}/m.json", f"{W}/old.html", f"{W}/old.json", f"{W}/link.html",
                f"{W}/copy.gds", f"{W}/stack.toml", f"{W}/colours.lyp", f"{W}/pages/mine.html", f"{W}/é ü [1].html"],
               [f"{W}/fifo", "/dev/null", W, ".", "", f"{W}/dir", f"{W}/no/such/page.html"])
STACKS = mix([f"{W}/stack.toml"], [f"{W}/missing.toml", W, f"{L}/ring.gds", "/dev/null", f"{W}/colours.lyp"])
LYPS = mix([f"{W}/colours.lyp"], [f"{W}/missing.lyp", W, f"{W}/stack.toml", "/dev/null", f"{L}/notes.txt"])
CELLS = ["sg13g2_inv_1", "sg13g2_dfrbp_1", "sg13g2_antennanp", "sg13g2_a21o_1", "sg13g2_buf_16", "sg13g2_decap_8"]
TOPS = ["Ring"] * 3 + ["TOP", "unit", "odd [*] é", "label", *CELLS[:3], "ring", "TOP ", "", "*", "nope", "é",
                       "\udce9", "-x", "ROUND_PATH$4"]
EXCLUDES = ["Si", "si", "1/0", " 1 / 0 ", "68/0", "1000/0", "*", "?", "[", "]", "[!S]*", "[]", "[a-", "Si (1, 0)",
            "L*", "l1", "Metal[12]", "Cont*", "*_to_*", "ü*", "\udce9", "", "99999999999999999999/0", "١/٠"]
Z_SCALES = mix(["1", "2", "0.5", "1000", "1e-300", "5e-324", " 3 ", "1_000", "١"],
               ["0", "-1", "-0", "1000.0001", "nan", "inf", "-inf", "0x10", "", "abc"]) | st.floats(0, 1001).map(repr)
TOLERANCES = mix(["0", "0.01", "0.2", "2", "1000", "1e-300", "5e-324"], ["-1", "nan", "inf", "1000.0001", "", "abc"])
COUNTS = mix(["1", "2", "20_000_000", "1,000", "99999999999999999999999", "١٢", " 7 "],
             ["0", "-5", "1e3", "x", "9" * 5000])
ODD_TEXT = st.text(st.characters(exclude_characters="\0", exclude_categories=["Cs"]), max_size=6)


def valued(names, values):
    """One option with its value: "--name value" or "--name=value", under its
    full name or an abbreviation."""
    return st.builds(lambda name, value, joined: [f"{name}={value}"] if joined else [name, value],
                     st.sampled_from(names), values, st.integers(0, 3).map(lambda n: n == 0))


OPTIONS = st.one_of(
    valued(["--kit"], mix(["ebeam", "sg13g2"], ["nope", "", "EBEAM", " ebeam"])),
    valued(["--stack", "--st"], STACKS),
    st.tuples(valued(["--stack", "--st"], STACKS), valued(["--lyp"], LYPS)).map(lambda both: both[0] + both[1]),
    valued(["--lyp"], LYPS),
    valued(["--mode", "--mo"], mix(["layer", "cell"], ["Layer", "", "tree"])),
    valued(["--top"], st.sampled_from(TOPS) | ODD_TEXT),
    valued(["--exclude", "--ex"], st.sampled_from(EXCLUDES) | st.text("*?[]!^-aSsLl0/ é", max_size=6)),
    valued(["--z-scale", "--z"], Z_SCALES),
    valued(["--tolerance", "--tol"], TOLERANCES),
    valued(["--max-placements", "--max-pl"], COUNTS),
    valued(["--max-polygons", "--max-po"], COUNTS),
    valued(["--out", "--ou"], TARGETS),
    valued(["--json", "--js"], TARGETS),
    st.sampled_from([["--no-simplify"], ["--no"], ["--allow-empty"], ["--allow-empty"], ["--all"]]),
)


@st.composite
def command_lines(draw):
    """The file and a few options, in any order; now and then no file or two.
    One line in four starts from a standard cell drawn with its derived layers."""
    options = draw(st.lists(OPTIONS, max_size=5))
    files = draw(st.sampled_from([1] * 12 + [0, 2]))
    if draw(st.integers(0, 3)) == 0:
        options += [[f"{L}/cells.gds"], ["--kit", "sg13g2"], ["--top", draw(st.sampled_from(CELLS))]]
        options, files = draw(st.permutations(options)), 0
    for _ in range(files):
        options.insert(draw(st.integers(0, len(options))), [draw(st.sampled_from(FILES))])
    return [token for option in options for token in option]


PAIRS = ["0/0", "1/0", "2/0", "3/0", "5/0", "6/0", "8/0", "10/0", "14/0", "68/0", "1000/0"]


@st.composite
def stack_texts(draw):
    """Layers on the pairs of the test layouts, some derived, then a few mistakes."""
    count = draw(st.integers(1, 5))
    pairs = draw(st.permutations(PAIRS))
    tables = []
    for n in range(count):
        table = {"name": f'"L{n}"', "gds": f'"{pairs[n]}"'}
        if draw(st.integers(0, 2)) == 0:
            del table["name"]  # named by the .lyp file, else after its pair
        if draw(st.integers(0, 5)):
            table["zmin"] = draw(st.sampled_from(["0", "0.22", "-1000", "999", "1e-300", "-0.0"]))
            table["thickness"] = draw(st.sampled_from(["0.22", "1", "1000", "5e-324", "0.001"]))
        if draw(st.booleans()):
            table["color"] = draw(st.sampled_from(['"#33AA33"', '"#3366ff"']))
        if draw(st.integers(0, 3)) == 0:
            table["opacity"] = draw(st.sampled_from(["0", "0.5", "1"]))
        tables.append(table)
    names = st.sampled_from([f"L{n}" for n in range(count)])
    for table in tables[1:]:
        if draw(st.integers(0, 2)) == 0:
            table["derived"] = json.dumps(draw(expressions(names)))
            table.setdefault("zmin", "0.5")
            table.setdefault("thickness", "0.1")
            if draw(st.booleans()):
                del table["gds"]
    for _ in range(draw(st.sampled_from([0, 0, 0, 1, 2]))):
        key = draw(st.sampled_from([*VALUES, "thikness"]))
        draw(st.sampled_from(tables))[key] = draw(VALUES.get(key, WRONG) | WRONG)
    header = draw(st.sampled_from(["", 'name = "ebeam"\n', 'name = "sg13g2"\n', 'name = "\\u001b[31mred"\n',
                                   'name = ""\n', 'description = "two metals"\n', "name = 3\n", "\ufeff"]))
    text = header + "".join("[[layer]]\n" + "".join(f"{k} = {v}\n" for k, v in table.items()) for table in tables)
    if draw(st.integers(0, 7)) == 0:
        at = draw(st.integers(0, len(text)))
        text = text[:at] + draw(st.sampled_from(["[", "\udce9", "\0", "[[layer]]\n"]) | st.text(max_size=2)) + text[at:]
    return text.encode("utf-8", "surrogatepass")


LYP_SOURCES = ["1/0@1", "Si 1/0@*", "2/0", "3/0@1", "1000/0", "*/*@*", "", "x", "10/0@1", "5/0", "0/0"]
LYP_NAMES = st.sampled_from(["Si", "L1", "L2", "Metal_two", "Si 1/0", "mro", "", "é", "name"]) | st.text(max_size=4)
LYP_COLOURS = ["#ff9900", "#FF9900", "#80ff9900", "red", "", "#fff", "#12345g"]
BOMB = "".join(f'<!ENTITY e{n} "{f"&e{n - 1};" * 10 if n else "ha"}">' for n in range(10))


@st.composite
def lyp_texts(draw):
    """KLayout layer properties: entries, groups, wrong roots, broken XML, entities."""
    def entry(tag, depth):
        parts = [f"<source>{escape(draw(st.sampled_from(LYP_SOURCES)))}</source>" if draw(st.integers(0, 5)) else "",
                 f"<name>{escape(draw(LYP_NAMES))}</name>" if draw(st.booleans()) else "",
                 f"<fill-color>{draw(st.sampled_from(LYP_COLOURS))}</fill-color>" if draw(st.booleans()) else ""]
        if depth < 2 and draw(st.integers(0, 3)) == 0:
            parts += [entry("group-members", depth + 1) for _ in range(draw(st.integers(1, 2)))]
        return f"<{tag}>{''.join(draw(st.permutations(parts)))}</{tag}>\n"
    root = draw(st.sampled_from(["layer-properties"] * 6 + ["layer-property", "html"]))
    body = "".join(entry("properties", 0) for _ in range(draw(st.integers(0, 4))))
    doctype = draw(st.sampled_from([""] * 6 + [f"<!DOCTYPE x [{BOMB}]>",
                                               '<!DOCTYPE x [<!ENTITY e9 SYSTEM "/etc/hostname">]>']))
    if doctype:
        body += "<properties><source>1/0</source><name>&e9;</name></properties>\n"
    text = f'<?xml version="1.0" encoding="utf-8"?>\n{doctype}<{root}>\n{body}</{root}>\n'
    if draw(st.integers(0, 7)) == 0:
        text = text[:draw(st.integers(0, len(text)))]
    return text.encode("utf-8", "surrogatepass")


# ---------------------------------------------------------------- the layouts

@pytest.fixture(scope="module")
def layouts(tmp_path_factory):
    """The folder of the test layouts (never written) and a digest of its files."""
    folder = tmp_path_factory.mktemp("layouts")
    shutil.copy(sample_path("siepic_ring_resonator.gds"), folder / "ring.gds")
    shutil.copy(sample_path("ihp_sg13g2_stdcell.gds"), folder / "cells.gds")
    shutil.copy(folder / "ring.gds", os.fsencode(folder) + b"/ring-\xe9.gds")  # a name that is not UTF-8
    tiny = tiny_layout()
    for name in ("tiny.gds", "tiny.oas"):
        tiny.write(str(folder / name))
    (folder / "tiny.gds.gz").write_bytes(gzip.compress((folder / "tiny.gds").read_bytes()))
    empty = kdb.Layout()
    empty.create_cell("EMPTY")
    empty.write(str(folder / "empty.gds"))
    (folder / "notes.txt").write_text("not a layout\n")
    return folder, digest(folder)


def tiny_layout() -> kdb.Layout:
    """Three top cells: one placing a cell of boxes, a circle and a path (an array,
    rotated and magnified copies), one with an odd name on a pair of its own, and
    one of a text alone."""
    layout = kdb.Layout()
    top, unit, odd, label = (layout.create_cell(name) for name in ("TOP", "unit", "odd [*] é", "label"))
    for n, pair in enumerate([(0, 0), (1, 0), (2, 0), (3, 0), (5, 0), (1000, 0)]):
        unit.shapes(layout.layer(*pair)).insert(kdb.Box(n * 100, 0, n * 100 + 300, 200 + n * 50))
    unit.shapes(layout.layer(1, 0)).insert(kdb.Polygon.ellipse(kdb.Box(-2000, -2000, 2000, 2000), 256))
    bend = [kdb.Point(0, 0), kdb.Point(3000, 500), kdb.Point(3000, 4000)]
    unit.shapes(layout.layer(2, 0)).insert(kdb.Path(bend, 150))
    top.shapes(layout.layer(10, 0)).insert(kdb.Text("label", 0, 0))
    top.insert(kdb.CellInstArray(unit.cell_index(), kdb.Trans(), kdb.Vector(5000, 0), kdb.Vector(0, 6000), 3, 2))
    top.insert(kdb.CellInstArray(unit.cell_index(), kdb.ICplxTrans(1.5, 30, True, 20000, 300)))
    odd.shapes(layout.layer(8, 0)).insert(kdb.Box(0, 0, 1000, 1000))
    label.shapes(layout.layer(10, 0)).insert(kdb.Text("label", 0, 0))
    return layout


def contents(folder: Path) -> dict[str, bytes]:
    """Relative path -> bytes of the ordinary files below `folder` (not through links)."""
    found = {}
    for root, _, names in os.walk(folder):
        for name in names:
            path = Path(root, name)
            if path.is_file() and not path.is_symlink():
                found[os.fsdecode(path.relative_to(folder))] = path.read_bytes()
    return found


def digest(folder: Path) -> str:
    return hashlib.sha256(repr(sorted(contents(folder).items())).encode()).hexdigest()


# ---------------------------------------------------------------- one run

class Hung(BaseException):
    """A run that did not end in time (not an error the command may catch)."""


@contextlib.contextmanager
def time_limit(argv):
    def alarm(number, frame):
        raise Hung(f"show3d did not end within {HANG} s: {argv}")
    previous = signal.signal(signal.SIGALRM, alarm)
    signal.alarm(HANG)
    # Stuck where no signal is seen: the traceback, and the end of the tests.
    faulthandler.dump_traceback_later(2 * HANG, exit=True, file=sys.__stderr__)
    try:
        yield
    finally:
        signal.alarm(0)
        faulthandler.cancel_dump_traceback_later()
        signal.signal(signal.SIGALRM, previous)


@contextlib.contextmanager
def captured(folder: Path):
    """Standard output and error of a run, taken at the descriptors (where KLayout's
    reader writes), with the error handlers Python gives them on a UTF-8 terminal."""
    files = [open(folder / name, "w+b") for name in ("stdout", "stderr")]
    saved, streams, texts = [os.dup(1), os.dup(2)], (sys.stdout, sys.stderr), {}
    for stream, file, fd in zip(streams, files, (1, 2)):
        stream.flush()
        os.dup2(file.fileno(), fd)
    sys.stdout = open(1, "w", encoding="utf-8", errors="strict", buffering=1, closefd=False)
    sys.stderr = open(2, "w", encoding="utf-8", errors="backslashreplace", buffering=1, closefd=False)
    try:
        yield texts
    finally:
        for stream in (sys.stdout, sys.stderr):
            with contextlib.suppress(ValueError):
                stream.flush()
        sys.stdout, sys.stderr = streams
        for fd, copy, file, name in zip((1, 2), saved, files, ("out", "err")):
            os.dup2(copy, fd)
            os.close(copy)
            file.seek(0)
            texts[name] = file.read().decode("utf-8", "backslashreplace")
            file.close()


def prepare(work: Path, layouts: Path, stack: bytes, lyp: bytes):
    """The files a command line may name, in the run's folder."""
    for name in ("pages", "tmp", "dir"):
        (work / name).mkdir()
    (work / "stack.toml").write_bytes(stack)
    (work / "colours.lyp").write_bytes(lyp)
    (work / "old.html").write_text("an old page")
    (work / "old.json").write_text("{}")
    shutil.copy(layouts / "ring.gds", work / "copy.gds")
    (work / "link.html").symlink_to("copy.gds")
    os.mkfifo(work / "fifo")


# ---------------------------------------------------------------- the properties

@settings(max_examples=EXAMPLES, deadline=None, database=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(command_lines(), stack_texts(), lyp_texts(), st.sampled_from(["pages"] * 8 + ["new/pages", "old.html/pages"]))
def test_any_command_line_ends_in_an_error_line_or_a_page_that_draws(layouts, tmp_path_factory, argv, stack, lyp,
                                                                     viewer_dir):
    folder, layouts_digest = layouts
    base = tmp_path_factory.mktemp("run")
    work = base / "work"
    work.mkdir()
    argv = [arg.replace(L, str(folder)).replace(W, str(work)) for arg in argv]
    try:
        prepare(work, folder, stack, lyp)
        before = contents(work)
        with pytest.MonkeyPatch.context() as mp:
            mp.setenv("TESSARAND_VIEWER_DIR", str(work / viewer_dir))
            mp.setenv("TMPDIR", str(work / "tmp"))
            mp.setattr(tempfile, "tempdir", None)
            mp.chdir(work)  # relative names are the run's files
            # Kits loaded or refitted by one run are not seen by the next.
            mp.setattr(pdk, "_registered", dict(pdk._registered))
            mp.setattr(pdk, "_active", pdk._active)
            with captured(base) as texts, time_limit(argv):
                try:
                    status = cli.main(argv)
                except SystemExit as end:
                    status = end.code or 0
            event(f"exit status {status}")  # --hypothesis-show-statistics
            check(status, texts["out"], texts["err"], argv, work, work / viewer_dir, before)
        assert digest(folder) == layouts_digest
    finally:
        shutil.rmtree(base)


def check(status, out, err, argv, work, viewer_dir, before):
    """The status and the messages; the files: inputs never written, outputs and a
    page only once the command has said where the page went; the page itself."""
    assert status in (0, 1, 2), (status, err)
    assert "Traceback" not in err, err
    lines = err.rstrip("\n").split("\n")
    if status == 2:
        assert lines[-1].startswith("show3d: error: ") and out == "", err
    else:
        said = [line for line in lines if line and not line.startswith(("show3d: warning: ", "Warning: "))]
        assert said == ([lines[-1]] if status else []), err
        assert all(line.startswith("show3d: error: ") for line in said), err
    assert list((work / "tmp").iterdir()) == []
    pages = [Path(page) for page in re.findall(r"^page with the 3D view: (.*)$", out, re.M)]
    # A step after the page (--json) may fail; before it, an error is all that is said.
    assert len(pages) == (1 if status == 0 else len(pages[:1]) if status == 1 else 0), out
    assert pages or out == "", out
    args = command.parse_arguments(argv) if pages else None
    written = {relative(page, work) for page in pages}
    if args:
        written |= {relative(path, work) for path in (args.out, args.json) if path is not None}
        assert not written & {relative(path, work) for path in (args.layout, args.stack, args.lyp) if path}
    after = contents(work)
    assert {name: data for name, data in after.items() if name not in written} == {
        name: data for name, data in before.items() if name not in written}
    if status == 0:
        check_page(pages[0], args, viewer_dir)


def relative(path: Path, folder: Path) -> str:
    """The name `contents` gives a file that `path` names (through links)."""
    return os.path.relpath(os.path.realpath(path), folder)


def check_page(path: Path, args, viewer_dir: Path):
    if args.out is not None:
        assert path == args.out
    else:
        assert path.parent == viewer_dir and path.is_file()
    message = viewer.message_from_page(path.read_text(encoding="utf-8"))
    if args.json is not None:
        assert orjson.loads(args.json.read_bytes()) == orjson.loads(message)
    data = orjson.loads(message)["data"]
    assert data["name"] in ("Layers", "Cells")
    outlines = [array_of(polygon) for polygon in data.get("instances", [])]
    assert all(len(outline) >= 6 and len(outline) % 2 == 0 for outline in outlines)
    drawn = 0
    for leaf in leaves(data):
        shape = leaf["shape"]
        assert finite(shape["height"]) and all(finite(value) for part in leaf["loc"] for value in part), leaf
        assert re.fullmatch(r"#[0-9a-f]{6}", leaf["color"]), leaf["color"]
        matrices = array_of(shape["matrices"]) if "matrices" in shape else np.zeros(0, np.float32)
        assert len(matrices) % 6 == 0 and all(0 <= ref < len(outlines) for ref in shape["refs"])
        drawn += len(shape["refs"]) * max(1, len(matrices) // 6)  # no matrices: placed once, where it is
    assert drawn > 0 or args.allow_empty


def leaves(node):
    for child in node.get("parts", []):
        yield from [child] if "shape" in child else leaves(child)


def array_of(buffer: dict) -> np.ndarray:
    """A buffer of the message, checked: its type, its size, finite values."""
    assert buffer["dtype"] == "float32" and buffer["codec"] == "b64"
    values = np.frombuffer(base64.b64decode(buffer["buffer"]), np.float32)
    assert values.shape == tuple(buffer["shape"]) and np.isfinite(values).all()
    return values


def finite(value) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value)

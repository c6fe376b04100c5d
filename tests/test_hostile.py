"""Hostile but legal objects never take the interpreter down.

Each case hands the module an object that plain Python code would cope with (a builtin
that raises without a traceback, a dict whose items() lies, a key whose comparison
empties the dict it is looked up in, a number whose conversion re-enters the module,
...). The module must give the built-in exception that plain Python code following the
documented behaviour would raise, or the right result, and must leave no temporary GDS
file behind.

The cases of one pattern run in a child process that imports this file and the same
module as the parent; it prints one JSON line per case. A crash ends only the child: the
case it was running fails with the exit status, and a new child takes the cases after it.
"""

import contextlib
import glob
import inspect
import json
import math
import operator
import os
import subprocess
import sys
import tempfile
import types
from decimal import Decimal
from fractions import Fraction
from pathlib import Path

import klayout.db as kdb
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import orvalis
import tessarand.core.show3d as show3d
from conftest import make_layout, snap, walk
from orvalis import Component, pdk
from orvalis.technology import LayerStack
from tessarand.core.show3d import Cell, KTrans, Output, ParseGDS, PdkLayer, Reference

NS = types.SimpleNamespace

# ---- the harness ----------------------------------------------------------------------

OK = "ok"
CASES = {}  # (pattern, name) -> (function, allowed outcomes, exact message or None, batch)


def case(pattern, *allowed, message=None, name=None, batch=None):
    """Registers a case; `allowed` holds exception classes and None for a normal return."""
    def register(function):
        outcomes = {OK if a is None else a.__name__ for a in allowed} or {OK}
        assert (pattern, name or function.__name__) not in CASES, name
        CASES[pattern, name or function.__name__] = (function, outcomes, message, batch or pattern)
        return function
    return register


class Wrong(Exception):
    """A case got a result other than the one plain Python code gives."""


def expect(condition, what):
    if not condition:
        raise Wrong(what)


MARK = "@@hostile "


def emit(**fields):
    print(MARK + json.dumps(fields), flush=True)


def temporary_gds():
    return set(glob.glob(os.path.join(tempfile.gettempdir(), "*.gds")))


def child_main(batch, names):
    """Runs the named cases of one batch, one JSON line each (in the child process)."""
    if "ASAN_OPTIONS" not in os.environ:  # a sanitizer run keeps its own handler
        import faulthandler

        faulthandler.enable()
    emit(module=show3d.__file__)
    functions = {name: v[0] for (_, name), v in CASES.items() if v[3] == batch}
    for name in names:
        before = temporary_gds()
        emit(start=name)
        try:
            functions[name]()
            outcome, detail = OK, ""
        except BaseException as error:  # noqa: B036 - every way out is an outcome
            outcome, detail = type(error).__name__, str(error)
        emit(case=name, outcome=outcome, detail=detail[:1000], left=sorted(temporary_gds() - before))


CHILD = ("import sys; sys.path.insert(0, sys.argv[1]); import test_hostile; "
         "test_hostile.child_main(sys.argv[2], sys.argv[3:])")
PACKAGE_ROOT = str(Path(show3d.__file__).resolve().parents[2])  # the folder holding `tessarand`


def run_batch(batch, names, folder):
    """Outcome of every case; after a child dies, a new one takes the cases it did not start."""
    env = {**os.environ, "TMPDIR": folder, "TESSARAND_VIEWER_DIR": folder,  # sanitizer settings pass through
           "PYTHONPATH": os.pathsep.join(filter(None, [PACKAGE_ROOT, os.environ.get("PYTHONPATH")]))}
    results, pending = {}, list(names)
    while pending:
        try:
            child = subprocess.run([sys.executable, "-c", CHILD, str(Path(__file__).parent), batch, *pending],
                                   env=env, capture_output=True, timeout=120)
            out, err, status = child.stdout, child.stderr, child.returncode
        except subprocess.TimeoutExpired as expired:
            out, err, status = expired.stdout or b"", expired.stderr or b"", "timeout"
        out, err = out.decode(errors="replace"), err.decode(errors="replace")
        lines = [json.loads(line[len(MARK):]) for line in out.splitlines() if line.startswith(MARK)]
        assert lines and os.path.realpath(lines[0]["module"]) == os.path.realpath(show3d.__file__), (
            f"the child did not import {show3d.__file__}:\n{err}")
        results.update((line["case"], line) for line in lines if "case" in line)
        started = [line["start"] for line in lines if "start" in line]
        if status != 0:  # it died in the last case it started, or after it
            assert started, f"the child died before its first case (exit {status}):\n{err}"
            when = "after" if started[-1] in results else "in"
            results[started[-1]] = {"outcome": f"crash {when} the case (exit {status})", "detail": err[-3000:],
                                    "left": []}
        pending = [name for name in pending if name not in started]
    return results


@pytest.fixture(scope="module")
def outcome_of(tmp_path_factory):
    root, batches = tmp_path_factory.mktemp("hostile"), {}

    def get(pattern, name):
        batch = CASES[pattern, name][3]
        if batch not in batches:
            folder = root / batch
            folder.mkdir()
            batches[batch] = run_batch(batch, [n for (p, n), v in CASES.items() if v[3] == batch], str(folder))
        return batches[batch][name]

    return get


@contextlib.contextmanager
def kept(target, *names):
    """Restores the attributes `names` of `target` after the block (cases swap them)."""
    saved = {name: getattr(target, name) for name in names}
    try:
        yield
    finally:
        for name, value in saved.items():
            setattr(target, name, value)


# ---- shared material ---------------------------------------------------------------------

BOX = (0, 0, 100, 100)


def layout():
    """T: a box on 1/0; A (boxes on 1/0 and 2/0) placed twice in T, once turned; B (a box on
    2/0) placed twice in A."""
    return make_layout({"T": {(1, 0): [BOX]}, "A": {(1, 0): [(0, 0, 200, 50)], (2, 0): [(0, 0, 50, 50)]},
                        "B": {(2, 0): [(0, 0, 30, 70)]}},
                       [("T", "A", kdb.Trans()), ("T", "A", kdb.Trans(1, False, 500, 0)),
                        ("A", "B", kdb.Trans(0, True, 0, 300)), ("A", "B", kdb.Trans(2, False, 900, 0))])


def table():
    return {(1, 0): PdkLayer("WG", 0.22, 0.5, "#ff0000"), (2, 0): PdkLayer("Metal", 0.5, 1.5, "#0000ff")}


def exported(mode=Output.CELL, **kwargs):
    parser = ParseGDS(layout(), table(), **kwargs)
    parser.export_cells() if mode == Output.CELL else parser.export_layers()
    return parser


def scene(mode):
    return exported(mode).to_viewer(mode)


def component():
    return Component.from_layout(layout())


class PassingStack(LayerStack):
    """The kit's stack, handing the component on as it is."""

    def get_component_with_derived_layers(self, component):
        return component


def own_kit():  # the caller's views and stack: the component goes to write_gds as it is
    return dict(layer_views=pdk.get_layer_views(), layer_stack=PassingStack(layers=pdk.get_layer_stack().layers))


def passing_kit():  # for show3d: the active kit, but with the passing stack
    return NS(get_pdk=lambda: NS(layer_views=pdk.get_layer_views(), layer_stack=own_kit()["layer_stack"]))


SILENT = NS(send_message=lambda message: None)  # show3d's message goes nowhere


# ---- 1. native callables that raise without a traceback ---------------------------------

class PoppingWriter:
    write_gds = {}.pop  # a bound builtin: KeyError for the path


class IndexingWriter:
    write_gds = staticmethod(operator.itemgetter(99))  # IndexError: the path is shorter


class RootWriter:
    write_gds = staticmethod(math.sqrt)  # TypeError: the path is not a number


class EmptyWriter:
    write_gds = staticmethod(len)  # writes nothing: the empty file cannot be read


WRITERS = [(PoppingWriter, KeyError), (IndexingWriter, IndexError), (RootWriter, TypeError),
           (EmptyWriter, RuntimeError)]

for writer, error in WRITERS:
    case("native_raisers", error, name=f"to_3D_viewer_{writer.__name__}")(
        lambda writer=writer: show3d.to_3D_viewer(writer(), Output.CELL, **own_kit()))

    def through_show3d(writer=writer):
        with kept(show3d, "ts_pdk", "comms"):
            show3d.ts_pdk, show3d.comms = passing_kit(), SILENT
            show3d.show3d(writer(), Output.LAYER)

    case("native_raisers", error, name=f"show3d_{writer.__name__}")(through_show3d)

IMPORTED = [(lambda path: None, AttributeError, "None"), (lambda path: 42, AttributeError, "42"),
            ({}.pop, KeyError, "pop"), (len, AttributeError, "len")]

for imported, error, label in IMPORTED:
    for kit_label, kit in [("active_kit", dict), ("own_kit", own_kit)]:
        def import_returns(imported=imported, kit=kit):
            with kept(orvalis, "import_gds"):
                orvalis.import_gds = imported
                show3d.to_3D_viewer("chip.gds", Output.CELL, **kit())

        case("native_raisers", error, name=f"import_gds_{label}_{kit_label}")(import_returns)

    def import_returns_via_show3d(imported=imported):
        with kept(orvalis, "import_gds"), kept(show3d, "ts_pdk", "comms"):
            orvalis.import_gds, show3d.ts_pdk, show3d.comms = imported, passing_kit(), SILENT
            show3d.show3d("chip.gds", Output.CELL)

    case("native_raisers", error, name=f"show3d_import_gds_{label}")(import_returns_via_show3d)


class InterruptedWriter:
    def write_gds(self, path):
        component().write_gds(path)
        raise KeyboardInterrupt


@case("native_raisers", KeyboardInterrupt)
def write_gds_interrupted():
    show3d.to_3D_viewer(InterruptedWriter(), Output.CELL, **own_kit())


@case("native_raisers", KeyError)
def derived_layers_builtin_raises():
    stack = own_kit()["layer_stack"]
    stack.get_component_with_derived_layers = {}.pop
    show3d.to_3D_viewer(component(), Output.CELL, layer_stack=stack)


@case("native_raisers")
def layer_views_builtin_raises():  # a view lookup failing with a builtin's KeyError: no layer is shown
    views = NS(get_from_tuple={}.__getitem__)
    result = show3d.to_3D_viewer(component(), Output.LAYER, layer_views=views, layer_stack=own_kit()["layer_stack"])
    expect(result.parts == [] and result.instances == [], result)


def input_files():
    folder = Path(tempfile.gettempdir()) / "inputs"  # below the watched folder
    folder.mkdir(exist_ok=True)
    component().write_gds(folder / "chip.gds")
    (folder / "notes.gds").write_text("not a layout")
    return folder


GOOD_COMPONENTS = {"component": component, "gds path": lambda: str(input_files() / "chip.gds")}
COMPONENT_KINDS = {
    **GOOD_COMPONENTS, "Path of a gds file": lambda: input_files() / "chip.gds",
    "text file": lambda: str(input_files() / "notes.gds"), "missing path": lambda: str(input_files() / "missing.gds"),
    "bytes path": lambda: b"chip.gds", "None": lambda: None, "int": lambda: 42, "popping writer": PoppingWriter,
    "indexing writer": IndexingWriter, "empty writer": EmptyWriter, "namespace": NS,
}
GOOD_OUTPUTS = [Output.CELL, Output.LAYER]
OUTPUTS = GOOD_OUTPUTS + [1, 2, "LAYER", None, 0.5]
GOOD_Z_SCALES = [1.0, 0, -2.5, math.nan, math.inf, True, Fraction(1, 3), Decimal("1.5"), np.float32(2), 10**20]
Z_SCALES = GOOD_Z_SCALES + [10**400, "2", None]
GOOD_TOLERANCES = [None, 0.0, 0.01, 5.0, -1.0, math.nan, math.inf, Fraction(1, 100)]
TOLERANCES = GOOD_TOLERANCES + [10**400, "x"]
Patterns = type("Patterns", (list,), {})
GOOD_EXCLUSIONS = [None, [], ["*"], ["si*"], ["SI_RIB"], ["[", "?"], ["*_*", "x"]]
EXCLUSIONS = GOOD_EXCLUSIONS + [[1], [None], ("si",), "si", Patterns(["x"])]
ARGUMENT_ERRORS = {"TypeError", "ValueError", "AttributeError", "OverflowError", "FileNotFoundError", "KeyError",
                   "IndexError", "RuntimeError"}


def checked_call(call, label):
    """Runs call(); only ordinary argument errors may come out (returned), and no temporary
    file may stay."""
    print("example:", label, file=sys.stderr, flush=True)  # the last one is shown when the child dies
    before, error = temporary_gds(), None
    try:
        call()
    except Exception as caught:
        error = caught
        expect(type(error).__name__ in ARGUMENT_ERRORS, f"{label}: {type(error).__name__}: {error}")
    expect(temporary_gds() == before, f"{label}: left {temporary_gds() - before}")
    return error


@case("native_raisers")
def hypothesis_to_3d_viewer_arguments():
    @settings(max_examples=150, deadline=None, database=None, derandomize=True,
              suppress_health_check=list(HealthCheck))
    @given(st.sampled_from(sorted(COMPONENT_KINDS)), st.sampled_from(OUTPUTS), st.sampled_from(Z_SCALES),
           st.sampled_from(TOLERANCES), st.sampled_from(EXCLUSIONS), st.booleans(), st.booleans())
    def check(kind, output, z_scale, tolerance, exclude, own, as_dict):
        label, kit = repr((kind, output, z_scale, tolerance, exclude, own, as_dict)), own_kit() if own else {}

        def convert(as_dict):
            return show3d.to_3D_viewer(COMPONENT_KINDS[kind](), output, z_scale=z_scale, as_dict=as_dict,
                                       curve_tolerance=tolerance, exclude_layers=exclude, **kit)

        results = []
        if checked_call(lambda: results.append(convert(as_dict)), label) is None and as_dict:
            # the dictionaries are those of the records
            expect(snap(results[0]) == snap(ParseGDS(kdb.Layout(), {}).asdict(convert(False))), f"{label}: differs")

    check()


@case("native_raisers")
def hypothesis_dictionaries_are_those_of_the_records():
    @settings(max_examples=100, deadline=None, database=None, derandomize=True,
              suppress_health_check=list(HealthCheck))
    @given(st.sampled_from(sorted(GOOD_COMPONENTS)), st.sampled_from(GOOD_OUTPUTS), st.sampled_from(GOOD_Z_SCALES),
           st.sampled_from(GOOD_TOLERANCES), st.sampled_from(GOOD_EXCLUSIONS), st.booleans())
    def check(kind, output, z_scale, tolerance, exclude, own):
        def convert(as_dict):
            return show3d.to_3D_viewer(GOOD_COMPONENTS[kind](), output, z_scale=z_scale, as_dict=as_dict,
                                       curve_tolerance=tolerance, exclude_layers=exclude, **(own_kit() if own else {}))

        label = repr((kind, output, z_scale, tolerance, exclude, own))
        print("example:", label, file=sys.stderr, flush=True)
        expected = ParseGDS(kdb.Layout(), {}).asdict(convert(False))
        expect(snap(convert(True)) == snap(expected), f"{label}: other dictionaries")

    check()


@case("native_raisers")
def hypothesis_show3d_arguments():
    sent = []

    @settings(max_examples=120, deadline=None, database=None, derandomize=True,
              suppress_health_check=list(HealthCheck))
    @given(st.sampled_from(sorted(COMPONENT_KINDS)), st.sampled_from(OUTPUTS), st.sampled_from(Z_SCALES),
           st.sampled_from(TOLERANCES), st.sampled_from(EXCLUSIONS), st.booleans())
    def check(kind, output, z_scale, tolerance, exclude, passing):
        sent.clear()
        label = repr((kind, output, z_scale, tolerance, exclude, passing))
        with kept(show3d, "ts_pdk", "comms"):
            show3d.comms = NS(send_message=sent.append)
            if passing:
                show3d.ts_pdk = passing_kit()
            error = checked_call(lambda: show3d.show3d(COMPONENT_KINDS[kind](), output, z_scale, tolerance, exclude),
                                 label)
        expect(len(sent) == (error is None), f"{label}: {len(sent)} messages")

    check()


# ---- 2. mappings whose items() lies --------------------------------------------------------

def lying(content, entries):
    """A dict holding `content` whose items() gives entries(pairs of content)."""
    cls = type("Lying", (dict,), {"items": lambda self: entries(list(dict.items(self)))})
    return cls(content)


ENTRIES = {  # kind -> (entries from the real pairs, error, message of plain Python's `for k, v in ...`)
    "pair_lists": (lambda pairs: [[k, v] for k, v in pairs], None, None),
    "pair_iterator": (lambda pairs: iter(pairs), None, None),
    "one_value": (lambda pairs: [(k,) for k, v in pairs], ValueError,
                  "not enough values to unpack (expected 2, got 1)"),
    "three_values": (lambda pairs: [(k, v, v) for k, v in pairs], ValueError, "too many values to unpack (expected 2)"),
    "scalar_entries": (lambda pairs: [5 for _ in pairs], TypeError, "cannot unpack non-iterable int object"),
    "not_iterable": (lambda pairs: 7, TypeError, None),
}


def through_buffers(entries):
    result = show3d.numpy_to_buffer_json({"k": lying({"a": 1, "b": [2]}, entries)})
    expect(result == {"k": {"a": 1, "b": [2]}} and type(result["k"]) is dict, result)


def through_asdict(entries):
    result = ParseGDS(kdb.Layout(), {}).asdict([lying({"a": 1, "b": (2,)}, entries)])
    expect(result == [{"a": 1, "b": [2]}] and type(result[0]) is dict, result)


def through_record_field(entries):
    result = ParseGDS(kdb.Layout(), {}).asdict(Cell(3, "c", polygons=lying({"0": [1, 2]}, entries)))
    expect(result == {"cell_index": 3, "name": "c", "polygons": {"0": [1, 2]}}, result)


def through_pdk_layer_text(entries):
    layer = PdkLayer("WG", 0.22, 0.5, "#ff0000")
    expected = repr(layer)
    layer.__dict__ = lying(vars(layer), entries)
    expect(repr(layer) == expected, repr(layer))


def through_cell_polygons(entries):
    parser = exported(Output.CELL)
    for cell in parser.parsed_cells.cells:
        cell.polygons = lying(cell.polygons, entries)
    expect(snap(parser.to_viewer(Output.CELL)) == snap(scene(Output.CELL)), "another scene")


def through_layer_trees(entries):
    parser = exported(Output.LAYER)
    layers = parser.parsed_layers.layers
    layers[:] = [lying(per_top, entries) for per_top in layers]
    expect(snap(parser.to_viewer(Output.LAYER)) == snap(scene(Output.LAYER)), "another scene")


for target in [through_buffers, through_asdict, through_record_field, through_pdk_layer_text, through_cell_polygons,
               through_layer_trees]:
    for kind, (entries, error, message) in ENTRIES.items():
        case("lying_mappings", error, message=message, name=f"{target.__name__}_{kind}")(
            lambda target=target, entries=entries: target(entries))


@case("lying_mappings")
def pdk_layer_text_with_a_number_as_attribute_name():
    layer = PdkLayer("WG", 0.22, 0.5, "#ff0000")
    expected = repr(layer)[:-1] + ", 1=2)"  # the name as an f-string shows it
    layer.__dict__[1] = 2
    expect(repr(layer) == expected, repr(layer))


@case("lying_mappings", ValueError, message="too many values to unpack (expected 2)")
def pdk_layer_dict_set_through_object_setattr():
    layer = PdkLayer("WG", 0.22, 0.5, "#ff0000")
    object.__setattr__(layer, "__dict__", lying(vars(layer), ENTRIES["three_values"][0]))
    repr(layer)


@case("lying_mappings")
def hypothesis_items_results():
    """Whatever items() gives, the buffer walk and asdict behave as `{k: v for k, v in items}`."""
    leaf = st.one_of(st.integers(-3, 3), st.text("ab", max_size=3), st.none())
    value = st.one_of(leaf, st.lists(leaf, max_size=2), st.lists(leaf, max_size=2).map(tuple))
    entry = st.one_of(leaf, st.lists(leaf, max_size=3), st.tuples(leaf, value), st.lists(leaf, max_size=3).map(tuple))

    @settings(max_examples=300, deadline=None, database=None, derandomize=True)
    @given(st.lists(entry, max_size=4), st.booleans())
    def check(entries, as_iterator):
        def plain():
            return {k: v for k, v in (iter(entries) if as_iterator else entries)}

        def walked(convert):
            return convert(lying({"n": 0}, lambda pairs: iter(entries) if as_iterator else entries))

        for convert in (lambda d: show3d.numpy_to_buffer_json({"k": d})["k"],
                        lambda d: ParseGDS(kdb.Layout(), {}).asdict([d])[0]):
            outcomes = []
            for call in (plain, lambda: walked(convert)):
                try:
                    value = call()
                    outcomes.append(("ok", snap({k: (list(v) if type(v) is tuple else v) for k, v in value.items()})))
                except (TypeError, ValueError) as error:
                    outcomes.append((type(error).__name__, str(error)))
            expect(outcomes[0] == outcomes[1], f"{entries!r}: {outcomes[1]} instead of {outcomes[0]}")

    check()


# ---- 3. walks whose sequences change under them ------------------------------------------

def fake_cell(shapes, index=5):
    """A cell of the parser's walk holding `shapes` on its first layer."""
    return NS(name="FAKE", cell_index=lambda: index, each_inst=lambda: [],
              shapes=lambda layer: NS(each=lambda: iter(shapes if layer == 0 else [])))


def shape(is_text=lambda: False, size=10):
    return NS(is_text=is_text, polygon=kdb.Polygon(kdb.Box(0, 0, size, size)))


def fresh_parser():
    parser = ParseGDS(kdb.Layout(), table())
    parser.layer_map = {0: (1, 0)}
    return parser


def shapes(is_text=lambda: False):
    """Enough shapes for polygon numbers beyond the interpreter's shared small integers."""
    return [shape(is_text, 10 + i) for i in range(300)]


def consistent(parser, record):
    """The record's polygon numbers are numbers the parser handed out."""
    numbers = [i for refs in record.polygons.values() for i in refs]
    expect(all(type(i) is int and 0 <= i < parser.instance_index for i in numbers), f"polygon numbers {numbers!r}")


@case("mutating_walks")
def known_shape_is_text_clears_the_polygon_numbers():
    parser, rubble = fresh_parser(), []

    def is_text():  # the numbers are forgotten, and their memory is taken by new objects
        parser.instance_mapping.clear()
        rubble.extend(10**9 + i for i in range(400))
        return False

    cell = fake_cell(shapes()[:280] + [shape(is_text, 5)])  # a number beyond the shared small integers
    parser.parse_cells(cell)
    consistent(parser, parser.parse_cells(cell))


@case("mutating_walks", ZeroDivisionError)
def known_shape_is_text_raises():
    parser = fresh_parser()
    cell = fake_cell([shape(raising)])
    parser.parse_cells(cell)
    parser.parse_cells(cell)


@case("mutating_walks")
def is_text_replaces_the_polygon_table():
    parser = fresh_parser()

    def is_text():
        parser.instances, parser.instance_mapping = [], {}
        return False

    cell = fake_cell(shapes(is_text))
    parser.parse_cells(cell)
    consistent(parser, parser.parse_cells(cell))


class LazyShape:
    """A shape whose polygon is made when asked for, after `hook` (run once) has run."""

    def __init__(self, width, hook=None):
        self.width, self.hook = width, hook

    def is_text(self):
        return False

    @property
    def polygon(self):
        hook, self.hook = self.hook, None
        if hook:
            hook()
        return kdb.Polygon(kdb.Box(0, 0, self.width, 10))


def table_matches(parser, widths):
    """Every polygon number of the parser leads to the outline of the shape it was given for."""
    for key, number in parser.instance_mapping.items():
        outline = parser.instances[number]
        expect(max(x for x, _ in outline) == widths[key] / 1000, f"{key} -> {number}: {outline}")


@case("mutating_walks")
def polygon_read_parses_another_cell():
    parser = fresh_parser()
    inner = fake_cell([LazyShape(1000 * (i + 10)) for i in range(3)], index=7)
    outer = fake_cell([LazyShape(1000 * (i + 1), hook=lambda: parser.parse_cells(inner)) for i in range(3)])
    parser.parse_cells(outer)
    table_matches(parser, {**{(5, 0, i): 1000 * (i + 1) for i in range(3)}, **{(7, 0, i): 1000 * (i + 10)
                                                                              for i in range(3)}})
    expect(parser.instance_index == len(parser.instances) == 6, parser.instance_index)


@case("mutating_walks")
def polygon_read_empties_the_polygon_table():
    parser = fresh_parser()
    parser.parse_cells(fake_cell([LazyShape(1000 * (i + 1), hook=parser.instances.clear if i == 2 else None)
                                  for i in range(3)]))


class ReadingLevel:
    """A level of the stack; reading its zmin runs `action` first."""

    def __init__(self, level, action):
        self.level, self.action = level, action

    def __getattr__(self, name):
        if name == "zmin":
            self.action()
        return getattr(self.level, name)


@case("mutating_walks", RuntimeError, message="dictionary changed size during iteration")
def layer_stack_levels_removed_while_read():
    levels = dict(pdk.get_layer_stack().layers)
    first = next(iter(levels))
    levels[first] = ReadingLevel(levels[first], lambda: levels.popitem())
    show3d.get_layer_properties(NS(layers=levels), pdk.get_layer_views())


class EmptiedOnIteration(list):
    def __iter__(self):
        items = list.copy(self)
        self.clear()
        return iter(items)


class EmptiedOnLength(list):
    def __len__(self):
        size = list.__len__(self)
        self.clear()
        return size


@case("mutating_walks")
def top_cells_list_empties_itself_when_walked():
    parser = exported(Output.CELL)
    parser.parsed_cells.cells = EmptiedOnIteration(parser.parsed_cells.cells)
    expect(snap(parser.to_viewer(Output.CELL)) == snap(scene(Output.CELL)), "another scene")


@case("mutating_walks")
def polygon_table_empties_itself_when_walked():
    for mode in (Output.CELL, Output.LAYER):
        parser = exported(mode)
        parsed = parser.parsed_cells if mode == Output.CELL else parser.parsed_layers
        parsed.instances = EmptiedOnIteration(parsed.instances)
        expect(snap(parser.to_viewer(mode)) == snap(scene(mode)), "another scene")


@case("mutating_walks")
def references_empty_themselves_when_measured():
    parser = exported(Output.CELL)
    top = parser.parsed_cells.cells[0]
    top.references = EmptiedOnLength(top.references)
    result = parser.to_viewer(Output.CELL)
    expect([node.name for node in result.parts[0].parts] == ["WG (1, 0)"], result)


@case("mutating_walks")
def placements_list_empties_itself_when_walked():
    for mode in (Output.CELL, Output.LAYER):
        parser = exported(mode)
        for reference in references(parser, mode):
            reference.trans = EmptiedOnIteration(reference.trans)
        expect(snap(parser.to_viewer(mode)) == snap(scene(mode)), "another scene")


class MovingParser(ParseGDS):
    """Runs `move(self)` from get_height, before the first leaf on layer 2/0 (A's)."""

    def get_height(self, layer_spec):
        if layer_spec == (2, 0) and not self.moved:
            self.moved = True
            self.move(self)
        return super().get_height(layer_spec)


def moved_a_node(move, prepare=lambda parser: None):
    """A's node in the cell-mode scene of a MovingParser, `prepare` run on it after
    the export."""
    parser = MovingParser(layout(), table())
    parser.moved, parser.move = False, move
    parser.export_cells()
    prepare(parser)
    return parser.to_viewer(Output.CELL).parts[0].parts[1]


@case("mutating_walks")
def placement_added_between_two_leaves_of_a_reference():
    """A's leaf on 1/0 is made before the move, its leaf on 2/0 after: that one
    shows the new placement too."""
    def move(parser):
        parser.parsed_cells.cells[0].references[0].trans.append(KTrans(kdb.Trans(0, False, 5000, 0)))
    a_node = moved_a_node(move)
    first, second = (leaf.shape.matrices.reshape(-1, 6) for leaf in a_node.parts[:2])
    expect(len(first) == 2 and len(second) == 3 and second[2, 2] == 5.0, (first, second))


@case("mutating_walks")
def shared_transformation_moved_between_two_references():
    """A and B are placed by one KLayout transformation; it moves between A's leaf on
    1/0 and the later ones: each leaf shows where it is when the leaf is made."""
    shared = kdb.Trans(0, False, 1000, 0)

    def place(parser):
        top = parser.parsed_cells.cells[0]
        top.references[0].trans = [KTrans(shared)]
        top.references[0].references[0].trans = [KTrans(shared)]

    def move(parser):
        shared.disp = kdb.Vector(7000, 0)

    a_node = moved_a_node(move, place)
    offsets = [leaf.shape.matrices[2] for leaf in (*a_node.parts[:2], a_node.parts[2].parts[0])]
    expect(offsets == [1.0, 7.0, 7.0], offsets)


class Trigger(str):
    """An attribute name with the hash of another one; comparing it runs `action`."""

    def __hash__(self):
        return self.target_hash

    def __eq__(self, other):
        self.action()
        return False


def booby_trap(ktrans, action):
    """Looking up the methods of `ktrans` runs `action`: keys of their hash in its __dict__."""
    for name in ("to_dict", "trans_matrix"):
        trigger = Trigger("not " + name)
        trigger.target_hash, trigger.action = hash(name), action
        ktrans.__dict__[trigger] = None


def references(parser, mode):
    """Every reference of the parsed trees of `mode`."""
    parsed = parser.parsed_cells.cells if mode == Output.CELL else [
        tree for per_top in parser.parsed_layers.layers for tree in per_top.values()]
    return [node for tree in parsed for node in walk(tree) if isinstance(node, Reference)]


@case("mutating_walks")
def placement_lookup_empties_the_placements_list():
    for mode in (Output.CELL, Output.LAYER):
        parser = exported(mode)
        for reference in references(parser, mode):
            for ktrans in reference.trans:
                booby_trap(ktrans, reference.trans.clear)
        parser.to_viewer(mode)


@case("mutating_walks")
def placement_lookup_empties_the_lists_being_combined():
    parser = ParseGDS(layout(), table())
    parser.export_cells(combine=False)
    for reference in references(parser, Output.CELL):
        for ktrans in reference.trans:
            booby_trap(ktrans, reference.trans.clear)
    parser.combine_references(Output.CELL)


class Sneaky(Reference):
    """A reference whose name and cell_index are read through properties that run `hook`."""

    hook = staticmethod(lambda: None)

    @property
    def name(self):
        self.hook()
        return self._name

    @name.setter
    def name(self, value):
        self._name = value

    @property
    def cell_index(self):
        self.hook()
        return self._cell_index

    @cell_index.setter
    def cell_index(self, value):
        self._cell_index = value


def sneaky_tree(parser, hook):
    """Replaces every reference of the parsed cells by a Sneaky one running `hook`."""
    def replace(node):
        node.references = [replace(Sneaky(**{k: getattr(r, k) for k in r.__dataclass_fields__}))
                           for r in node.references]
        for r in node.references:
            r.hook = hook
        return node

    for top in parser.parsed_cells.cells:
        replace(top)


@case("mutating_walks")
def record_getters_empty_the_tree_while_it_is_combined():
    parser = ParseGDS(layout(), table())
    parser.export_cells(combine=False)
    sneaky_tree(parser, lambda: parser.parsed_cells.cells[0].references.clear())
    parser.combine_references(Output.CELL)


@case("mutating_walks")
def record_getters_empty_the_tree_while_it_is_split():
    parser = ParseGDS(layout(), table())
    parser.export_cells(combine=False)
    sneaky_tree(parser, lambda: parser.parsed_cells.cells[0].references.clear())
    parser.export_layers(combine=False)


@case("mutating_walks")
def record_getters_empty_the_tree_and_table_while_it_is_drawn():
    for mode in (Output.CELL, Output.LAYER):
        parser = ParseGDS(layout(), table())
        parser.export_cells(combine=False)

        def hook():
            parser.instances.clear()
            for top in parser.parsed_cells.cells:
                top.references.clear()

        sneaky_tree(parser, hook)
        if mode == Output.LAYER:
            parser.export_layers(combine=False)
        parser.to_viewer(mode)


# ---- 3b. walks that never end: RecursionError, also on a small thread stack ------------

def on_small_stack(function):
    """Runs function() in a thread with a small C stack; gives back what it raised."""
    import threading

    raised, previous = [], threading.stack_size(512 * 1024)
    try:
        thread = threading.Thread(target=lambda: raised.extend(catch(function)))
        thread.start()
        thread.join()
    finally:
        threading.stack_size(previous)
    if raised:
        raise raised[0]


def catch(function):
    try:
        function()
    except BaseException as error:  # noqa: B036 - handed to the caller
        return [error]
    return []


def own_list():
    items = []
    items.append(items)
    return items


def own_dict():
    items = {}
    items["items"] = items
    return items


def looped_tree():
    """A top cell placing a reference that places itself."""
    loop = Reference(1, "LOOP", polygons={"0": [0]}, trans=[KTrans(kdb.Trans())], trans_count=1)
    loop.references.append(loop)
    parser = ParseGDS(layout(), table())
    parser.parsed_cells = show3d.ParsedCells([[(0.0, 0.0), (1.0, 0.0), (1.0, 1.0)]], parser.layer_map,
                                             [Cell(0, "TOP", references=[loop])])
    return parser


class EndlessCells(dict):
    """A cell table making every cell it is asked for: each places the next one."""

    def __missing__(self, index):
        return NS(name=f"C{index}", cell_index=lambda: index, shapes=lambda layer: NS(each=lambda: iter([])),
                  each_inst=lambda: [NS(cell_index=index + 1, cell_inst=NS(is_complex=lambda: False,
                                                                          each_trans=lambda: [kdb.Trans()]))])


def endless_hierarchy():
    parser = ParseGDS(kdb.Layout(), table())
    parser.cell_index_map = EndlessCells()
    parser.parse_cells(parser.cell_index_map[0])


ENDLESS = {
    "asdict_own_list": lambda: ParseGDS(kdb.Layout(), {}).asdict(own_list()),
    "asdict_own_dict": lambda: ParseGDS(kdb.Layout(), {}).asdict(own_dict()),
    "buffers_own_list": lambda: show3d.numpy_to_buffer_json({"k": own_list()}),
    "buffers_own_dict": lambda: show3d.numpy_to_buffer_json(own_dict()),
    "asdict_looped_tree": lambda: ParseGDS(kdb.Layout(), {}).asdict(looped_tree().parsed_cells),
    "combine_looped_tree": lambda: looped_tree().combine_references(Output.CELL),
    "split_looped_tree": lambda: looped_tree().export_layers(combine=False),
    "draw_looped_tree": lambda: setattr(parser := looped_tree(), "cell_combined", True) or parser.to_viewer(
        Output.CELL),
    "walk_endless_hierarchy": endless_hierarchy,
}

for label, walk_forever in ENDLESS.items():
    case("endless_walks", RecursionError, name=label)(walk_forever)
    case("endless_walks", RecursionError, name=f"{label}_small_stack")(
        lambda walk_forever=walk_forever: on_small_stack(walk_forever))


# ---- 4. keys whose comparison or hash misbehaves ----------------------------------------

class Key(tuple):
    """A layer key equal in hash to the plain pair; comparing it runs `action`."""

    __hash__ = tuple.__hash__

    def __eq__(self, other):
        return type(self).action(self)


def key_class(action):
    return type("Key", (Key,), {"action": staticmethod(action)})


@case("hostile_keys")
def layer_table_key_empties_the_table_when_compared():
    layers = table()
    layers[key_class(lambda key: layers.clear() or False)((1, 0))] = layers.pop((1, 0))
    parser = ParseGDS(layout(), layers)
    parser.export_layers()
    for mode in (Output.CELL, Output.LAYER):
        parser.to_viewer(mode)


@case("hostile_keys", ZeroDivisionError)
def layer_table_key_raises_when_compared():
    layers = table()
    layers[key_class(lambda key: 1 / 0)((1, 0))] = layers.pop((1, 0))
    ParseGDS(layout(), layers)


class Colliding:
    """Keys of one hash; once armed, comparing two of them runs `action`."""

    action = None

    def __hash__(self):
        return 1

    def __eq__(self, other):
        return self is other if self.action is None else self.action()


def colliding_dict(action, values=([1], [2])):
    keys = [Colliding() for _ in values]
    result = dict(zip(keys, values))
    for key in keys:
        key.action = action
    return result


CONVERSIONS = {"buffers": lambda value: show3d.numpy_to_buffer_json({"k": value}),
               "asdict": lambda value: ParseGDS(kdb.Layout(), {}).asdict({"k": value})}

for label, convert in CONVERSIONS.items():
    def empties_the_dict(convert=convert):
        holder = []
        source = colliding_dict(lambda: holder[0].clear() or False)
        holder.append(source)
        convert(source)

    case("hostile_keys", RuntimeError, message="dictionary changed size during iteration",
         name=f"{label}_key_empties_the_dict_walked")(empties_the_dict)

    def raises(convert=convert):
        convert(colliding_dict(lambda: 1 / 0))

    case("hostile_keys", ZeroDivisionError, name=f"{label}_key_raises_when_compared")(raises)

    def empties_a_value(convert=convert):
        later = [3, 4]
        result = convert(colliding_dict(lambda: later.clear() or False, ([1], [2], later)))
        expect(list(result["k"].values()) == [[1], [2], []], result)

    case("hostile_keys", name=f"{label}_key_empties_a_value_not_yet_walked")(empties_a_value)


class Index(int):
    """A cell index whose hash or comparison runs `action`."""

    def __hash__(self):
        return type(self).on_hash(self)

    def __eq__(self, other):
        return type(self).on_eq(self, other)


def index_class(on_hash=lambda self: int.__hash__(self), on_eq=lambda self, other: int.__eq__(self, other)):
    return type("Index", (Index,), {"on_hash": staticmethod(on_hash), "on_eq": staticmethod(on_eq)})


@case("hostile_keys", ZeroDivisionError)
def cell_index_hash_raises():
    fresh_parser().parse_cells(fake_cell([shape()], index_class(on_hash=lambda self: 1 // 0)(5)))


@case("hostile_keys")
def cell_index_comparison_empties_the_polygon_numbers():
    parser = fresh_parser()
    kind = index_class(on_eq=lambda self, other: parser.instance_mapping.clear() or int.__eq__(self, other))
    cell = fake_cell(shapes())
    cell.cell_index = lambda: kind(5)  # a new, equal index each time
    parser.parse_cells(cell)
    consistent(parser, parser.parse_cells(cell))


def hostile_layer_map(parser, action):
    """The parser's layer map (shared with its trees) keyed by indices whose comparison runs action."""
    layer_map = parser.layer_map
    kind = index_class(on_eq=lambda self, other: action(layer_map) or int.__eq__(self, other))
    pairs = list(layer_map.items())
    layer_map.clear()
    layer_map.update((kind(index), layer_spec) for index, layer_spec in pairs)


@case("hostile_keys", KeyError)
def layer_map_key_empties_the_map_cell_mode():
    parser = exported(Output.CELL)
    hostile_layer_map(parser, dict.clear)
    parser.to_viewer(Output.CELL)


@case("hostile_keys")
def layer_map_key_empties_the_map_layer_mode():
    parser = exported(Output.LAYER)
    hostile_layer_map(parser, dict.clear)
    expect(parser.to_viewer(Output.LAYER).parts == [], "layers shown from an empty map")


@case("hostile_keys")
def layer_map_key_empties_the_map_while_exporting():
    parser = ParseGDS(layout(), table())
    hostile_layer_map(parser, dict.clear)
    parser.export_layers()
    parser.export_cells()


# ---- 5. numbers whose conversions raise or re-enter ---------------------------------------

class Floating:
    """A number whose float() runs `action`."""

    def __init__(self, action):
        self.action = action

    def __float__(self):
        return self.action()


class Indexed:
    """A number with only an integer form, made by `action`."""

    def __init__(self, action):
        self.action = action

    def __index__(self):
        return self.action()


def raising():
    return 1 / 0


ENTRY_POINTS = {
    "to_3D_viewer": lambda **kw: show3d.to_3D_viewer(component(), Output.CELL, **kw),
    "show3d": lambda **kw: show3d.show3d(component(), Output.CELL, **kw),
    "ParseGDS": lambda **kw: ParseGDS(layout(), table(), **kw),
}

for entry, enter in ENTRY_POINTS.items():
    for argument, value, error in [("z_scale", Floating(raising), ZeroDivisionError),
                                   ("curve_tolerance", Floating(raising), ZeroDivisionError),
                                   ("z_scale", Floating(lambda: "2"), TypeError),
                                   ("curve_tolerance", Floating(lambda: 1), TypeError),
                                   ("z_scale", 10**400, OverflowError), ("curve_tolerance", 10**400, OverflowError)]:
        def conversion(enter=enter, argument=argument, value=value):
            with kept(show3d, "comms"):
                show3d.comms = SILENT
                enter(**{argument: value})

        case("numbers", error, name=f"{entry}_{argument}_{type(value).__name__}_{error.__name__}")(conversion)


@case("numbers")
def z_scale_conversion_converts_another_component():
    inner = []
    result = show3d.to_3D_viewer(component(), Output.CELL,
                                 z_scale=Floating(lambda: inner.append(show3d.to_3D_viewer(component())) or 2.0))
    expect(len(inner) == 1 and snap(result) == snap(show3d.to_3D_viewer(component(), Output.CELL, z_scale=2.0)),
           "another scene")


@case("numbers")
def z_scale_index_only():
    result = show3d.to_3D_viewer(component(), Output.LAYER, z_scale=Indexed(lambda: 2))
    expect(snap(result) == snap(show3d.to_3D_viewer(component(), Output.LAYER, z_scale=2.0)), "another scene")


@case("numbers")
def z_scale_conversion_empties_the_exclusions():
    patterns = ["si*"]
    result = show3d.to_3D_viewer(component(), Output.LAYER, exclude_layers=patterns,
                                 z_scale=Floating(lambda: patterns.clear() or 1.0))
    expect(snap(result) == snap(show3d.to_3D_viewer(component(), Output.LAYER)), "another scene")


@case("numbers")
def curve_tolerance_conversion_builds_a_parser_of_the_same_layout():
    shared, inner = layout(), []
    parser = ParseGDS(shared, table(), curve_tolerance=Floating(
        lambda: inner.append(ParseGDS(shared, table()).export_layers()) or 0.01))
    parser.export_layers()
    expect(len(inner) == 1 and parser.instances == exported(Output.LAYER).instances, parser.instances)


class LayerId(str):
    """A layer id of a cell's polygons whose int() runs `action`."""

    def __int__(self):
        return type(self).action(self)


def layer_ids(parser, action):
    kind = type("LayerId", (LayerId,), {"action": staticmethod(action)})
    for top in parser.parsed_cells.cells:
        top.polygons = {kind(k): v for k, v in top.polygons.items()}


@case("numbers", ZeroDivisionError)
def layer_id_int_raises():
    parser = exported(Output.CELL)
    layer_ids(parser, lambda self: 1 // 0)
    parser.to_viewer(Output.CELL)


@case("numbers", RuntimeError, message="dictionary changed size during iteration")
def layer_id_int_empties_the_polygons_walked():
    parser = exported(Output.CELL)
    tops = parser.parsed_cells.cells
    layer_ids(parser, lambda self: tops[0].polygons.clear() or int(str(self)))
    parser.to_viewer(Output.CELL)


@case("numbers", KeyError)
def layer_id_int_is_unknown():
    parser = exported(Output.CELL)
    layer_ids(parser, lambda self: 10**40)
    parser.to_viewer(Output.CELL)


class Mode:
    """An output whose comparison runs `action`."""

    def __init__(self, action):
        self.action = action

    def __eq__(self, other):
        return self.action(other)

    __hash__ = object.__hash__


@case("numbers", ZeroDivisionError)
def output_comparison_raises_in_to_viewer():
    exported(Output.CELL).to_viewer(Mode(lambda other: 1 / 0))


@case("numbers", ZeroDivisionError)
def output_comparison_raises_in_to_3d_viewer():
    show3d.to_3D_viewer(component(), Mode(lambda other: 1 / 0))


@case("numbers")
def output_comparison_draws_the_scene_again():
    parser, inner = exported(Output.CELL), []
    result = parser.to_viewer(Mode(lambda other: inner.append(parser.to_viewer(Output.CELL)) or other is Output.CELL))
    expect(snap(result) == snap(inner[0]) == snap(scene(Output.CELL)), "another scene")


@case("numbers", ZeroDivisionError)
def placement_angle_index_raises():
    KTrans(NS(is_mirror=lambda: False, angle=Indexed(raising), disp=NS(x=0, y=0))).to_dict()


class Forms(KTrans):
    """A placement whose dictionary form is made by `form`."""

    def __init__(self, form):
        super().__init__(None)
        self.form = form

    def to_dict(self):
        return {"mirror": False, "angle": 90, "displacement": [0, 0], **self.form()}


for label, form, error, message in [
    ("magnification_float_raises", lambda: {"magnification": Floating(raising)}, ZeroDivisionError, None),
    ("angle_not_a_number", lambda: {"angle": NS()}, TypeError, None),
    ("displacement_three_values", lambda: {"displacement": [0, 0, 0]}, ValueError,
     "too many values to unpack (expected 2)"),
    ("displacement_one_value", lambda: {"displacement": [0]}, ValueError,
     "not enough values to unpack (expected 2, got 1)"),
    ("displacement_not_iterable", lambda: {"displacement": 5}, TypeError, "cannot unpack non-iterable int object"),
    ("displacement_generator", lambda: {"displacement": (v for v in (1.5, 2.5))}, None, None),
]:
    case("numbers", error, message=message, name=f"trans_matrix_{label}")(lambda form=form: Forms(form).trans_matrix())


# ---- 6. the module's own function objects -------------------------------------------------

def twin(function):
    """A plain Python function with the same parameters, defaults, annotations and names."""
    names = []
    for parameter in inspect.signature(function).parameters.values():
        if parameter.kind is parameter.KEYWORD_ONLY and "*" not in names:
            names.append("*")
        names.append(parameter.name)
    namespace = {}
    exec(f"def {function.__name__}({', '.join(names)}): pass", namespace)
    plain = namespace[function.__name__]
    plain.__defaults__, plain.__kwdefaults__ = function.__defaults__, dict(function.__kwdefaults__ or {}) or None
    plain.__annotations__ = dict(function.__annotations__)
    plain.__qualname__, plain.__module__, plain.__doc__ = function.__qualname__, function.__module__, function.__doc__
    return plain


def first_parameter(f):
    return next(iter(inspect.signature(f).parameters))


def signature(f):
    return str(inspect.signature(f))


def text(f):
    return repr(f).split(" at ")[0]


def setter(name, value):
    return lambda f: setattr(f, name, value(f) if callable(value) and not isinstance(value, type) else value)


def deleter(name):
    return lambda f: delattr(f, name)


def reader(name):
    return lambda f: getattr(f, name)


def type_of(name):
    return lambda f: type(getattr(f, name)).__name__


def mutate(name, key, value):
    def step(f):
        getattr(f, name)[key(f) if callable(key) else key] = value
    return step


def call(f):
    f()


class Renamed(str):
    pass


class Defaults(tuple):
    pass


class Table(dict):
    pass


SCENARIOS = {  # name -> steps applied in turn; each step's outcome and value must match a plain function's
    "qualname_deleted": [deleter("__qualname__"), text, call, reader("__qualname__")],
    "qualname_number": [setter("__qualname__", 42), text, call, reader("__qualname__")],
    "qualname_str_subclass": [setter("__qualname__", Renamed("renamed")), text, call, type_of("__qualname__")],
    "name_deleted": [deleter("__name__"), reader("__name__"), text],
    "name_number": [setter("__name__", 42), reader("__name__"), text],
    "annotations_deleted": [deleter("__annotations__"), type_of("__annotations__"), signature],
    "annotations_number": [setter("__annotations__", 5), signature, type_of("__annotations__")],
    "annotations_none": [setter("__annotations__", None), reader("__annotations__"), signature],
    "annotations_replaced": [signature, setter("__annotations__", lambda f: {first_parameter(f): "X", "return": "Y"}),
                             signature],
    "annotations_changed_in_place": [signature, mutate("__annotations__", first_parameter, "Z"), signature],
    "annotations_table_subclass": [setter("__annotations__", lambda f: Table({first_parameter(f): "T"})), signature],
    "doc_deleted": [deleter("__doc__"), reader("__doc__")],
    "doc_number": [setter("__doc__", 42), reader("__doc__")],
    "module_deleted": [deleter("__module__"), reader("__module__"), text],
    "module_number": [setter("__module__", 42), reader("__module__"), text],
    "defaults_number": [setter("__defaults__", 42), call, signature],
    "defaults_deleted": [signature, deleter("__defaults__"), reader("__defaults__"), signature, call],
    "defaults_tuple_subclass": [setter("__defaults__", lambda f: Defaults(f.__defaults__ or ())),
                                type_of("__defaults__"),
                                signature],
    "kwdefaults_number": [setter("__kwdefaults__", 42), signature, call],
    "kwdefaults_deleted": [signature, deleter("__kwdefaults__"), reader("__kwdefaults__"), signature, call],
    "kwdefaults_dict_subclass": [setter("__kwdefaults__", lambda f: Table(f.__kwdefaults__ or {})),
                                 type_of("__kwdefaults__"), signature],
    "kwdefaults_changed_in_place": [signature, lambda f: (f.__kwdefaults__ or {}).update(as_dict="W", combine="W"),
                                    signature],
    "defaults_too_many": [setter("__defaults__", lambda f: (None,) * 20), reader("__defaults__"), signature],
    "signature_assigned": [setter("__signature__", inspect.Signature()), signature, deleter("__signature__"),
                           signature],
    "signature_number": [setter("__signature__", 42), signature],
    "signature_deleted": [deleter("__signature__"), signature],
    "signature_in_dict": [setter("__dict__", {"__signature__": inspect.Signature()}), signature],
    "dict_deleted": [deleter("__dict__"), reader("__dict__")],
    "dict_number": [setter("__dict__", 42), type_of("__dict__")],
}
FUNCTIONS = {"to_3D_viewer": lambda: show3d.to_3D_viewer, "to_viewer": lambda: ParseGDS.to_viewer,
             "export_cells": lambda: ParseGDS.export_cells}
SAVED = ["__qualname__", "__name__", "__module__", "__doc__", "__defaults__", "__kwdefaults__", "__annotations__"]


def trail(function, steps):
    outcomes = []
    for step in steps:
        try:
            outcomes.append(("ok", repr(step(function))))
        except Exception as error:
            outcomes.append((type(error).__name__, None))
    return outcomes


for scenario, steps in SCENARIOS.items():
    for label, get in FUNCTIONS.items():
        def same_as_plain_function(get=get, steps=steps):
            function = get()
            saved = {name: getattr(function, name) for name in SAVED}
            plain = twin(function)
            try:
                expected, got = trail(plain, steps), trail(function, steps)
            finally:
                for name, value in saved.items():
                    with contextlib.suppress(Exception):
                        setattr(function, name, value)
            expect(got == expected, f"{got} instead of {expected}")

        # one child per scenario: a function keeps what a scenario did to it (its cached signature)
        case("function_objects", name=f"{scenario}_{label}", batch=f"function_objects_{scenario}")(
            same_as_plain_function)


# ---- 7. module names replaced in the middle of a call --------------------------------------

class Pattern(str):
    """An exclusion pattern whose lower() runs `action` first."""

    def lower(self):
        type(self).action()
        return str.lower(self)


def pattern(action, text="no such layer"):
    return type("Pattern", (Pattern,), {"action": staticmethod(action)})(text)


class Refusing:
    """A stand-in module: every attribute raises LookupError."""

    def __getattr__(self, name):
        raise LookupError(f"stand-in module asked for {name}")


@case("namespace_swaps", None, LookupError)
def numpy_replaced_while_layers_are_tested():
    for mode in (Output.CELL, Output.LAYER):
        with kept(show3d, "np"):
            result = show3d.to_3D_viewer(component(), mode,
                                         exclude_layers=[pattern(lambda: setattr(show3d, "np", Refusing()))])
        expect(snap(result) == snap(show3d.to_3D_viewer(component(), mode)), "another scene")


def refuse(*args, **kwargs):
    raise LookupError("stand-in")


@case("namespace_swaps", None, LookupError)
def numpy_replaced_while_layers_are_tested_for_dictionaries():
    import fnmatch as module  # its fnmatch() runs its fnmatchcase(): code of the caller's choice

    def swapping(name, pattern, real=module.fnmatchcase):
        show3d.np = Refusing()
        return real(name, pattern)

    for mode in (Output.CELL, Output.LAYER):
        with kept(show3d, "np"), kept(module, "fnmatchcase"):
            module.fnmatchcase = swapping
            result = show3d.to_3D_viewer(component(), mode, exclude_layers=["no such layer"], as_dict=True)
        expect(snap(result) == snap(show3d.to_3D_viewer(component(), mode, as_dict=True)), "another scene")


@case("namespace_swaps", LookupError)
def fnmatch_replaced_between_two_patterns():
    def replace():
        show3d.fnmatch = refuse

    with kept(show3d, "fnmatch"):
        show3d.to_3D_viewer(component(), Output.LAYER, exclude_layers=[pattern(replace), pattern(lambda: None)])


def views_running(action):
    kit = pdk.get_layer_views()

    def get_from_tuple(key):
        action()
        return kit.get_from_tuple(key)

    return NS(get_from_tuple=get_from_tuple)


@case("namespace_swaps", ValueError, message="Only Output.CELL and Output.LAYER are allowed")
def output_replaced_while_layer_views_are_read():
    with kept(show3d, "Output"):
        show3d.to_3D_viewer(component(), Output.CELL, layer_views=views_running(
            lambda: setattr(show3d, "Output", NS(CELL=None, LAYER=None))))


@case("namespace_swaps")
def parser_class_replaced_while_layer_views_are_read():
    made = []
    recording = type("Recording", (ParseGDS,), {"__init__": lambda self, *a, **k: made.append(self) or
                                                ParseGDS.__init__(self, *a, **k)})
    with kept(show3d, "ParseGDS"):
        result = show3d.to_3D_viewer(component(), Output.CELL,
                                     layer_views=views_running(lambda: setattr(show3d, "ParseGDS", recording)))
    expect(len(made) == 1 and snap(result) == snap(show3d.to_3D_viewer(component(), Output.CELL)), made)


@case("namespace_swaps", LookupError, message="stand-in")
def orjson_replaced_while_layers_are_tested():
    sent = []

    def replace():
        show3d.orjson = NS(dumps=refuse)

    try:
        with kept(show3d, "orjson", "comms"):
            show3d.comms = NS(send_message=sent.append)
            show3d.show3d(component(), Output.LAYER, exclude_layers=[pattern(replace)])
    finally:
        expect(sent == [], "a message was sent")


@case("namespace_swaps")
def ktrans_replaced_while_references_are_combined():
    parser = ParseGDS(layout(), table())
    parser.export_cells(combine=False)
    own = type("OwnKTrans", (KTrans,), {})
    with kept(show3d, "KTrans"):
        sneaky_tree(parser, lambda: setattr(show3d, "KTrans", own))
        parser.combine_references(Output.CELL)
    got, expected = (references(p, Output.CELL) for p in (parser, exported(Output.CELL)))
    expect([[k.to_dict() for k in r.trans] for r in got] == [[k.to_dict() for k in r.trans] for r in expected],
           "other placements")


class Described:
    """A value whose class is asked for while the buffers are walked; asking runs `action`."""

    def __init__(self, action):
        self.action = action

    @property
    def __class__(self):
        self.action()
        return Described


@case("namespace_swaps", None, AttributeError)
def numpy_replaced_while_buffers_are_walked():
    array = np.arange(3, dtype="float32")
    with kept(show3d, "np"):
        result = show3d.numpy_to_buffer_json({"a": Described(lambda: setattr(show3d, "np", NS())), "b": array})
    expect(result["b"] == show3d.numpy_to_buffer_json({"b": array})["b"], result)


# ---- 8. a layer map that is not a dict ------------------------------------------------------

class Mapping:
    """A read-only mapping with every method a dict reader uses."""

    def __init__(self, content):
        self.content = content

    def __getitem__(self, key):
        return self.content[key]

    def __iter__(self):
        return iter(self.content)

    def __len__(self):
        return len(self.content)

    def __contains__(self, key):
        return key in self.content

    def get(self, key, default=None):
        return self.content.get(key, default)

    def items(self):
        return self.content.items()

    def keys(self):
        return self.content.keys()

    def values(self):
        return self.content.values()


NOT_A_MAPPING = (TypeError, AttributeError)  # what iterating, indexing or .items() of it raises
LAYER_MAPS = {  # kind -> (replacement of the layer map, allowed outcomes)
    "none": (lambda m: None, NOT_A_MAPPING),
    "number": (lambda m: 5, NOT_A_MAPPING),
    "object": (lambda m: object(), NOT_A_MAPPING),
    # sequences can be iterated and indexed: plain code may get through them
    "list": (lambda m: list(m.values()), (None, *NOT_A_MAPPING)),
    "tuple": (lambda m: tuple(m.items()), (None, *NOT_A_MAPPING)),
    "text": (lambda m: "01", (None, *NOT_A_MAPPING)),
}
MAPPINGS = {"dict_subclass": Table, "mapping_proxy": types.MappingProxyType, "mapping": Mapping}  # read as a dict


def with_layer_map(step, layer_map):
    """Runs `step` on a parser of layout() whose layer map is replaced by `layer_map` (after
    the export, for the viewer steps); gives the step's result."""
    parser = ParseGDS(layout(), table())
    if step.startswith("export"):
        parser.layer_map = layer_map(parser.layer_map)
        return getattr(parser, step)()
    mode = Output.CELL if step == "cell_viewer" else Output.LAYER
    parser.export_cells() if mode == Output.CELL else parser.export_layers()
    parser.layer_map = layer_map(parser.layer_map)
    for parsed in (parser.parsed_cells, parser.parsed_layers):
        if parsed is not None:
            parsed.layer_map = parser.layer_map
    return parser.to_viewer(mode)


for step in ("export_cells", "export_layers", "cell_viewer", "layer_viewer"):
    for kind, (replace, allowed) in LAYER_MAPS.items():
        case("layer_map_types", *allowed, name=f"{step}_{kind}")(lambda step=step, replace=replace:
                                                                 with_layer_map(step, replace))

    for kind, mapping in MAPPINGS.items():
        def same_as_dict(step=step, mapping=mapping):
            got, expected = with_layer_map(step, mapping), with_layer_map(step, dict)
            if not step.startswith("export"):
                expect(snap(got) == snap(expected), "another scene")

        case("layer_map_types", name=f"{step}_{kind}")(same_as_dict)


# ---- the test ----------------------------------------------------------------------------

@pytest.mark.parametrize("pattern, name", list(CASES), ids=[f"{p}-{n}" for p, n in CASES])
def test_hostile_object(outcome_of, pattern, name):
    _, allowed, message, _ = CASES[pattern, name]
    result = outcome_of(pattern, name)
    assert result["outcome"] in allowed, f"{result['outcome']} (allowed: {sorted(allowed)}): {result['detail']}"
    if message is not None and result["outcome"] != OK:
        assert result["detail"] == message
    assert result["left"] == [], "temporary files left behind"

"""ParseGDS's export on the walk the direct road takes, against the general walk:
the same records, polygon table, mapping and instance index; and the general walk
whenever the export's walk would run code of the caller's, or could not give what
the general walk gives (then also its errors and what it leaves behind)."""

import fnmatch
import os
import subprocess
import sys
import tracemalloc
from pathlib import Path

import klayout.db as kdb
import klayout.dbcore as dbcore
import pytest

import tessarand.core.show3d as show3d
from conftest import SAMPLE_NAMES, load_sample, make_layout
from tessarand.core.show3d import KTrans, Output, ParseGDS
from test_direct_road import AskingType, arrays_of_arrays, hierarchy, mixed_layers, shapes_and_placements

MODES = [Output.CELL, Output.LAYER]


class GeneralWalk(ParseGDS):
    """A subclass that changes nothing: its export takes the general walk."""


def picture(x):
    """Exact, type-strict picture of what an export leaves, KTrans by what it wraps."""
    if isinstance(x, KTrans):
        return "KTrans", type(x.trans).__name__, str(x.trans)
    if hasattr(x, "__dataclass_fields__"):
        return type(x).__name__, [(k, picture(getattr(x, k))) for k in x.__dataclass_fields__]
    if isinstance(x, (list, tuple, dict)):
        items = x.items() if isinstance(x, dict) else enumerate(x)
        return type(x).__name__, [(picture(k), picture(v)) for k, v in items]
    return type(x).__name__, (x.hex() if isinstance(x, float) else x)


def sharing(parser):
    """Which lists, KTrans and wrapped transformations of the exported trees are
    one object: each numbered where it is first met."""
    seen = {}

    def number(x):
        return seen.setdefault(id(x), len(seen))

    def walk(x):
        if isinstance(x, KTrans):
            return number(x), number(x.trans)
        if isinstance(x, list):
            return number(x), [walk(item) for item in x]
        if isinstance(x, dict):
            return [walk(value) for value in x.values()]
        if hasattr(x, "__dataclass_fields__"):
            return [walk(getattr(x, k)) for k in x.__dataclass_fields__ if k != "instances"]
        return None
    return walk([parser.parsed_cells, parser.parsed_layers])


def state(parser):
    """The outlines by repr (exact for floats, and quick), the rest by picture,
    and what is shared."""
    return repr(parser.instances), picture([
        type(parser.instances), parser.instance_mapping, parser.instance_index, parser.parsed_cells,
        parser.parsed_layers, parser.cell_combined, parser.layer_combined]), sharing(parser)


def exported(parser_class, layout, table, mode, tolerance=None):
    parser = parser_class(layout, table, curve_tolerance=tolerance)
    parser.export_cells() if mode == Output.CELL else parser.export_layers()
    return parser


def monitoring_tool(tool, name, started):
    """Makes started(code, offset) sys.monitoring tool `tool`'s callback at the
    start of every Python function; a function that takes it away again."""
    start = sys.monitoring.events.PY_START
    sys.monitoring.use_tool_id(tool, name)
    sys.monitoring.register_callback(tool, start, started)
    sys.monitoring.set_events(tool, start)

    def stop():
        sys.monitoring.set_events(tool, 0)
        sys.monitoring.register_callback(tool, start, None)
        sys.monitoring.free_tool_id(tool)
    return stop


def polygons_as_records_are_made(parser, run):
    """The size of the parser's polygon table as each Cell or Reference record is
    made. The general walk makes a cell's records after converting its shapes; the
    tables' walk makes every record first and fills the table last. Seen through
    sys.monitoring: a profile function sends the export to the general walk."""
    sizes = []
    instances = parser.instances  # filled in place; read here, not by the callback

    def started(code, offset):
        if code.co_name == "__init__":
            frame = sys._getframe(1)
            if type(frame.f_locals.get("self")).__name__ in ("Cell", "Reference"):
                sizes.append(len(instances))

    stop = monitoring_tool(3, "export walk test", started)
    try:
        run()
    finally:
        stop()
    return sizes


def takes_tables_walk(parser, run=None):
    sizes = polygons_as_records_are_made(parser, run or (lambda: parser.export_cells(combine=False)))
    assert sizes
    return not any(sizes)


EXPORTS = {"records": lambda parser: parser.export_cells(combine=False),
           "combined cells": lambda parser: parser.export_cells(),
           "combined layers": lambda parser: parser.export_layers()}


@pytest.mark.parametrize("export", EXPORTS)
@pytest.mark.parametrize("tolerance", [0.01, None])
@pytest.mark.parametrize("name", SAMPLE_NAMES)
def test_samples_export_as_the_general_walk_does(kit, name, tolerance, export):
    """The walk's records, and the trees combined from the walk's tables as
    combine_references combines the general walk's records."""
    layout, table = load_sample(name, kit)
    walked = []
    for parser_class in (ParseGDS, GeneralWalk):
        parser = parser_class(layout, table, curve_tolerance=tolerance)
        EXPORTS[export](parser)
        walked.append(state(parser))
    assert walked[0] == walked[1]


@pytest.mark.parametrize("tolerance", [0.01, None])
@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("make", [hierarchy, shapes_and_placements, arrays_of_arrays,
                                  lambda: mixed_layers(0), lambda: mixed_layers(1)],
                         ids=["hierarchy", "shapes and placements", "arrays of arrays", "mixed 0", "mixed 1"])
def test_hand_built_layouts_export_as_the_general_walk_does(table, tmp_path, make, mode, tolerance):
    """Read back from a GDS file, as the module reads what the host writes (edges
    become paths there)."""
    make().write(str(tmp_path / "hand.gds"))
    layout = kdb.Layout()
    layout.read(str(tmp_path / "hand.gds"))
    assert state(exported(ParseGDS, layout, table, mode, tolerance)) == \
        state(exported(GeneralWalk, layout, table, mode, tolerance))


def test_the_export_takes_the_tables_walk(table):
    assert takes_tables_walk(ParseGDS(hierarchy(), table))
    assert not takes_tables_walk(GeneralWalk(hierarchy(), table))


def records_made(parser, export=ParseGDS.export_cells):
    """How many Cell and Reference records a combining export makes."""
    return len(polygons_as_records_are_made(parser, lambda: export(parser)))


def many_placements_of_one_cell():
    """TOP places A two thousand times one by one; A has a shape on each layer."""
    places = [("TOP", "A", kdb.Trans(i % 4, i % 3 == 0, 7 * i, -3 * i)) for i in range(2000)]
    return make_layout({"TOP": {}, "A": {(1, 0): [(0, 0, 5, 5)], (2, 0): [(0, 0, 3, 3)]}}, places)


def python_peak(run):
    """The peak of the Python memory run() allocates (tracemalloc, which no
    watcher is: the export combines on the tables beside it)."""
    tracemalloc.start()
    try:
        run()
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


@pytest.mark.parametrize("export", [ParseGDS.export_cells, ParseGDS.export_layers], ids=["cells", "layers"])
def test_the_combining_export_makes_only_the_records_it_keeps(table, export):
    """Combined on the tables: one record of A (and one copy per layer), where
    combine_references (here run on the same walk's records, through a wrapper)
    starts from a record of A per placement (and a copy of each per layer)."""
    export(ParseGDS(many_placements_of_one_cell(), table))  # what the first export allocates once
    own = ParseGDS(many_placements_of_one_cell(), table)
    wrapped = ParseGDS(many_placements_of_one_cell(), table)
    replaced_method("combine_references")(wrapped, None)
    peaks = [python_peak(lambda: export(parser)) for parser in (own, wrapped)]
    assert state(own) == state(wrapped)
    assert peaks[0] < 0.6 * peaks[1]


def replaced_method(name):
    def prepare(parser, patch):
        calls = []
        method = getattr(ParseGDS, name)

        def replaced(*args, **keywords):
            calls.append((args, keywords))
            return method(parser, *args, **keywords)
        setattr(parser, name, replaced)
        return lambda: calls
    return prepare


def exported_before(parser, patch):
    """Layer trees from the records of an earlier export, as they are then."""
    parser.export_cells(combine=False)
    parser.parsed_cells.cells[0].name = "RENAMED"
    return lambda: None


def far_products(parser, patch):
    """Products beyond KLayout's coordinate range, which it composes its own way."""
    far = kdb.Trans(0, False, 2_000_000_000, 0)
    parser.layout = make_layout({"A_TOP": {(2, 0): [(0, 0, 5, 5)]}, "TOP": {}, "MID": {}, "U": {(1, 0): [(0, 0, 5, 5)]}},
                                [("A_TOP", "U", kdb.Trans()), ("TOP", "MID", far), ("MID", "U", far), ("TOP", "U", far)])
    parser.cell_index_map = {cell.cell_index(): cell for cell in parser.layout.each_cell()}
    return lambda: None


@pytest.mark.parametrize("export, prepare", [
    (ParseGDS.export_cells, replaced_method("combine_references")),
    (ParseGDS.export_layers, replaced_method("combine_references")),
    (ParseGDS.export_layers, replaced_method("export_cells")),
    (ParseGDS.export_cells, far_products),
    (ParseGDS.export_layers, far_products),
    (ParseGDS.export_layers, exported_before)],
    ids=["cells, combine_references replaced", "layers, combine_references replaced",
         "layers, export_cells replaced", "cells, products beyond the range", "layers, products beyond the range",
         "layers, cells exported before"])
def test_the_records_combine_on_the_general_road_where_the_tables_cannot(table, monkeypatch, prepare, export):
    results = []
    for parser_class in (ParseGDS, GeneralWalk):
        with monkeypatch.context() as patch:
            parser = parser_class(hierarchy(), table)
            seen = prepare(parser, patch)
            made = records_made(parser, export)
            results.append((made, state(parser), seen()))
    assert results[0] == results[1]


class CountedAppends(list):
    def __init__(self):
        super().__init__()
        self.appended = 0

    def append(self, item):
        self.appended += 1
        super().append(item)


def export_again(parser, patch):
    parser.export_cells(combine=False)
    return lambda: None


def shadow_shapes(parser, patch):
    """A top cell's own `shapes`, counting its calls (KLayout hands out one object per cell)."""
    top, calls = parser.layout.top_cells()[0], []
    shapes = top.shapes
    top.shapes = lambda layer: (calls.append(layer), shapes(layer))[1]
    return lambda: calls


def replace_module_name(parser, patch):
    patch.setattr(show3d, "fnmatch", lambda name, pattern: fnmatch.fnmatch(name, pattern))
    return lambda: None


def count_appends(parser, patch):
    parser.instances = CountedAppends()
    return lambda: parser.instances.appended


def colliding_cell_key(parser, patch):
    """A key whose hash is that of the placed cell's index: looking that up asks it."""
    calls = []

    class Colliding:
        def __hash__(self):
            return hash(parser.layout.cell("UNIT").cell_index())

        def __eq__(self, other):
            calls.append(other)
            return NotImplemented

    parser.cell_index_map = {Colliding(): parser.layout.top_cells()[0], **parser.cell_index_map}
    return lambda: len(calls)


def layer_map_subclass(parser, patch):
    calls = []

    class Counted(dict):
        def __iter__(self):
            calls.append("iter")
            return super().__iter__()

        def items(self):
            calls.append("items")
            return super().items()

    parser.layer_map = Counted(parser.layer_map)
    return lambda: calls


def int_subclass_as_index(parser, patch):
    calls = []

    class Index(int):
        def __add__(self, other):
            calls.append(other)
            return int(self) + other

    parser.instance_index = Index(0)
    return lambda: calls


def float_subclass_as_tolerance(parser, patch):
    parser.curve_tolerance = type("Tolerance", (float,), {})(0.01)
    return lambda: None


class CollidingName(str):
    """An attribute name whose hash is that of a method the walk calls."""

    calls = []

    def __hash__(self):
        return hash("each_shape")

    def __eq__(self, other):
        CollidingName.calls.append(other)
        return NotImplemented


def colliding_name_on_a_cell(parser, patch):
    CollidingName.calls = []
    vars(parser.layout.top_cells()[0])[CollidingName("colliding")] = 1
    return lambda: len(CollidingName.calls)


def colliding_name_on_the_parser(parser, patch):
    """The parser's own dictionary with a key whose hash is that of "instances"."""
    class Colliding(str):
        def __hash__(self):
            return hash("instances")

        def __eq__(self, other):
            calls.append(other)
            return NotImplemented

    calls = []
    own = vars(parser)
    instances = own.pop("instances")
    own[Colliding("colliding")] = 1
    own["instances"] = instances
    return lambda: len(calls)


def another_transformation_type(parser, patch):
    """KLayout's module with another of its classes under the name Trans."""
    patch.setattr(dbcore, "Trans", dbcore.DTrans)
    return lambda: None


@pytest.mark.parametrize("prepare", [export_again, shadow_shapes, replace_module_name, count_appends,
                                     colliding_cell_key, layer_map_subclass, int_subclass_as_index,
                                     float_subclass_as_tolerance, colliding_name_on_a_cell,
                                     colliding_name_on_the_parser, another_transformation_type],
                         ids=["second export", "a cell's own shapes method", "a replaced module name",
                              "a list subclass as table", "a colliding cell key", "a dict subclass as layer map",
                              "an int subclass as index", "a float subclass as tolerance",
                              "a colliding name on a cell", "a colliding name on the parser",
                              "another class as Trans"])
def test_the_general_walk_runs_where_the_tables_walk_cannot(table, monkeypatch, prepare):
    """Each gives what the general walk gives, and runs the caller's code as often."""
    results = []
    for parser_class in (ParseGDS, GeneralWalk):
        with monkeypatch.context() as patch:
            parser = parser_class(shapes_and_placements(), table)
            seen = prepare(parser, patch)
            results.append((takes_tables_walk(parser), state(parser), seen()))
    assert results[0] == results[1]
    assert results[0][0] is False


def deep_chain(count):
    """A chain of `count` cells, each placing the next, each with a box."""
    names = [f"C{i}" for i in range(count)]
    return make_layout({n: {(1, 0): [(0, 0, 10 + i, 10)]} for i, n in enumerate(names)},
                       [(a, b, kdb.Trans(0, False, 5, 0)) for a, b in zip(names, names[1:])])


def too_deep(parser, export):
    parser.layout = deep_chain(301)
    parser.cell_index_map = {cell.cell_index(): cell for cell in parser.layout.each_cell()}

    def run():
        saved = sys.getrecursionlimit()
        sys.setrecursionlimit(300)
        try:
            export(parser)
        finally:
            sys.setrecursionlimit(saved)
    return run


def placed_cell_gone(parser, export):
    del parser.cell_index_map[parser.layout.cell("LEAF").cell_index()]
    return lambda: export(parser)


@pytest.mark.parametrize("export", [ParseGDS.export_cells, ParseGDS.export_layers], ids=["cells", "layers"])
@pytest.mark.parametrize("fail", [too_deep, placed_cell_gone], ids=["too deep", "a placed cell gone"])
def test_a_failed_export_raises_and_leaves_what_the_general_walk_does(table, fail, export):
    outcomes = []
    for parser_class in (ParseGDS, GeneralWalk):
        parser = parser_class(hierarchy(), table)
        run = fail(parser, export)
        with pytest.raises((RecursionError, KeyError)) as info:
            run()
        outcomes.append((type(info.value), str(info.value), state(parser), len(parser.instances)))
    assert outcomes[0] == outcomes[1]
    assert outcomes[0][3] > 0  # the polygons converted before the error


def two_cells_of_one_name(width):
    """A top cell placing LEAF, a box `width` wide."""
    return make_layout({"TOP": {(1, 0): [(0, 0, 5, 5)]}, "LEAF": {(1, 0): [(0, 0, width, 10)]}},
                       [("TOP", "LEAF", kdb.Trans(0, False, 100, 0))], layers=[(1, 0)])


@pytest.mark.parametrize("swap, leaf_width", [("the parser's layout", 0.01), ("a placed cell", 0.02)])
def test_cells_of_another_layout_keep_their_own_shapes(table, swap, leaf_width):
    """The layout's stream form holds the shapes of its own cells only, not of
    another layout's cell that has the same name."""
    states = []
    for parser_class in (ParseGDS, GeneralWalk):
        first, second = two_cells_of_one_name(10), two_cells_of_one_name(20)
        parser = parser_class(first, table, curve_tolerance=None)
        if swap == "the parser's layout":
            parser.layout = second
        else:
            parser.cell_index_map[first.cell("LEAF").cell_index()] = second.cell("LEAF")
        parser.export_cells(combine=False)
        states.append(state(parser))
    assert states[0] == states[1]
    assert parser.instances[1] == [(0.0, 0.0), (0.0, 0.01), (leaf_width, 0.01), (leaf_width, 0.0)]


def test_a_replaced_path_flag_is_never_read(table, monkeypatch):
    """KLayout's constant for paths is read through KLayout's own getter only."""
    reads = []

    class Flag:
        def __get__(self, instance, owner):
            reads.append(owner)
            return kdb.Shapes.__dict__["SAll"].__get__(None, owner)

    monkeypatch.setattr(kdb.Shapes, "SPaths", Flag())
    results = [state(exported(parser_class, shapes_and_placements(), table, Output.CELL))
               for parser_class in (ParseGDS, GeneralWalk)]
    assert results[0] == results[1] and reads == []


def watch_reference_records(how, seen):
    """A profile function or a sys.monitoring tool that raises at the second
    Reference record made; a function that takes it away again."""
    def watched(frame):
        if frame.f_code.co_name == "__init__" and type(frame.f_locals.get("self")).__name__ == "Reference":
            seen.append(frame)
            if len(seen) == 2:
                raise RuntimeError("watcher stops")

    if how == "profile":
        sys.setprofile(lambda frame, event, arg: watched(frame) if event == "call" else None)
        return lambda: sys.setprofile(None)
    return monitoring_tool(4, "raising watcher", lambda code, offset: watched(sys._getframe(1)))


@pytest.mark.parametrize("how", ["profile", "monitoring"])
def test_an_error_of_a_watcher_ends_the_export_or_is_never_met(table, how):
    """Code of the caller's that watches the interpreter runs for whatever Python
    objects the export makes: its error ends the export, with nothing stored, or
    the export makes what it makes unwatched."""
    unwatched = ParseGDS(hierarchy(), table)
    unwatched.export_cells()
    parser, seen = ParseGDS(hierarchy(), table), []
    stop = watch_reference_records(how, seen)
    try:
        parser.export_cells()
    except RuntimeError as error:
        assert str(error) == "watcher stops" and len(seen) == 2 and parser.parsed_cells is None
    else:
        assert state(parser) == state(unwatched)
    finally:
        stop()


@pytest.mark.parametrize("changed", [
    lambda values, dicts: (values, tuple(object() if type(d) is dict else d for d in dicts)),
    lambda values, dicts: (values, dicts[:-1]),
    lambda values, dicts: "not a snapshot",
], ids=["dictionaries replaced", "one short", "no snapshot"])
def test_a_changed_snapshot_sends_the_export_to_the_general_walk(table, changed):
    """Python code can reach the list that holds the export's snapshot of the module
    (through the garbage collector): whatever it holds, nothing is read from it
    unchecked."""
    import gc
    holder = next(r for r in gc.get_referents(ParseGDS.__dict__["export_cells"]) if type(r) is list)
    saved = holder[0]
    try:
        holder[0] = changed(*saved)
        walked = takes_tables_walk(ParseGDS(hierarchy(), table))
    finally:
        holder[0] = saved
    assert walked is False and takes_tables_walk(ParseGDS(hierarchy(), table))


def at_the_first(names, action):
    """A sys.monitoring tool that runs action() once, as the first object of one
    of the classes named is made; a function that takes it away again."""
    done = []

    def started(code, offset):
        if code.co_name == "__init__" and not done:
            if type(sys._getframe(1).f_locals.get("self")).__name__ in names:
                done.append(True)
                action()
    return monitoring_tool(4, "combination swap", started)


def drop_combination(parser, patch):
    parser.combine_references = lambda output: None


def empty_products(parser, patch):
    patch.setattr(KTrans, "multiply", staticmethod(lambda parent, trans: []))


def another_complex_type(parser, patch):
    patch.setattr(dbcore, "ICplxTrans", dbcore.DCplxTrans)


@pytest.mark.parametrize("export", [ParseGDS.export_cells, ParseGDS.export_layers], ids=["cells", "layers"])
@pytest.mark.parametrize("at", [("Cell", "Reference"), ("ParsedCells",), ("ParsedLayers",)],
                         ids=["first record", "cells stored", "layers stored"])
@pytest.mark.parametrize("replace", [drop_combination, empty_products, another_complex_type],
                         ids=["combine_references replaced", "KTrans.multiply replaced", "kdb.ICplxTrans rebound"])
def test_a_combination_replaced_during_the_export_ends_in_a_result_or_an_error(table, monkeypatch, replace, at,
                                                                               export):
    """A watcher can replace what the combination asks for between any two
    records it sees made: the export was decided at its start, and ends in
    records or an ordinary error."""
    with monkeypatch.context() as patch:
        parser = ParseGDS(hierarchy(), table)
        stop = at_the_first(at, lambda: replace(parser, patch))
        try:
            export(parser)
            assert parser.parsed_cells is not None
        except TypeError:
            pass
        finally:
            stop()


OUT_OF_MEMORY = """
import resource, sys
import klayout.db as kdb
import tessarand.core.show3d as show3d
from conftest import make_layout
from tessarand.core.show3d import ParseGDS

class GeneralWalk(ParseGDS):
    pass

layout = make_layout({"TOP": {}, "A": {}, "B": {(1, 0): [(0, 0, 5, 5)]}},
                     [("TOP", "A", kdb.Trans(), kdb.Vector(10, 0), kdb.Vector(0, 10), 20000, 1),
                      ("A", "B", kdb.Trans(), kdb.Vector(0, 10), kdb.Vector(10, 0), 20000, 1)])
parser = (ParseGDS if sys.argv[1] == "ParseGDS" else GeneralWalk)(
    layout, {(1, 0): show3d.PdkLayer("WG", 0.22, 0.5, "#ff0000")})
with open("/proc/self/status") as status:
    size = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize"))
resource.setrlimit(resource.RLIMIT_AS, (size + (400 << 20), resource.RLIM_INFINITY))
try:
    parser.export_cells()
except MemoryError as error:
    cells = parser.parsed_cells and [(r.name, r.trans_count) for r in parser.parsed_cells.cells[0].references]
    print(repr(error), cells, parser.instances, parser.instance_index, parser.cell_combined)
"""


@pytest.mark.skipif("ASAN_OPTIONS" in os.environ, reason="the sanitizer's shadow memory needs the address space")
def test_running_out_of_memory_while_combining_leaves_what_the_general_road_leaves(tmp_path):
    """Four hundred million products: neither road has room for them. Each in a
    process of its own, whose address space ends soon after the layout."""
    script = tmp_path / "out_of_memory.py"
    script.write_text(OUT_OF_MEMORY)
    tests = Path(__file__).parent
    # A limit above the products, so that memory itself runs out.
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(tests), *sys.path]),
           "TESSARAND_MAX_PLACEMENTS": str(10**12)}
    left = [subprocess.run([sys.executable, str(script), road], env=env, capture_output=True, text=True,
                           check=True).stdout for road in ("ParseGDS", "GeneralWalk")]
    assert left[0] == left[1]
    assert left[0].startswith("MemoryError() [('A', 20000)] [[")

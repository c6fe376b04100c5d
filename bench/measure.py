"""Measures one conversion setting (workload, mode, simplification) in this process.

bench/run.py starts this file in a fresh subprocess for every setting, so
that memory peaks of different settings never mix:

    python bench/measure.py '{"path": "chip.gds", "kit": "ebeam", "mode": "cell",
                              "tolerance": 0.01, "repeat": 3, "road": "steps"}'

"road" is "steps" (the default: the parser driven step by step, stage by
stage) or "user" (the whole user path, show3d.show3d on the GDS path, in its
own subprocess too). It prints one line "RESULT {json}" with the medians and
counts.
"""

import gc
import json
import math
import os
import resource
import statistics
import sys
import tempfile
import time
import tracemalloc
from collections import defaultdict

import klayout.db as kdb
import orjson
import shapely
from orvalis import import_gds, pdk
from tessarand.core import communication, show3d

# Simplification on and off timed in turns: pairs within this time, at most this many.
PAIRED_SECONDS, PAIRED_MOST = 3.0, 15
OUTPUTS = {"cell": show3d.Output.CELL, "layer": show3d.Output.LAYER}

# The vectorised shapely functions the parser calls once per batch. It looks
# them up on the shapely module each time, so timing wrappers put there see
# every call. Simplification is timed one level down, in shapely.lib: the
# parser simplifies in bulk only while shapely.simplify is shapely's own.
SHAPELY_CALLS = ((shapely, "linearrings"), (shapely, "polygons"),
                 (shapely.lib, "simplify_preserve_topology"), (shapely, "get_type_id"),
                 (shapely, "get_exterior_ring"), (shapely, "get_coordinates"))


class Stopwatch:
    """Seconds per stage, each lap measured from the previous one."""

    def __init__(self):
        self.times = {}
        self._last = time.perf_counter()

    def lap(self, stage):
        now = time.perf_counter()
        self.times[stage] = now - self._last
        self._last = now


class ShapelyClock:
    """Sums the time spent inside shapely's vectorised calls and counts the
    vertices handed to it."""

    def __init__(self):
        self.seconds = 0.0
        self.vertices = 0

    def install(self):
        for owner, name in SHAPELY_CALLS:
            setattr(owner, name, self._timed(name, getattr(owner, name)))

    def reset(self):
        self.seconds, self.vertices = 0.0, 0

    def _timed(self, name, function):
        def timed(*args, **kwargs):
            if name == "linearrings":
                self.vertices += len(args[0] if args else kwargs["coords"])
            start = time.perf_counter()
            try:
                return function(*args, **kwargs)
            finally:
                self.seconds += time.perf_counter() - start
        return timed


# ---- the conversion ------------------------------------------------------------------

def kit_layers(kit):
    pdk.activate_pdk(kit)
    return show3d.get_layer_properties(pdk.get_layer_stack(), pdk.get_layer_views())


def read_layout(path):
    layout = kdb.Layout()
    layout.read(str(path))
    return layout


def message_text(parser, output, watch):
    """From the parsed trees to the text of the message sent to the viewer."""
    scene = parser.to_viewer(output)
    watch.lap("to_viewer")
    data = parser.asdict(scene)
    watch.lap("asdict")
    buffers = show3d.numpy_to_buffer_json(data)
    watch.lap("buffers")
    text = orjson.dumps({"type": "data", "data": buffers, "config": {}})
    watch.lap("dumps")
    return text


def convert(layout, layers, mode, tolerance, watch):
    """The conversion as show3d runs it: the export combines as it goes."""
    parser = show3d.ParseGDS(layout, layers, curve_tolerance=tolerance)
    watch.lap("construct")
    export = parser.export_cells if mode == "cell" else parser.export_layers
    export(combine=True)
    watch.lap("export")
    return parser, message_text(parser, OUTPUTS[mode], watch)


def convert_in_stages(layout, layers, mode, tolerance, watch):
    """The same conversion with the cell walk, the layer split and the
    combination each called on its own, to time them apart."""
    parser = show3d.ParseGDS(layout, layers, curve_tolerance=tolerance)
    watch.lap("construct")
    parser.export_cells(combine=False)
    watch.lap("export")
    if mode == "layer":
        parser.export_layers(combine=False)
        watch.lap("layers")
    parser.combine_references(OUTPUTS[mode])
    watch.lap("combine")
    return parser, message_text(parser, OUTPUTS[mode], watch)


def warm_up(layers):
    """Converts a one-polygon layout in every setting, both roads, so that
    the lazy imports of the first conversion land in no measurement."""
    layout = kdb.Layout()
    cell = layout.create_cell("TOP")
    circle = [kdb.Point(round(5000 * math.cos(a / 10)), round(5000 * math.sin(a / 10)))
              for a in range(63)]
    cell.shapes(layout.layer(1, 0)).insert(kdb.Polygon(circle))
    with temporary_gds() as path:
        layout.write(path)
        for mode in OUTPUTS:
            for tolerance in (None, 0.01):
                convert(layout, layers, mode, tolerance, Stopwatch())
                convert_in_stages(layout, layers, mode, tolerance, Stopwatch())
                user_path(path, mode, tolerance)
                host_part(path)


# ---- the user path ---------------------------------------------------------------------

class temporary_gds:
    """The name of a new temporary ".gds" file (where show3d puts its own),
    removed on leaving."""

    def __enter__(self):
        with tempfile.NamedTemporaryFile(suffix=".gds", delete=False) as file:
            self.path = file.name
        return self.path

    def __exit__(self, *error):
        os.unlink(self.path)


def keep_message_sizes():
    """Stands in for the viewer: show3d looks send_message up on the
    messaging module at each call; the stand-in keeps the length of each
    message's text, so no page is written."""
    sizes = []
    communication.send_message = lambda message: sizes.append(len(message.content))
    return sizes


def user_path(path, mode, tolerance):
    """What a user runs: show3d on the GDS path with the active kit, from the
    file to the message handed to the viewer."""
    show3d.show3d(str(path), OUTPUTS[mode], curve_tolerance=tolerance)


def host_part(path):
    """The host's share of the user path: import the file, add the kit's
    derived layers, write the result to a temporary file and read it back
    with KLayout."""
    component = import_gds(str(path))
    derived = pdk.get_layer_stack().get_component_with_derived_layers(component)
    with temporary_gds() as copy:
        derived.write_gds(copy)
        read_layout(copy)


def placements(scene):
    """Placements the viewer receives: the matrices (six numbers each) of
    every leaf of a dictionary scene."""
    total, nodes = 0, [scene]
    while nodes:
        node = nodes.pop()
        if "shape" in node:
            total += node["shape"]["matrices"].size // 6
        nodes.extend(node.get("parts", ()))
    return total


# ---- memory ----------------------------------------------------------------------------

def resident_bytes():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


def reset_peak_resident():
    """Lowers the kernel's high-water mark (what ru_maxrss reports) to the
    current resident size, so the read's own peak does not hide ours."""
    try:
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")
        return True
    except OSError:
        return False


def native_peak(run):
    """Peak resident memory of run() above what was resident before it."""
    gc.collect()
    was_reset = reset_peak_resident()
    before = resident_bytes()
    run()
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    return max(0, peak - before), was_reset


def python_peak(run):
    """Peak of the Python allocations made by run() (tracemalloc)."""
    gc.collect()
    tracemalloc.start()
    try:
        run()
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


# ---- counts ------------------------------------------------------------------------------

def drawn_vertices(layout, mapping):
    """Vertices of the distinct shapes as drawn: with simplification on, the
    parser's table holds the simplified outlines instead."""
    wanted = defaultdict(set)
    for cell_index, layer, position in mapping:
        wanted[cell_index, layer].add(position)
    total = 0
    for (cell_index, layer), positions in wanted.items():
        shapes = layout.cell(cell_index).shapes(layer).each()
        for position, shape in enumerate(shapes):
            if position in positions:
                total += shape.polygon.num_points_hull()
    return total


# ---- one setting -----------------------------------------------------------------------

def timed_run(conversion, layout, layers, job, clock):
    gc.collect()
    clock.reset()
    watch = Stopwatch()
    parser, text = conversion(layout, layers, job["mode"], job["tolerance"], watch)
    watch.times["shapely"] = clock.seconds
    return watch.times, parser, text


def medians(runs):
    return {stage: statistics.median(run[stage] for run in runs) for stage in runs[0]}


def collected_seconds(run):
    """Time of run(), after a garbage collection."""
    gc.collect()
    start = time.perf_counter()
    run()
    return time.perf_counter() - start


def median_seconds(run, repeat):
    """Median time of run(), each run preceded by a garbage collection."""
    return statistics.median(collected_seconds(run) for _ in range(repeat))


def paired_ratio(run, other, least):
    """The median ratio of run() to other(), timed in turns (each preceded
    by a garbage collection): the two runs of a pair meet the same state of
    the machine, so that its slower spells cancel out. At least `least`
    pairs, more (up to PAIRED_MOST) while they take less than PAIRED_SECONDS
    in all."""
    ratios = []
    begun = time.perf_counter()
    while len(ratios) < least or (len(ratios) < PAIRED_MOST and
                                  time.perf_counter() - begun < PAIRED_SECONDS):
        ratios.append(collected_seconds(run) / collected_seconds(other))  # run first
    return statistics.median(ratios)


def time_reads(path, repeat):
    """Median time of KLayout's read, after one read that warms the file cache."""
    read_layout(path)
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        layout = read_layout(path)
        times.append(time.perf_counter() - start)
    return statistics.median(times), layout


def measure_user_path(job):
    """The user path of one setting: its memory first (in the fresh process,
    before any read), then KLayout's read, the timed runs, the host's part
    alone and the placements of the scene."""
    sizes = keep_message_sizes()
    warm_up(kit_layers(job["kit"]))
    path, mode, tolerance = job["path"], job["mode"], job["tolerance"]

    def run():
        user_path(path, mode, tolerance)

    rss_peak, rss_reset = native_peak(run)
    py_peak = python_peak(run)
    read_seconds, _ = time_reads(path, job["repeat"])
    seconds = median_seconds(run, job["repeat"])
    message = sizes[-1]
    on_off = None
    if tolerance is not None:
        # Simplification on against off, in turns in this one process: the
        # ratio of two processes' medians carries their difference too.
        on_off = paired_ratio(run, lambda: user_path(path, mode, None), job["repeat"])
    host_seconds = median_seconds(lambda: host_part(path), job["repeat"])
    scene = show3d.to_3D_viewer(path, OUTPUTS[mode], curve_tolerance=tolerance, as_dict=True)
    return {
        "read": read_seconds,
        "user_path": seconds,
        "host": host_seconds,
        "on_off": on_off,
        "placements": placements(scene),
        "message": message,
        "python_peak": py_peak,
        "rss_peak": rss_peak,
        "rss_reset": rss_reset,
    }


def measure(job):
    if job.get("road") == "user":
        return measure_user_path(job)
    keep_message_sizes()
    layers = kit_layers(job["kit"])
    warm_up(layers)
    clock = ShapelyClock()
    clock.install()
    read_seconds, layout = time_reads(job["path"], job["repeat"])

    def run():
        convert(layout, layers, job["mode"], job["tolerance"], Stopwatch())

    rss_peak, rss_reset = native_peak(run)
    py_peak = python_peak(run)
    staged, whole = [], []
    for _ in range(job["repeat"]):
        parser = text = staged_text = None  # free the last run's results first
        times, _, staged_text = timed_run(convert_in_stages, layout, layers, job, clock)
        staged.append(times)
        times, parser, text = timed_run(convert, layout, layers, job, clock)
        whole.append(times)
    return {
        "read": read_seconds,
        "stages": medians(staged),
        "convert": statistics.median(sum(t for s, t in run.items() if s != "shapely") for run in whole),
        "convert_shapely": statistics.median(run["shapely"] for run in whole),
        "shapes": len(parser.instances),
        "vertices": drawn_vertices(layout, parser.instance_mapping),
        "vertices_out": sum(len(outline) for outline in parser.instances),
        "vertices_simplified": clock.vertices,
        "message": len(text),
        "same_message": staged_text == text,
        "python_peak": py_peak,
        "rss_peak": rss_peak,
        "rss_reset": rss_reset,
    }


def profile(path, kit, mode, tolerance):
    """One conversion, for a profiler attached to this process."""
    keep_message_sizes()
    layers = kit_layers(kit)
    warm_up(layers)
    layout = read_layout(path)
    print(f"converting {path} ({mode} mode, tolerance {tolerance})", file=sys.stderr)
    watch = Stopwatch()
    _, text = convert(layout, layers, mode, tolerance, watch)
    for stage, seconds in watch.times.items():
        print(f"  {stage:<10} {seconds * 1000:10.1f} ms", file=sys.stderr)
    print(f"  message    {len(text):10,} bytes", file=sys.stderr)


def fresh_memory_for_every_run():
    """Large blocks come fresh from the system on every run, as in a one-off
    command-line run. By default glibc raises its mmap threshold after the first
    large block is freed (up to 32 MB), so repeated runs in one process would
    reuse warm memory for small messages only and time them unfairly fast."""
    import ctypes
    M_MMAP_THRESHOLD = -3
    ctypes.CDLL("libc.so.6").mallopt(M_MMAP_THRESHOLD, 128 * 1024)


if __name__ == "__main__":
    fresh_memory_for_every_run()
    print("RESULT " + json.dumps(measure(json.loads(sys.argv[1]))))

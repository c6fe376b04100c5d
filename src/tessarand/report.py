"""Runs `show3d` and reports its work: what the scene holds and how long each
stage took. Shared by the command line and the main job."""

import contextlib
import sys
import time
import webbrowser
from dataclasses import dataclass, field
from pathlib import Path
from types import SimpleNamespace
from typing import TextIO

import klayout.db as kdb
import orjson

from tessarand.core import communication
from tessarand.core import show3d

STAGES = {
    "convert": "converting the layout",
    "page": "writing the page",
}
# Progress lines start once the work has run this long (seconds), so small
# layouts print only the report.
PROGRESS_AFTER = 0.5


@dataclass
class Summary:
    cells: int = 0
    polygons: int = 0
    placements: int = 0
    layers: list[str] = field(default_factory=list)


@dataclass
class Conversion:
    path: Path
    message: object
    summary: Summary
    times: dict[str, float]


class Stopwatch:
    """Times consecutive stages; `enter` ends the running stage and starts the next."""

    def __init__(self, progress: TextIO | None):
        self.progress = progress
        self.started = self.mark = time.perf_counter()
        self.stage = "convert"
        self.times = {}

    def enter(self, stage: str | None):
        now = time.perf_counter()
        self.times[self.stage] = self.times.get(self.stage, 0.0) + now - self.mark
        self.stage, self.mark = stage, now
        if stage and self.progress and now - self.started >= PROGRESS_AFTER:
            print(f"show3d: {STAGES[stage]} ...", file=self.progress, flush=True)


def show3d_with_report(component, output, progress: TextIO | None = None, **options) -> Conversion:
    """Run `show3d.show3d(component, output, **options)`, timing the conversion and the page.

    Only the messaging service is lent to show3d for the call (a stand-in that
    notes the time, then calls the real one), so the conversion takes the same
    road as any other call. The counts are read back from the message sent.
    """
    clock, sent = Stopwatch(progress), []

    def send(message):
        clock.enter("page")
        sent.append((communication.send_message(message), message))

    with _lent_to(show3d, {"comms": SimpleNamespace(send_message=send)}):
        show3d.show3d(component, output, **options)
    clock.enter(None)
    path, message = sent[0]
    summary = count_scene(orjson.loads(message.content)["data"])
    summary.cells = _layout_of(component).cells()
    return Conversion(path, message, summary, clock.times)


def _layout_of(component) -> kdb.Layout:
    if isinstance(component, (str, Path)):
        layout = kdb.Layout()
        layout.read(str(component))
        return layout
    return component.layout


@contextlib.contextmanager
def _lent_to(module, names: dict):
    originals = {name: getattr(module, name) for name in names}
    try:
        for name, value in names.items():
            setattr(module, name, value)
        yield
    finally:
        for name, value in originals.items():
            setattr(module, name, value)


def count_scene(scene: dict) -> Summary:
    """The counts of a scene as the message carries it (arrays as buffer descriptions)."""
    leaves = list(_leaves(scene))
    summary = Summary(polygons=len(scene.get("instances", [])))
    # A leaf without matrices stands where it is: one placement.
    summary.placements = sum(max(1, leaf["shape"]["matrices"]["shape"][0] // 6) for leaf in leaves)
    # Layer mode names the layers one level below the root; cell mode names its leaves after them.
    parts = scene.get("parts", [])
    names = [node["name"] for node in parts] if scene["name"] == "Layers" else [leaf["name"] for leaf in leaves]
    summary.layers = list(dict.fromkeys(names))
    return summary


def _leaves(node):
    for child in node.get("parts", []):
        if "shape" in child:
            yield child
        else:
            yield from _leaves(child)


def print_report(conversion: Conversion, out: TextIO | None = None):
    summary, times = conversion.summary, conversion.times
    layers = ", ".join(summary.layers) or "none"
    stages = ", ".join(f"{stage} {times.get(stage, 0.0):.2f} s" for stage in STAGES)
    lines = [
        f"  cells       {summary.cells:,}",
        f"  polygons    {summary.polygons:,} distinct",
        f"  placements  {summary.placements:,}",
        f"  layers      {len(summary.layers)} shown: {layers}",
        f"  message     {len(conversion.message.content):,} characters",
        f"  time        {stages} ({sum(times.values()):.2f} s in all)",
    ]
    print("\n".join(lines), file=out or sys.stdout)


def open_page(path: Path, out: TextIO | None = None):
    """Open the page in the default browser, if this machine has one."""
    try:
        opened = webbrowser.open(path.as_uri())
    except webbrowser.Error:
        opened = False
    print("opened in the browser" if opened else "no browser found to open the page", file=out or sys.stdout)

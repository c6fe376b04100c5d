"""Runs `show3d` and reports its work: what the scene holds, which layers of the
layout it leaves out and why, and how long each stage took. Shared by the command
line and the main job."""

import contextlib
import fnmatch
import os
import re
import sys
import time
import unicodedata
from dataclasses import dataclass, field
from pathlib import Path
from typing import TextIO

import klayout.db as kdb

from orvalis import Component, import_gds
from orvalis.component import keep_only
from orvalis.pdk import activate_for_layout
from orvalis.technology import drawn_inputs
from tessarand import viewer
from tessarand.core import communication
from tessarand.core import pdk as ts_pdk
from tessarand.core import show3d
from tessarand.core.lazy import lazy_import

# Only --open needs a browser.
webbrowser = lazy_import("webbrowser")

STAGES = {
    "read": "reading",
    "derived": "computing derived layer",
    "convert": "converting the layout (walk, tree, encoding)",
    "page": "writing the page",
}
PAIR = re.compile(r"\s*(\d+)\s*/\s*(\d+)\s*")
# What a page holds and still opens comfortably (see bench/README.md, "The
# page"): the bytes of its distinct arrays, which it keeps in memory, and the
# distinct polygons and their outline points, which it turns into prisms as it
# opens.
PAGE_LIMITS = {"array_bytes": 400_000_000, "polygons": 200_000, "points": 3_000_000}


class NothingToShow(ValueError):
    """The conversion would draw nothing at all."""


@dataclass
class Summary:
    cells: int = 0
    polygons: int = 0
    placements: int = 0
    layers: list[str] = field(default_factory=list)
    points: int = 0       # outline points of the distinct polygons
    array_bytes: int = 0  # of the distinct arrays the page carries


@dataclass
class HiddenLayer:
    """A layer of the layout that the scene leaves out, and why."""

    pair: tuple[int, int]
    name: str | None
    shapes: int
    reason: str


@dataclass
class Coverage:
    """How much of the layout the scene shows; shapes as stored in the cells."""

    shown_shapes: int = 0
    total_shapes: int = 0
    shown_layers: int = 0
    total_layers: int = 0
    hidden: list[HiddenLayer] = field(default_factory=list)


@dataclass
class Conversion:
    path: Path
    message: str | None  # the message text, when asked for
    message_chars: int
    summary: Summary
    times: dict[str, float]
    coverage: Coverage | None = None
    title: str = "show3d"  # file name and top cell, as the page is headed
    top_cells: list[str] = field(default_factory=list)  # the largest (by bounding box) first


class Progress:
    """One status line on standard error, rewritten for each stage; only on a
    terminal, so logs and pipes get nothing."""

    def __init__(self, stream: TextIO | None):
        self.stream = stream if stream is not None and _is_terminal(stream) else None
        self.showing = False

    def show(self, text: str):
        if self.stream:
            self.stream.write(f"\r\x1b[Kshow3d: {text} ...")
            self.stream.flush()
            self.showing = True

    def clear(self):
        if self.stream and self.showing:
            self.stream.write("\r\x1b[K")
            self.stream.flush()
            self.showing = False


def _is_terminal(stream) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


class Stopwatch:
    """Times consecutive stages; `enter` ends the running stage and starts the next."""

    def __init__(self, progress: TextIO | None, first: str = "convert"):
        self.progress = Progress(progress)
        self.mark = time.perf_counter()
        self.stage = first
        self.times = dict.fromkeys(STAGES, 0.0)

    def enter(self, stage: str | None, detail: str = ""):
        now = time.perf_counter()
        self.times[self.stage] += now - self.mark
        self.stage, self.mark = stage, now
        if stage:
            self.progress.show(f"{STAGES[stage]} {detail}".strip())
        else:
            self.progress.clear()


def show3d_with_report(component, output, progress: TextIO | None = None, *, top: str | None = None,
                       exclude: list[str] | None = None, allow_empty: bool = True,
                       page: Path | None = None, page_dir: Path | None = None,
                       warn: TextIO | None = None, message: bool = False, new_pages: list[Path] | None = None,
                       **options) -> Conversion:
    """Convert as `show3d.show3d(component, output, **options)` does with the active
    kit and write the page of its message, timing the stages and counting what
    the scene shows of the layout. With `message`, the message text is kept too.

    A path is read here (only once, so KLayout's warnings name it once). `top`
    keeps one cell and what it places; `exclude` holds layer names, "L/D" pairs or
    wildcards, each warned about on `warn` when it matches no layer shown. Without
    `allow_empty`, a layout of which nothing would be drawn raises NothingToShow.
    The page goes to `page` when given, else to a new file in `page_dir` (by
    default the viewer folder), whose path is added to `new_pages` (when given)
    as soon as it is written, for a caller that removes it should it fail later.
    """
    clock = Stopwatch(progress, first="read")
    try:
        source, component = _component(component, top, clock)
        counts = shape_counts(component.layout)
        # Derived layers are drawn on pairs the layout leaves free.
        activate_for_layout(counts.keys())
        kit = ts_pdk.get_pdk()
        table = show3d.get_layer_properties(kit.layer_stack, kit.layer_views)
        present = _present(table, kit.layer_stack, counts)
        patterns, excluded = resolve_exclusions(exclude or [], table, present, warn or sys.stderr)
        coverage = layer_coverage(counts, kit, table, excluded)
        if not allow_empty:
            _check_something_shown(coverage, present - excluded, source, kit.name, bool(exclude))
        options["exclude_layers"] = list(options.get("exclude_layers") or []) + patterns or None
        top_cells = [cell.name for cell in sorted(component.layout.top_cells(), key=lambda c: -c.bbox().area())]
        top = top_cells_text(top_cells)
        title = f"{source} · {top}" if source else top
        name = f"{Path(source).stem}-{top}" if source else top
        pages = dict(page=page, directory=page_dir, title=title, name=name, opacity=_opacities(kit, table),
                     new=new_pages)
        empty = None if allow_empty else f"nothing to show in {source or component.name}: the scene is empty"
        path, parts, summary = _converted(component, output, kit, clock, pages, options, warn or sys.stderr,
                                          empty, message)
    finally:
        clock.progress.clear()
    summary.cells = sum(1 for _ in component.layout.each_cell())
    return Conversion(path, parts["message"], parts["message_chars"], summary, clock.times, coverage, title,
                      top_cells)


def top_cells_text(names: list[str]) -> str:
    """The name of the one top cell, or how many there are."""
    return names[0] if len(names) == 1 else f"{len(names)} top cells"


def _component(component, top: str | None, clock: Stopwatch) -> tuple[str | None, Component]:
    """(file name or None, the component to convert)."""
    if isinstance(component, (str, Path)):
        clock.enter("read", Path(component).name)
        with _klayout_messages_to_stderr():
            read = import_gds(component, top=top)
        clock.enter("convert")
        return Path(component).name, read
    clock.enter("convert")
    if top is not None:
        layout = component.layout.dup()
        keep_only(layout, top, component.name)
        return None, Component.from_layout(layout)
    return None, component


def _converted(component, output, kit, clock, pages: dict, options, warn: TextIO, empty: str | None,
               message: bool):
    """Convert as show3d does, its message in the page's form, and write the page.
    A scene without polygons raises NothingToShow(`empty`) before any page is
    written, unless `empty` is None. The kit's stack reports its derived layers.
    Returns the page's path, the converter's parts and the scene's counts."""

    def derived(detail):
        if detail:
            clock.enter("derived", detail)
        else:
            clock.enter("convert")

    with _lent_to(kit.layer_stack, {"progress": derived}):
        parts = show3d._scene_for_page(component, output, message=message, **options)
    clock.enter("page")
    if parts["packed"] is None:  # arrays the converter could not pack
        scene = viewer.packed_scene(parts["message"])
    else:
        scene = viewer.scene_from_parts(parts["packed"], parts["arrays"])
    summary = Summary(polygons=parts["polygons"], placements=parts["placements"], layers=parts["layers"],
                      points=parts["points"], array_bytes=len(parts["arrays"]))
    if empty is not None and not summary.polygons:
        raise NothingToShow(empty)
    reasons = page_warnings(summary)
    if reasons:
        clock.progress.clear()
        for reason in reasons:
            print(f"show3d: warning: the page will not open comfortably: {reason}", file=warn, flush=True)
    html = viewer.page_bytes(scene, title=pages["title"], opacity=pages["opacity"])
    path = communication.write_page(html, pages["page"], pages["name"], pages["directory"])
    if pages["page"] is None and pages["new"] is not None:
        pages["new"].append(path)
    clock.enter(None)
    return path, parts, summary


def _opacities(kit, table) -> dict[str, float]:
    """Opacity by layer name as the scene writes it ("Si (1, 0)")."""
    opacity = {}
    for view in kit.layer_views.views.values():
        pair = tuple(view.layer) if view.layer is not None else None
        if getattr(view, "opacity", None) is not None and pair in table:
            opacity[_label(pair, table)] = view.opacity
    return opacity


@contextlib.contextmanager
def _klayout_messages_to_stderr():
    """KLayout's reader writes its warnings to the process's standard output; they
    are messages, not results, so they go to standard error meanwhile."""
    sys.stdout.flush()
    saved = os.dup(1)
    os.dup2(2, 1)
    try:
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)


@contextlib.contextmanager
def _lent_to(target, names: dict):
    originals = {name: getattr(target, name) for name in names}
    try:
        for name, value in names.items():
            setattr(target, name, value)
        yield
    finally:
        for name, value in originals.items():
            setattr(target, name, value)


# ---------------------------------------------------------------- what is shown

def shape_counts(layout: kdb.Layout) -> dict[tuple[int, int], int]:
    """Shapes per (layer, datatype) as stored in the cells (a placed cell's shapes
    count once), for the layers that hold any."""
    counts = {}
    for index in layout.layer_indices():
        info = layout.get_info(index)
        shapes = sum(cell.shapes(index).size() for cell in layout.each_cell())
        if shapes:
            pair = (info.layer, info.datatype)
            counts[pair] = counts.get(pair, 0) + shapes
    return counts


def _present(table, stack, counts) -> set[tuple[int, int]]:
    """Layers of the table that may be drawn: drawn in the layout, or derived from
    layers of it."""
    present = {pair for pair in table if pair in counts}
    for _, level in stack.derived():
        target = tuple(level.derived_layer.layer)
        if target in table and drawn_inputs(level.layer) & counts.keys():
            present.add(target)
    return present


def _label(pair, table) -> str:
    """The layer's name in the scene, as the parser gives it."""
    return f"{table[pair].name} {pair}"


def resolve_exclusions(patterns: list[str], table, present, warn: TextIO):
    """The scene's names (as exact patterns) of the layers that user `patterns`
    match, and their pairs. A pattern is a layer name (any case), "L/D", or a
    wildcard on the name or on the scene's "Name (L, D)"; one that matches no layer
    shown is warned about."""
    chosen = {}
    for pattern in patterns:
        matched = [pair for pair in table if pair in present and _matches(pattern, pair, table)]
        if not matched:
            print(f"show3d: warning: --exclude {pattern!r} matches no layer shown", file=warn)
        chosen.update(dict.fromkeys(matched))
    return [_escaped(_label(pair, table)) for pair in chosen], set(chosen)


def _matches(pattern: str, pair, table) -> bool:
    numbers = PAIR.fullmatch(pattern)
    if numbers:
        return (int(numbers.group(1)), int(numbers.group(2))) == pair
    pattern = pattern.lower()
    return any(fnmatch.fnmatchcase(text.lower(), pattern) for text in (table[pair].name, _label(pair, table)))


def _escaped(name: str) -> str:
    """A wildcard pattern that matches exactly `name`."""
    return re.sub(r"([*?\[])", r"[\1]", name)


def layer_coverage(counts, kit, table, excluded) -> Coverage:
    names = {tuple(member): member.name for member in kit.layers}
    uses = _derived_uses(kit.layer_stack)
    coverage = Coverage(total_shapes=sum(counts.values()), total_layers=len(counts))
    for pair, shapes in counts.items():
        if pair in table and pair not in excluded:
            coverage.shown_shapes += shapes
            coverage.shown_layers += 1
            continue
        if pair in excluded:
            reason = "excluded"
        elif pair in uses:
            reason = "used only by derived layer" + ("s " if len(uses[pair]) > 1 else " ") + ", ".join(uses[pair])
        elif pair in names:
            reason = "no heights in the stack"
        else:
            reason = "no stack entry"
        coverage.hidden.append(HiddenLayer(pair, names.get(pair), shapes, reason))
    coverage.hidden.sort(key=lambda layer: (-layer.shapes, layer.pair))
    return coverage


def _derived_uses(stack) -> dict[tuple[int, int], list[str]]:
    uses = {}
    for name, level in stack.derived():
        for pair in sorted(drawn_inputs(level.layer)):
            uses.setdefault(pair, []).append(name)
    return uses


def _check_something_shown(coverage: Coverage, drawn, source, kit: str, excluding: bool):
    where = source or "the layout"
    if coverage.total_shapes == 0:
        raise NothingToShow(f"nothing to show in {where}: the layout has no shapes")
    if drawn:
        return
    if excluding and any(layer.reason == "excluded" for layer in coverage.hidden):
        raise NothingToShow(f"nothing to show in {where}: the --exclude patterns leave out every layer the stack shows")
    layers = ", ".join(_pair_text(layer.pair) for layer in coverage.hidden[:8])
    more = f" and {len(coverage.hidden) - 8} more" if len(coverage.hidden) > 8 else ""
    raise NothingToShow(f"nothing to show in {where}: none of its layers ({layers}{more}) "
                        f"has heights in stack {kit!r}; give a stack file for this process with --stack")


def _pair_text(pair) -> str:
    return f"{pair[0]}/{pair[1]}"


# ---------------------------------------------------------------- the page

def page_warnings(summary: Summary, limits: dict | None = None) -> list[str]:
    """Why the page of a scene with these counts will not open comfortably, one
    sentence a reason; none when it will."""
    limits = limits or PAGE_LIMITS
    size, polygons, points = summary.array_bytes, summary.polygons, summary.points
    reasons = []
    if size > limits["array_bytes"]:
        reasons.append(f"it keeps {size / 1e6:,.0f} MB of placements and outlines in memory (comfortable up to "
                       f"{limits['array_bytes'] / 1e6:,.0f} MB), so the browser may run out of memory; "
                       "leave layers out (--exclude) or show one cell (--top)")
    if polygons > limits["polygons"] or points > limits["points"]:
        reasons.append(f"it turns {polygons:,} distinct polygons ({points:,} outline points) into prisms as it "
                       f"opens (comfortable up to {limits['polygons']:,} and {limits['points']:,}), which "
                       "takes a while; leave layers out (--exclude) or keep curves simplified")
    return reasons


def print_report(conversion: Conversion, out: TextIO | None = None):
    print(report_text(conversion), file=out or sys.stdout)


def report_text(conversion: Conversion) -> str:
    """The report's lines: what the scene holds, what it leaves out, the times."""
    summary, times = conversion.summary, conversion.times
    layers = ", ".join(summary.layers) or "none"
    stages = ", ".join(f"{stage} {seconds:.2f} s" for stage, seconds in times.items())
    lines = [
        f"  cells       {summary.cells:,}",
        f"  polygons    {summary.polygons:,} distinct",
        f"  placements  {summary.placements:,}",
        f"  layers      {len(summary.layers)} shown: {layers}",
        *coverage_lines(conversion.coverage),
        f"  message     {conversion.message_chars:,} characters",
        f"  time        {stages} ({sum(times.values()):.2f} s in all)",
    ]
    return "\n".join(printable(line) for line in lines)


# Characters that a terminal takes for commands (escape sequences, bells,
# carriage returns) or that reorder text (bidirectional overrides).
_CONTROL_CATEGORIES = ("Cc", "Cf")


def printable(text: str) -> str:
    """`text` safe to print on a terminal: names from layouts and files may hold
    control characters, which are shown escaped (\\x1b) instead of obeyed."""
    if text.isprintable():
        return text
    return "".join(_escaped_character(character) for character in text)


def _escaped_character(character: str) -> str:
    if character == " " or unicodedata.category(character) not in _CONTROL_CATEGORIES:
        return character
    code = ord(character)
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}"


def coverage_lines(coverage: Coverage | None) -> list[str]:
    """The layers left out (most shapes first) and the share of shapes shown."""
    if coverage is None:
        return []
    lines = []
    for number, layer in enumerate(coverage.hidden):
        label = "not shown" if number == 0 else ""
        name = f" {layer.name}" if layer.name else ""
        shapes = f"{layer.shapes:,} shape" + ("s" if layer.shapes != 1 else "")
        lines.append(f"  {label:<11} {_pair_text(layer.pair)}{name}: {shapes} ({layer.reason})")
    share = 100.0 * coverage.shown_shapes / coverage.total_shapes if coverage.total_shapes else 0.0
    lines.append(f"  coverage    {coverage.shown_shapes:,} of {coverage.total_shapes:,} shapes shown "
                 f"({share:.1f}%), {coverage.shown_layers} of {coverage.total_layers} layers")
    return lines


def open_page(path: Path) -> str:
    """Open the page in the default browser, if this machine has one; says which."""
    try:
        opened = webbrowser.open(path.resolve().as_uri())
    except webbrowser.Error:
        opened = False
    return "opened in the browser" if opened else "no browser found to open the page"

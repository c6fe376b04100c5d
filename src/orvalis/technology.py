"""Layer stacks (heights of each layer) and layer views (display colours)."""

import heapq
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field

import klayout.db as kdb

from kelvane import LayerEnum
from orvalis.component import Component


class _LayerExpression:
    """Boolean algebra shared by drawn and derived layers."""

    def __and__(self, other: "_LayerExpression") -> "DerivedLayer":
        return DerivedLayer("and", self, other)

    def __or__(self, other: "_LayerExpression") -> "DerivedLayer":
        return DerivedLayer("or", self, other)

    def __sub__(self, other: "_LayerExpression") -> "DerivedLayer":
        return DerivedLayer("not", self, other)

    def get_region(self, layout: kdb.Layout, cell: kdb.Cell,
                   store: kdb.DeepShapeStore | None = None) -> kdb.Region:
        raise NotImplementedError


class LogicalLayer(_LayerExpression):
    """A drawn layer, named by a member of a kit's LayerEnum."""

    def __init__(self, layer: LayerEnum) -> None:
        self.layer = layer

    def get_region(self, layout: kdb.Layout, cell: kdb.Cell,
                   store: kdb.DeepShapeStore | None = None) -> kdb.Region:
        """The layer's shapes below `cell`: flattened, or kept in their cells when a
        deep shape store is given; an empty flat region if the layout lacks the layer."""
        index = layout.find_layer(self.layer.layer, self.layer.datatype)
        if index is None:
            return kdb.Region()
        shapes = cell.begin_shapes_rec(index)
        return kdb.Region(shapes, store) if store is not None else kdb.Region(shapes)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, LogicalLayer) and other.layer == self.layer

    def __hash__(self) -> int:
        return hash(self.layer)

    def __repr__(self) -> str:
        return self.layer.name


class DerivedLayer(_LayerExpression):
    """A boolean expression of layers: `&` and, `|` or, `-` not."""

    _OPERATIONS = {
        "and": lambda a, b: a & b,
        "or": lambda a, b: a | b,
        "not": lambda a, b: a - b,
    }
    _SYMBOLS = {"and": "&", "or": "|", "not": "-"}

    def __init__(self, operation: str, left: _LayerExpression, right: _LayerExpression) -> None:
        if operation not in self._OPERATIONS:
            raise ValueError(f"unknown layer operation {operation!r}")
        self.operation = operation
        self.left = left
        self.right = right

    def get_region(self, layout: kdb.Layout, cell: kdb.Cell,
                   store: kdb.DeepShapeStore | None = None) -> kdb.Region:
        left = self.left.get_region(layout, cell, store)
        # An empty left side of "and" or "not" decides the result before the
        # right side is gathered (the layer of a feature the layout lacks).
        if left.is_empty() and self.operation != "or":
            return kdb.Region()
        right = self.right.get_region(layout, cell, store)
        # An empty side decides the result without an operation, so that deep
        # regions never meet the flat empty region of an absent layer.
        if left.is_empty():  # only "or" gets here with an empty left side
            return right
        if right.is_empty():
            return kdb.Region() if self.operation == "and" else left
        return self._OPERATIONS[self.operation](left, right)

    def __repr__(self) -> str:
        return f"({self.left!r} {self._SYMBOLS[self.operation]} {self.right!r})"


@dataclass
class LayerLevel:
    """One level of the stack; heights in micrometres.

    For a derived `layer`, `derived_layer` names the drawn layer its result is
    written to.
    """

    layer: LogicalLayer | DerivedLayer
    thickness: float
    zmin: float
    derived_layer: LogicalLayer | None = None
    material: str | None = None
    info: dict = field(default_factory=dict)


class DerivedCycle(ValueError):
    """Derived levels that read each other's results: none of them can go first."""

    def __init__(self, names: list[str]) -> None:
        self.names = names  # the cycle from its earliest level, that level again at the end
        if len(names) == 2:
            problem = f"derived layer {names[0]} refers to itself"
        else:
            problem = "derived layers refer to each other in a cycle: " + " -> ".join(names)
        super().__init__(problem)


@dataclass
class LayerStack:
    layers: dict[str, LayerLevel] = field(default_factory=dict)
    # Told "name (n of m)" before each derived level is computed and None after
    # the last one, by get_component_with_derived_layers (for progress displays).
    progress: Callable[[str | None], None] | None = field(default=None, repr=False, compare=False)

    def get_component_with_derived_layers(self, component: Component) -> Component:
        """Return a copy of `component` with every derived level's result drawn in.

        Levels are evaluated in the order of `derived_levels`, so a level may use
        any other level's result. The booleans run hierarchically and once for all
        top cells: a result lands in the cells whose shapes produce it, so a cell is
        computed, and drawn into, once however often and from however many top cells
        it is placed.
        """
        layout = component.layout.dup()
        store = kdb.DeepShapeStore()
        store.threads = 0  # on the calling thread: handing small jobs to workers costs far more
        derived = self.derived_levels()
        with _every_top(layout) as tops:
            for number, (name, level) in enumerate(derived, start=1):
                if self.progress:
                    self.progress(f"{name} ({number} of {len(derived)})")
                _draw_derived(layout, level.layer, level.derived_layer, store, tops)
        if self.progress:
            self.progress(None)
        return Component.from_layout(layout)

    def derived(self) -> list[tuple[str, LayerLevel]]:
        """The derived levels as (name, level), in the order of `layers`."""
        return [(name, level) for name, level in self.layers.items()
                if isinstance(level.layer, DerivedLayer) and level.derived_layer is not None]

    def derived_levels(self) -> list[tuple[str, LayerLevel]]:
        """The derived levels as (name, level), in the order to compute them: each
        after every derived level whose result it reads, in the order of `layers`
        otherwise. DerivedCycle when some of them read each other's results."""
        derived = self.derived()
        reads = _reads([level for _, level in derived])
        order = _dependency_order(reads)
        if len(order) < len(derived):
            cycle = _cycle_among(reads, set(range(len(derived))) - set(order))
            raise DerivedCycle([derived[index][0] for index in cycle])
        return [derived[index] for index in order]


def drawn_inputs(expression: _LayerExpression) -> set[tuple[int, int]]:
    """The (layer, datatype) pairs an expression reads; a loop, as an expression
    built in code may be deeper than Python's recursion."""
    pairs, pending = set(), [expression]
    while pending:
        node = pending.pop()
        if isinstance(node, DerivedLayer):
            pending += (node.left, node.right)
        else:
            pairs.add(tuple(node.layer))
    return pairs


def _reads(levels: list[LayerLevel]) -> list[list[int]]:
    """For each derived level, the indices of the derived levels whose results it reads."""
    writers: dict[tuple[int, int], list[int]] = {}
    for index, level in enumerate(levels):
        writers.setdefault(tuple(level.derived_layer.layer), []).append(index)
    return [sorted({writer for pair in drawn_inputs(level.layer) for writer in writers.get(pair, ())})
            for level in levels]


def _dependency_order(reads: list[list[int]]) -> list[int]:
    """Indices ordered so that each comes after those it reads, the lowest ready index
    first (Kahn's algorithm with a heap). Those in a cycle, or reading the result of
    one, never become ready and are left out."""
    waiting = [len(needs) for needs in reads]
    readers: list[list[int]] = [[] for _ in reads]
    for index, needs in enumerate(reads):
        for need in needs:
            readers[need].append(index)
    ready = [index for index, count in enumerate(waiting) if count == 0]  # ascending: a heap
    order = []
    while ready:
        index = heapq.heappop(ready)
        order.append(index)
        for reader in readers[index]:
            waiting[reader] -= 1
            if waiting[reader] == 0:
                heapq.heappush(ready, reader)
    return order


def _cycle_among(reads: list[list[int]], stuck: set[int]) -> list[int]:
    """A cycle among `stuck` indices (each reads another stuck one), from its lowest
    index and back to it."""
    path, seen = [], {}
    index = min(stuck)
    while index not in seen:
        seen[index] = len(path)
        path.append(index)
        index = min(need for need in reads[index] if need in stuck)
    cycle = path[seen[index]:]
    first = cycle.index(min(cycle))
    cycle = cycle[first:] + cycle[:first]
    return cycle + [cycle[0]]


# Room between top cells placed side by side, in database units.
_TOP_GAP = 1000
# Side by side they must stay well inside KLayout's 32-bit coordinates.
_TOP_ROW_LIMIT = 1 << 30


@contextmanager
def _every_top(layout: kdb.Layout) -> Iterator[list[kdb.Cell]]:
    """The cells to evaluate the booleans from: the only top cell, or a holder
    cell that places every top cell beside the others, apart, so that no shapes
    of two top cells meet (removed again afterwards). Top cells too wide to be
    lined up are evaluated one by one instead."""
    tops = layout.top_cells()
    # Every box before the first placement: each placement makes KLayout
    # compute the boxes anew at the next query.
    drawn = [(top, box) for top in tops if not (box := top.bbox()).empty()]
    width = sum(box.width() + _TOP_GAP for _, box in drawn)
    if len(tops) < 2 or width > _TOP_ROW_LIMIT:
        yield tops
        return
    holder = layout.create_cell("$derived_layers")
    x = 0
    for top, box in drawn:
        holder.insert(kdb.CellInstArray(top.cell_index(), kdb.Trans(x - box.left, 0)))
        x += box.width() + _TOP_GAP
    try:
        yield [holder]
    finally:
        layout.delete_cell(holder.cell_index())


def _draw_derived(layout: kdb.Layout, expression: DerivedLayer, target: LogicalLayer,
                  store: kdb.DeepShapeStore, tops: list[kdb.Cell]) -> None:
    index = layout.layer(target.layer.layer, target.layer.datatype)
    for top in tops:
        region = expression.get_region(layout, top, store)
        if not region.is_empty():
            region.insert_into(layout, top.cell_index(), index)


class Color:
    """An RGB colour, from "#rrggbb" text or three 0-255 integers."""

    def __init__(self, r: int | str, g: int | None = None, b: int | None = None) -> None:
        if isinstance(r, str):
            r, g, b = _parse_hex(r)
        elif g is None or b is None:
            raise ValueError("Color needs '#rrggbb' text or three integers")
        for channel in (r, g, b):
            if not 0 <= channel <= 255:
                raise ValueError(f"colour channel out of range: {channel}")
        self.r, self.g, self.b = int(r), int(g), int(b)

    def as_hex(self) -> str:
        return f"#{self.r:02x}{self.g:02x}{self.b:02x}"

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Color) and (self.r, self.g, self.b) == (other.r, other.g, other.b)

    def __hash__(self) -> int:
        return hash((self.r, self.g, self.b))

    def __repr__(self) -> str:
        return f"Color({self.as_hex()!r})"


def _parse_hex(text: str) -> tuple[int, int, int]:
    digits = text.removeprefix("#")
    if len(digits) != 6:
        raise ValueError(f"expected '#rrggbb', got {text!r}")
    value = int(digits, 16)
    return value >> 16, (value >> 8) & 0xFF, value & 0xFF


@dataclass
class LayerView:
    """How one (layer, datatype) is drawn; `fill_color` may be given as text and
    `opacity` (0 to 1) is None for the viewer's default."""

    name: str = ""
    layer: tuple[int, int] | LayerEnum | None = None
    fill_color: Color | str | None = None
    opacity: float | None = None

    def __post_init__(self) -> None:
        if isinstance(self.fill_color, str):
            self.fill_color = Color(self.fill_color)


class LayerViews:
    """A kit's views, looked up by (layer, datatype)."""

    def __init__(self, views: dict[str, LayerView] | list[LayerView] | None = None) -> None:
        views = views or {}
        self.views = dict(views) if isinstance(views, dict) else {v.name: v for v in views}
        self._index: dict[tuple[int, int], tuple[str, LayerView]] = {}
        self._indexed: tuple[int, int] | None = None  # (id, size) of the `views` indexed

    def get_from_tuple(self, layer_tuple: tuple[int, int]) -> LayerView:
        """The view of (layer, datatype), the first one when several share it; KeyError
        when the kit has none."""
        key = tuple(layer_tuple)
        found = self._indexed_view(key)
        if found is not None:
            return found
        for view in self.views.values():  # a view added or changed in place since
            if view.layer is not None and tuple(view.layer) == key:
                return view
        raise KeyError(f"no layer view for {key}")

    def _indexed_view(self, key: tuple[int, int]) -> LayerView | None:
        """The view of `key` from an index of `views`, made again when `views` is
        replaced or changes size: a scan per lookup made a kit of thousands of layers
        take minutes. None when the index has no view, or a stale one, for `key`."""
        if self._indexed != (id(self.views), len(self.views)):
            self._index = {}
            for name, view in self.views.items():
                if view.layer is not None:
                    self._index.setdefault(tuple(view.layer), (name, view))
            self._indexed = (id(self.views), len(self.views))
        name, view = self._index.get(key, (None, None))
        if view is None or self.views.get(name) is not view or view.layer is None:
            return None
        return view if tuple(view.layer) == key else None

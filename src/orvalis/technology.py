"""Layer stacks (heights of each layer) and layer views (display colours)."""

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


@dataclass
class LayerStack:
    layers: dict[str, LayerLevel] = field(default_factory=dict)
    # Told "name (n of m)" before each derived level is computed and None after
    # the last one, by get_component_with_derived_layers (for progress displays).
    progress: Callable[[str | None], None] | None = field(default=None, repr=False, compare=False)

    def get_component_with_derived_layers(self, component: Component) -> Component:
        """Return a copy of `component` with every derived level's result drawn in.

        Levels are evaluated in order, so a level may use an earlier one's result.
        The booleans run hierarchically and once for all top cells: a result lands
        in the cells whose shapes produce it, so a cell is computed, and drawn into,
        once however often and from however many top cells it is placed.
        """
        layout = component.layout.dup()
        store = kdb.DeepShapeStore()
        store.threads = 0  # on the calling thread: handing small jobs to workers costs far more
        derived = [(name, level) for name, level in self.layers.items()
                   if isinstance(level.layer, DerivedLayer) and level.derived_layer is not None]
        with _every_top(layout) as tops:
            for number, (name, level) in enumerate(derived, start=1):
                if self.progress:
                    self.progress(f"{name} ({number} of {len(derived)})")
                _draw_derived(layout, level.layer, level.derived_layer, store, tops)
        if self.progress:
            self.progress(None)
        return Component.from_layout(layout)


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

    def get_from_tuple(self, layer_tuple: tuple[int, int]) -> LayerView:
        """The view of (layer, datatype); KeyError when the kit has none."""
        key = tuple(layer_tuple)
        for view in self.views.values():
            if view.layer is not None and tuple(view.layer) == key:
                return view
        raise KeyError(f"no layer view for {key}")

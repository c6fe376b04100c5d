"""Layer-stack files: a process described in TOML becomes a kit (`Pdk`).

    name = "myprocess"            # optional; the file name without suffix otherwise

    [[layer]]
    name = "Metal1"               # optional when a .lyp file names the layer
    gds = "8/0"                   # GDS layer/datatype
    zmin = 1.04                   # bottom, micrometres
    thickness = 0.42              # micrometres
    color = "#39bfff"             # optional: from the .lyp file, else a palette colour
    opacity = 0.8                 # optional, 0 to 1

    [[layer]]
    name = "pSD"
    gds = "14/0"                  # no heights: named, used by derived layers, not drawn

    [[layer]]
    name = "Rppd"
    derived = "(SalBlock & pSD) - nSD"   # & and, | or, - not; parentheses group
    gds = "1002/0"                # optional: where the result is drawn
    zmin = 0.4
    thickness = 0.14

Every error names the file, the line and the key, and says what was expected.
"""

import re
import tomllib
from collections.abc import Collection
from dataclasses import dataclass
from functools import partial
from pathlib import Path

from kelvane import LayerEnum
from orvalis.pdk import Pdk
from orvalis.technology import (Color, DerivedCycle, LayerLevel, LayerStack, LayerView,
                                LayerViews, LogicalLayer)

LAYER_KEYS = ("name", "gds", "zmin", "thickness", "color", "opacity", "derived")
TOP_KEYS = ("name", "description", "layer")
# Derived results with no `gds` of their own go to the first free pair from here on.
FIRST_DERIVED_PAIR = (1000, 0)
# Colours for drawn layers that neither the stack nor a .lyp file colours.
PALETTE = ("#e41a1c", "#377eb8", "#4daf4a", "#984ea3", "#ff7f00", "#a6761d", "#f781bf", "#999999")
NAME = re.compile(r"[A-Za-z][A-Za-z0-9_.$]*")
PAIR = re.compile(r"\s*(\d+)\s*/\s*(\d+)\s*")
# Heights in micrometres stay within 1 mm of the substrate: far beyond any process,
# and far from where the viewer's arithmetic loses its precision.
HEIGHT_LIMIT = 1000.0
# KLayout's layer and datatype numbers are 32-bit signed integers.
MAX_LAYER_NUMBER = 2**31 - 1
# Deepest nesting of a derived expression, in parentheses or in operators chained
# one after another: reading and evaluating it recurse that deep.
MAX_NESTING = 100
HEADER = re.compile(r"\s*\[\[\s*layer\s*\]\]")
KEY = re.compile(r"\s*([A-Za-z_][\w-]*)\s*=")


class StackFileError(ValueError):
    """A layer-stack file that cannot be used; the message says where and why."""


@dataclass
class _Entry:
    """One [[layer]] table, checked."""

    name: str | None
    pair: tuple[int, int] | None
    zmin: float | None
    thickness: float | None
    color: str | None
    opacity: float | None
    derived: str | None
    label: str  # "layer 3 (line 14)"
    where: str  # "file, layer 3 (line 14)": prefix of messages about this entry
    key_lines: dict[str, int]

    def at(self, key: str) -> str:
        return _at(self.where, self.key_lines, key)


def load_stack(path: str | Path, lyp: str | Path | None = None, name: str | None = None,
               occupied: Collection[tuple[int, int]] = frozenset()) -> Pdk:
    """The kit described by the stack file at `path`; colours and names missing from
    it are taken from the KLayout layer-properties file `lyp` when one is given.
    Derived layers are kept off the (layer, datatype) pairs `occupied` (see parse_stack)."""
    path = Path(path)
    text = _read_text(path, "stack file")
    properties = {}
    if lyp is not None:
        from orvalis.lyp import read_lyp
        properties = read_lyp(lyp)
    return parse_stack(text, source=path.name, default_name=name or path.stem, lyp=properties,
                       occupied=occupied)


def parse_stack(text: str, source: str = "<stack>", default_name: str = "stack",
                lyp: dict | None = None, occupied: Collection[tuple[int, int]] = frozenset(),
                move_derived: bool = False) -> Pdk:
    """The kit described by stack-file `text`; `source` names it in messages and
    `lyp` maps (layer, datatype) to (name, "#rrggbb") pairs from a .lyp file.

    `occupied` holds the pairs a layout has shapes on: derived layers without a `gds`
    of their own are drawn on free pairs besides these, and one whose `gds` is among
    them is refused (the layout's shapes would be drawn as its result), or with
    `move_derived` moved to a free pair too (for the built-in kits, whose files the
    user cannot change). The kit's `rebuild` builds it again from the same text for
    other occupied pairs.
    """
    text = text.removeprefix("\ufeff")  # the byte-order mark some editors write
    document = _document(text, source)
    _check_keys(document, TOP_KEYS, source, "top level")
    name = _optional_text(document, "name", source) or default_name
    _optional_text(document, "description", source)
    entries = _entries(document, text, source, lyp or {})
    occupied = frozenset(map(tuple, occupied))
    kit = _build(name, entries, source, occupied, move_derived)
    kit.rebuild = partial(parse_stack, text, source, default_name, lyp, move_derived=move_derived)
    kit.avoided = occupied
    return kit


def _document(text: str, source: str) -> dict:
    try:
        return tomllib.loads(text)
    except tomllib.TOMLDecodeError as error:
        raise StackFileError(f"{source}: not valid TOML: {error}") from None
    except ValueError:  # an integer of more digits than Python converts
        raise StackFileError(f"{source}: not valid TOML: a number too long to read") from None
    except RecursionError:
        raise StackFileError(f"{source}: not valid TOML: arrays or tables nested too deeply") from None


def _read_text(path: Path, what: str) -> str:
    if path.is_dir():
        raise StackFileError(f"{path} is a directory, not a {what}")
    try:
        return path.read_text(encoding="utf-8")
    except FileNotFoundError:
        raise StackFileError(f"no {what} at {path}") from None
    except UnicodeDecodeError:
        raise StackFileError(f"{path} is not a text file (a {what} is TOML text)") from None
    except OSError as error:
        raise StackFileError(f"cannot read {what} {path}: {error.strerror}") from None


def _entries(document: dict, text: str, source: str, lyp: dict) -> list[_Entry]:
    tables = document.get("layer")
    if not isinstance(tables, list) or not tables:
        raise StackFileError(f'{source}: no layers: expected one or more [[layer]] tables')
    located = _layer_key_lines(text)
    if len(located) != len(tables):  # a "[[layer]]" line inside a multi-line string
        located = [(None, {})] * len(tables)  # no line rather than a wrong one
    entries = []
    for number, (table, (line, key_lines)) in enumerate(zip(tables, located), start=1):
        label = f"layer {number}" + (f" (line {line})" if line else "")
        entries.append(_entry(table, label, f"{source}, {label}", key_lines, lyp))
    return entries


def _layer_key_lines(text: str) -> list[tuple[int, dict[str, int]]]:
    """(header line, {key: line}) of each [[layer]] table, in order, in one pass.
    Lines end at "\\n" only, as in TOML (str.splitlines also breaks at characters
    such as U+2028, which a string may hold)."""
    tables, keys = [], None
    for number, line in enumerate(text.split("\n"), start=1):
        if HEADER.match(line):
            keys = {}
            tables.append((number, keys))
        elif line.lstrip().startswith("["):
            keys = None  # another table's keys
        elif keys is not None and (key := KEY.match(line)):
            keys.setdefault(key.group(1), number)
    return tables


def _at(where: str, key_lines: dict[str, int], key: str) -> str:
    """The prefix of messages about `key`: "file, layer 3 (line 14), key 'zmin' (line 16)"."""
    line = key_lines.get(key)
    return f"{where}, key {key!r}" + (f" (line {line})" if line else "")


def _entry(table, label: str, where: str, key_lines: dict[str, int], lyp: dict) -> _Entry:
    if not isinstance(table, dict):
        raise StackFileError(f"{where}: expected a [[layer]] table")
    at = partial(_at, where, key_lines)
    _check_keys(table, LAYER_KEYS, where, "a [[layer]] table")
    pair = _pair(table, at)
    derived = table.get("derived")
    if derived is not None and not (isinstance(derived, str) and derived.strip()):
        raise StackFileError(f"{at('derived')}: expected an expression such as \"A & B\", got {_shown(derived)}")
    if pair is None and derived is None:
        raise StackFileError(f'{where}: missing key \'gds\': expected the layer/datatype, such as "1/0"')
    lyp_name, lyp_color = lyp.get(pair, (None, None))
    if lyp_name is not None and not NAME.fullmatch(lyp_name):
        lyp_name = None  # a display text such as "Si 1/0" cannot name a layer here
    name = table.get("name", lyp_name)
    if name is None and pair is None:
        raise StackFileError(f"{where}: missing key 'name': a derived layer without 'gds' needs a name")
    if name is None:
        name = f"L{pair[0]}_{pair[1]}"
    if not isinstance(name, str) or not NAME.fullmatch(name):
        raise StackFileError(f"{at('name')}: expected a name of letters, digits, '_', '.' or '$' "
                             f"starting with a letter, got {_shown(name)}")
    zmin, thickness = _heights(table, where, at)
    if derived is not None and zmin is None:
        raise StackFileError(f"{where}: missing keys 'zmin' and 'thickness': a derived layer is drawn")
    color = _color(table, at) or lyp_color
    opacity = _number(table, "opacity", at)
    if opacity is not None and not 0 <= opacity <= 1:  # also refuses nan
        raise StackFileError(f"{at('opacity')}: expected a number from 0 to 1, got {opacity}")
    return _Entry(name, pair, zmin, thickness, color, opacity, derived, label, where, key_lines)


def _heights(table: dict, where: str, at) -> tuple[float | None, float | None]:
    """(zmin, thickness), both finite and within HEIGHT_LIMIT, or both None."""
    zmin, thickness = _number(table, "zmin", at), _number(table, "thickness", at)
    if (zmin is None) != (thickness is None):
        missing = "thickness" if thickness is None else "zmin"
        raise StackFileError(f"{where}: missing key {missing!r}: a drawn layer needs both zmin and thickness")
    if zmin is None:
        return None, None
    limit = f"{HEIGHT_LIMIT:g} µm"
    # Written as "not inside" so that nan, which compares false, is refused too.
    if not abs(zmin) <= HEIGHT_LIMIT:
        raise StackFileError(f"{at('zmin')}: expected a finite height within ±{limit}, got {zmin}")
    if not 0 < thickness <= HEIGHT_LIMIT:
        raise StackFileError(f"{at('thickness')}: expected a positive thickness of at most {limit}, "
                             f"got {thickness}")
    if zmin + thickness > HEIGHT_LIMIT:
        raise StackFileError(f"{where}: expected the top, zmin + thickness, within ±{limit}, "
                             f"got {zmin:g} + {thickness:g} = {zmin + thickness:g}")
    return zmin, thickness


def _check_keys(table: dict, known: tuple[str, ...], where: str, what: str):
    for key in table:
        if key not in known:
            raise StackFileError(f"{where}: unknown key {key!r} in {what} (known: {', '.join(known)})")


def _optional_text(table: dict, key: str, where: str) -> str | None:
    value = table.get(key)
    if value is not None and not isinstance(value, str):
        raise StackFileError(f"{where}: key {key!r}: expected text, got {_shown(value)}")
    return value


def _pair(table: dict, at) -> tuple[int, int] | None:
    value = table.get("gds")
    if value is None:
        return None
    match = PAIR.fullmatch(value) if isinstance(value, str) else None
    if not match:
        raise StackFileError(f'{at("gds")}: expected layer/datatype text such as "1/0", got {_shown(value)}')
    # Lengths first: Python refuses to convert very long digit strings.
    numbers = [digits.lstrip("0") or "0" for digits in match.groups()]
    if any(len(digits) > 10 or int(digits) > MAX_LAYER_NUMBER for digits in numbers):
        raise StackFileError(f"{at('gds')}: expected layer and datatype numbers of at most "
                             f"{MAX_LAYER_NUMBER}, got {_shown(value)}")
    return int(numbers[0]), int(numbers[1])


def _number(table: dict, key: str, at) -> float | None:
    value = table.get(key)
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise StackFileError(f"{at(key)}: expected a number, got {_shown(value)}")
    try:
        return float(value)
    except OverflowError:  # an integer beyond every float, so beyond every bound too
        return float("inf") if value > 0 else float("-inf")


def _color(table: dict, at) -> str | None:
    value = table.get("color")
    if value is None:
        return None
    if not (isinstance(value, str) and re.fullmatch(r"#[0-9A-Fa-f]{6}", value)):
        raise StackFileError(f'{at("color")}: expected "#rrggbb", got {_shown(value)}')
    return value.lower()


def _shown(value) -> str:
    """`value` as the message quotes it: its repr, shortened when long."""
    text = repr(value)
    return text if len(text) <= 60 else text[:57] + "..."


def _build(name: str, entries: list[_Entry], source: str, occupied: frozenset, move_derived: bool) -> Pdk:
    _check_unique(entries)
    if move_derived:
        _release_occupied(entries, occupied)
    _check_free(entries, occupied)
    _place_derived(entries, occupied)
    enum = _layer_enum(entries, source)
    members = {entry.name: enum[entry.name] for entry in entries}
    layers = _logical_layers(members)
    levels, views = {}, {}
    palette = iter(PALETTE * (len(entries) // len(PALETTE) + 1))
    for entry in entries:
        if entry.zmin is None:
            continue  # named only
        target = LogicalLayer(members[entry.name])
        if entry.derived is None:
            levels[entry.name] = LayerLevel(layer=target, thickness=entry.thickness, zmin=entry.zmin)
        else:
            expression = parse_expression(entry.derived, layers, entry.where)
            levels[entry.name] = LayerLevel(layer=expression, thickness=entry.thickness,
                                            zmin=entry.zmin, derived_layer=target)
        colour = entry.color or next(palette)
        views[entry.name] = LayerView(name=entry.name, layer=members[entry.name],
                                      fill_color=Color(colour), opacity=entry.opacity)
    stack = LayerStack(layers=levels)
    _check_acyclic(stack, entries)
    return Pdk(name, enum, stack, LayerViews(views=views))


def _check_acyclic(stack: LayerStack, entries: list[_Entry]):
    """Derived layers that read each other's results have no order to be computed in."""
    try:
        stack.derived_levels()
    except DerivedCycle as cycle:
        first = next(entry for entry in entries if entry.name == cycle.names[0])
        raise StackFileError(f"{first.where}: {cycle}") from None


def _check_unique(entries: list[_Entry]):
    names, pairs = {}, {}
    for entry in entries:
        earlier = names.setdefault(entry.name.lower(), entry)
        if earlier is not entry:
            raise StackFileError(f"{entry.where}: name {entry.name!r} is already used by {earlier.label}")
        if entry.pair is not None:
            earlier = pairs.setdefault(entry.pair, entry)
            if earlier is not entry:
                raise StackFileError(f"{entry.where}: gds {_text(entry.pair)} is already used by "
                                     f"{earlier.label} ({earlier.name})")


def _release_occupied(entries: list[_Entry], occupied: frozenset):
    """Let derived layers whose own pairs are occupied be placed like those without."""
    for entry in entries:
        if entry.derived is not None and entry.pair in occupied:
            entry.pair = None


def _check_free(entries: list[_Entry], occupied: frozenset):
    """A derived layer drawn on a pair the layout uses would show the layout's shapes
    there as its result."""
    for entry in entries:
        if entry.derived is not None and entry.pair in occupied:
            raise StackFileError(f"{entry.at('gds')}: {_text(entry.pair)} already holds shapes in the layout; "
                                 "a derived layer needs a pair of its own")


def _place_derived(entries: list[_Entry], occupied: frozenset):
    """Give derived layers without a `gds` of their own the first pairs that neither
    the stack nor the layout (`occupied`) uses."""
    used = {entry.pair for entry in entries if entry.pair is not None} | occupied
    layer, datatype = FIRST_DERIVED_PAIR
    for entry in entries:
        if entry.pair is None:
            while (layer, datatype) in used:
                layer += 1
            entry.pair = (layer, datatype)
            used.add(entry.pair)


def _layer_enum(entries: list[_Entry], source: str) -> type:
    try:
        return LayerEnum("LAYER", [(entry.name, entry.pair) for entry in entries])
    except ValueError as error:  # a name the enumeration reserves, such as "mro"
        raise StackFileError(f"{source}: {error}: a name Python's enumerations reserve; "
                             "rename the layer") from None


def _logical_layers(members: dict) -> dict[str, LogicalLayer]:
    return {name.lower(): LogicalLayer(member) for name, member in members.items()}


def _text(pair: tuple[int, int]) -> str:
    return f"{pair[0]}/{pair[1]}"


# ---------------------------------------------------------------- derived expressions

TOKEN = re.compile(r"\s*(?:([&|()\-])|([^\s&|()\-]+))")
# Python's precedence, as in kit code: `-` before `&` before `|`, each left to right.
BINDING = {"|": 1, "&": 2, "-": 3}
OPERATIONS = {"&": lambda a, b: a & b, "|": lambda a, b: a | b, "-": lambda a, b: a - b}


def parse_expression(text: str, layers: dict[str, LogicalLayer], where: str = "expression"):
    """The layer expression `text` over `layers` (keyed by lower-case name)."""
    reader = _ExpressionReader(text, layers, where)
    expression, _, position = reader.expression(0, 0, 0)
    if position != len(reader.tokens):
        reader.fail(f"unexpected {_shown(reader.tokens[position])} in {_shown(text)}")
    if isinstance(expression, LogicalLayer):
        reader.fail(f"expected an expression with &, | or -, got the one layer {_shown(text)}")
    return expression


def _tokens(text: str) -> list[str]:
    tokens, position = [], 0
    text = text.rstrip()
    while position < len(text):
        match = TOKEN.match(text, position)
        tokens.append(match.group(1) or match.group(2))
        position = match.end()
    return tokens


class _ExpressionReader:
    """Precedence climbing over the tokens of one expression. Each step returns
    (expression, its depth in operations, position after it); `parentheses` counts
    the open ones."""

    def __init__(self, text: str, layers: dict[str, LogicalLayer], where: str):
        self.text, self.layers, self.where = text, layers, where
        self.tokens = _tokens(text)

    def fail(self, problem: str):
        raise StackFileError(f"{self.where}: {problem}")

    def too_deep(self):
        self.fail(f"expression {_shown(self.text)} nests deeper than {MAX_NESTING} levels "
                  "of parentheses and operators")

    def expression(self, position: int, min_binding: int, parentheses: int):
        left, depth, position = self.operand(position, parentheses)
        tokens = self.tokens
        while position < len(tokens) and BINDING.get(tokens[position], 0) > min_binding:
            operator = tokens[position]
            right, right_depth, position = self.expression(position + 1, BINDING[operator], parentheses)
            left, depth = OPERATIONS[operator](left, right), max(depth, right_depth) + 1
            if depth > MAX_NESTING:  # evaluation recurses once per level
                self.too_deep()
        return left, depth, position

    def operand(self, position: int, parentheses: int):
        if position >= len(self.tokens):
            self.fail(f"expression {_shown(self.text)} ends where a layer name was expected")
        token = self.tokens[position]
        if token == "(":
            if parentheses == MAX_NESTING:  # reading recurses once per parenthesis
                self.too_deep()
            inner, depth, position = self.expression(position + 1, 0, parentheses + 1)
            if position >= len(self.tokens) or self.tokens[position] != ")":
                self.fail(f"missing ')' in {_shown(self.text)}")
            return inner, depth, position + 1
        if token in BINDING or token == ")":
            self.fail(f"expected a layer name in {_shown(self.text)}, got {token!r}")
        layer = self.layers.get(token.lower())
        if layer is None:
            self.fail(f"unknown layer {_shown(token)} in {_shown(self.text)} "
                      "(expected the name of a [[layer]] of this file)")
        return layer, 0, position + 1

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
from dataclasses import dataclass
from pathlib import Path

from kelvane import LayerEnum
from orvalis.pdk import Pdk
from orvalis.technology import (Color, LayerLevel, LayerStack, LayerView, LayerViews,
                                LogicalLayer)

LAYER_KEYS = ("name", "gds", "zmin", "thickness", "color", "opacity", "derived")
TOP_KEYS = ("name", "description", "layer")
# Derived results with no `gds` of their own go to the first free pair from here on.
FIRST_DERIVED_PAIR = (1000, 0)
# Colours for drawn layers that neither the stack nor a .lyp file colours.
PALETTE = ("#e41a1c", "#377eb8", "#4daf4a", "#984ea3", "#ff7f00", "#a6761d", "#f781bf", "#999999")
NAME = re.compile(r"[A-Za-z][A-Za-z0-9_.$]*")
PAIR = re.compile(r"\s*(\d+)\s*/\s*(\d+)\s*")


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


def load_stack(path: str | Path, lyp: str | Path | None = None, name: str | None = None) -> Pdk:
    """The kit described by the stack file at `path`; colours and names missing from
    it are taken from the KLayout layer-properties file `lyp` when one is given."""
    path = Path(path)
    text = _read_text(path, "stack file")
    properties = {}
    if lyp is not None:
        from orvalis.lyp import read_lyp
        properties = read_lyp(lyp)
    return parse_stack(text, source=path.name, default_name=name or path.stem, lyp=properties)


def parse_stack(text: str, source: str = "<stack>", default_name: str = "stack",
                lyp: dict | None = None) -> Pdk:
    """The kit described by stack-file `text`; `source` names it in messages and
    `lyp` maps (layer, datatype) to (name, "#rrggbb") pairs from a .lyp file."""
    try:
        document = tomllib.loads(text)
    except tomllib.TOMLDecodeError as error:
        raise StackFileError(f"{source}: not valid TOML: {error}") from None
    _check_keys(document, TOP_KEYS, source, "top level")
    name = _optional_text(document, "name", source) or default_name
    entries = _entries(document, text, source, lyp or {})
    return _build(name, entries, source)


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
    lines = _layer_lines(text)
    entries = []
    for number, table in enumerate(tables, start=1):
        line = lines[number - 1] if number <= len(lines) else None
        label = f"layer {number}" + (f" (line {line})" if line else "")
        entries.append(_entry(table, label, f"{source}, {label}", _key_lines(text, line), lyp))
    return entries


def _layer_lines(text: str) -> list[int]:
    """Line numbers of the [[layer]] headers, in order."""
    header = re.compile(r"\s*\[\[\s*layer\s*\]\]")
    return [n for n, line in enumerate(text.splitlines(), start=1) if header.match(line)]


def _key_lines(text: str, header_line: int | None) -> dict[str, int]:
    """Line of each key of the table whose header is on `header_line`."""
    found = {}
    if header_line is None:
        return found
    for n, line in enumerate(text.splitlines()[header_line:], start=header_line + 1):
        if line.lstrip().startswith("["):
            break
        key = re.match(r"\s*([A-Za-z_][\w-]*)\s*=", line)
        if key:
            found.setdefault(key.group(1), n)
    return found


def _entry(table, label: str, where: str, key_lines: dict[str, int], lyp: dict) -> _Entry:
    if not isinstance(table, dict):
        raise StackFileError(f"{where}: expected a [[layer]] table")

    def at(key):  # "layer 3 (line 14), key 'zmin' (line 16)"
        line = key_lines.get(key)
        return f"{where}, key {key!r}" + (f" (line {line})" if line else "")

    _check_keys(table, LAYER_KEYS, where, "a [[layer]] table")
    pair = _pair(table, at)
    derived = table.get("derived")
    if derived is not None and not (isinstance(derived, str) and derived.strip()):
        raise StackFileError(f"{at('derived')}: expected an expression such as \"A & B\", got {derived!r}")
    if pair is None and derived is None:
        raise StackFileError(f'{where}: missing key \'gds\': expected the layer/datatype, such as "1/0"')
    lyp_name, lyp_color = lyp.get(pair, (None, None))
    if lyp_name is not None and not NAME.fullmatch(lyp_name):
        lyp_name = None  # a display text such as "Si 1/0" cannot name a layer here
    name = table.get("name", lyp_name)
    if name is None:
        name = f"L{pair[0]}_{pair[1]}"
    if not isinstance(name, str) or not NAME.fullmatch(name):
        raise StackFileError(f"{at('name')}: expected a name of letters, digits, '_', '.' or '$' "
                             f"starting with a letter, got {name!r}")
    zmin, thickness = _number(table, "zmin", at), _number(table, "thickness", at)
    if (zmin is None) != (thickness is None):
        missing = "thickness" if thickness is None else "zmin"
        raise StackFileError(f"{where}: missing key {missing!r}: a drawn layer needs both zmin and thickness")
    if derived is not None and zmin is None:
        raise StackFileError(f"{where}: missing keys 'zmin' and 'thickness': a derived layer is drawn")
    if thickness is not None and thickness <= 0:
        raise StackFileError(f"{at('thickness')}: expected a positive thickness, got {thickness}")
    color = _color(table, at) or lyp_color
    opacity = _number(table, "opacity", at)
    if opacity is not None and not 0 <= opacity <= 1:
        raise StackFileError(f"{at('opacity')}: expected a number from 0 to 1, got {opacity}")
    return _Entry(name, pair, zmin, thickness, color, opacity, derived, label, where)


def _check_keys(table: dict, known: tuple[str, ...], where: str, what: str):
    for key in table:
        if key not in known:
            raise StackFileError(f"{where}: unknown key {key!r} in {what} (known: {', '.join(known)})")


def _optional_text(table: dict, key: str, where: str) -> str | None:
    value = table.get(key)
    if value is not None and not isinstance(value, str):
        raise StackFileError(f"{where}: key {key!r}: expected text, got {value!r}")
    return value


def _pair(table: dict, at) -> tuple[int, int] | None:
    value = table.get("gds")
    if value is None:
        return None
    match = PAIR.fullmatch(value) if isinstance(value, str) else None
    if not match:
        raise StackFileError(f'{at("gds")}: expected layer/datatype text such as "1/0", got {value!r}')
    return int(match.group(1)), int(match.group(2))


def _number(table: dict, key: str, at) -> float | None:
    value = table.get(key)
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise StackFileError(f"{at(key)}: expected a number, got {value!r}")
    return float(value)


def _color(table: dict, at) -> str | None:
    value = table.get("color")
    if value is None:
        return None
    if not (isinstance(value, str) and re.fullmatch(r"#[0-9A-Fa-f]{6}", value)):
        raise StackFileError(f'{at("color")}: expected "#rrggbb", got {value!r}')
    return value.lower()


def _build(name: str, entries: list[_Entry], source: str) -> Pdk:
    _check_unique(entries)
    _place_derived(entries)
    enum = _layer_enum(entries, source)
    members = {entry.name: enum[entry.name] for entry in entries}
    levels, views = {}, {}
    palette = iter(PALETTE * (len(entries) // len(PALETTE) + 1))
    for entry in entries:
        if entry.zmin is None:
            continue  # named only
        target = LogicalLayer(members[entry.name])
        if entry.derived is None:
            levels[entry.name] = LayerLevel(layer=target, thickness=entry.thickness, zmin=entry.zmin)
        else:
            expression = parse_expression(entry.derived, _logical_layers(members), entry.where)
            levels[entry.name] = LayerLevel(layer=expression, thickness=entry.thickness,
                                            zmin=entry.zmin, derived_layer=target)
        colour = entry.color or next(palette)
        views[entry.name] = LayerView(name=entry.name, layer=members[entry.name],
                                      fill_color=Color(colour), opacity=entry.opacity)
    return Pdk(name, enum, LayerStack(layers=levels), LayerViews(views=views))


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


def _place_derived(entries: list[_Entry]):
    """Give derived layers without a `gds` of their own the first free pairs."""
    used = {entry.pair for entry in entries if entry.pair is not None}
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


def parse_expression(text: str, layers: dict[str, LogicalLayer], where: str = "expression"):
    """The layer expression `text` over `layers` (keyed by lower-case name)."""
    tokens = _tokens(text, where)
    expression, position = _parse(tokens, 0, 0, layers, text, where)
    if position != len(tokens):
        raise StackFileError(f"{where}: unexpected {tokens[position]!r} in {text!r}")
    if isinstance(expression, LogicalLayer):
        raise StackFileError(f"{where}: expected an expression with &, | or -, got the one layer {text!r}")
    return expression


def _tokens(text: str, where: str) -> list[str]:
    tokens, position = [], 0
    text = text.rstrip()
    while position < len(text):
        match = TOKEN.match(text, position)
        tokens.append(match.group(1) or match.group(2))
        position = match.end()
    return tokens


def _parse(tokens, position, min_binding, layers, text, where):
    left, position = _operand(tokens, position, layers, text, where)
    while position < len(tokens) and BINDING.get(tokens[position], 0) > min_binding:
        operator = tokens[position]
        right, position = _parse(tokens, position + 1, BINDING[operator], layers, text, where)
        left = {"&": left.__and__, "|": left.__or__, "-": left.__sub__}[operator](right)
    return left, position


def _operand(tokens, position, layers, text, where):
    if position >= len(tokens):
        raise StackFileError(f"{where}: expression {text!r} ends where a layer name was expected")
    token = tokens[position]
    if token == "(":
        inner, position = _parse(tokens, position + 1, 0, layers, text, where)
        if position >= len(tokens) or tokens[position] != ")":
            raise StackFileError(f"{where}: missing ')' in {text!r}")
        return inner, position + 1
    if token in BINDING or token == ")":
        raise StackFileError(f"{where}: expected a layer name in {text!r}, got {token!r}")
    layer = layers.get(token.lower())
    if layer is None:
        raise StackFileError(f"{where}: unknown layer {token!r} in {text!r} "
                             "(expected the name of a [[layer]] of this file)")
    return layer, position + 1

"""Demo process kits, each described by a layer-stack file shipped beside this
module (`<name>.toml`) and loaded like any user's stack file."""

from collections.abc import Collection
from importlib import resources

from orvalis.pdk import Pdk
from orvalis.stackfile import parse_stack


def load_builtin(name: str, occupied: Collection[tuple[int, int]] = frozenset()) -> Pdk:
    """The kit of the stack file `name`.toml shipped with this package, its derived
    layers moved off the (layer, datatype) pairs `occupied`, their own pairs too."""
    text = resources.files(__package__).joinpath(f"{name}.toml").read_text(encoding="utf-8")
    return parse_stack(text, source=f"{name}.toml", default_name=name, occupied=occupied,
                       move_derived=True)

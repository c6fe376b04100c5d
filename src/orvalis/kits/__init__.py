"""Demo process kits, each described by a layer-stack file shipped beside this
module (`<name>.toml`) and loaded like any user's stack file."""

from collections.abc import Collection
from pathlib import Path

from orvalis.pdk import Pdk
from orvalis.stackfile import parse_stack

# The kits are installed as plain files beside this module; importlib.resources
# would find them too, at the cost of loading its zip readers on every run.
HERE = Path(__file__).resolve().parent


def load_builtin(name: str, occupied: Collection[tuple[int, int]] = frozenset()) -> Pdk:
    """The kit of the stack file `name`.toml shipped with this package, its derived
    layers moved off the (layer, datatype) pairs `occupied`, their own pairs too."""
    text = (HERE / f"{name}.toml").read_text(encoding="utf-8")
    return parse_stack(text, source=f"{name}.toml", default_name=name, occupied=occupied,
                       move_derived=True)

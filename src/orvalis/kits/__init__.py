"""Demo process kits, each described by a layer-stack file shipped beside this
module (`<name>.toml`) and loaded like any user's stack file."""

from importlib import resources

from orvalis.pdk import Pdk
from orvalis.stackfile import parse_stack


def load_builtin(name: str) -> Pdk:
    """The kit of the stack file `name`.toml shipped with this package."""
    text = resources.files(__package__).joinpath(f"{name}.toml").read_text(encoding="utf-8")
    return parse_stack(text, source=f"{name}.toml", default_name=name)

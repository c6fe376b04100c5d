"""CMOS back-end demo kit "sg13g2" (layers, heights and derived layers in sg13g2.toml)."""

from orvalis.kits import load_builtin
from orvalis.pdk import Pdk

_KIT = load_builtin("sg13g2")
LAYER = _KIT.layers  # the kit's LayerEnum: LAYER.Metal1, LAYER.pSD, ...


def build() -> Pdk:
    return _KIT

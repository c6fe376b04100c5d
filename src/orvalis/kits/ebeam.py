"""Photonic demo kit "ebeam" (layers and heights in ebeam.toml)."""

from orvalis.kits import load_builtin
from orvalis.pdk import Pdk

_KIT = load_builtin("ebeam")
LAYER = _KIT.layers  # the kit's LayerEnum: LAYER.Si, LAYER.PinRec, ...


def build() -> Pdk:
    return _KIT

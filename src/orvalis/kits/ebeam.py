"""Photonic demo kit "ebeam" (layers and heights in ebeam.toml)."""

from collections.abc import Collection

from orvalis.kits import load_builtin
from orvalis.pdk import Pdk, kit_for_layout

_KIT = load_builtin("ebeam")
LAYER = _KIT.layers  # the kit's LayerEnum: LAYER.Si, LAYER.PinRec, ...


def build(occupied: Collection[tuple[int, int]] = frozenset()) -> Pdk:
    """The kit, built once; built again when one of its derived layers would be
    drawn on a pair in `occupied` (see kit_for_layout)."""
    return kit_for_layout(_KIT, occupied)

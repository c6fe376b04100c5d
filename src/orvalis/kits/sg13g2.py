"""CMOS back-end demo kit "sg13g2" (layers, heights and derived layers in sg13g2.toml)."""

from collections.abc import Collection

from orvalis.kits import load_builtin
from orvalis.pdk import Pdk, kit_for_layout

_KIT = load_builtin("sg13g2")
LAYER = _KIT.layers  # the kit's LayerEnum: LAYER.Metal1, LAYER.pSD, ...


def build(occupied: Collection[tuple[int, int]] = frozenset()) -> Pdk:
    """The kit, built once; built again when one of its derived layers would be
    drawn on a pair in `occupied` (see kit_for_layout)."""
    return kit_for_layout(_KIT, occupied)

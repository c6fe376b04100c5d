"""Registry of process kits and the one currently active: the built-in kits,
and kits loaded from layer-stack files and registered by name."""

from __future__ import annotations

import importlib
from collections.abc import Callable, Collection
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

# For annotations only: the registry is read (kit names for --help) without
# loading the layer stacks' own dependencies, KLayout among them.
if TYPE_CHECKING:
    from orvalis.technology import LayerStack, LayerViews

# Kit name -> module whose build() returns the kit; imported on first use.
_KIT_MODULES = {
    "ebeam": "orvalis.kits.ebeam",
    "sg13g2": "orvalis.kits.sg13g2",
}
_built: dict[str, Pdk] = {}
_registered: dict[str, Pdk] = {}
_active = "ebeam"


@dataclass
class Pdk:
    name: str
    layers: type  # the kit's LayerEnum subclass
    layer_stack: LayerStack
    layer_views: LayerViews
    # Builds the kit again from its stack file with derived layers kept off the
    # (layer, datatype) pairs given; None for a kit made in code.
    rebuild: Callable[[frozenset[tuple[int, int]]], Pdk] | None = field(
        default=None, repr=False, compare=False)
    # The pairs this kit was built to keep its derived layers off (see kit_for_layout).
    avoided: frozenset[tuple[int, int]] = field(default=frozenset(), repr=False, compare=False)


def available_pdks() -> list[str]:
    return sorted(set(_KIT_MODULES) | set(_registered))


def register_pdk(kit: Pdk) -> Pdk:
    """Make `kit` available under its name, in place of any kit of that name."""
    _registered[kit.name] = kit
    return kit


def unregister_pdk(name: str) -> None:
    """Forget a registered kit; the default kit becomes active if it was."""
    global _active
    _registered.pop(name, None)
    if _active == name and name not in _KIT_MODULES:
        _active = "ebeam"


def load_pdk(path, lyp=None, name: str | None = None, activate: bool = True,
             occupied: Collection[tuple[int, int]] = frozenset()) -> Pdk:
    """Load the layer-stack file at `path` (colours and names missing from it taken
    from the .lyp file `lyp`, derived layers kept off the pairs `occupied`), register
    it and, by default, make it the active kit."""
    from orvalis.stackfile import load_stack

    kit = register_pdk(load_stack(path, lyp=lyp, name=name, occupied=occupied))
    if activate:
        activate_pdk(kit.name)
    return kit


def get_pdk(name: str) -> Pdk:
    """Return kit `name`, building it the first time it is asked for."""
    if name in _registered:
        return _registered[name]
    if name not in _KIT_MODULES:
        raise ValueError(f"unknown PDK {name!r}; known: {', '.join(available_pdks())}")
    if name not in _built:
        _built[name] = importlib.import_module(_KIT_MODULES[name]).build()
    return _built[name]


def activate_pdk(name: str) -> Pdk:
    """Make kit `name` the active one and return it."""
    global _active
    pdk = get_pdk(name)
    _active = name
    return pdk


def get_active_pdk() -> Pdk:
    return get_pdk(_active)


def kit_for_layout(kit: Pdk, occupied: Collection[tuple[int, int]]) -> Pdk:
    """The kit to convert a layout with, whose shapes lie on the (layer, datatype)
    pairs `occupied`: `kit` itself when none of its derived layers is drawn on one of
    them, else `kit` built again from its stack file with the derived layers that
    have no `gds` of their own moved to free pairs (a built-in kit moves the others
    too).

    A kit built for another layout's pairs is built again for these. StackFileError
    when a derived layer's own `gds` in a user's stack file is occupied; ValueError
    when a kit made in code draws a derived layer on an occupied pair.
    """
    occupied = frozenset(map(tuple, occupied))
    if occupied == kit.avoided:
        return kit
    if not kit.avoided and not _derived_pairs(kit) & occupied:
        return kit  # the kit as loaded, and it fits this layout
    if kit.rebuild is None:
        taken = ", ".join(f"{layer}/{datatype}" for layer, datatype in sorted(_derived_pairs(kit) & occupied))
        raise ValueError(f"kit {kit.name!r} draws derived layers on {taken}, which already hold "
                         "shapes in the layout, and has no stack file to be built again from")
    return kit.rebuild(occupied)


def activate_for_layout(occupied: Collection[tuple[int, int]]) -> Pdk:
    """Fit the active kit to a layout whose shapes lie on the pairs `occupied` (see
    kit_for_layout) and return it. A kit built again is registered in place of the
    active one, under its name: for a built-in kit until unregister_pdk(name)."""
    kit = get_active_pdk()
    fitted = kit_for_layout(kit, occupied)
    if fitted is not kit:
        register_pdk(fitted)
    return fitted


def _derived_pairs(kit: Pdk) -> set[tuple[int, int]]:
    return {tuple(level.derived_layer.layer) for level in kit.layer_stack.layers.values()
            if level.derived_layer is not None}


def get_layer_stack() -> LayerStack:
    return get_active_pdk().layer_stack


def get_layer_views() -> LayerViews:
    return get_active_pdk().layer_views

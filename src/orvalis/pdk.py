"""Registry of process kits and the one currently active: the built-in kits,
and kits loaded from layer-stack files and registered by name."""

import importlib
from dataclasses import dataclass

from orvalis.technology import LayerStack, LayerViews

# Kit name -> module whose build() returns the kit; imported on first use.
_KIT_MODULES = {
    "ebeam": "orvalis.kits.ebeam",
    "sg13g2": "orvalis.kits.sg13g2",
}
_built: dict[str, "Pdk"] = {}
_registered: dict[str, "Pdk"] = {}
_active = "ebeam"


@dataclass
class Pdk:
    name: str
    layers: type  # the kit's LayerEnum subclass
    layer_stack: LayerStack
    layer_views: LayerViews


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


def load_pdk(path, lyp=None, name: str | None = None, activate: bool = True) -> Pdk:
    """Load the layer-stack file at `path` (colours and names missing from it taken
    from the .lyp file `lyp`), register it and, by default, make it the active kit."""
    from orvalis.stackfile import load_stack

    kit = register_pdk(load_stack(path, lyp=lyp, name=name))
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


def get_layer_stack() -> LayerStack:
    return get_active_pdk().layer_stack


def get_layer_views() -> LayerViews:
    return get_active_pdk().layer_views

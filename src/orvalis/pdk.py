"""Registry of process kits and the one currently active."""

import importlib
from dataclasses import dataclass

from orvalis.technology import LayerStack, LayerViews

# Kit name -> module whose build() returns the kit; imported on first use.
_KIT_MODULES = {
    "ebeam": "orvalis.kits.ebeam",
    "sg13g2": "orvalis.kits.sg13g2",
}
_built: dict[str, "Pdk"] = {}
_active = "ebeam"


@dataclass
class Pdk:
    name: str
    layers: type  # the kit's LayerEnum subclass
    layer_stack: LayerStack
    layer_views: LayerViews


def available_pdks() -> list[str]:
    return sorted(_KIT_MODULES)


def get_pdk(name: str) -> Pdk:
    """Return kit `name`, building it the first time it is asked for."""
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

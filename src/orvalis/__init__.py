"""Layout framework: components backed by KLayout layouts, process kits, layer stacks."""

import importlib

__all__ = ["DBU", "Component", "StackFileError", "import_gds", "load_stack"]

# Where each name of the package lives. They are imported on first use, so that
# a submodule such as orvalis.pdk can be used without loading KLayout.
_HOMES = {
    "DBU": "orvalis.component",
    "Component": "orvalis.component",
    "import_gds": "orvalis.component",
    "StackFileError": "orvalis.stackfile",
    "load_stack": "orvalis.stackfile",
}


def __getattr__(name: str):
    if name not in _HOMES:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(_HOMES[name]), name)
    globals()[name] = value  # found directly from now on
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))

"""Layout framework: components backed by KLayout layouts, process kits, layer stacks."""

from orvalis.component import DBU, Component, import_gds

__all__ = ["DBU", "Component", "import_gds"]

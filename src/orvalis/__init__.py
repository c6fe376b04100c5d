"""Layout framework: components backed by KLayout layouts, process kits, layer stacks."""

from orvalis.component import DBU, Component, import_gds
from orvalis.stackfile import StackFileError, load_stack

__all__ = ["DBU", "Component", "StackFileError", "import_gds", "load_stack"]

"""Layer enumerations: members declared as `NAME = (layer, datatype)`."""

from enum import Enum

__all__ = ["LayerEnum"]


class LayerEnum(Enum):
    """Base class for a kit's drawn layers.

    Two members with the same (layer, datatype) would become aliases, so each
    pair should be declared once.
    """

    @property
    def layer(self) -> int:
        return int(self.value[0])

    @property
    def datatype(self) -> int:
        return int(self.value[1])

    def __iter__(self):
        # Lets `tuple(member)` and `layer, datatype = member` work.
        return iter((self.layer, self.datatype))

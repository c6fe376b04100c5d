"""Messages the host sends to its viewer."""

from dataclasses import dataclass


@dataclass
class Show3dMessage:
    """A 3D scene, serialised as JSON text in `content`."""

    content: str
    type: str = "show3d"

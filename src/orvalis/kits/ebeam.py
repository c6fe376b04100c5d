"""Photonic demo kit "ebeam". Only the silicon thickness and the colours come
from the public kit; the other heights are for display."""

from kelvane import LayerEnum
from orvalis.kits import drawn_levels
from orvalis.pdk import Pdk
from orvalis.technology import LayerStack, LayerViews


class LAYER(LayerEnum):
    Si = (1, 0)
    Si_rib = (2, 0)
    SiN = (4, 0)
    M1_heater = (11, 0)
    M2_router = (12, 0)
    M_Open = (13, 0)
    FloorPlan = (99, 0)
    # Not shown in 3D: device outlines, pins and labels.
    DevRec = (68, 0)
    PinRec = (1, 10)
    Text = (10, 0)


# name, zmin (µm), thickness (µm), colour
STACK_ROWS = [
    ("Si", 0.0, 0.22, "#ff80a8"),
    ("Si_rib", 0.0, 0.09, "#80a8ff"),
    ("SiN", 0.3, 0.4, "#a6cee3"),
    ("M1_heater", 2.42, 0.2, "#ebc634"),
    ("M2_router", 2.62, 0.5, "#3471eb"),
    ("M_Open", 3.12, 0.1, "#000000"),
    ("FloorPlan", -0.1, 0.01, "#8000ff"),
]


def build() -> Pdk:
    levels, views = drawn_levels(LAYER, STACK_ROWS)
    return Pdk("ebeam", LAYER, LayerStack(layers=levels), LayerViews(views=views))

"""CMOS back-end demo kit "sg13g2", after the public 2.5D stack of the open kit."""

from kelvane import LayerEnum
from orvalis.kits import drawn_levels
from orvalis.pdk import Pdk
from orvalis.technology import LayerLevel, LayerStack, LayerView, LayerViews, LogicalLayer


class LAYER(LayerEnum):
    Activ = (1, 0)
    GatPoly = (5, 0)
    Cont = (6, 0)
    Metal1 = (8, 0)
    Via1 = (19, 0)
    Metal2 = (10, 0)
    Via2 = (29, 0)
    Metal3 = (30, 0)
    Via3 = (49, 0)
    Metal4 = (50, 0)
    Via4 = (66, 0)
    Metal5 = (67, 0)
    MIM = (36, 0)
    Vmim = (129, 0)
    TopVia1 = (125, 0)
    TopMetal1 = (126, 0)
    TopVia2 = (133, 0)
    TopMetal2 = (134, 0)
    # Drawn layers used only to compute derived levels.
    SalBlock = (28, 0)
    pSD = (14, 0)
    nSD = (7, 0)
    PolyRes = (128, 0)
    # Where the derived levels' results are written.
    Rhigh = (1001, 0)
    Rppd = (1002, 0)
    Cont_to_Gatpoly = (1003, 0)


# name, zmin (µm), thickness (µm), colour
STACK_ROWS = [
    ("Activ", 0.000, 0.400, "#00ff00"),
    ("GatPoly", 0.400, 0.140, "#0000ff"),
    ("Cont", 0.400, 0.640, "#00ffff"),
    ("Metal1", 1.040, 0.420, "#39bfff"),
    ("Via1", 1.460, 0.540, "#ccccff"),
    ("Metal2", 2.000, 0.490, "#ccccd9"),
    ("Via2", 2.490, 0.540, "#ff3736"),
    ("Metal3", 3.030, 0.490, "#d80000"),
    ("Via3", 3.520, 0.540, "#9ba940"),
    ("Metal4", 4.060, 0.490, "#93e837"),
    ("Via4", 4.550, 0.540, "#deac5e"),
    ("Metal5", 5.090, 0.490, "#dcd146"),
    ("MIM", 5.604, 0.150, "#268c6b"),
    ("Vmim", 5.754, 0.676, "#c0c0c0"),
    ("TopVia1", 5.580, 0.850, "#ffe6bf"),
    ("TopMetal1", 6.430, 2.000, "#ffe6bf"),
    ("TopVia2", 8.430, 2.800, "#ff8000"),
    ("TopMetal2", 11.230, 3.000, "#ff8000"),
]


def _derived_rows():
    L = {name: LogicalLayer(member) for name, member in LAYER.__members__.items()}
    # name, expression, zmin (µm), thickness (µm), colour
    return [
        ("Rhigh", L["SalBlock"] & L["pSD"] & L["nSD"], 0.400, 0.140, "#cc0044"),
        ("Rppd", (L["SalBlock"] & L["pSD"]) - L["nSD"], 0.400, 0.140, "#ff0088"),
        ("Cont_to_Gatpoly", L["Cont"] & (L["GatPoly"] | L["PolyRes"]), 0.560, 0.500, "#00ffff"),
    ]


def build() -> Pdk:
    levels, views = drawn_levels(LAYER, STACK_ROWS)
    for name, expression, zmin, thickness, colour in _derived_rows():
        target = LogicalLayer(LAYER[name])
        levels[name] = LayerLevel(
            layer=expression, thickness=thickness, zmin=zmin, derived_layer=target
        )
        views[name] = LayerView(name=name, layer=LAYER[name], fill_color=colour)
    return Pdk("sg13g2", LAYER, LayerStack(layers=levels), LayerViews(views=views))

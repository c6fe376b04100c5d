"""PdkLayer text form and the layer property table built from a kit."""

import math
import types

import numpy as np
import pytest

import orvalis.pdk as kits
import tessarand.core.show3d as show3d
from kelvane import LayerEnum
from orvalis.kits.ebeam import LAYER as EBEAM
from orvalis.technology import LayerLevel, LayerStack, LayerView, LogicalLayer

PdkLayer = show3d.PdkLayer
NS = types.SimpleNamespace


L = LayerEnum("L", {"A": (1, 0), "B": (2, 0), "C": (3, 5)})


@pytest.mark.parametrize("value, text", [
    (0.5, "  0.5"), (0.22, " 0.22"), (12.3456, " 12.3"), (-0.2, " -0.2"), (100.0, "1e+02"),
    (123.4, "1.23e+02"), (0.0001234, "0.000123"), (0.00001, "1e-05"), (-0.0, " -0.0"),
    (type("F", (float,), {})(2.5), "  2.5"), (np.float64(0.75), " 0.75"), (2, "2"), (True, "True"), (None, "None")])
def test_repr_value_format(value, text):
    assert repr(PdkLayer("m", value, value, "#000000")) == (
        f"PdkLayer(name='m', thickness={text}, zmin={text}, color='#000000')")


def test_repr_str_attribute_order_and_subclasses():
    layer = PdkLayer("metal1", 0.5, 1.0, "#3366cc")
    assert repr(layer) == str(layer) == "PdkLayer(name='metal1', thickness=  0.5, zmin=  1.0, color='#3366cc')"
    assert all(word in PdkLayer.__doc__ for word in ("name", "thickness", "zmin", "color"))
    del layer.thickness
    layer.thickness, layer.extra = 3.0, 0.125
    assert repr(layer) == "PdkLayer(name='metal1', zmin=  1.0, color='#3366cc', thickness=  3.0, extra=0.125)"

    class Custom(PdkLayer):
        result = "custom"

        def __repr__(self):
            return self.result

    layer = Custom("m", 0.5, 1.0, "c")
    assert PdkLayer.__repr__(layer) == "Custom(name='m', thickness=  0.5, zmin=  1.0, color='c')"
    assert str(layer) == "custom"
    layer.result = None
    assert PdkLayer.__str__(layer) is None
    layer.result = 7
    with pytest.raises(TypeError, match="^Expected str, got int$"):
        str(layer)


class Views:
    """Layer views that record lookups; `missing` maps a key to the exception to raise."""

    def __init__(self, colors, missing=()):
        self.colors, self.missing, self.calls = colors, dict(missing), []

    def get_from_tuple(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if args[0] in self.missing:
            raise self.missing[args[0]]
        return LayerView(layer=args[0], fill_color=self.colors[args[0]])


def level(layer, thickness=1.0, zmin=0.0, derived=None):
    layer = LogicalLayer(layer) if isinstance(layer, LayerEnum) else layer
    return LayerLevel(layer=layer, thickness=thickness, zmin=zmin, derived_layer=derived)


def table(levels, views):
    return show3d.get_layer_properties(LayerStack(layers=dict(enumerate(levels))), views)


ALL = Views({(1, 0): "#010000", (2, 0): "#020000", (3, 5): "#030500"})


def test_entries_in_stack_order_later_level_wins_derived_levels():
    views = Views(ALL.colors)
    result = table([level(L.C, 2, 0.5), level(L.A, 0.25, -1.0), level(L.B), level(L.C, 3, 9.0)], views)
    assert list(result.items()) == [((3, 5), PdkLayer("C", 3, 9.0, "#030500")),
                                    ((1, 0), PdkLayer("A", 0.25, -1.0, "#010000")),
                                    ((2, 0), PdkLayer("B", 1.0, 0.0, "#020000"))]
    assert type(result[(3, 5)].thickness) is int and type(result[(3, 5)]) is PdkLayer
    assert views.calls == [(((3, 5),), {}), (((1, 0),), {}), (((2, 0),), {}), (((3, 5),), {})]
    assert table([], views) == {}
    stack = NS(layers=NS(values=lambda: [level(L.B, 0.5)]))  # only .values() is needed
    assert show3d.get_layer_properties(stack, ALL) == {(2, 0): PdkLayer("B", 0.5, 0.0, "#020000")}
    derived = LogicalLayer(L.A) & LogicalLayer(L.B)  # a derived level counts under its logical target
    assert table([level(derived, 0.5, 3.0), level(derived, 0.75, 4.0, derived=LogicalLayer(L.C)),
                  level(derived, 1.0, 5.0, derived=derived)], ALL) == {(3, 5): PdkLayer("C", 0.75, 4.0, "#030500")}


@pytest.mark.parametrize("layer", [LogicalLayer((1, 0)), L.A, L.B, L.C],
                         ids=["not-enum-member", "KeyError", "own-Exception", "no-fill-color"])
def test_levels_skipped(layer):
    views = Views({(3, 5): None}, {(1, 0): KeyError("no"), (2, 0): type("Oops", (Exception,), {})()})
    assert table([level(layer)], views) == {}
    stop = type("Stop", (KeyboardInterrupt,), {})()  # only Exception is swallowed
    with pytest.raises(type(stop)):
        table([level(L.A)], Views({}, {(1, 0): stop}))


@pytest.mark.parametrize("stack, error, message", [
    (LayerStack(layers={0: level(L.A), 1: level(1)}), TypeError, "Unknown type <class 'int'>"),
    (LayerStack(layers={0: level(L.A), 1: level((1, 0))}), TypeError, "Unknown type <class 'tuple'>"),
    (LayerStack(layers=None), AttributeError, "'NoneType' object has no attribute 'values'"),
])
def test_table_errors(stack, error, message):
    with pytest.raises(error) as info:
        show3d.get_layer_properties(stack, ALL)
    assert str(info.value) == message


def test_classes_read_from_the_module_namespace_at_call_time(monkeypatch):  # a layer enum member without a name:
    Member = type("Member", (), {"__init__": lambda self, *key: vars(self).update(zip(("layer", "datatype"), key))})
    monkeypatch.setattr(show3d, "kv", NS(LayerEnum=Member))
    assert table([level(LogicalLayer(Member(1, 0)), 0.5)], ALL) == {(1, 0): PdkLayer("(1, 0)", 0.5, 0.0, "#010000")}
    broken = type("Broken", (Member,), {"name": property(lambda self: 1 / 0)})(1, 0)
    with pytest.raises(ZeroDivisionError):  # only a missing name falls back to the numbers
        table([level(LogicalLayer(broken))], ALL)
    Logical = type("Logical", (), {"__init__": lambda self, layer: setattr(self, "layer", layer)})
    Derived = type("Derived", (), {})
    monkeypatch.setattr(show3d, "ovt", NS(LogicalLayer=Logical, DerivedLayer=Derived))
    monkeypatch.setattr(show3d, "kv", NS(LayerEnum=NS))
    views = NS(get_from_tuple=lambda key: NS(fill_color=NS(as_hex=lambda: "#010203")))
    f, d = NS(name="f", layer=7, datatype=3), NS(name="d", layer=8, datatype=0)
    levels = [NS(layer=Logical(f), derived_layer=None, thickness=1.0, zmin=2),
              NS(layer=Derived(), derived_layer=Logical(d), thickness=3, zmin=4)]
    assert show3d.get_layer_properties(NS(layers=dict(enumerate(levels))), views) == {
        (7, 3): PdkLayer("f", 1.0, 2, "#010203"), (8, 0): PdkLayer("d", 3, 4, "#010203")}
    real = LayerStack(layers={"Si": LayerLevel(layer=LogicalLayer(EBEAM.Si), thickness=1, zmin=0)})
    with pytest.raises(TypeError, match=r"^Unknown type <class 'orvalis\.technology\.LogicalLayer'>$"):
        show3d.get_layer_properties(real, views)


def test_kit_tables():
    ebeam, sg13g2 = (kits.get_pdk(name) for name in ("ebeam", "sg13g2"))
    result = show3d.get_layer_properties(ebeam.layer_stack, ebeam.layer_views)
    assert list(result) == [(1, 0), (2, 0), (4, 0), (11, 0), (12, 0), (13, 0), (99, 0), (1, 99), (1, 69), (6, 0),
                            (20, 0), (24, 0), (40, 0), (201, 0), (203, 0), (205, 0), (998, 0), (131, 155)]
    assert result[(1, 0)] == PdkLayer("Si", 0.22, 0.0, "#ff80a8")
    assert result[(203, 0)] == PdkLayer("Isolation_Trench", 2.22, -2.0, "#c0c0c0")
    assert repr(result[(99, 0)]) == "PdkLayer(name='FloorPlan', thickness= 0.01, zmin= -0.1, color='#8000ff')"
    result = show3d.get_layer_properties(sg13g2.layer_stack, layer_views=sg13g2.layer_views)
    assert len(result) == 21 and result[(134, 0)] == PdkLayer("TopMetal2", 3.0, 11.23, "#ff8000")
    assert list(result.items())[-3:] == [((1001, 0), PdkLayer("Rhigh", 0.14, 0.4, "#cc0044")),
                                         ((1002, 0), PdkLayer("Rppd", 0.14, 0.4, "#ff0088")),
                                         ((1003, 0), PdkLayer("Cont_to_Gatpoly", 0.5, 0.56, "#008f8f"))]


def test_neighbouring_layers_of_the_cmos_kit_are_told_apart_by_colour():
    """Layers whose heights meet (a via and the metals it joins) differ by colour."""
    kit = kits.get_pdk("sg13g2")
    layers = list(show3d.get_layer_properties(kit.layer_stack, kit.layer_views).values())

    def rgb(layer):
        return [int(layer.color[i:i + 2], 16) for i in (1, 3, 5)]
    close = [(a.name, b.name) for i, a in enumerate(layers) for b in layers[i + 1:]
             if a.zmin <= b.zmin + b.thickness and b.zmin <= a.zmin + a.thickness
             and math.dist(rgb(a), rgb(b)) < 70]
    assert close == []

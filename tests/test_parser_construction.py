"""ParseGDS construction: argument conversion, attributes, layer maps and per-layer lookups.
The argument checks here stand for the shared ones of every native function."""

from fractions import Fraction

import klayout.db as kdb
import pytest

import tessarand.core.show3d as show3d
from conftest import make_layout

ParseGDS = show3d.ParseGDS
ATTRIBUTES = ["layout", "layers", "z_scale", "curve_tolerance", "exclude_layers", "instances", "instance_index",
              "instance_mapping", "parsed_cells", "parsed_layers", "cell_combined", "layer_combined", "layer_map",
              "reverse_layer_map", "cell_index_map"]
Table = type("Table", (dict,), {})
Patterns = type("Patterns", (list,), {})
Scale = type("Scale", (), {"__float__": lambda self: 3.0})


def arg_error(name, expected, got):
    return f"Argument '{name}' has incorrect type (expected {expected}, got {got})"


@pytest.fixture
def layout():  # layer indices 0, 1, 2 are (1, 0), (7, 0) (no table entry), (2, 0); LONE is a second top cell
    return make_layout({"TOP": {}, "CHILD": {}, "LONE": {}}, [("TOP", "CHILD", kdb.Trans())],
                       layers=[(1, 0), (7, 0), (2, 0)])


@pytest.mark.parametrize("kwargs, message", [
    ({"curve_tolerance": "0.5"}, arg_error("curve_tolerance", "float", "str")),
    ({"layers": Table()}, arg_error("layers", "dict", "Table")),
    ({"layers": None}, arg_error("layers", "dict", "NoneType")),
    ({"exclude_layers": ("WG",)}, arg_error("exclude_layers", "list", "tuple")),
    ({"exclude_layers": Patterns(["WG"])}, arg_error("exclude_layers", "list", "Patterns")),
    # several wrong arguments: the first one in conversion order is reported
    ({"curve_tolerance": "x", "layers": Table(), "exclude_layers": ()}, arg_error("curve_tolerance", "float", "str")),
    ({"layers": Table(), "exclude_layers": ()}, arg_error("layers", "dict", "Table")),
    ({"z_scale": None, "curve_tolerance": "x", "layers": Table(), "exclude_layers": ()}, None),  # z_scale first
    ({"z_scale": object(), "curve_tolerance": "x", "layers": Table(), "exclude_layers": ()}, None),
])
def test_argument_errors_in_order(table, kwargs, message):
    with pytest.raises(TypeError) as info:
        ParseGDS(object(), **{"layers": table, **kwargs})  # the layout is never touched
    if message:
        assert str(info.value) == message and getattr(info.value, "__notes__", None) is None
    else:
        assert "curve_tolerance" not in str(info.value) and "layers" not in str(info.value)


@pytest.mark.parametrize("args, kwargs, z_scale, tolerance", [
    ((), {}, 1.0, 0.01),
    ((2, 1), {}, 2.0, 1.0),
    ((), {"z_scale": Fraction(1, 4), "curve_tolerance": Fraction(1, 2)}, 0.25, 0.5),
    ((Scale(), None), {}, 3.0, None),
    ((0.5, 0.0), {}, 0.5, 0.0),
])
def test_numbers_converted_to_float(layout, table, args, kwargs, z_scale, tolerance):
    p = ParseGDS(layout, table, *args, **kwargs)
    assert type(p.z_scale) is float and p.z_scale == z_scale
    assert (p.curve_tolerance, type(p.curve_tolerance)) == (tolerance, type(tolerance))


def test_attributes_created_in_order_with_initial_values(layout, table):
    p = ParseGDS(layout, table)
    assert list(vars(p)) == ATTRIBUTES and p.layout is layout and p.layers is table
    assert (p.instances, p.instance_index, p.instance_mapping) == ([], 0, {})
    assert p.parsed_cells is None and p.parsed_layers is None and p.cell_combined is False is p.layer_combined
    assert type(ParseGDS) is type and ParseGDS.__mro__ == (ParseGDS, object)
    given = []
    assert ParseGDS(layout, table, exclude_layers=given).exclude_layers is given
    first, second = p, ParseGDS(layout, table, exclude_layers=None)
    assert first.exclude_layers == [] and type(first.exclude_layers) is list
    assert first.exclude_layers is not second.exclude_layers


def test_layer_maps_follow_layout_order_and_are_rebuilt(layout, table):
    p = ParseGDS(layout, table)
    before, before_reverse = p.layer_map, p.reverse_layer_map
    table[(7, 0)] = show3d.PdkLayer("Extra", 0.1, 0.0, "#123456")
    assert p.extract_layers() is None
    assert list(p.layer_map.items()) == [(0, (1, 0)), (1, (7, 0)), (2, (2, 0))]
    assert p.reverse_layer_map == {(1, 0): 0, (7, 0): 1, (2, 0): 2}
    assert p.layer_map is not before and p.reverse_layer_map is not before_reverse
    assert before == {0: (1, 0), 2: (2, 0)} and before_reverse == {(1, 0): 0, (2, 0): 2}
    assert layout.insert_layer(kdb.LayerInfo(1, 0)) == 3  # a second index carrying (1, 0): the later one wins
    table[(99, 0)] = show3d.PdkLayer("unused", 1.0, 0.0, "#ffffff")
    p = ParseGDS(layout, table)
    assert list(p.layer_map.items()) == [(0, (1, 0)), (1, (7, 0)), (2, (2, 0)), (3, (1, 0))]
    assert all(type(v) is tuple and [type(n) for n in v] == [int, int] for v in p.layer_map.values())
    assert list(p.reverse_layer_map.items()) == [((1, 0), 3), ((7, 0), 1), ((2, 0), 2)]
    p = ParseGDS(layout, {(50, 0): show3d.PdkLayer("X", 1.0, 0.0, "#000001")})
    assert p.layer_map == {} and p.reverse_layer_map == {}
    assert [(i, c.name, c.cell_index()) for i, c in p.cell_index_map.items()] == [
        (c.cell_index(), c.name, c.cell_index()) for c in layout.each_cell()]
    assert sorted(c.name for c in p.cell_index_map.values()) == ["CHILD", "LONE", "TOP"]


@pytest.fixture
def lookup_parser(layout, table):
    table[(3, 0)] = show3d.PdkLayer(42, 1.0, -0.25, "#00ff00")
    return ParseGDS(layout, table, z_scale=2.0)


@pytest.mark.parametrize("method, key, expected", [
    ("get_name", (1, 0), "WG (1, 0)"), ("get_name", (3, 0), "42 (3, 0)"), ("get_name", (5, 5), "(5, 5)"),
    ("get_zmin", (1, 0), 1.0), ("get_zmin", (3, 0), -0.5), ("get_zmin", (5, 5), -2.0),
    ("get_height", (1, 0), 0.44), ("get_height", (2, 0), 1.0), ("get_height", (5, 5), 0.1),
    ("get_color", (2, 0), "#0000ff"), ("get_color", (5, 5), "#000000"),
])
def test_lookups(lookup_parser, method, key, expected):
    assert getattr(lookup_parser, method)(key) == expected
    assert getattr(lookup_parser, method)(layer_spec=key) == expected
    assert type(getattr(lookup_parser, method)(key)) is type(expected)


def test_lookups_return_stored_objects_and_fail_on_bad_input(layout, lookup_parser):
    name = "metal?"
    assert lookup_parser.get_name(name) is name
    assert lookup_parser.get_color((1, 0)) is lookup_parser.layers[(1, 0)].color
    unit = ParseGDS(layout, lookup_parser.layers)
    assert (unit.get_zmin((9, 9)), unit.get_height((9, 9))) == (-1.0, 0.05)
    lookup_parser.layers[(8, 0)] = object()
    for method in ("get_name", "get_zmin", "get_height", "get_color"):
        with pytest.raises(TypeError):
            getattr(lookup_parser, method)([1, 0])
        with pytest.raises(AttributeError):
            getattr(lookup_parser, method)((8, 0))

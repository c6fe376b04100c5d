"""Dictionary form (asdict), JSON text (create_json) and buffer descriptions of scenes."""

import base64
import collections
import dataclasses
import types

import klayout.db as kdb
import numpy as np
import orjson
import pytest

import tessarand.core.show3d as show3d
from tessarand.core.show3d import KTrans, Output, Part, Parts, Shape, ViewerData, numpy_to_buffer_json

LOC = [[0.0, 0.0, 0.0], [0.0, 0.0, 0.0, 1.0]]
EMPTY = np.zeros(0, dtype="float32")


def snap(x):  # exact, type-strict picture of nested values
    if isinstance(x, np.ndarray):
        return "array", str(x.dtype), x.shape, x.tobytes()
    if isinstance(x, (list, tuple, dict)):
        items = x.items() if isinstance(x, dict) else enumerate(x)
        return type(x).__name__, [(k, snap(v)) for k, v in items]
    return type(x).__name__, (x.hex() if isinstance(x, float) else x)


@pytest.fixture
def parser():
    return show3d.ParseGDS(kdb.Layout(), {})


Items, Pairs, Table = type("Items", (list,), {}), type("Pairs", (tuple,), {}), type("Table", (dict,), {})


@dataclasses.dataclass
class Holder:
    a: object = None
    b: object = None
    c: object = None

    def to_dict(self):
        return "never used for records"


MATRICES = np.array([1, -0.0, 0.1, 0, 1, 0.2], dtype="float32")
TURN = KTrans(kdb.Trans(1, False, 100, 200))


@pytest.mark.parametrize("record, expected", [
    (Shape([1, 2], 0.5, MATRICES), {"refs": [1, 2], "height": 0.5, "matrices": MATRICES}),
    (Shape([], 1.0, EMPTY), {"height": 1.0, "matrices": EMPTY}),
    (Parts("g", "/g"), {"name": "g", "id": "/g", "version": "3", "loc": LOC}),
    (ViewerData(name="v", id="/v"), {"name": "v", "id": "/v", "version": "3", "loc": LOC, "format": "GDS"}),
    (Part("p", "/p", loc=((0, 0, 0.5), (0, 0, 0, 1)), shape=Shape([3], 2.0, EMPTY), color="#fff", state=()),
     {"name": "p", "id": "/p", "version": "3", "loc": [[0, 0, 0.5], [0, 0, 0, 1]],
      "shape": {"refs": [3], "height": 2.0, "matrices": EMPTY}, "color": "#fff", "renderback": False,
      "type": "polygon", "subtype": "solid"}),
    (Parts("g", "/g", parts=[Parts("h", "/g/h"), Parts("i", "/g/i", loc=())]),
     {"name": "g", "id": "/g", "version": "3", "loc": LOC, "parts": [
         {"name": "h", "id": "/g/h", "version": "3", "loc": LOC}, {"name": "i", "id": "/g/i", "version": "3"}]}),
    (show3d.Cell(4, "c"), {"cell_index": 4, "name": "c"}),
    (show3d.Reference(5, "r", polygons={"0": [1]}, trans_count=1, trans=[TURN]),
     {"cell_index": 5, "name": "r", "polygons": {"0": [1]}, "trans_count": 1,
      "trans": [{"mirror": False, "angle": 90, "displacement": [0.1, 0.2]}]}),
    (show3d.PdkLayer("WG", 0.22, 0, "#ff80a8"), {"name": "WG", "thickness": 0.22, "zmin": 0, "color": "#ff80a8"}),
    (Holder(Items(), Pairs(), Table()), {}),
    (Holder("", 0, False), {"a": "", "b": 0, "c": False}),
    (Holder(None, Items([()]), Table({2: ()})), {"a": None, "b": [[]], "c": {2: []}}),
])
def test_records_field_by_field(parser, record, expected):
    result = parser.asdict(record)
    assert snap(result) == snap(expected)
    if isinstance(record, Shape):
        assert result["matrices"] is record.matrices


@pytest.mark.parametrize("value, expected", [
    ((1, (2, 3)), [1, [2, 3]]),
    ([[], {}], [[], {}]),
    (((), [()]), [[], [[]]]),
    ({1: (1, 2), "a": [], None: {}}, {1: [1, 2], "a": [], None: {}}),
    (Items([Pairs((1,)), Table(k=())]), [[1], {"k": []}]),
    (collections.namedtuple("P", "x y")(1, 2), [1, 2]),
    ({"t": TURN, "r": [show3d.Cell(1, "x")]}, {"t": TURN.to_dict(), "r": [{"cell_index": 1, "name": "x"}]}),
])
def test_containers(parser, value, expected):
    result = parser.asdict(value)
    assert snap(result) == snap(expected)
    assert result is not value


@pytest.mark.parametrize("leaf", ["text", 10**40, 1.5, True, None, EMPTY, np.float32(2), Output.CELL,
                                  object(), b"x", frozenset({1}), 3j], ids=repr)
def test_leaves_are_the_same_objects(parser, leaf):
    assert parser.asdict(leaf) is leaf
    assert parser.asdict([leaf])[0] is leaf and parser.asdict({"k": (leaf,)})["k"][0] is leaf


class Tagged:
    def __init__(self, result):
        self.to_dict = lambda: result


class Listed(list):
    to_dict = lambda self: "listed"  # noqa: E731


class Broken:
    to_dict = property(lambda self: 1 / 0)


def test_to_dict_objects(parser):
    inner = {"t": (1, 2), "s": show3d.Cell(0, "c")}
    assert parser.asdict(Tagged(inner)) is inner and inner["t"] == (1, 2)  # returned as it is
    assert parser.asdict([Tagged(inner)])[0] is inner
    assert parser.asdict(Listed([1])) == "listed"
    assert parser.asdict(TURN) == {"mirror": False, "angle": 90, "displacement": [0.1, 0.2]}
    assert parser.asdict(Holder(1, Tagged(inner))) == {"a": 1, "b": inner, "c": None}  # a record still goes field by field
    with pytest.raises(ZeroDivisionError):  # only a missing attribute counts as absent
        parser.asdict(Broken())


def test_input_is_left_unchanged(parser):
    refs = [1, 2]
    scene = ViewerData(name="v", id="/v", parts=[Part("p", "/v/p", shape=Shape(refs, 1.0), color="#000000")])
    before = repr(scene)
    result = parser.asdict(scene)
    assert repr(scene) == before and result["parts"][0]["shape"]["refs"] == refs
    assert result["parts"][0]["shape"]["refs"] is not refs and result["parts"] is not scene.parts


class Upper(show3d.ParseGDS):
    def asdict(self, obj):
        return obj.upper() if isinstance(obj, str) else super().asdict(obj)


def test_subclass_asdict_converts_nested_values():
    parser = Upper(kdb.Layout(), {})
    assert parser.asdict(Parts("g", "/g", parts=[{"k": ["x", ("y",)]}])) == {
        "name": "G", "id": "/G", "version": "3", "loc": LOC, "parts": [{"k": ["X", ["Y"]]}]}
    assert '"name": "V"' in parser.create_json(ViewerData(name="v", id="/v"))


MINIMAL = ('{\n  "name": "v",\n  "id": "/v",\n  "version": "3",\n  "loc": [\n    [\n      0.0,\n      0.0,\n'
           '      0.0\n    ],\n    [\n      0.0,\n      0.0,\n      0.0,\n      1.0\n    ]\n  ],\n  "format": "GDS"\n}')


def test_create_json(parser):
    assert parser.create_json(ViewerData(name="v", id="/v")) == MINIMAL
    assert parser.create_json(data=ViewerData(name="v", id="/v")) == MINIMAL
    polygon = np.array([0, 0, 1, 0.5], dtype="float32")
    leaf = Part("p", "/v/p", loc=((0, 0, 0.5), (0, 0, 0, 1)), shape=Shape([0], 0.22, MATRICES), color="#ff80a8")
    scene = ViewerData(name="v", id="/v", parts=[leaf, {7: "seven"}], instances=[polygon])
    expected = {"name": "v", "id": "/v", "version": "3", "loc": LOC, "parts": [
        {"name": "p", "id": "/v/p", "version": "3", "loc": [[0, 0, 0.5], [0, 0, 0, 1]],
         "shape": {"refs": [0], "height": 0.22, "matrices": MATRICES}, "color": "#ff80a8", "renderback": False,
         "state": [1, 1], "type": "polygon", "subtype": "solid"}, {7: "seven"}],
        "format": "GDS", "instances": [polygon]}
    options = orjson.OPT_INDENT_2 | orjson.OPT_SERIALIZE_NUMPY | orjson.OPT_NON_STR_KEYS
    text = parser.create_json(scene)
    assert text == orjson.dumps(expected, option=options).decode()
    assert '"7": "seven"' in text and "      -0.0,\n" in text and '"loc": [\n        [\n          0,\n' in text


Opaque = type("Opaque", (), {})


def test_create_json_fallback_is_read_from_the_host(parser, monkeypatch):
    opaque, seen = Opaque(), []
    scene = ViewerData(name="v", id="/v", parts=[opaque])
    assert '"parts": [\n    null\n  ]' in parser.create_json(scene)
    monkeypatch.setattr(show3d, "shared", types.SimpleNamespace(none=lambda v: seen.append(v) or "fallback"))
    assert '"parts": [\n    "fallback"\n  ]' in parser.create_json(scene) and seen == [opaque]
    monkeypatch.setattr(show3d, "shared", types.SimpleNamespace(none=lambda v: Opaque()))
    with pytest.raises(TypeError):
        parser.create_json(scene)


def description(array):
    flat = np.ascontiguousarray(array).ravel()
    return {"shape": (flat.size,), "dtype": str(flat.dtype), "buffer": base64.b64encode(flat.tobytes()).decode(),
            "codec": "b64"}


def test_square_and_transposed_arrays():
    square = np.array([[1.5, -2.0], [0.25, 3.0]], dtype="float32")
    result = numpy_to_buffer_json(square)
    assert list(result) == ["shape", "dtype", "buffer", "codec"] and type(result["shape"]) is tuple
    assert (result["shape"], result["dtype"], result["codec"]) == ((4,), "float32", "b64")
    raw = base64.b64decode(result["buffer"], validate=True)
    assert len(raw) == 16 and np.frombuffer(raw, "float32").tolist() == [1.5, -2.0, 0.25, 3.0]
    raw = base64.b64decode(numpy_to_buffer_json(value=square.T)["buffer"])
    assert np.frombuffer(raw, "float32").tolist() == [1.5, 0.25, -2.0, 3.0]
    assert square.tolist() == [[1.5, -2.0], [0.25, 3.0]]


@pytest.mark.parametrize("array", [
    EMPTY, np.array([1.5, -0.0, 2], ">f8"), np.array([-3, 7, 32767], np.int16), np.arange(1, dtype=np.uint8),
    np.arange(2, dtype=np.uint8), np.arange(4, dtype=np.uint8), np.arange(5, dtype=np.uint8),
    np.arange(12, dtype="<i4").reshape(3, 4)[:, ::2], np.array([True, False]), np.zeros((2, 0)),
    np.array([[0.1, -0.0, 1e30]], "float32").T, np.array([-1.25], "<f2")], ids=lambda a: f"{a.dtype}{a.shape}")
def test_buffer_holds_the_row_major_bytes(array):
    result = numpy_to_buffer_json(array)
    assert result == description(array) and type(result["shape"]) is tuple
    assert base64.b64decode(result["buffer"]) == np.ascontiguousarray(array).tobytes()
    if array.size == 0:
        assert result["shape"] == (0,) and result["buffer"] == ""


def test_nested_structure():
    m, a1, a2 = MATRICES, np.array([0, 0, 1, 1], "float32"), np.array([2.5, 3], "float32")
    value = {"parts": [{"shape": {"matrices": m, "refs": [0, 1]}, "name": "x"}], "instances": (a1, a2), 3: None}
    result = numpy_to_buffer_json(value)
    assert result == {"parts": [{"shape": {"matrices": description(m), "refs": [0, 1]}, "name": "x"}],
                      "instances": [description(a1), description(a2)], 3: None}
    assert list(result) == ["parts", "instances", 3] and type(result["instances"]) is list
    assert result["parts"] is not value["parts"] and value["instances"] == (a1, a2)


@pytest.mark.parametrize("leaf", ["s", 10**30, 1.5, True, None, np.float32(2), np.int64(3), Output.LAYER,
                                  Opaque(), show3d.Cell(0, "c")], ids=repr)
def test_other_values_unchanged(leaf):
    assert numpy_to_buffer_json({"k": leaf})["k"] is leaf
    assert numpy_to_buffer_json({"k": [leaf]})["k"][0] is leaf


@pytest.mark.parametrize("value, message", [
    ([1, 2], "Expected dict, got list"), ((1,), "Expected dict, got list"), ("x", "Expected dict, got str"),
    (3, "Expected dict, got int"), (Opaque(), "Expected dict, got Opaque")])
def test_result_must_be_a_dict(value, message):
    with pytest.raises(TypeError) as info:
        numpy_to_buffer_json(value)
    assert str(info.value) == message


def test_none_and_empty_and_subclassed_dicts():
    assert numpy_to_buffer_json(None) is None
    empty = {}
    assert numpy_to_buffer_json(empty) == {} and numpy_to_buffer_json(empty) is not empty
    result = numpy_to_buffer_json(Table(a=Items([EMPTY])))
    assert type(result) is dict and type(result["a"]) is list and result["a"][0]["buffer"] == ""

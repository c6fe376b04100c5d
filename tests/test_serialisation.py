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
from conftest import snap
from tessarand.core.show3d import KTrans, Output, Part, Parts, Shape, ViewerData, numpy_to_buffer_json

LOC = [[0.0, 0.0, 0.0], [0.0, 0.0, 0.0, 1.0]]
EMPTY = np.zeros(0, dtype="float32")


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


Opaque = type("Opaque", (), {})


@pytest.mark.parametrize("leaf", ["text", 10**40, 1.5, True, None, np.float32(2), np.int64(3), Output.CELL, Opaque(),
                                  b"x", frozenset({1}), 3j, EMPTY, show3d.Cell(0, "c")], ids=repr)
def test_leaves_are_kept_as_the_same_objects(parser, leaf):
    if not isinstance(leaf, show3d.Cell):  # records become dictionaries
        assert parser.asdict(leaf) is leaf
        assert parser.asdict([leaf])[0] is leaf and parser.asdict({"k": (leaf,)})["k"][0] is leaf
    if not isinstance(leaf, np.ndarray):  # arrays become buffer descriptions
        assert numpy_to_buffer_json({"k": leaf})["k"] is leaf and numpy_to_buffer_json({"k": [leaf]})["k"][0] is leaf


def tagged(result):  # an object whose to_dict() gives `result`
    return types.SimpleNamespace(to_dict=lambda: result)


def test_to_dict_objects_and_input_left_unchanged(parser):
    inner = {"t": (1, 2), "s": show3d.Cell(0, "c")}
    assert parser.asdict(tagged(inner)) is inner and inner["t"] == (1, 2)  # returned as it is
    assert parser.asdict([tagged(inner)])[0] is inner
    assert parser.asdict(type("Listed", (list,), {"to_dict": lambda self: "listed"})([1])) == "listed"
    assert parser.asdict(TURN) == {"mirror": False, "angle": 90, "displacement": [0.1, 0.2]}
    assert parser.asdict(Holder(1, tagged(inner))) == {"a": 1, "b": inner, "c": None}  # a record goes field by field
    with pytest.raises(ZeroDivisionError):  # only a missing attribute counts as absent
        parser.asdict(type("Broken", (), {"to_dict": property(lambda self: 1 / 0)})())
    refs = [1, 2]
    scene = ViewerData(name="v", id="/v", parts=[Part("p", "/v/p", shape=Shape(refs, 1.0), color="#000000")])
    before = repr(scene)
    result = parser.asdict(scene)
    assert repr(scene) == before and result["parts"][0]["shape"]["refs"] == refs
    assert result["parts"][0]["shape"]["refs"] is not refs and result["parts"] is not scene.parts


def test_subclass_asdict_and_json_fallback(monkeypatch):
    upper = type("Upper", (show3d.ParseGDS,), {
        "asdict": lambda self, obj: obj.upper() if isinstance(obj, str) else show3d.ParseGDS.asdict(self, obj)})
    parser = upper(kdb.Layout(), {})
    assert parser.asdict(Parts("g", "/g", parts=[{"k": ["x", ("y",)]}])) == {
        "name": "G", "id": "/G", "version": "3", "loc": LOC, "parts": [{"k": ["X", ["Y"]]}]}
    assert '"name": "V"' in parser.create_json(ViewerData(name="v", id="/v"))
    parser = show3d.ParseGDS(kdb.Layout(), {})  # the fallback for unknown values is read from the host
    opaque, seen = Opaque(), []
    scene = ViewerData(name="v", id="/v", parts=[opaque])
    assert '"parts": [\n    null\n  ]' in parser.create_json(scene)
    monkeypatch.setattr(show3d, "shared", types.SimpleNamespace(none=lambda v: seen.append(v) or "fallback"))
    assert '"parts": [\n    "fallback"\n  ]' in parser.create_json(scene) and seen == [opaque]
    monkeypatch.setattr(show3d, "shared", types.SimpleNamespace(none=lambda v: Opaque()))
    with pytest.raises(TypeError):
        parser.create_json(scene)


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


def description(array):
    flat = np.ascontiguousarray(array).ravel()
    return {"shape": (flat.size,), "dtype": str(flat.dtype), "buffer": base64.b64encode(flat.tobytes()).decode(),
            "codec": "b64"}


@pytest.mark.parametrize("array", [
    EMPTY, np.array([1.5, -0.0, 2], ">f8"), np.array([-3, 7, 32767], np.int16), np.arange(1, dtype=np.uint8),
    np.arange(2, dtype=np.uint8), np.arange(4, dtype=np.uint8), np.arange(5, dtype=np.uint8),
    np.arange(12, dtype="<i4").reshape(3, 4)[:, ::2], np.array([True, False]), np.zeros((2, 0)),
    np.array([[0.1, -0.0, 1e30]], "float32").T, np.array([-1.25], "<f2"),
    np.array([[1.5, -2.0], [0.25, 3.0]], "float32").T, np.array([1 + 2j], "c8"), np.array([b"ab", b"c"]),
    np.array(["\u00fcber", "x"])], ids=lambda a: f"{a.dtype}{a.shape}")
def test_buffer_holds_the_row_major_bytes(array):
    before = array.copy()
    result = numpy_to_buffer_json(value=array)
    assert result == description(array) and list(result) == ["shape", "dtype", "buffer", "codec"]
    assert type(result["shape"]) is tuple and result["codec"] == "b64"
    assert base64.b64decode(result["buffer"], validate=True) == np.ascontiguousarray(array).tobytes()
    assert array.tobytes() == before.tobytes() and array.shape == before.shape
    if array.size == 0:
        assert result["shape"] == (0,) and result["buffer"] == ""


@pytest.mark.parametrize("array", [
    np.array(["a text longer than sixteen bytes", "b"], np.dtypes.StringDType()),
    np.array(["2020-01-01"], "datetime64[D]"), np.array([5], "timedelta64[s]")],
    ids=lambda a: a.dtype.kind)
def test_dtypes_without_a_buffer_form_are_refused(array):
    """Their memory holds no plain values (a string array's holds pointers)."""
    with pytest.raises(ValueError, match="^cannot include dtype '.+' in a buffer$"):
        numpy_to_buffer_json({"x": array})


def test_nested_structure_none_subclassed_dicts_and_errors():
    m, a1, a2 = MATRICES, np.array([0, 0, 1, 1], "float32"), np.array([2.5, 3], "float32")
    value = {"parts": [{"shape": {"matrices": m, "refs": [0, 1]}, "name": "x"}], "instances": (a1, a2), 3: None}
    result = numpy_to_buffer_json(value)
    assert result == {"parts": [{"shape": {"matrices": description(m), "refs": [0, 1]}, "name": "x"}],
                      "instances": [description(a1), description(a2)], 3: None}
    assert list(result) == ["parts", "instances", 3] and type(result["instances"]) is list
    assert result["parts"] is not value["parts"] and value["instances"] == (a1, a2)
    assert numpy_to_buffer_json(None) is None
    empty = {}
    assert numpy_to_buffer_json(empty) == {} and numpy_to_buffer_json(empty) is not empty
    result = numpy_to_buffer_json(Table(a=Items([EMPTY])))
    assert type(result) is dict and type(result["a"]) is list and result["a"][0]["buffer"] == ""
    for value, got in [([1, 2], "list"), ((1,), "list"), ("x", "str"), (3, "int"), (Opaque(), "Opaque")]:
        with pytest.raises(TypeError, match=f"^Expected dict, got {got}$"):
            numpy_to_buffer_json(value)

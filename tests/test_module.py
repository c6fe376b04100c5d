"""Module surface of tessarand.core.show3d and how its native functions present themselves."""

import base64, dataclasses, enum, fnmatch, inspect, math, tempfile, types, typing  # noqa: E401

import klayout.db as kdb
import numpy as np
import numpy.typing as npt
import pytest

import tessarand.core.lazy as lazy
import tessarand.core.show3d as show3d
from orvalis.technology import LayerStack

KTrans = show3d.KTrans
LAZY = dict(npt="numpy.typing", opdk="orvalis.pdk", ovt="orvalis.technology", kv="kelvane",
            pya="klayout.db", kdb="klayout.dbcore", np="numpy", orjson="orjson",
            sg="shapely.geometry", ts_pdk="tessarand.core.pdk", comms="tessarand.core.communication",
            m="tessarand.models", shared="tessarand.core.shared")
ORDER = ("base64 math tempfile dataclass field fields is_dataclass Enum auto fnmatch TYPE_CHECKING "
         "Any TypeAlias cast lazy_import " + " ".join(LAZY) + " __all__ FORMAT VERSION Point Polygon "
         "Polygons Instances PolygonRef LayerSpec LayerMap ReverseLayerMap LayerId LayerPolygons "
         "WebColor TransMatrix FlattenedTransMatrices Cell Cells Reference References ParsedCells "
         "ParsedLayers PdkLayer Position Quaternion PartBase Shape Part Parts ViewerData KTrans Output "
         "ParseGDS get_layer_properties to_3D_viewer numpy_to_buffer_json show3d").split()
LATER = {"ParseGDS", "to_3D_viewer", "numpy_to_buffer_json", "show3d"}


def test_names_bound_in_order_with_eager_imports():
    names = list(vars(show3d))
    assert [n for n in ORDER if n not in names and n not in LATER] == []
    assert [n for n in names if n in ORDER] == [n for n in ORDER if n in names]
    eager = [base64, math, tempfile, dataclasses.dataclass, dataclasses.field, dataclasses.fields,
             dataclasses.is_dataclass, enum.Enum, enum.auto, fnmatch.fnmatch, False, typing.Any, typing.TypeAlias,
             typing.cast, lazy.lazy_import]
    assert all(getattr(show3d, n) is obj for n, obj in zip(ORDER, eager, strict=False))
    assert not hasattr(show3d, "GdsComponent")
    for name, module in LAZY.items():
        proxy = getattr(show3d, name)
        assert type(proxy) is type(lazy.lazy_import("json")) and repr(proxy) == f"<lazy module {module!r}>"


def test_constants_aliases_output_and_docstring():
    assert show3d.__doc__ == "3D viewer." and show3d.__all__ == ["show3d"]
    assert (show3d.FORMAT, show3d.VERSION) == ("GDS", "3") and type(show3d.VERSION) is str
    point, pair = tuple[float, float], tuple[int, int]
    expected = dict(Point=point, Polygon=list[point], Polygons=list[list[point]],
                    Instances=list[list[point]], PolygonRef=list[int], LayerSpec=pair,
                    LayerMap=dict[int, pair], ReverseLayerMap=dict[pair, int],
                    LayerPolygons=dict[str, list[int]], TransMatrix=tuple[tuple[float, float, float],
                                                                          tuple[float, float, float]],
                    FlattenedTransMatrices=npt.NDArray[np.float32], Cells=list[show3d.Cell],
                    References=list[show3d.Reference], Position=tuple[float, float, float],
                    Quaternion=tuple[float, float, float, float])
    for name, alias in expected.items():
        assert type(getattr(show3d, name)) is types.GenericAlias and getattr(show3d, name) == alias
    assert show3d.LayerId is str and show3d.WebColor is str
    Output = show3d.Output
    assert issubclass(Output, enum.Enum) and Output.__doc__ == "Enumeration for specifying output format types."
    assert [(m.name, m.value) for m in Output] == [("CELL", 1), ("LAYER", 2)]
    assert Output(2) is Output.LAYER and Output.LAYER != 2 and Output.CELL != "CELL" and Output.CELL != 1


@pytest.mark.parametrize("name", "Cell Reference ParsedCells ParsedLayers PdkLayer PartBase Shape Part "
                                 "Parts ViewerData KTrans Output get_layer_properties".split())
def test_module_of_classes_and_functions(name):
    obj = getattr(show3d, name)
    assert (obj.__module__, obj.__qualname__, obj.__name__) == ("tessarand.core.show3d", name, name)


@pytest.mark.parametrize("func, qualname, text", [
    (show3d.get_layer_properties, "get_layer_properties",
     "(layer_stack: 'ovt.LayerStack', layer_views: 'ovt.LayerViews') -> 'dict[LayerSpec, PdkLayer]'"),
    (KTrans.__init__, "KTrans.__init__", "(self, trans: 'kdb.Trans') -> 'None'"),
    (KTrans.to_dict, "KTrans.to_dict", "(self) -> 'dict[str, Any]'"),
    (KTrans.trans_matrix, "KTrans.trans_matrix", "(self) -> 'TransMatrix'"),
    (KTrans.multiply, "KTrans.multiply", "(parent_trans: 'KTrans | list[KTrans] | None', "
                                         "trans: 'KTrans | list[KTrans] | None') -> 'list[KTrans]'"),
])
def test_native_function_introspection(func, qualname, text):
    sig = inspect.signature(func)
    assert str(sig) == text
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
    assert (func.__qualname__, func.__module__) == (qualname, "tessarand.core.show3d")
    assert func.__defaults__ is None and func.__kwdefaults__ is None
    annotations = {p.name: p.annotation for p in sig.parameters.values() if p.name != "self"}
    assert func.__annotations__ == {**annotations, "return": sig.return_annotation}


def test_type_of_native_functions():
    kind = type(show3d.get_layer_properties)
    assert all(type(f) is kind for f in (KTrans.to_dict, KTrans.multiply, show3d.ParseGDS.__init__, show3d.show3d))
    assert (kind.__module__, kind.__qualname__, kind.__doc__) == (
        "tessarand.core.show3d", "function", "A function of the show3d module.")
    assert repr(KTrans.to_dict) == f"<function KTrans.to_dict at {id(KTrans.to_dict):#x}>"


def test_binding_as_methods_and_staticmethod():
    k = KTrans(kdb.Trans(1, False, 5, 6))
    assert type(k).to_dict is KTrans.__dict__["to_dict"]
    bound = k.to_dict
    assert type(bound) is types.MethodType and bound.__self__ is k and bound.__func__ is KTrans.to_dict
    assert str(inspect.signature(bound)) == "() -> 'dict[str, Any]'"
    assert KTrans.to_dict(self=k) == bound()
    assert type(KTrans.__dict__["multiply"]) is staticmethod and k.multiply is KTrans.multiply
    assert k.multiply(None, k)[0] is k and KTrans.multiply(parent_trans=k, trans=None)[0] is k


DELETED = object()  # the attribute is deleted instead of set


def must_be(attribute, kind):
    return "refused", f"{attribute} must be set to a {kind} object"


def reads(value):
    return "read back", value


@pytest.mark.parametrize("attribute, value, expected", [
    ("__defaults__", 5, must_be("__defaults__", "tuple")),
    ("__defaults__", (1,), reads((1,))),
    ("__defaults__", None, reads(None)),
    ("__defaults__", DELETED, reads(None)),
    ("__kwdefaults__", 5, must_be("__kwdefaults__", "dict")),
    ("__kwdefaults__", (1,), must_be("__kwdefaults__", "dict")),
    ("__kwdefaults__", {"a": 1}, reads({"a": 1})),
    ("__kwdefaults__", DELETED, reads(None)),
    ("__annotations__", 5, must_be("__annotations__", "dict")),
    ("__annotations__", {"self": int, "return": "X"}, reads({"self": int, "return": "X"})),
    ("__annotations__", None, reads({})),
    ("__annotations__", DELETED, reads({})),
    ("__name__", 5, must_be("__name__", "string")),
    ("__name__", "renamed", reads("renamed")),
    ("__name__", DELETED, must_be("__name__", "string")),
    ("__qualname__", b"x", must_be("__qualname__", "string")),
    ("__qualname__", "A.renamed", reads("A.renamed")),
    ("__qualname__", DELETED, must_be("__qualname__", "string")),
    ("__doc__", 5, reads(5)),
    ("__doc__", DELETED, reads(None)),
    ("__module__", 5, reads(5)),
    ("__module__", DELETED, reads(None)),
], ids=lambda v: "deleted" if v is DELETED else None)
def test_function_attributes_set_and_deleted_as_on_python_functions(attribute, value, expected):
    def plain(self) -> "dict[str, Any]":  # KTrans.to_dict as plain Python
        pass

    def outcome(function):
        try:
            delattr(function, attribute) if value is DELETED else setattr(function, attribute, value)
        except TypeError as error:
            return "refused", str(error)
        return "read back", getattr(function, attribute), str(inspect.signature(function))

    native = KTrans.to_dict
    saved = getattr(native, attribute)
    try:
        result = outcome(native)
    finally:
        setattr(native, attribute, saved)
    assert result[:2] == expected and result == outcome(plain)  # the signature follows too


def test_an_assigned_signature_wins_until_deleted():
    function = KTrans.to_dict
    function.__signature__ = inspect.Signature()
    try:
        assert str(inspect.signature(function)) == "()" and function.__signature__ == inspect.Signature()
    finally:
        del function.__signature__
    assert str(inspect.signature(function)) == "(self) -> 'dict[str, Any]'"
    with pytest.raises(AttributeError) as info:
        del function.__signature__
    assert str(info.value) == "__signature__"


STACK, LAYOUT = LayerStack(), kdb.Layout()


@pytest.mark.parametrize("call, message", [
    (lambda: KTrans(), "KTrans.__init__() missing 1 required positional argument: 'trans'"),
    (lambda: KTrans(1, 2), "KTrans.__init__() takes 2 positional arguments but 3 were given"),
    (lambda: KTrans(1, trans=2), "KTrans.__init__() got multiple values for argument 'trans'"),
    (lambda: KTrans(None).to_dict(1), "KTrans.to_dict() takes 1 positional argument but 2 were given"),
    (lambda: KTrans.multiply(None), "KTrans.multiply() missing 1 required positional argument: 'trans'"),
    (lambda: KTrans.multiply(trans=None, parent=1), "KTrans.multiply() got an unexpected keyword argument 'parent'"),
    (lambda: show3d.get_layer_properties(layer_views=None),
     "get_layer_properties() missing 1 required positional argument: 'layer_stack'"),
    (lambda: show3d.get_layer_properties(),
     "get_layer_properties() missing 2 required positional arguments: 'layer_stack' and 'layer_views'"),
    (lambda: show3d.get_layer_properties(STACK, None, layer_stack=STACK),
     "get_layer_properties() got multiple values for argument 'layer_stack'"),
    (lambda: show3d.ParseGDS(LAYOUT), "ParseGDS.__init__() missing 1 required positional argument: 'layers'"),
    (lambda: show3d.ParseGDS(LAYOUT, {}, 1.0, 0.01, None, 5),
     "ParseGDS.__init__() takes from 3 to 6 positional arguments but 7 were given"),
    (lambda: show3d.ParseGDS(LAYOUT, {}, 1.0, z_scale=2.0),
     "ParseGDS.__init__() got multiple values for argument 'z_scale'"),
    (lambda: show3d.ParseGDS(LAYOUT, {}, colour=1), "ParseGDS.__init__() got an unexpected keyword argument 'colour'"),
    (lambda: show3d.ParseGDS(LAYOUT, {}).export_cells(True),
     "ParseGDS.export_cells() takes 1 positional argument but 2 were given"),
    (lambda: show3d.ParseGDS(LAYOUT, {}).export_layers(True),
     "ParseGDS.export_layers() takes 1 positional argument but 2 were given"),
    (lambda: show3d.ParseGDS(LAYOUT, {}).get_color(),
     "ParseGDS.get_color() missing 1 required positional argument: 'layer_spec'"),
    (lambda: KTrans.multiply(),
     "KTrans.multiply() missing 2 required positional arguments: 'parent_trans' and 'trans'"),
    (lambda: show3d.ParseGDS.__init__(),
     "ParseGDS.__init__() missing 3 required positional arguments: 'self', 'layout', and 'layers'"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_subclass_overrides_are_honoured(monkeypatch):
    class Fixed(KTrans):
        def to_dict(self):
            return {"mirror": True, "angle": 180, "displacement": [1.5, -2.5]}

    assert Fixed("never read").trans_matrix() == ((-1.0, 1.2246467991473532e-16, 1.5),
                                                  (1.2246467991473532e-16, 1.0, -2.5))
    # products are made with whatever class the module namespace holds at call time
    monkeypatch.setattr(show3d, "KTrans", Fixed)
    (product,) = KTrans.multiply(Fixed(kdb.Trans(1, False, 0, 0)), Fixed(kdb.Trans(0, True, 3, 4)))
    assert type(product) is Fixed and product.trans == kdb.Trans(1, False, 0, 0) * kdb.Trans(0, True, 3, 4)

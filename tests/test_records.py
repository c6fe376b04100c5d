"""The data records: hierarchy nodes, viewer parts and their defaults."""

import dataclasses

import numpy as np
import pytest

import tessarand.core.show3d as s

LOC = ((0.0, 0.0, 0.0), (0.0, 0.0, 0.0, 1.0))


@pytest.mark.parametrize("name, base, own, doc", [
    ("Cell", None, dict(cell_index="int", name="str", polygons="LayerPolygons", references="References"),
     "Represents a GDS cell with geometric elements and references to other cells."),
    ("Reference", "Cell", dict(trans_count="int", trans="list[KTrans]"),
     "A reference cell that extends the base Cell class with transform capabilities."),
    ("ParsedCells", None, dict(instances="Instances", layer_map="LayerMap", cells="Cells"),
     "Container class for parsed GDS cell data."),
    ("ParsedLayers", None, dict(instances="Instances", layer_map="LayerMap",
                                layers="list[dict[str, Cell | Reference]]"),
     "A container class that holds parsed layer data and related mappings."),
    ("PdkLayer", None, dict(name="str", thickness="float", zmin="float", color="str"), None),
    ("PartBase", None, dict(name="str", id="str", version="str", loc="tuple[Position, Quaternion]"),
     "Base class for representing parts in the GDS viewer converter."),
    ("Shape", None, dict(refs="list[int]", height="float", matrices="FlattenedTransMatrices"),
     "Represents a geometric shape with transformation matrices and references."),
    ("Part", "PartBase", dict(shape="Shape", color="str", renderback="bool", state="tuple[int, int]",
                              type="str", subtype="str"),
     "Represents a geometric part with visual properties for rendering."),
    ("Parts", "PartBase", dict(parts="list[Part | Parts]"),
     "A collection class that holds multiple Part objects as child components."),
    ("ViewerData", "Parts", dict(format="str", instances="list[npt.NDArray[np.float32]]"),
     "Data structure for viewer representation of GDS layout data."),
])
def test_record_class(name, base, own, doc):
    cls = getattr(s, name)
    kw_only = name in ("Part", "Parts", "ViewerData")
    assert type(cls) is type and cls.__bases__ == ((getattr(s, base),) if base else (object,))
    assert list(cls.__dict__["__annotations__"].items()) == list(own.items())
    p = cls.__dataclass_params__
    assert (p.init, p.repr, p.eq, p.order, p.frozen, p.kw_only) == (True, True, True, False, False, kw_only)
    assert cls.__hash__ is None and "__slots__" not in cls.__dict__
    inherited = list(dataclasses.fields(getattr(s, base))) if base else []
    fields = dataclasses.fields(cls)
    assert [f.name for f in fields] == [f.name for f in inherited] + list(own)
    assert [(f.type, f.kw_only) for f in fields[len(inherited):]] == [(t, kw_only) for t in own.values()]
    if kw_only:
        assert [f.name for f in fields if not f.kw_only] == ["name", "id", "version", "loc"]
    if doc:
        assert cls.__doc__.splitlines()[0] == doc


def test_defaults_are_fresh_and_own_fields_keyword_only():
    a, b = s.Cell(1, "a"), s.Cell(cell_index=2, name="b")
    a.references.append("x")
    a.polygons["0"] = [1]
    assert (b.polygons, b.references) == ({}, [])
    r1, r2 = s.Reference(3, "r"), s.Reference(3, "r")
    assert isinstance(r1, s.Cell) and (r1.trans_count, r1.trans) == (0, []) and r1 == r2
    assert r1.trans is not r2.trans and r1.polygons is not r2.polygons
    assert s.Cell(1, "a") == s.Cell(1, "a", {}, []) and s.Reference(1, "a") != s.Cell(1, "a")
    assert repr(r1) == "Reference(cell_index=3, name='r', polygons={}, references=[], trans_count=0, trans=[])"
    for record in (a, r1, s.Shape([], 1.0), s.PartBase("n", "i"), s.PdkLayer("n", 1.0, 0.0, "c")):
        with pytest.raises(TypeError, match="unhashable type"):
            hash(record)
    for cls in (s.ParsedCells, s.ParsedLayers):
        with pytest.raises(TypeError):
            cls([], {})
    instances = []
    assert s.ParsedLayers(instances, {}, []).instances is instances
    a, b = s.PartBase("a", "a"), s.PartBase(name="b", id="b")
    assert a.version == "3" and a.loc == LOC and type(a.loc[1][3]) is float
    assert a.loc is b.loc is s.Part("p", "p", shape=None, color="c").loc
    assert repr(a) == "PartBase(name='a', id='a', version='3', loc=((0.0, 0.0, 0.0), (0.0, 0.0, 0.0, 1.0)))"
    x, y = s.Shape([1, 2], 0.5), s.Shape(refs=[], height=1)
    assert type(x.matrices) is np.ndarray and x.matrices.dtype == np.float32 and x.matrices.shape == (0,)
    assert x.matrices is not y.matrices and type(y.height) is int
    assert repr(x) == "Shape(refs=[1, 2], height=0.5, matrices=array([], dtype=float32))"
    part = s.Part("n", "i", shape=x, color="#ffffff")
    assert (part.version, part.loc, part.renderback, part.state, part.type, part.subtype) == (
        "3", LOC, False, (1, 1), "polygon", "solid")
    assert part.shape is x and type(part.state) is tuple
    assert s.Part("n", "i", "4", LOC, shape=x, color="c").version == "4"
    p1, p2 = s.Parts("a", "a"), s.Parts("b", "b")
    assert p1.parts == [] and p1.parts is not p2.parts
    v1, v2 = s.ViewerData("top", "top"), s.ViewerData("top", "top")
    assert (v1.format, v1.version, v1.parts, v1.instances) == ("GDS", "3", [], [])
    assert v1.instances is not v2.instances and v1.parts is not v2.parts and v1 == v2
    assert repr(v1) == ("ViewerData(name='top', id='top', version='3', loc=((0.0, 0.0, 0.0), "
                        "(0.0, 0.0, 0.0, 1.0)), parts=[], format='GDS', instances=[])")
    for make in (lambda: s.Part("n", "i", "3", LOC, x), lambda: s.Part("n", "i", "3", LOC, x, "c"),
                 lambda: s.Part("n", "i", shape=x), lambda: s.Parts("a", "a", "3", LOC, []),
                 lambda: s.ViewerData("a", "a", "3", LOC, [])):  # own fields are keyword-only
        with pytest.raises(TypeError):
            make()

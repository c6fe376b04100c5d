"""to_3D_viewer and show3d: argument handling, temporary files, the viewer message."""

import base64
import sys
import tempfile
import types
from pathlib import Path

import klayout.db as kdb
import numpy as np
import orjson
import pytest

import orvalis
import tessarand.core.show3d as show3d
import tessarand.models as models
from conftest import SAMPLE_NAMES, kit_of, make_layout, sample_path, snap, walk
from orvalis import Component, pdk
from orvalis.technology import LayerStack, LayerViews
from tessarand.core.show3d import Output, ViewerData

NS = types.SimpleNamespace
CONFIG = ('{"_splash":false,"ambient_intensity":1,"angular_tolerance":0.2,"axes":false,"axes0":true,'
          '"black_edges":false,"center_grid":false,"collapse":3,"control":"trackball","default_color":"#e8b024",'
          '"default_edgecolor":"#707070","default_facecolor":"Violet","default_opacity":0.5,'
          '"default_thickedgecolor":"MediumOrchid","default_vertexcolor":"MediumOrchid","direct_intensity":1.1,'
          '"explode":false,"glass":true,"grid":[false,false,false],"helper_scale":10,"metalness":0.3,'
          '"modifier_keys":{"shift":"shiftKey","ctrl":"ctrlKey","meta":"metaKey","alt":"altKey"},'
          '"new_tree_behavior":true,"ortho":true,"pan_speed":1,"render_edges":true,"render_joints":false,'
          '"render_mates":false,"render_normals":false,"reset_camera":"reset","rotate_speed":1,"roughness":0.65,'
          '"show_parent":false,"show_sketch_local":true,"ticks":10,"timeit":false,"tools":true,"transparent":false,'
          '"up":"Z","zoom_speed":1,"normal_len":0}')  # the viewer settings, as sent
TUPLE_MESSAGE = "Argument 'exclude_layers' has incorrect type (expected list, got tuple)"


@pytest.fixture(autouse=True)
def ebeam(kit):  # "ebeam" is active during and after every test
    kit("ebeam")


@pytest.fixture
def tmp_gds(tmp_path, monkeypatch):
    folder = tmp_path / "tmp"
    folder.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(folder))
    return folder


def component():
    """A chip cell with a waveguide and a ring (Si, heater) placed turned and mirrored (ebeam layers)."""
    return Component.from_layout(make_layout(
        {"chip": {(1, 0): [(0, 0, 10000, 500)]},
         "ring": {(1, 0): [(0, 0, 2000, 2000)], (11, 0): [(500, 500, 1500, 1500)]}},
        [("chip", "ring", kdb.Trans(1, False, 3000, 1000)), ("chip", "ring", kdb.Trans(0, True, 6000, 1000))]))


class Writer:  # a component that writes the chip, then runs `then` on the path it was given
    def __init__(self, then=None):
        self.inner, self.paths, self.then = component(), [], then

    def write_gds(self, path):
        self.paths.append(Path(path))
        self.inner.write_gds(path)
        if self.then:
            self.then(Path(path))


def convert(comp, *args, **kwargs):  # with a caller's own views and stack (not the framework's classes)
    views = NS(get_from_tuple=lambda key: pdk.get_layer_views().get_from_tuple(key))
    stack = NS(layers=pdk.get_layer_stack().layers, get_component_with_derived_layers=lambda c: c)
    return show3d.to_3D_viewer(comp, *args, layer_views=views, layer_stack=stack, **kwargs)


def refuse():
    raise LookupError("the active kit was consulted")


REFUSING = NS(get_layer_views=refuse, get_layer_stack=refuse, get_pdk=refuse)


def test_only_a_component_uses_the_active_kit(monkeypatch):
    calls, comp = [], component()
    monkeypatch.setattr(show3d, "opdk", NS(get_layer_views=lambda: calls.append("views") or pdk.get_layer_views(),
                                           get_layer_stack=lambda: calls.append("stack") or pdk.get_layer_stack()))
    result = show3d.to_3D_viewer(comp)
    assert calls == ["views", "stack"] and type(result) is ViewerData and result.id == "/Layers"
    assert sorted(n.name for n in result.parts) == ["M1_heater (11, 0)", "Si (1, 0)"]
    explicit = show3d.to_3D_viewer(comp, Output.LAYER, pdk.get_layer_views(), pdk.get_layer_stack(), 1.0, 0.01, None)
    assert snap(result) == snap(explicit)
    monkeypatch.setattr(show3d, "opdk", REFUSING)
    assert snap(convert(comp)) == snap(result)  # caller's objects: the kit is not consulted


def test_text_component_is_a_path(tmp_path, monkeypatch):
    comp = component()
    comp.write_gds(tmp_path / "chip.gds")
    seen, fake = [], types.ModuleType("orvalis")
    fake.import_gds = lambda path: seen.append(path) or orvalis.import_gds(path)
    monkeypatch.setitem(sys.modules, "orvalis", fake)
    text = type("GdsPath", (str,), {})(tmp_path / "chip.gds")
    result = show3d.to_3D_viewer(text, Output.CELL)
    assert len(seen) == 1 and seen[0] is text
    assert snap(result) == snap(show3d.to_3D_viewer(comp, Output.CELL))


@pytest.mark.parametrize("mode", [Output.CELL, Output.LAYER])
def test_z_scale_two_doubles_heights(mode):
    comp = component()
    one, two = show3d.to_3D_viewer(comp, mode), show3d.to_3D_viewer(comp, mode, z_scale=2)
    pairs = [(a, b) for a, b in zip(walk(one), walk(two)) if type(a) is show3d.Part]
    assert len(pairs) == 3 and len(list(walk(one))) == len(list(walk(two)))
    for a, b in pairs:
        assert (b.id, b.shape.height, b.loc[0][2]) == (a.id, 2 * a.shape.height, 2 * a.loc[0][2])
        assert b.shape.matrices.tobytes() == a.shape.matrices.tobytes() and type(b.shape.height) is float


TRUTHLESS = type("Truthless", (), {"__bool__": lambda self: 1 / 0})()
NOTE = "Subclasses of built-in types are not accepted for this parameter; pass a plain list."


@pytest.mark.parametrize("args, kwargs, error, message", [
    ((), dict(z_scale=None, curve_tolerance="x"), TypeError, None),  # z_scale first
    ((), dict(z_scale="2"), TypeError, None),
    ((), dict(curve_tolerance="x", as_dict=TRUTHLESS),
     TypeError, "Argument 'curve_tolerance' has incorrect type (expected float, got str)"),
    ((), dict(as_dict=TRUTHLESS, exclude_layers=()), ZeroDivisionError, "division by zero"),
    ((), dict(exclude_layers=("m*",)), TypeError, TUPLE_MESSAGE),
    ((), dict(exclude_layers="m*"), TypeError, "Argument 'exclude_layers' has incorrect type (expected list, got str)"),
    ((Output.LAYER, None, None, 1.0, 0.01, None, True), {}, TypeError, None),  # as_dict is keyword-only
    ((), dict(exclude_layers=type("Patterns", (list,), {})(["m*"])),
     TypeError, "Argument 'exclude_layers' has incorrect type (expected list, got Patterns)"),
])
def test_argument_errors_before_any_work(monkeypatch, tmp_gds, args, kwargs, error, message):
    monkeypatch.setattr(show3d, "opdk", REFUSING)
    with pytest.raises(error) as info:
        show3d.to_3D_viewer(NS(), *args, **kwargs)
    assert type(info.value) is error and list(tmp_gds.iterdir()) == []
    assert message is None or str(info.value) == message
    if "z_scale" in kwargs:
        assert "curve_tolerance" not in str(info.value)
    assert getattr(info.value, "__notes__", None) == ([NOTE] if "Patterns" in str(message) else None)


@pytest.mark.parametrize("mode", [Output.CELL, Output.LAYER])
@pytest.mark.parametrize("flag", [True, 1, "yes", [0], False, 0, "", None])
def test_temporary_file_removed_after_success_and_as_dict_by_truth_value(tmp_gds, mode, flag):
    writer = Writer()
    result = convert(writer, mode, as_dict=flag)
    (path,) = writer.paths
    assert path.parent == tmp_gds and path.suffix == ".gds" and not path.exists() and list(tmp_gds.iterdir()) == []
    tree = convert(component(), mode)
    assert type(tree) is ViewerData and type(result) is (dict if flag else ViewerData)
    assert snap(result) == snap(show3d.ParseGDS(kdb.Layout(), {}).asdict(tree) if flag else tree)


FAILURE = OSError("disk full")


def fail_after_writing(path):
    assert path.stat().st_size > 0
    raise FAILURE


@pytest.mark.parametrize("then, output, error", [(None, output, ValueError) for output in (2, "LAYER", 1, "CELL", None)]
                         + [(fail_after_writing, Output.CELL, OSError), (Path.unlink, Output.CELL, RuntimeError)])
def test_failed_conversion_leaves_no_file(tmp_gds, then, output, error):
    writer = Writer(then)
    with pytest.raises(Exception) as info:  # the original error stands, also when the file is already gone
        convert(writer, output)
    assert type(info.value) is error and list(tmp_gds.iterdir()) == [] and len(writer.paths) == 1
    assert info.value is FAILURE or "Unable to open" in str(info.value) if then else (
        str(info.value) == "Only Output.CELL and Output.LAYER are allowed")
    assert not isinstance(info.value.__context__, FileNotFoundError)


class Vanishing(str):  # a pattern whose test removes the temporary file while the tree is built
    folder = None

    def lower(self):
        for path in Path(self.folder).glob("*.gds"):
            path.unlink()
        return str.lower(self)


def test_file_gone_before_cleanup_keeps_the_result(tmp_gds):
    Vanishing.folder = tmp_gds
    result = convert(component(), Output.CELL, exclude_layers=[Vanishing("no such layer")])
    assert type(result) is ViewerData and snap(result) == snap(convert(component(), Output.CELL))


class Recorder:
    def __init__(self, result=None):
        self.calls, self.result = [], result

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.result


@pytest.fixture
def host(monkeypatch):
    message, sent = Recorder(NS(tag="message")), Recorder("ignored")
    monkeypatch.setattr(show3d, "m", NS(Show3dMessage=message))
    monkeypatch.setattr(show3d, "comms", NS(send_message=sent))
    return NS(message=message, sent=sent)


def test_show3d_sends_one_message(host):
    assert show3d.show3d(component(), Output.CELL) is None
    ((args, kwargs),) = host.message.calls
    assert args == () and list(kwargs) == ["content"] and type(kwargs["content"]) is str
    assert host.sent.calls == [((host.message.result,), {})]
    text = kwargs["content"]
    assert text.startswith('{"type":"data","data":{"name":"Cells","id":"/Cells","version":"3","loc":[[0.0,0.0,0.0],')
    assert text.endswith(',"config":' + CONFIG + "}") and "\n" not in text and ": " not in text and ', "' not in text
    assert list(orjson.loads(text)) == ["type", "data", "config"]
    assert '"loc":[[0,0,0.0],[0,0,0,1]]' in text and '"loc":[[0,0,2.42],[0,0,0,1]]' in text  # Si, heater


def broken_message(**kwargs):
    raise RuntimeError("no message")


@pytest.mark.parametrize("args, kwargs, error, message", [
    ((3,), {}, ValueError, "Only Output.CELL and Output.LAYER are allowed"),
    ((Output.LAYER, 1.0, 0.01, ("m*",)), {}, TypeError, TUPLE_MESSAGE),
    ((Output.LAYER,), dict(exclude_layers=type("Patterns", (list,), {})()), TypeError, None),
    ((Output.LAYER, None), {}, TypeError, None),
    ((Output.LAYER,), dict(curve_tolerance="x"), TypeError, None),
    ((Output.LAYER,), {}, RuntimeError, "no message"),
])
def test_show3d_sends_nothing_when_a_step_fails(host, monkeypatch, args, kwargs, error, message):
    if error is RuntimeError:
        monkeypatch.setattr(show3d, "m", NS(Show3dMessage=broken_message))
    if error is TypeError:  # the arguments are checked before the kit is consulted
        monkeypatch.setattr(show3d, "ts_pdk", REFUSING)
    with pytest.raises(error) as info:
        show3d.show3d(component(), *args, **kwargs)
    assert message is None or str(info.value) == message
    assert getattr(info.value, "__notes__", None) is None and host.message.calls == host.sent.calls == []


@pytest.mark.parametrize("args, kwargs, forwarded", [
    ((), {}, (1.0, 0.01)), ((2, 1, ["m*"]), {}, (2.0, 1.0)),
    ((), dict(z_scale=0.5, curve_tolerance=None, exclude_layers=[]), (0.5, None))])
def test_show3d_forwards_arguments(host, monkeypatch, args, kwargs, forwarded):
    kit = NS(layer_stack=LayerStack(), layer_views=LayerViews())
    monkeypatch.setattr(show3d, "ts_pdk", NS(get_pdk=lambda: kit))
    polygon = np.array([1.5, -0.0], "float32")
    convert_call = Recorder({"name": "scene", "instances": [polygon]})
    monkeypatch.setattr(show3d, "to_3D_viewer", convert_call)
    comp = component()
    show3d.show3d(comp, Output.LAYER, *args, **kwargs)
    ((given, options),) = convert_call.calls
    assert given[0] is comp and given[1] is Output.LAYER and len(given) == 2
    assert list(options) == ["layer_stack", "layer_views", "z_scale", "curve_tolerance", "exclude_layers", "as_dict"]
    assert options["layer_stack"] is kit.layer_stack and options["layer_views"] is kit.layer_views
    z, tolerance = forwarded
    assert type(options["z_scale"]) is float and options["z_scale"] == z and options["as_dict"] is True
    assert snap(options["curve_tolerance"]) == snap(tolerance)
    assert options["exclude_layers"] is kwargs.get("exclude_layers", args[2] if len(args) > 2 else None)
    data = orjson.loads(host.message.calls[0][1]["content"])["data"]
    assert data == {"name": "scene", "instances": [
        {"shape": [2], "dtype": "float32", "buffer": base64.b64encode(polygon.tobytes()).decode(), "codec": "b64"}]}


def plain(value):  # what the viewer reads back: tuples arrive as lists, buffer descriptions become arrays again
    if isinstance(value, dict) and value.get("codec") == "b64" and list(value) == ["shape", "dtype", "buffer", "codec"]:
        return np.frombuffer(base64.b64decode(value["buffer"]), dtype=value["dtype"]).reshape(value["shape"])
    if isinstance(value, dict):
        return {k: plain(v) for k, v in value.items()}
    return [plain(v) for v in value] if isinstance(value, (list, tuple)) else value


def nodes(node):
    yield node
    for child in node.get("parts", []):
        yield from nodes(child)


@pytest.mark.parametrize("mode", [Output.CELL, Output.LAYER])
@pytest.mark.parametrize("name", SAMPLE_NAMES)
def test_samples_end_to_end(name, mode, monkeypatch, kit):
    path = str(sample_path(name))
    kit(kit_of(name))
    scenes, sent, real = [], [], show3d.to_3D_viewer
    monkeypatch.setattr(show3d, "to_3D_viewer", lambda *a, **k: scenes.append(real(*a, **k)) or scenes[-1])
    monkeypatch.setattr(show3d, "comms", NS(send_message=sent.append))
    assert show3d.show3d(path, mode) is None
    (scene,), (message,) = scenes, sent
    found, count = list(nodes(scene)), len(scene.get("instances", []))
    assert len({node["id"] for node in found}) == len(found) > 1
    for shape in [node["shape"] for node in found if "shape" in node]:
        assert all(type(r) is int and 0 <= r < count for r in shape.get("refs", []))
        assert shape["matrices"].dtype == np.float32 and shape["matrices"].ndim == 1 and shape["matrices"].size % 6 == 0
    assert type(message) is models.Show3dMessage and type(message.content) is str
    content = orjson.loads(message.content)
    assert list(content) == ["type", "data", "config"] and content["type"] == "data"
    assert message.content.endswith(',"config":' + CONFIG + "}") and snap(plain(content["data"])) == snap(plain(scene))


@pytest.mark.parametrize("given", ["path", "component"])
def test_layouts_of_the_host_are_released_before_the_file_is_read_back(tmp_path, monkeypatch, given):
    """The imported and the derived component are let go once the temporary file is
    written; a caller's own component stays theirs."""
    import weakref

    path = component().write_gds(tmp_path / "chip.gds")
    held, alive_at_read = {}, []
    import_gds, derive = orvalis.import_gds, pdk.get_layer_stack().get_component_with_derived_layers

    def importing(*args, **kwargs):
        result = import_gds(*args, **kwargs)
        held["imported"] = weakref.ref(result)
        return result

    def deriving(comp):
        result = derive(comp)
        held["derived"] = weakref.ref(result)
        return result

    class Parser(show3d.ParseGDS):  # built once the file is read back
        def __init__(self, *args, **kwargs):
            alive_at_read.extend(name for name, ref in held.items() if ref() is not None)
            super().__init__(*args, **kwargs)

    monkeypatch.setattr(orvalis, "import_gds", importing)
    monkeypatch.setattr(pdk.get_layer_stack(), "get_component_with_derived_layers", deriving)
    monkeypatch.setattr(show3d, "ParseGDS", Parser)
    mine = component()
    scene = show3d.to_3D_viewer(str(path) if given == "path" else mine, Output.CELL, as_dict=True)
    assert sorted(held) == (["derived", "imported"] if given == "path" else ["derived"])
    assert alive_at_read == [] and scene["parts"]

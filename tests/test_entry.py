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
from orvalis import Component, pdk
from orvalis.technology import LayerStack, LayerViews
from tessarand.core.show3d import Output, ViewerData

LAYOUTS = Path(__file__).resolve().parents[2] / "shared" / "layouts"
NS = types.SimpleNamespace
CONFIG = [
    ("_splash", False), ("ambient_intensity", 1), ("angular_tolerance", 0.2), ("axes", False), ("axes0", True),
    ("black_edges", False), ("center_grid", False), ("collapse", 3), ("control", "trackball"),
    ("default_color", "#e8b024"), ("default_edgecolor", "#707070"), ("default_facecolor", "Violet"),
    ("default_opacity", 0.5), ("default_thickedgecolor", "MediumOrchid"), ("default_vertexcolor", "MediumOrchid"),
    ("direct_intensity", 1.1), ("explode", False), ("glass", True), ("grid", [False, False, False]),
    ("helper_scale", 10), ("metalness", 0.3),
    ("modifier_keys", {"shift": "shiftKey", "ctrl": "ctrlKey", "meta": "metaKey", "alt": "altKey"}),
    ("new_tree_behavior", True), ("ortho", True), ("pan_speed", 1), ("render_edges", True),
    ("render_joints", False), ("render_mates", False), ("render_normals", False), ("reset_camera", "reset"),
    ("rotate_speed", 1), ("roughness", 0.65), ("show_parent", False), ("show_sketch_local", True), ("ticks", 10),
    ("timeit", False), ("tools", True), ("transparent", False), ("up", "Z"), ("zoom_speed", 1), ("normal_len", 0)]


@pytest.fixture(autouse=True)
def ebeam():
    pdk.activate_pdk("ebeam")
    yield
    pdk.activate_pdk("ebeam")


@pytest.fixture
def tmp_gds(tmp_path, monkeypatch):
    folder = tmp_path / "tmp"
    folder.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(folder))
    return folder


def snap(x):  # exact, type-strict picture of a tree or of nested values
    if hasattr(x, "__dataclass_fields__"):
        return type(x).__name__, [(k, snap(getattr(x, k))) for k in x.__dataclass_fields__]
    if isinstance(x, np.ndarray):
        return "array", str(x.dtype), x.shape, x.tobytes()
    if isinstance(x, (list, tuple, dict)):
        items = x.items() if isinstance(x, dict) else enumerate(x)
        return type(x).__name__, [(k, snap(v)) for k, v in items]
    return type(x).__name__, (x.hex() if isinstance(x, float) else x)


def component():
    """A chip cell with a waveguide and a ring (Si, heater) placed turned and mirrored (ebeam layers)."""
    ly = kdb.Layout()
    ly.dbu = 0.001
    si, heater = ly.layer(1, 0), ly.layer(11, 0)
    top, ring = ly.create_cell("chip"), ly.create_cell("ring")
    top.shapes(si).insert(kdb.Box(0, 0, 10000, 500))
    ring.shapes(si).insert(kdb.Box(0, 0, 2000, 2000))
    ring.shapes(heater).insert(kdb.Box(500, 500, 1500, 1500))
    top.insert(kdb.CellInstArray(ring.cell_index(), kdb.Trans(1, False, 3000, 1000)))
    top.insert(kdb.CellInstArray(ring.cell_index(), kdb.Trans(0, True, 6000, 1000)))
    return Component.from_layout(ly)


def walk(node):
    yield node
    for child in getattr(node, "parts", []):
        yield from walk(child)


class OwnStack:  # a caller's stack object (not the framework's class) that adds no derived layers
    def __init__(self):
        self.layers = pdk.get_layer_stack().layers

    def get_component_with_derived_layers(self, component):
        return component


class OwnViews:
    def get_from_tuple(self, spec):
        return pdk.get_layer_views().get_from_tuple(spec)


class Writer:  # a component that writes the chip, then runs `then` on the path it was given
    def __init__(self, then=None):
        self.inner, self.paths, self.then = component(), [], then

    def write_gds(self, path):
        self.paths.append(Path(path))
        self.inner.write_gds(path)
        if self.then:
            self.then(Path(path))


def convert(comp, *args, **kwargs):
    return show3d.to_3D_viewer(comp, *args, layer_views=OwnViews(), layer_stack=OwnStack(), **kwargs)


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


@pytest.mark.parametrize("flag, kind", [(True, dict), (1, dict), ("yes", dict), ([0], dict),
                                        (False, ViewerData), (0, ViewerData), ("", ViewerData), (None, ViewerData)])
def test_as_dict_by_truth_value(flag, kind):
    comp = component()
    result = show3d.to_3D_viewer(comp, Output.CELL, as_dict=flag)
    assert type(result) is kind
    if kind is dict:
        tree = show3d.to_3D_viewer(comp, Output.CELL)
        assert snap(result) == snap(show3d.ParseGDS(kdb.Layout(), {}).asdict(tree))


class GdsPath(str):
    pass


def test_text_component_is_a_path(tmp_path, monkeypatch):
    comp = component()
    comp.write_gds(tmp_path / "chip.gds")
    seen, fake = [], types.ModuleType("orvalis")
    fake.import_gds = lambda path: seen.append(path) or orvalis.import_gds(path)
    monkeypatch.setitem(sys.modules, "orvalis", fake)
    text = GdsPath(tmp_path / "chip.gds")
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


class Patterns(list):
    pass


class Truthless:
    def __bool__(self):
        raise ZeroDivisionError("no truth value")


@pytest.mark.parametrize("args, kwargs, error, message", [
    ((), dict(z_scale=None, curve_tolerance="x"), TypeError, None),
    ((), dict(z_scale="2"), TypeError, None),
    ((), dict(curve_tolerance="x", as_dict=Truthless()),
     TypeError, "Argument 'curve_tolerance' has incorrect type (expected float, got str)"),
    ((), dict(as_dict=Truthless(), exclude_layers=()), ZeroDivisionError, "no truth value"),
    ((), dict(exclude_layers=("m*",)), TypeError, "Argument 'exclude_layers' has incorrect type (expected list, got tuple)"),
    ((), dict(exclude_layers="m*"), TypeError, "Argument 'exclude_layers' has incorrect type (expected list, got str)"),
    ((Output.LAYER, None, None, 1.0, 0.01, None, True), {}, TypeError, None),
])
def test_argument_errors_before_any_work(monkeypatch, tmp_gds, args, kwargs, error, message):
    monkeypatch.setattr(show3d, "opdk", REFUSING)
    with pytest.raises(error) as info:
        show3d.to_3D_viewer(NS(), *args, **kwargs)
    assert type(info.value) is error and list(tmp_gds.iterdir()) == []
    assert message is None or str(info.value) == message
    assert getattr(info.value, "__notes__", None) is None
    if "z_scale" in kwargs:
        assert "curve_tolerance" not in str(info.value)


def test_list_subclass_rejected_with_note():
    with pytest.raises(TypeError) as info:
        show3d.to_3D_viewer(component(), exclude_layers=Patterns(["m*"]))
    assert str(info.value) == "Argument 'exclude_layers' has incorrect type (expected list, got Patterns)"
    (note,) = info.value.__notes__
    assert "subclass" in note.lower()


@pytest.mark.parametrize("output", [2, "LAYER", 1, "CELL", None])
def test_invalid_output_after_writing_leaves_no_file(tmp_gds, output):
    writer = Writer()
    with pytest.raises(ValueError) as info:
        convert(writer, output)
    assert str(info.value) == "Only Output.CELL and Output.LAYER are allowed"
    assert len(writer.paths) == 1 and list(tmp_gds.iterdir()) == []


@pytest.mark.parametrize("mode", [Output.CELL, Output.LAYER])
@pytest.mark.parametrize("as_dict", [False, True])
def test_temporary_file_removed_after_success(tmp_gds, mode, as_dict):
    writer = Writer()
    result = convert(writer, mode, as_dict=as_dict)
    (path,) = writer.paths
    assert path.parent == tmp_gds and path.suffix == ".gds" and not path.exists()
    assert list(tmp_gds.iterdir()) == [] and snap(result) == snap(convert(component(), mode, as_dict=as_dict))


FAILURE = OSError("disk full")


def fail_after_writing(path):
    assert path.stat().st_size > 0
    raise FAILURE


@pytest.mark.parametrize("then, error", [(fail_after_writing, OSError), (Path.unlink, RuntimeError)])
def test_failed_conversion_leaves_no_file(tmp_gds, then, error):
    with pytest.raises(Exception) as info:  # the original error stands, also when the file is already gone
        convert(Writer(then), Output.CELL)
    assert type(info.value) is error and list(tmp_gds.iterdir()) == []
    assert info.value is FAILURE or "Unable to open" in str(info.value)
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
    message = Recorder()
    message.result = NS(tag="message")
    sent = Recorder("ignored")
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
    assert "\n" not in text and ": " not in text and ', "' not in text
    message = orjson.loads(text)
    assert list(message) == ["type", "data", "config"] and list(message["config"]) == [k for k, _ in CONFIG]
    assert snap(message["config"]) == snap(dict(CONFIG)) and len(CONFIG) == 41
    assert '"ambient_intensity":1,' in text and '"direct_intensity":1.1,' in text
    assert '"grid":[false,false,false],' in text and text.endswith(',"zoom_speed":1,"normal_len":0}}')
    assert '"loc":[[0,0,0.0],[0,0,0,1]]' in text and '"loc":[[0,0,2.42],[0,0,0,1]]' in text  # Si, heater


def broken_message(**kwargs):
    raise RuntimeError("no message")


@pytest.mark.parametrize("args, kwargs, error, message_class", [
    ((3,), {}, ValueError, None), ((Output.LAYER,), dict(exclude_layers=("m*",)), TypeError, None),
    ((Output.LAYER, None), {}, TypeError, None), ((Output.LAYER,), dict(curve_tolerance="x"), TypeError, None),
    ((Output.LAYER,), {}, RuntimeError, broken_message)])
def test_show3d_sends_nothing_when_a_step_fails(host, monkeypatch, args, kwargs, error, message_class):
    if message_class:
        monkeypatch.setattr(show3d, "m", NS(Show3dMessage=message_class))
    with pytest.raises(error):
        show3d.show3d(component(), *args, **kwargs)
    assert host.message.calls == [] and host.sent.calls == []


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


def test_show3d_rejects_tuple_before_consulting_the_kit(host, monkeypatch):
    monkeypatch.setattr(show3d, "ts_pdk", REFUSING)
    with pytest.raises(TypeError, match=r"^Argument 'exclude_layers' has incorrect type \(expected list, got tuple\)$"):
        show3d.show3d(component(), Output.LAYER, 1.0, 0.01, ("m*",))


def decode(value):
    if isinstance(value, dict) and value.get("codec") == "b64" and list(value) == ["shape", "dtype", "buffer", "codec"]:
        return np.frombuffer(base64.b64decode(value["buffer"]), dtype=value["dtype"]).reshape(value["shape"])
    if isinstance(value, dict):
        return {k: decode(v) for k, v in value.items()}
    return [decode(v) for v in value] if isinstance(value, list) else value


def as_json(value):  # what the viewer reads back: tuples arrive as lists
    if isinstance(value, dict):
        return {k: as_json(v) for k, v in value.items()}
    return [as_json(v) for v in value] if isinstance(value, (list, tuple)) else value


def check_scene(scene):
    count, ids = len(scene.get("instances", [])), []

    def visit(node):
        ids.append(node["id"])
        if "shape" in node:
            refs, matrices = node["shape"].get("refs", []), node["shape"]["matrices"]
            assert all(type(r) is int and 0 <= r < count for r in refs)
            assert matrices.dtype == np.float32 and matrices.ndim == 1 and matrices.size % 6 == 0
        for child in node.get("parts", []):
            visit(child)

    visit(scene)
    assert len(ids) == len(set(ids)) and len(ids) > 1


NAMES = sorted(p.name for p in LAYOUTS.glob("*.gds")) or ["(no shared layouts)"]


@pytest.mark.parametrize("mode", [Output.CELL, Output.LAYER])
@pytest.mark.parametrize("name", NAMES)
def test_real_layouts_end_to_end(name, mode, tmp_path, monkeypatch, kit):
    path = LAYOUTS / name
    if not path.is_file():
        pytest.skip("shared sample layouts not available")
    kit("sg13g2" if name.startswith("ihp") else "ebeam")
    scene = show3d.to_3D_viewer(str(path), mode, as_dict=True)
    check_scene(scene)
    monkeypatch.setenv("TESSARAND_VIEWER_DIR", str(tmp_path / "viewer"))
    assert show3d.show3d(str(path), mode) is None
    (sent,) = (tmp_path / "viewer").iterdir()
    message = orjson.loads(sent.read_bytes())
    assert list(message) == ["type", "data", "config"] and message["type"] == "data"
    assert snap(decode(message["data"])) == snap(as_json(scene))

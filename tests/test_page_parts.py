"""The command line's page is packed by the converter: the same message as show3d
sends, its distinct arrays once, and counts read from the scene."""

import types

import orjson
import pytest

import tessarand.core.show3d as show3d
from conftest import SAMPLE_NAMES, kit_of, sample_path
from orvalis import pdk
from tessarand import report, viewer
from tessarand.core.show3d import Output


def sent_text(monkeypatch, *args, **kwargs) -> str:
    sent = []
    monkeypatch.setattr(show3d, "comms", types.SimpleNamespace(send_message=sent.append))
    show3d.show3d(*args, **kwargs)
    monkeypatch.undo()
    return sent[0].content


def oracle(text: str) -> dict:
    """The counts of a message, read from its JSON."""
    data = orjson.loads(text)["data"]

    def leaves(node):
        for child in node.get("parts", []):
            yield from ([child] if "shape" in child else leaves(child))

    names = [node["name"] for node in (data["parts"] if data["name"] == "Layers" else leaves(data))]
    instances = data.get("instances", [])
    return {"placements": sum(max(1, leaf["shape"]["matrices"]["shape"][0] // 6) for leaf in leaves(data)),
            "polygons": len(instances), "points": sum(item["shape"][0] // 2 for item in instances),
            "layers": list(dict.fromkeys(names)), "message_chars": len(text)}


@pytest.mark.parametrize("name", SAMPLE_NAMES)
@pytest.mark.parametrize("output", [Output.LAYER, Output.CELL])
@pytest.mark.parametrize("tuning", [{}, {"curve_tolerance": None, "z_scale": 2.5}])
def test_page_parts_carry_the_message_show3d_sends(monkeypatch, name, output, tuning):
    pdk.activate_pdk(kit_of(name))
    try:
        path = str(sample_path(name))
        text = sent_text(monkeypatch, path, output, **tuning)
        parts = show3d._scene_for_page(path, output, message=True, **tuning)
    finally:
        pdk.activate_pdk("ebeam")
    assert parts["message"] == text
    assert {key: parts[key] for key in oracle(text)} == oracle(text)
    packed = orjson.loads(parts["packed"])
    # Each distinct array once, in the order first met, every length whole.
    offsets = [offset for offset, _ in packed["table"]]
    assert offsets == sorted(offsets) and sum(length for _, length in packed["table"]) == len(parts["arrays"])
    blocks = {parts["arrays"][offset:offset + length] for offset, length in packed["table"]}
    assert len(blocks) == len(packed["table"])
    page = viewer.page_html(viewer.scene_from_parts(parts["packed"], parts["arrays"]))
    assert orjson.loads(viewer.message_from_page(page)) == orjson.loads(text)


@pytest.mark.parametrize("replace", [
    # Another encoder: nothing can be packed, so the message text comes whole.
    lambda monkeypatch: monkeypatch.setattr(show3d, "orjson", types.SimpleNamespace(dumps=orjson.dumps)),
    # Other steps of the conversion: the parts are made all the same.
    lambda monkeypatch: monkeypatch.setattr(show3d, "numpy_to_buffer_json", show3d.numpy_to_buffer_json.__call__),
])
def test_page_parts_when_steps_are_replaced(monkeypatch, replace):
    path = str(sample_path("siepic_ring_resonator.gds"))
    text = sent_text(monkeypatch, path, Output.CELL)
    replace(monkeypatch)
    parts = show3d._scene_for_page(path, Output.CELL)
    message = parts["message"] if parts["packed"] is None else viewer.message_from_page(
        viewer.page_html(viewer.scene_from_parts(parts["packed"], parts["arrays"])))
    assert orjson.loads(message) == orjson.loads(text)
    assert {key: parts[key] for key in oracle(text)} == oracle(text)


def test_report_counts_and_warns_from_the_parts():
    pdk.activate_pdk("sg13g2")
    try:
        conversion = report.show3d_with_report(str(sample_path("ihp_sram_1p_1024x16.gds")), Output.LAYER)
    finally:
        pdk.activate_pdk("ebeam")
    summary = conversion.summary
    assert conversion.message is None and conversion.message_chars == 28_874_297
    assert (summary.placements, summary.polygons, summary.points) == (871_722, 3_530, 16_892)
    assert summary.array_bytes == 6_506_480
    assert report.page_warnings(summary, {"array_bytes": 10**6, "polygons": 10**6, "points": 10**7}) == [
        "it keeps 7 MB of placements and outlines in memory (comfortable up to 1 MB), so the browser may run out "
        "of memory; leave layers out (--exclude) or show one cell (--top)"]


@pytest.mark.parametrize("size", [0, 1, 5 << 20])
def test_deflate_pieces_join_into_one_stream(size):
    import zlib
    data = bytes(range(256)) * (size // 256) + b"x" * (size % 256)
    assert zlib.decompress(viewer.deflate(data)) == data


class Hostile:
    """A sequence whose items cannot be read."""

    def __len__(self):
        return 1

    def __getitem__(self, index):
        raise LookupError("no items here")


def cyclic():
    scene = {"name": "Layers", "parts": []}
    scene["parts"].append(scene)
    return scene


@pytest.mark.parametrize("scene, error", [
    ({"name": "Layers", "parts": [1, "x", {"name": "L"}], "instances": [7, {"shape": "ab"}]}, None),
    ({"name": "cells", "parts": [{"name": ["unhashable"], "shape": {}}]}, TypeError),
    ({"name": "Layers", "instances": [{"shape": Hostile()}]}, LookupError),
    (cyclic(), TypeError),
])
def test_page_parts_of_a_replaced_conversion(monkeypatch, scene, error):
    """A replaced to_3D_viewer may hand back anything: a result or an error, never a crash."""
    monkeypatch.setattr(show3d, "to_3D_viewer", lambda *args, **kwargs: scene)
    monkeypatch.setattr(show3d, "numpy_to_buffer_json", lambda value: value)
    if error:
        with pytest.raises(error):
            show3d._scene_for_page("any.gds", Output.LAYER)
        return
    parts = show3d._scene_for_page("any.gds", Output.LAYER)
    assert parts["packed"] is None and orjson.loads(parts["message"])["data"] == scene
    assert (parts["layers"], parts["polygons"], parts["points"], parts["placements"]) == (["L"], 2, 0, 0)

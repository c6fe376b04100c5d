"""The 3D page: how it is built, the report of the command line and the main
job, and the page drawn by Debian's chromium (headless, driven over the
DevTools protocol).

Run as a script to remake the screenshot in docs/:
    PYTHONPATH=src python tests/test_browser.py docs/demo.png
"""

import base64
import json
import os
import re
import sys
from pathlib import Path
from types import SimpleNamespace

import klayout.db as kdb
import numpy
import orjson
import pytest

from orvalis import Component
from tessarand import cli, report, viewer
from tessarand.core import show3d
from tessarand.core.communication import send_message
from tessarand.demo import build_demo_layout
from tessarand.models import Show3dMessage

from chromium import CHROMIUM, Browser

LAYOUTS = Path(__file__).resolve().parents[2] / "shared" / "layouts"
THREE_INSTALLED = any((viewer.THREE_DIR / name).is_file() for name in viewer.THREE_MAIN)

needs_browser = pytest.mark.skipif(
    not (CHROMIUM and THREE_INSTALLED),
    reason="needs Debian's chromium and libjs-three (scripts/setup.sh installs them)")


# ---------------------------------------------------------------- the browser

@pytest.fixture(scope="module")
def browser(tmp_path_factory):
    started = Browser(tmp_path_factory.mktemp("chromium-profile"))
    try:
        yield started
    finally:
        started.close()


# ---------------------------------------------------------------- pages

@pytest.fixture(autouse=True)
def pages_in_tmp(tmp_path, monkeypatch):
    monkeypatch.setenv("TESSARAND_VIEWER_DIR", str(tmp_path / "pages"))
    yield
    from orvalis import pdk
    pdk.activate_pdk("ebeam")


def sample(name: str) -> str:
    path = LAYOUTS / name
    if not path.is_file():
        pytest.skip(f"sample layout {name} not available")
    return str(path)


def demo_component():
    return Component.from_layout(build_demo_layout())


def mirrored_triangles():
    """One triangle on the silicon layer placed as it is and mirrored beside it."""
    layout = kdb.Layout()
    layout.dbu = 0.001
    top, triangle = layout.create_cell("top"), layout.create_cell("triangle")
    outline = [kdb.DPoint(0, 0), kdb.DPoint(40, 0), kdb.DPoint(0, 30)]
    triangle.shapes(layout.layer(1, 0)).insert(kdb.DPolygon(outline))
    top.insert(kdb.DCellInstArray(triangle.cell_index(), kdb.DTrans(0, False, 0, 0)))
    top.insert(kdb.DCellInstArray(triangle.cell_index(), kdb.DTrans(0, True, 60, 30)))
    return Component.from_layout(layout)


def leaves(node):
    for child in node.get("parts", []):
        yield from ([child] if "shape" in child else leaves(child))


def expected_stats(content: str) -> dict:
    """What the page should draw, read from the message itself."""
    scene = orjson.loads(content)["data"]
    drawn = [leaf for leaf in leaves(scene) if leaf["shape"].get("refs")]
    placements = sum(max(1, leaf["shape"]["matrices"]["shape"][0] // 6) for leaf in drawn)
    return {"parts": len(list(leaves(scene))), "polygons": len(scene.get("instances", [])),
            "instances": placements}


def colour_count(image) -> int:
    return len(image.getcolors(maxcolors=1 << 20) or [])


# ---------------------------------------------------------------- without a browser

def test_send_message_writes_a_page_with_the_message(tmp_path):
    content = '{"type":"data","data":{"name":"</script><!-- µm"},"config":{}}'
    path = send_message(Show3dMessage(content=content))
    assert path.parent == tmp_path / "pages" and path.name.startswith("show3d-") and path.suffix == ".html"
    page = path.read_text(encoding="utf-8")
    # The message survives inlining, and text in it cannot close its script element.
    inlined = viewer.message_from_page(page)
    assert json.loads(inlined) == json.loads(content)
    assert "</script><!--" not in inlined
    if THREE_INSTALLED:
        assert '<script type="importmap">' in page and "show3dReady" in page


def test_page_without_three_says_what_is_missing(tmp_path, monkeypatch):
    monkeypatch.setattr(viewer, "THREE_DIR", tmp_path / "nothing")
    page = viewer.build_page('{"type":"data","data":{},"config":{}}')
    assert "three.js was not found" in page and "libjs-three" in page
    assert "importmap" not in page and '{"type":"data","data":{},"config":{}}' in page


@pytest.mark.skipif(not THREE_INSTALLED, reason="needs libjs-three")
def test_import_map_serves_three_and_its_controls():
    mapping = json.loads(re.search(r">(.*)</script>", viewer.three_import_map()).group(1))["imports"]
    assert set(mapping) == {"three", "three/trackball", "three/orbit"}
    controls = base64.b64decode(mapping["three/trackball"].split(",", 1)[1]).decode()
    # The controls' relative import of the main build now names the map's key.
    assert re.search(r"""from\s*["']three["']""", controls) and "three.module.js" not in controls


def test_report_sends_exactly_what_show3d_sends():
    sent = []
    original = show3d.comms
    show3d.comms = SimpleNamespace(send_message=sent.append)
    try:
        show3d.show3d(demo_component(), show3d.Output.LAYER)
    finally:
        show3d.comms = original
    conversion = report.show3d_with_report(demo_component(), show3d.Output.LAYER)
    assert conversion.message.content == sent[0].content
    assert show3d.comms is original
    assert conversion.path.is_file() and set(conversion.times) == set(report.STAGES)
    summary, expected = conversion.summary, expected_stats(conversion.message.content)
    assert (summary.polygons, summary.placements) == (expected["polygons"], expected["instances"])
    assert summary.cells == 4 and summary.layers[0].startswith("Si")


def test_command_line_reports_its_work(capsys):
    assert cli.main([sample("siepic_ring_resonator.gds"), "--mode", "cell"]) == 0
    out = capsys.readouterr().out
    for label in ("cells", "polygons    162 distinct", "placements", "layers", "message", "convert", "page"):
        assert label in out
    label, page = out.strip().splitlines()[-1].split(": ", 1)
    assert label == "page with the 3D view" and Path(page).is_file()


def test_command_line_bad_input_is_one_line(tmp_path, capsys):
    assert cli.main([str(tmp_path / "missing.gds")]) == 1
    assert len(capsys.readouterr().err.strip().splitlines()) == 1


def test_open_without_a_browser_is_no_error(tmp_path, monkeypatch, capsys):
    monkeypatch.setattr(report.webbrowser, "open", lambda url: False)
    report.open_page(tmp_path / "page.html")
    assert "no browser" in capsys.readouterr().out


# ---------------------------------------------------------------- in the browser

def page_of(component, output=show3d.Output.LAYER, kit="ebeam"):
    from orvalis import pdk
    pdk.activate_pdk(kit)
    return report.show3d_with_report(component, output)


@needs_browser
@pytest.mark.parametrize("source, output", [
    ("siepic_ring_resonator.gds", show3d.Output.LAYER),
    ("siepic_rotation_flip_test.gds", show3d.Output.CELL),
    ("demo", show3d.Output.LAYER),
])
def test_page_draws_every_placement(browser, source, output):
    conversion = page_of(demo_component() if source == "demo" else sample(source), output)
    stats = browser.show(conversion.path)
    assert stats == expected_stats(conversion.message.content)
    assert stats["instances"] == conversion.summary.placements
    image = browser.screenshot()
    # A drawn scene has many shades; a blank canvas has one.
    assert colour_count(image) > 50
    assert max(count for count, _ in image.getcolors(1 << 20)) < 0.98 * image.width * image.height


@needs_browser
def test_unticking_a_layer_hides_it(browser):
    conversion = page_of(demo_component())
    browser.show(conversion.path)
    layers = orjson.loads(conversion.message.content)["data"]["parts"]
    heater = next(layer for layer in layers if layer["name"].startswith("M1_heater"))
    silicon = next(layer for layer in layers if layer["name"].startswith("Si"))
    before = browser.screenshot()

    def tick(checked: bool):
        box = f"document.querySelector('input[data-id=\"{heater['id']}\"]')"
        browser.evaluate(f"{box}.checked === {str(not checked).lower()} && {box}.click()")
        browser.next_frame()

    tick(False)
    assert not browser.evaluate(f"show3d.shown({json.dumps(heater['id'])})")
    for leaf in leaves(heater):
        assert not browser.evaluate(f"show3d.shown({json.dumps(leaf['id'])})")
    assert browser.evaluate(f"show3d.shown({json.dumps(silicon['id'])})")
    hidden = browser.screenshot()
    assert _differing_pixels(before, hidden) > 100

    tick(True)
    assert browser.evaluate(f"show3d.shown({json.dumps(heater['id'])})")
    assert _differing_pixels(before, browser.screenshot()) == 0


def _differing_pixels(first, second) -> int:
    return int(numpy.any(numpy.asarray(first) != numpy.asarray(second), axis=2).sum())


@needs_browser
def test_mirrored_placement_looks_like_the_plain_one(browser):
    conversion = page_of(mirrored_triangles())
    browser.show(conversion.path)
    # Look straight down, then find the two triangles' centres (plain, mirrored) in canvas pixels.
    browser.evaluate("""(() => {
        const {camera, controls, redraw} = show3d;
        camera.position.set(50, 15, 500); camera.up.set(0, 1, 0);
        controls.target.set(50, 15, 0); redraw();
    })()""")
    browser.next_frame()
    centres = browser.evaluate("""(() => {
        const camera = show3d.camera, size = show3d.renderer.domElement.getBoundingClientRect();
        return [[40 / 3, 10], [60 + 40 / 3, 20]].map(([x, y]) => {
            const p = camera.position.clone().set(x, y, 0.22).project(camera);
            return [Math.round((p.x + 1) / 2 * size.width), Math.round((1 - p.y) / 2 * size.height)];
        });
    })()""")
    image = browser.screenshot()
    plain, mirrored = (image.getpixel(tuple(centre)) for centre in centres)
    background = image.getpixel((2, 2))
    assert plain != background
    assert max(abs(a - b) for a, b in zip(plain, mirrored)) <= 8, (plain, mirrored)


if __name__ == "__main__":
    # Remakes the README's screenshot of the demo page.
    import tempfile

    target = Path(sys.argv[1] if len(sys.argv) > 1 else "docs/demo.png")
    with tempfile.TemporaryDirectory() as scratch:
        os.environ["TESSARAND_VIEWER_DIR"] = scratch
        shown = Browser(Path(scratch) / "profile")
        try:
            shown.show(report.show3d_with_report(demo_component(), show3d.Output.LAYER).path)
            png = shown.call("Page.captureScreenshot", format="png")["data"]
            target.write_bytes(base64.b64decode(png))
        finally:
            shown.close()
    print(f"screenshot written to {target}")

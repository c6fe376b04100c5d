"""How the 3D page copes with big scenes: headless chromium (software
rendering) opens each page and reports what a user waits for and what the
page holds.

    PYTHONPATH=src python bench/page.py                  # the SRAM and a million placements
    PYTHONPATH=src python bench/page.py --ten-million    # and ten million placements

For every scene: the page's size; the load time (from navigation to the scene
built, arrays decoded) and the first frame (drawn through to its last pixel);
ten frames while the view turns (3 degrees a frame, levels of detail as during
a drag), median and slowest; the draw calls and triangles of the first frame
and of the turning frames (renderer.info.render); and the JavaScript heap
(V8's used heap after a garbage collection, plus the array buffers outside it)
beside the scene's raw binary size (its distinct float32 arrays, as the page
decodes them) and the message's (every buffer of the message, shared ones
counted each time).
"""

import argparse
import base64
import json
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import orjson


HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

from chromium import Browser  # noqa: E402

SRAM = HERE.parent.parent / "shared" / "layouts" / "ihp_sram_1p_1024x16.gds"


def page_of(layout: Path, kit: str, folder: Path) -> Path:
    """The page of a layout, written by the command line."""
    page = folder / f"{layout.stem}.html"
    subprocess.run([sys.executable, "-m", "tessarand.cli", str(layout), "--kit", kit, "--out", str(page),
                    "--json", str(page.with_suffix(".json"))], check=True, stdout=subprocess.DEVNULL)
    return page


def message_bytes(message: Path) -> int:
    """Bytes of all the message's buffers, decoded (shared ones each time)."""
    texts = list(buffer_texts(orjson.loads(message.read_bytes())))
    return sum(len(text) * 3 // 4 - text[-2:].count("=") for text in texts)


def buffer_texts(value):
    """The base64 text of every buffer description in nested data, each time it occurs."""
    if isinstance(value, dict):
        if value.get("codec") == "b64" and isinstance(value.get("buffer"), str):
            yield value["buffer"]
        else:
            for item in value.values():
                yield from buffer_texts(item)
    elif isinstance(value, list):
        for item in value:
            yield from buffer_texts(item)


def measure(page: Path, timeout: float) -> dict:
    profile = Path(tempfile.mkdtemp(prefix="show3d-bench-profile-"))
    browser = Browser(profile, timeout=timeout)
    try:
        started = time.monotonic()
        stats = browser.show(page)
        wall = time.monotonic() - started
        first = browser.evaluate("({...show3d.times, calls: show3d.drawCalls(), triangles: show3d.triangles(),"
                                 " arrays: show3d.arrayBytes})")
        turning = browser.evaluate("show3d.rotate(10, 3)")
        browser.call("HeapProfiler.collectGarbage")
        heap = browser.call("Runtime.getHeapUsage")
        arrays = browser.evaluate("(performance.memory || {}).usedJSHeapSize || 0")
        errors = list(browser.errors)
    finally:
        browser.close()
        shutil.rmtree(profile, ignore_errors=True)
    return {
        "placements": stats["instances"], "wall": wall,
        "load": (first["firstFrame"] - first["draw"]) / 1000, "first_frame": first["firstFrame"] / 1000,
        "turn_median": statistics.median(turning["times"]) / 1000, "turn_max": max(turning["times"]) / 1000,
        "calls_first": first["calls"], "calls_turning": max(turning["calls"]),
        "triangles_first": first["triangles"], "triangles_turning": max(turning["triangles"]),
        "heap": heap["usedSize"], "backing": heap.get("backingStorageSize", 0), "raw": first["arrays"],
        "memory_api": arrays, "errors": errors,
    }


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--ten-million", action="store_true", help="also the scene of ten million placements")
    parser.add_argument("--cache", type=Path, default=HERE / ".cache", help="folder of the synthetic layouts")
    parser.add_argument("--json", type=Path, help="also write the figures here")
    args = parser.parse_args(argv)

    def synthetic(count):
        made = subprocess.run([sys.executable, str(HERE / "synthetic.py"), "--array", str(count), "--cache", str(args.cache)],
                              check=True, capture_output=True, text=True)
        return Path(made.stdout.strip().splitlines()[-1])

    cases = []
    if SRAM.is_file():
        cases.append(("SRAM 1024x16 (sg13g2)", SRAM, "sg13g2", 120))
    cases.append(("array of 1,000,000", synthetic(1_000_000), "ebeam", 120))
    if args.ten_million:
        cases.append(("array of 10,000,000", synthetic(10_000_000), "ebeam", 600))

    results = {}
    with tempfile.TemporaryDirectory(prefix="show3d-bench-pages-") as folder:
        for name, layout, kit, timeout in cases:
            page = page_of(layout, kit, Path(folder))
            figures = measure(page, timeout)
            figures.update(page_bytes=page.stat().st_size, message_raw=message_bytes(page.with_suffix(".json")))
            results[name] = figures
            print(report_line(name, figures), flush=True)
    if args.json:
        args.json.write_text(json.dumps(results, indent=2))


def report_line(name: str, f: dict) -> str:
    mb = 1e6
    heap = f["heap"] + f["backing"]
    return (f"{name}: {f['placements']:,} placements drawn, page {f['page_bytes'] / mb:.1f} MB\n"
            f"  load {f['load']:.2f} s, first frame {f['first_frame']:.2f} s (browser round trip {f['wall']:.2f} s)\n"
            f"  turning: frame median {f['turn_median']:.3f} s, slowest {f['turn_max']:.3f} s\n"
            f"  draw calls {f['calls_first']} first, {f['calls_turning']} turning; "
            f"triangles {f['triangles_first']:,} first, {f['triangles_turning']:,} turning\n"
            f"  JS heap {f['heap'] / mb:.1f} MB + array buffers {f['backing'] / mb:.1f} MB = {heap / mb:.1f} MB; "
            f"raw arrays {f['raw'] / mb:.1f} MB distinct ({heap / max(f['raw'], 1):.2f}x), "
            f"{f['message_raw'] / mb:.1f} MB in the message ({heap / max(f['message_raw'], 1):.2f}x)\n"
            f"  console errors: {len(f['errors'])}" + "".join(f"\n    {error}" for error in f["errors"][:5]))


if __name__ == "__main__":
    main()

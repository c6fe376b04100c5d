"""Builds the self-contained HTML page that shows one viewer message in 3D.

The page inlines everything it needs: the scene of the message, our renderer
(render.js) and the parts of three.js it imports, so it opens from a file with
no server. The scene travels in two parts: the message JSON with every array
buffer replaced by its number in a table, and one deflated block of all the
distinct arrays, base64 encoded (a placement list that several layers share is
stored once). That is a few times smaller than the message and the browser
decodes it natively; `message_from_page` gives the message back. three.js comes from Debian's libjs-three package and is read when a
page is built; without it the page still carries the message and says what is
missing.
"""

import base64
import hashlib
import html
import json
import re
import zlib
from pathlib import Path

import orjson

HERE = Path(__file__).resolve().parent
THREE_DIR = Path("/usr/share/javascript/three")

# The module build, where the package versions put it.
THREE_MAIN = ("build/three.module.js", "three.module.js")
# Both camera controls are inlined (they are small); the page picks one from the settings.
CONTROLS = {
    "three/trackball": "examples/jsm/controls/TrackballControls.js",
    "three/orbit": "examples/jsm/controls/OrbitControls.js",
    "three/gltf-exporter": "examples/jsm/exporters/GLTFExporter.js",
}

# The module an import or export statement names: `from "x"` or `import "x"`.
IMPORT_TARGET = re.compile(r"""(\bfrom\s*|\bimport\s*)(["'])([^"']+)\2""")
PLACEHOLDER = re.compile(r"\{\{(\w+)\}\}")
MESSAGE_ELEMENT = re.compile(r'<script type="application/json" id="message">(.*?)</script>', re.S)
ARRAYS_ELEMENT = re.compile(r'<script type="application/octet-stream" id="arrays">(.*?)</script>', re.S)


def build_page(content: str, title: str = "show3d", opacity: dict[str, float] | None = None) -> str:
    """The HTML page for the message JSON text `content`, headed `title`; `opacity`
    maps layer names of the scene to their opacity."""
    try:
        import_map = three_import_map()
        notice, renderer = "", _inline_module((HERE / "render.js").read_text(encoding="utf-8"))
    except FileNotFoundError as missing:
        import_map, renderer = "", ""
        notice = (f"three.js was not found ({missing.filename}), so the scene cannot be drawn. "
                  "Install Debian's libjs-three package and show the layout again.")
    fields = {
        "import_map": import_map,
        "notice": html.escape(notice),
        **(scene := packed_scene(content)),
        "title": html.escape(title),
        "page": _inline_json(json.dumps({"opacity": opacity or {}, "scene": scene["digest"]})),
        "renderer": renderer,
    }
    template = (HERE / "page.html").read_text(encoding="utf-8")
    # One pass, so text inside the message is never taken for a placeholder.
    return PLACEHOLDER.sub(lambda match: fields[match.group(1)], template)


def packed_scene(content: str) -> dict[str, str]:
    """The page's two parts of message text `content`: "message", its JSON with
    each buffer's base64 text replaced by an index into "table" (offset and
    length in bytes of the distinct arrays), and "arrays", those arrays one
    after the other, deflated (zlib) and base64 encoded; and "digest", the same
    for the same message, which the page remembers its view under."""
    try:
        message = orjson.loads(content)
    except orjson.JSONDecodeError:
        return _unpacked(content)
    blocks, table, known = [], [], {}

    def pack(value):
        if isinstance(value, dict):
            if isinstance(value.get("buffer"), str) and value.get("codec") == "b64":
                raw = base64.b64decode(value["buffer"])
                key = hashlib.blake2b(raw, digest_size=16).digest()
                if key not in known:
                    known[key] = len(table)
                    table.append([sum(table[-1]) if table else 0, len(raw)])
                    blocks.append(raw)
                return {**value, "buffer": known[key]}
            return {name: pack(item) for name, item in value.items()}
        if isinstance(value, list):
            return [pack(item) for item in value]
        return value

    packed = pack(message)
    if not table:  # nothing to pack: the message as it was written
        return _unpacked(content)
    packed["table"] = table
    text = orjson.dumps(packed)
    arrays = base64.b64encode(zlib.compress(b"".join(blocks), 1)).decode("ascii")
    # The arrays stand in the digest by their own digests, which are at hand.
    return {"message": _inline_json(text.decode("utf-8")), "arrays": arrays, "digest": _digest(text, *known)}


def _unpacked(content: str) -> dict[str, str]:
    return {"message": _inline_json(content), "arrays": "", "digest": _digest(content.encode("utf-8"))}


def _digest(*parts: bytes) -> str:
    digest = hashlib.blake2b(digest_size=16)
    for part in parts:
        digest.update(part)
    return digest.hexdigest()


def message_from_page(page: str) -> str:
    """The message JSON of a page of `build_page`: the same JSON value as the
    message the page was made from."""
    found = MESSAGE_ELEMENT.search(page)
    if not found:
        raise ValueError("no show3d message in this page")
    packed = json.loads(found.group(1))
    table = packed.pop("table", None) if isinstance(packed, dict) else None
    if table is None:
        return orjson.dumps(packed).decode("utf-8")
    arrays = ARRAYS_ELEMENT.search(page)
    raw = zlib.decompress(base64.b64decode(arrays.group(1))) if arrays else b""

    def unpack(value):
        if isinstance(value, dict):
            if isinstance(value.get("buffer"), int) and value.get("codec") == "b64":
                offset, length = table[value["buffer"]]
                return {**value, "buffer": base64.b64encode(raw[offset:offset + length]).decode("ascii")}
            return {name: unpack(item) for name, item in value.items()}
        if isinstance(value, list):
            return [unpack(item) for item in value]
        return value

    return orjson.dumps(unpack(packed)).decode("utf-8")


def three_import_map() -> str:
    """An import map that serves "three" and the camera controls as data URLs.

    Module files import each other by relative paths, which cannot be resolved
    from a data URL, so every relative import is rewritten to a key of the map.
    """
    main = next((THREE_DIR / name for name in THREE_MAIN if (THREE_DIR / name).is_file()),
                THREE_DIR / THREE_MAIN[0])
    keys = {main.resolve(): "three"}
    keys.update({(THREE_DIR / path).resolve(): key for key, path in CONTROLS.items()})
    urls = {}
    pending = list(keys)
    while pending:
        path = pending.pop()
        source = path.read_text(encoding="utf-8")
        for dependency in _relative_imports(path, source):
            if dependency not in keys:
                keys[dependency] = "three/" + dependency.relative_to(THREE_DIR.resolve()).as_posix()
                pending.append(dependency)
        urls[keys[path]] = _data_url(_rewrite_imports(path, source, keys))
    return f'<script type="importmap">{json.dumps({"imports": urls})}</script>'


def _relative_imports(path: Path, source: str) -> list[Path]:
    return [(path.parent / target).resolve() for _, _, target in IMPORT_TARGET.findall(source)
            if target.startswith(".")]


def _rewrite_imports(path: Path, source: str, keys: dict[Path, str]) -> str:
    def rewrite(match):
        prefix, quote, target = match.groups()
        if target.startswith("."):
            target = keys[(path.parent / target).resolve()]
        return f"{prefix}{quote}{target}{quote}"
    return IMPORT_TARGET.sub(rewrite, source)


def _data_url(source: str) -> str:
    return "data:text/javascript;base64," + base64.b64encode(source.encode("utf-8")).decode("ascii")


def _inline_json(content: str) -> str:
    # "<" only occurs inside JSON strings, where \u003c means the same; this
    # keeps "</script>" or "<!--" in a name from ending the script element.
    return content.replace("<", "\\u003c")


def _inline_module(source: str) -> str:
    if "</script" in source.lower():
        raise ValueError("render.js must not contain a closing script tag")
    return f'<script type="module">\n{source}\n</script>'


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
import functools
import hashlib
import json
import os
import re
import threading
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

# The keyword that makes a quoted relative path one that an import or export
# statement names (`from "./x"`, `import "./x"`), ending just before it.
STATEMENT_END = re.compile(r"\b(?:from|import)\s*$")
PLACEHOLDER = re.compile(r"\{\{(\w+)\}\}")
MESSAGE_ELEMENT = re.compile(r'<script type="application/json" id="message">(.*?)</script>', re.S)
ARRAYS_ELEMENT = re.compile(r'<script type="application/octet-stream" id="arrays">(.*?)</script>', re.S)


def build_page(content: str, title: str = "show3d", opacity: dict[str, float] | None = None) -> str:
    """The HTML page for the message JSON text `content`, headed `title`; `opacity`
    maps layer names of the scene to their opacity."""
    return page_html(packed_scene(content), title, opacity)


def page_html(scene: dict[str, str], title: str = "show3d", opacity: dict[str, float] | None = None) -> str:
    """The HTML page of a packed scene (see `packed_scene`)."""
    return "".join(_page_pieces(scene, title, opacity))


def page_bytes(scene: dict[str, str], title: str = "show3d", opacity: dict[str, float] | None = None) -> bytes:
    """`page_html` as UTF-8, made piece by piece: the large pieces are ASCII,
    which encodes far quicker on its own than within the whole page, whose few
    other characters make every character of it wider."""
    return b"".join(piece.encode("utf-8") for piece in _page_pieces(scene, title, opacity))


def _page_pieces(scene: dict[str, str], title: str, opacity: dict[str, float] | None) -> list[str]:
    """The page's template cut at its placeholders, each filled in."""
    try:
        import_map = three_import_map()
        notice, renderer = "", _inline_module((HERE / "render.js").read_text(encoding="utf-8"))
    except FileNotFoundError as missing:
        import_map, renderer = "", ""
        notice = (f"three.js was not found ({missing.filename}), so the scene cannot be drawn. "
                  "Install Debian's libjs-three package and show the layout again.")
    fields = {
        "import_map": import_map,
        "notice": _escaped(notice),
        **scene,
        "title": _escaped(title),
        "page": _inline_json(json.dumps({"opacity": opacity or {}, "scene": scene["digest"]})),
        "renderer": renderer,
    }
    template = (HERE / "page.html").read_text(encoding="utf-8")
    # One pass, so text inside the message is never taken for a placeholder.
    pieces, done = [], 0
    for match in PLACEHOLDER.finditer(template):
        pieces += [template[done:match.start()], fields[match.group(1)]]
        done = match.end()
    pieces.append(template[done:])
    return pieces


def packed_scene(content: str) -> dict[str, str]:
    """The page's two parts of message text `content`: "message", its JSON with
    each buffer's base64 text replaced by an index into "table" (offset and
    length in bytes of the distinct arrays), and "arrays", those arrays one
    after the other, deflated (zlib) and base64 encoded; and "digest", the same
    for the same message, which the page remembers its view under.

    This reads any message; the command line has its scene packed by the
    converter itself (`scene_from_parts`)."""
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
    return scene_from_parts(orjson.dumps(packed).decode("utf-8"), b"".join(blocks))


def scene_from_parts(packed: str, arrays: bytes) -> dict[str, str]:
    """The page's parts of a packed message JSON (buffers numbered in its
    "table") and its distinct `arrays`, as `packed_scene` gives them."""
    deflated = deflate(arrays)
    return {"message": _inline_json(packed), "arrays": base64.b64encode(deflated).decode("ascii"),
            "digest": _digest(packed.encode("utf-8"), deflated)}


# Pieces deflated apart, on every core: zlib lets other threads run while it
# compresses. Below this there is nothing to gain.
DEFLATE_PIECE = 1 << 21


def deflate(data: bytes, level: int = 1) -> bytes:
    """zlib's stream of `data`, made of pieces deflated on every core: each
    piece ends on a byte boundary (a sync flush), so the pieces join into one
    stream that any inflater reads."""
    pieces = [memoryview(data)[at:at + DEFLATE_PIECE] for at in range(0, len(data), DEFLATE_PIECE)]
    if len(pieces) < 2:
        return zlib.compress(data, level)

    def raw(index: int) -> bytes:
        deflater = zlib.compressobj(level, zlib.DEFLATED, -zlib.MAX_WBITS)
        last = index == len(pieces) - 1
        return deflater.compress(pieces[index]) + deflater.flush(zlib.Z_FINISH if last else zlib.Z_SYNC_FLUSH)

    body = b"".join(_on_every_core(raw, len(pieces)))
    header = b"\x78\x01"  # deflate, 32 KB window, no dictionary
    return header + body + zlib.adler32(data).to_bytes(4, "big")


def _on_every_core(work, count: int) -> list:
    """[work(0), ..., work(count - 1)], computed by a thread a core. Plain
    threads rather than a pool of concurrent.futures, whose import would cost
    every page some milliseconds, most of which need no threads at all."""
    results, failures = [None] * count, []
    workers = min(count, os.cpu_count() or 1)

    def worker(first: int):
        try:
            for index in range(first, count, workers):
                results[index] = work(index)
        except BaseException as error:  # raised again in the caller's thread
            failures.append(error)

    threads = [threading.Thread(target=worker, args=(first,)) for first in range(workers)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if failures:
        raise failures[0]
    return results


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
    Made once a process for each folder.
    """
    return _import_map(THREE_DIR)


@functools.lru_cache(maxsize=4)
def _import_map(folder: Path) -> str:
    main = next((folder / name for name in THREE_MAIN if (folder / name).is_file()), folder / THREE_MAIN[0])
    keys = {main.resolve(): "three"}
    keys.update({(folder / path).resolve(): key for key, path in CONTROLS.items()})
    urls = {}
    pending = list(keys)
    while pending:
        path = pending.pop()
        source = path.read_text(encoding="utf-8")
        found = _relative_imports(source)
        for target in found.values():
            dependency = (path.parent / target).resolve()
            if dependency not in keys:
                keys[dependency] = "three/" + dependency.relative_to(folder.resolve()).as_posix()
                pending.append(dependency)
        urls[keys[path]] = _data_url(_rewrite_imports(path, source, keys, found))
    # What json.dumps({"imports": urls}) writes. Only the keys are encoded: the
    # data URLs are base64 text, which JSON holds as it is, and scanning them
    # for characters to escape would take longer than making them did.
    entries = ", ".join(f'{json.dumps(key)}: "{url}"' for key, url in urls.items())
    return f'<script type="importmap">{{"imports": {{{entries}}}}}</script>'


# The quoted relative paths an import may name, in the order they are listed.
OPENINGS = ('"./', "'./", '"../', "'../")


def _relative_imports(source: str) -> dict[tuple[int, int], str]:
    """The relative targets of the module's import and export statements, by
    their place in `source`, opening by opening (see OPENINGS). Quoted relative
    paths are rare, so they are found first, by one plain search for the "./"
    that every opening holds (quicker than a pattern, or a search for each
    opening, over a large build), and the keyword before each is checked then."""
    found = []
    dot = source.find("./")
    while dot >= 0:
        opening, at = _opening_before(source, dot)
        if opening is not None:
            end = source.find(opening[0], at + 1)
            target = source[at + 1:end]
            if end > 0 and "\n" not in target and STATEMENT_END.search(source, max(0, at - 16), at):
                found.append((OPENINGS.index(opening), at, end, target))
        dot = source.find("./", dot + 1)
    return {(at + 1, end): target for _, at, end, target in sorted(found)}


def _opening_before(source: str, dot: int) -> tuple[str | None, int]:
    """The opening (one of OPENINGS) whose "./" is at `dot`, and where it starts."""
    for at in (dot - 1, dot - 2):
        if at >= 0 and source[at:dot + 2] in OPENINGS:
            return source[at:dot + 2], at
    return None, dot


def _rewrite_imports(path: Path, source: str, keys: dict[Path, str], found: dict[tuple[int, int], str]) -> str:
    parts, done = [], 0
    for (start, end), target in sorted(found.items()):
        parts += [source[done:start], keys[(path.parent / target).resolve()]]
        done = end
    return "".join(parts) + source[done:]


def _data_url(source: str) -> str:
    return "data:text/javascript;base64," + base64.b64encode(source.encode("utf-8")).decode("ascii")


def _escaped(text: str) -> str:
    """`text` as HTML text, as html.escape writes it; the html module would load
    its table of every named character, which a page never needs."""
    for character, entity in (("&", "&amp;"), ("<", "&lt;"), (">", "&gt;"), ('"', "&quot;"), ("'", "&#x27;")):
        text = text.replace(character, entity)
    return text


def _inline_json(content: str) -> str:
    # "<" only occurs inside JSON strings, where \u003c means the same; this
    # keeps "</script>" or "<!--" in a name from ending the script element.
    return content.replace("<", "\\u003c")


def _inline_module(source: str) -> str:
    if "</script" in source.lower():
        raise ValueError("render.js must not contain a closing script tag")
    return f'<script type="module">\n{source}\n</script>'


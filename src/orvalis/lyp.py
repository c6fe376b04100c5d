"""KLayout layer-properties (.lyp) files: the names and fill colours of layers."""

import re
import xml.etree.ElementTree as ElementTree
from pathlib import Path

# A source such as "1/0@1", "Si 1/0@*" or "1/0": the layer/datatype pair in it.
SOURCE_PAIR = re.compile(r"(\d+)/(\d+)")


class LypError(ValueError):
    """A layer-properties file that cannot be read; the message names it."""


def read_lyp(path: str | Path) -> dict[tuple[int, int], tuple[str | None, str | None]]:
    """(layer, datatype) -> (name or None, "#rrggbb" fill colour or None) of every
    entry of the file, groups included; the first entry of a pair wins."""
    path = Path(path)
    root = _parse(path)
    if root.tag != "layer-properties":
        raise LypError(f"{path} is not a KLayout layer-properties file "
                       f"(expected <layer-properties>, found <{root.tag}>)")
    found = {}
    for entry in root.iter():
        if entry.tag not in ("properties", "group-members"):
            continue
        pair = SOURCE_PAIR.search(entry.findtext("source") or "")
        if pair:
            key = int(pair.group(1)), int(pair.group(2))
            found.setdefault(key, (_text(entry, "name"), _colour(entry.findtext("fill-color"))))
    return found


def _parse(path: Path) -> ElementTree.Element:
    if path.is_dir():
        raise LypError(f"{path} is a directory, not a layer-properties file")
    try:
        return ElementTree.parse(path).getroot()
    except FileNotFoundError:
        raise LypError(f"no layer-properties file at {path}") from None
    except OSError as error:
        raise LypError(f"cannot read layer-properties file {path}: {error.strerror}") from None
    except ElementTree.ParseError as error:
        line, column = error.position
        raise LypError(f"{path}: not valid XML at line {line}, column {column + 1}") from None


def _text(entry, tag: str) -> str | None:
    text = (entry.findtext(tag) or "").strip()
    return text or None


def _colour(text: str | None) -> str | None:
    """KLayout writes "#rrggbb" (sometimes "#aarrggbb"); anything else means none."""
    text = (text or "").strip().lower()
    if re.fullmatch(r"#[0-9a-f]{6}", text):
        return text
    if re.fullmatch(r"#[0-9a-f]{8}", text):
        return "#" + text[3:]
    return None

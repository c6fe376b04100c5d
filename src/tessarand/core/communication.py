"""Hands messages to the viewer: each one becomes an HTML page in a shared folder
that shows the scene in 3D when opened in a browser."""

import os
import re
import tempfile
from pathlib import Path

import orjson

from tessarand import viewer

VIEWER_DIR_ENV = "TESSARAND_VIEWER_DIR"


def viewer_dir() -> Path:
    """Folder the pages go to: $TESSARAND_VIEWER_DIR or <tmp>/show3d."""
    configured = os.environ.get(VIEWER_DIR_ENV)
    return Path(configured) if configured else Path(tempfile.gettempdir()) / "show3d"


def send_message(message, page: Path | None = None, title: str | None = None, name: str | None = None,
                 opacity: dict[str, float] | None = None, directory: Path | None = None) -> Path:
    """Write the page of `message.content`, headed `title` (by default the top cells
    of the scene), and return its path.

    The page goes to `page` when given, else to a new file "show3d-<name>-*.html"
    (`name` by default the title) in `directory` (by default `viewer_dir()`).
    `opacity` maps layer names as the scene gives them to their opacity.
    """
    title = title or scene_title(message.content)
    html = viewer.build_page(message.content, title=title, opacity=opacity)
    if page is not None:
        write_file(Path(page), html.encode("utf-8"))
        return Path(page)
    fd, name = _new_page_file(f"show3d-{file_name_part(name or title)}-", directory)
    _write_or_remove(fd, name, html.encode("utf-8"))
    return Path(name)


def scene_title(content: str) -> str:
    """The top cells of the scene in message text `content`, or "show3d"."""
    try:
        data = orjson.loads(content)["data"]
        nodes = data["parts"]
        if data["name"] == "Layers":  # layer nodes hold the top cells
            nodes = [cell for layer in nodes for cell in layer["parts"]]
        tops = list(dict.fromkeys(node["name"] for node in nodes))
    except (orjson.JSONDecodeError, KeyError, TypeError):
        return "show3d"
    if not tops:
        return "show3d"
    return tops[0] if len(tops) == 1 else f"{tops[0]} and {len(tops) - 1} more"


def file_name_part(text: str) -> str:
    """`text` made safe for a file name: other characters become '_'."""
    return re.sub(r"[^A-Za-z0-9.+-]+", "_", text).strip("_")[:80] or "scene"


def write_file(path: Path, data: bytes) -> None:
    """Write `data` to `path` whole or not at all: a partly written file (a full
    disk, Ctrl-C) never replaces or becomes `path`."""
    if path.is_dir():
        raise IsADirectoryError(f"{path} is a directory")
    fd, name = tempfile.mkstemp(prefix=f".{path.name}-", dir=path.parent)
    _write_or_remove(fd, name, data)
    try:
        os.chmod(name, 0o666 & ~_umask())  # as an ordinary new file, not mkstemp's 0600
        os.replace(name, path)
    except BaseException:
        Path(name).unlink(missing_ok=True)
        raise


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _write_or_remove(fd: int, name: str, data: bytes) -> None:
    try:
        with os.fdopen(fd, "wb") as file:
            file.write(data)
    except BaseException:
        Path(name).unlink(missing_ok=True)
        raise


def _new_page_file(prefix: str, directory: Path | None) -> tuple[int, str]:
    """A new empty page file in `directory` or the viewer folder (made if missing);
    errors name the folder and where it came from."""
    directory = viewer_dir() if directory is None else Path(directory)
    configured = os.environ.get(VIEWER_DIR_ENV)
    source = f"${VIEWER_DIR_ENV}" if configured and Path(configured) == directory else "the page folder"
    try:
        directory.mkdir(parents=True, exist_ok=True)
        # mkstemp gives a fresh name, so concurrent senders never overwrite each other.
        return tempfile.mkstemp(prefix=prefix, suffix=".html", dir=directory)
    except OSError as error:
        raise OSError(f"cannot write pages to {source} {directory}: {error.strerror}") from None

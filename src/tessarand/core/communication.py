"""Hands messages to the viewer: each one becomes an HTML page in a shared folder
that shows the scene in 3D when opened in a browser."""

import os
import re
import tempfile
from pathlib import Path

import orjson

from tessarand import outputs, viewer

VIEWER_DIR_ENV = "TESSARAND_VIEWER_DIR"


def viewer_dir() -> Path:
    """Folder the pages go to: $TESSARAND_VIEWER_DIR, or the user's own folder
    <tmp>/show3d-<uid> (one a user, as <tmp> is shared)."""
    configured = os.environ.get(VIEWER_DIR_ENV)
    return Path(configured) if configured else Path(tempfile.gettempdir()) / f"show3d-{os.getuid()}"


def send_message(message, page: Path | None = None, title: str | None = None, name: str | None = None,
                 opacity: dict[str, float] | None = None, directory: Path | None = None) -> Path:
    """Write the page of `message.content`, headed `title` (by default the top cells
    of the scene), and return its path.

    The page goes to `page` when given, else to a new file "show3d-<name>-*.html"
    (`name` by default the title) in `directory` (by default `viewer_dir()`).
    `opacity` maps layer names as the scene gives them to their opacity.
    """
    title = title or scene_title(message.content)
    html = viewer.build_page(message.content, title=title, opacity=opacity).encode("utf-8")
    return write_page(html, page, name or title, directory)


def write_page(html: bytes, page: Path | None = None, name: str = "scene", directory: Path | None = None) -> Path:
    """Write a page to `page` when given, else to a new file "show3d-<name>-*.html"
    in `directory` (by default `viewer_dir()`); return its path."""
    if page is not None:
        outputs.write_file(Path(page), html)
        return Path(page)
    folder = page_folder(directory)
    fd, path = outputs.new_page_file(folder, f"show3d-{file_name_part(name)}-", ".html")
    try:
        with os.fdopen(fd, "wb") as file:
            file.write(html)
    except BaseException:
        Path(path).unlink(missing_ok=True)
        raise
    return Path(path)


def page_folder(directory: Path | None = None) -> Path:
    """The folder for new pages, made if missing: `directory`, else `viewer_dir()`.
    The default folder must be the user's own; errors name the folder and where
    it came from."""
    directory = viewer_dir() if directory is None else Path(directory)
    configured = os.environ.get(VIEWER_DIR_ENV)
    if configured and Path(configured) == directory:
        return outputs.page_folder_ready(directory, f"${VIEWER_DIR_ENV}", own=False)
    return outputs.page_folder_ready(directory, "the page folder", own=directory == viewer_dir())


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

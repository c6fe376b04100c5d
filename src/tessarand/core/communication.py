"""Hands messages to the viewer: each one becomes an HTML page in a shared folder
that shows the scene in 3D when opened in a browser."""

import os
import tempfile
from pathlib import Path

from tessarand import viewer

VIEWER_DIR_ENV = "TESSARAND_VIEWER_DIR"


def viewer_dir() -> Path:
    """Folder the pages go to: $TESSARAND_VIEWER_DIR or <tmp>/show3d."""
    configured = os.environ.get(VIEWER_DIR_ENV)
    return Path(configured) if configured else Path(tempfile.gettempdir()) / "show3d"


def send_message(message) -> Path:
    """Write the page of `message.content` to a new uniquely named file and return its path."""
    page = viewer.build_page(message.content)
    directory = viewer_dir()
    directory.mkdir(parents=True, exist_ok=True)
    # mkstemp gives a fresh name, so concurrent senders never overwrite each other.
    fd, name = tempfile.mkstemp(prefix="show3d-", suffix=".html", dir=directory)
    with os.fdopen(fd, "wb") as file:
        file.write(page.encode("utf-8"))
    return Path(name)

"""Hands messages to the viewer by dropping them as files in a shared folder."""

import os
import tempfile
from pathlib import Path

VIEWER_DIR_ENV = "TESSARAND_VIEWER_DIR"


def viewer_dir() -> Path:
    """Folder the viewer watches: $TESSARAND_VIEWER_DIR or <tmp>/show3d."""
    configured = os.environ.get(VIEWER_DIR_ENV)
    return Path(configured) if configured else Path(tempfile.gettempdir()) / "show3d"


def send_message(message) -> Path:
    """Write `message.content` to a new uniquely named file and return its path."""
    directory = viewer_dir()
    directory.mkdir(parents=True, exist_ok=True)
    # mkstemp gives a fresh name, so concurrent senders never overwrite each other.
    fd, name = tempfile.mkstemp(prefix="show3d-", suffix=".json", dir=directory)
    with os.fdopen(fd, "wb") as file:
        file.write(message.content.encode("utf-8"))
    return Path(name)

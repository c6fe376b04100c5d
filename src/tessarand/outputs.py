"""Files the tool writes: checked before the long work starts, then written whole
or not at all, never over something that is not an ordinary file.

An output is an ordinary file or a new name in a folder the user may write to;
a symbolic link is followed and its target written. An existing file keeps its
mode and its other names (hard links); a new one gets one mode wherever it is:
readable by all (as the umask allows), or by the user alone in a private folder.
Every error names the path as the user gave it, never a temporary name.
"""

import os
import stat
import tempfile
from collections.abc import Iterable
from pathlib import Path


class OutputError(ValueError):
    """An output path that must not be written; the message says which and why."""


def check_output(option: str, path: Path, inputs: Iterable[tuple[str, Path | None]] = (),
                 earlier: Iterable[tuple[str, Path | None]] = ()) -> None:
    """Refuse `path`, given with `option`, unless it can be written safely: not a
    directory, device, pipe or socket, not the same file as one of `inputs` (their
    option and path), not the same target as an `earlier` output, and in a folder
    that exists and may be written."""
    target = Path(os.path.realpath(path))
    status = _status(target, option, path)
    if status is not None:
        _check_existing(option, path, target, status, inputs)
    for other_option, other in earlier:
        if other is not None and Path(os.path.realpath(other)) == target:
            raise OutputError(f"{option} {path} is the same file as {other_option} {other}")
    folder = target.parent if os.path.islink(path) else Path(path).parent
    if not folder.is_dir():
        raise OutputError(f"{option} {path}: no directory {folder}")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise OutputError(f"{option} {path}: cannot write to directory {folder} (permission denied)")


def _status(target: Path, option: str, path: Path) -> os.stat_result | None:
    try:
        return os.stat(target)
    except FileNotFoundError:
        return None
    except OSError as error:
        raise OutputError(f"{option} {path}: {error.strerror}") from None


def _check_existing(option: str, path: Path, target: Path, status: os.stat_result,
                    inputs: Iterable[tuple[str, Path | None]]) -> None:
    if stat.S_ISDIR(status.st_mode):
        raise OutputError(f"{option} {path} is a directory, not a file")
    if not stat.S_ISREG(status.st_mode):
        raise OutputError(f"{option} {path} is not an ordinary file (a device, pipe or socket); "
                          "give the name of a file to write")
    for input_option, given in inputs:
        if given is not None and _same_file(given, status):
            what = input_option if input_option.startswith("--") else "the input"
            raise OutputError(f"{option} {path} is the same file as {what} {given}: "
                              "writing it would destroy it")
    if not os.access(target, os.W_OK):
        raise OutputError(f"{option} {path}: the file may not be written (permission denied)")


def _same_file(path: Path, status: os.stat_result) -> bool:
    try:
        other = os.stat(path)
    except OSError:
        return False
    return (other.st_dev, other.st_ino) == (status.st_dev, status.st_ino)


def write_file(path: Path, data: bytes) -> None:
    """Write `data` to `path` (through a symbolic link to its target), whole or
    not at all: a partly written file (a full disk, Ctrl-C) never replaces or
    becomes the file. OSError names `path`."""
    target = Path(os.path.realpath(path))
    try:
        status = _status(target, "", path)
    except OutputError:
        status = None
    if status is not None and not stat.S_ISREG(status.st_mode):
        kind = "a directory" if stat.S_ISDIR(status.st_mode) else "not an ordinary file"
        raise OSError(f"{path} is {kind}")
    try:
        if status is not None and status.st_nlink > 1:
            _rewrite_in_place(target, data)
        else:
            mode = stat.S_IMODE(status.st_mode) if status is not None else new_file_mode(target.parent)
            _replace(target, data, mode)
    except OSError as error:
        raise OSError(error.errno, error.strerror, str(path)) from None


def _replace(target: Path, data: bytes, mode: int) -> None:
    """A temporary file in the same folder, renamed over `target` once complete."""
    fd, name = tempfile.mkstemp(prefix=f".{target.name}-", dir=target.parent)
    try:
        with os.fdopen(fd, "wb") as file:
            os.fchmod(file.fileno(), mode)
            file.write(data)
        os.replace(name, target)
    except BaseException:
        Path(name).unlink(missing_ok=True)
        raise


def _rewrite_in_place(target: Path, data: bytes) -> None:
    """A file with other names is rewritten, not replaced, so every name sees the
    new content; the data is complete before the file is opened."""
    with open(target, "r+b") as file:
        file.write(data)
        file.truncate()


def new_page_file(folder: Path, prefix: str, suffix: str) -> tuple[int, str]:
    """A new empty file with a fresh name in `folder` (concurrent writers never
    meet), in the mode of new files there."""
    fd, name = tempfile.mkstemp(prefix=prefix, suffix=suffix, dir=folder)
    os.fchmod(fd, new_file_mode(folder))
    return fd, name


def new_file_mode(folder: Path) -> int:
    """Readable by all (as the umask allows), or only by the user in a folder that
    only the user may enter."""
    try:
        private = stat.S_IMODE(os.stat(folder).st_mode) & 0o077 == 0
    except OSError:
        private = False
    return 0o600 if private else 0o666 & ~_umask()


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def page_folder_ready(folder: Path, source: str, own: bool) -> Path:
    """`folder`, made if missing, where pages can be written; errors name it and
    `source`, where it came from. With `own` it is made private and must be the
    user's own, not a symbolic link, and writable by no one else: a folder in a
    shared place such as /tmp could otherwise be made ready by someone else."""
    def refused(reason: str) -> OSError:
        return OSError(f"cannot write pages to {source} {folder}: {reason}")

    try:
        folder.mkdir(mode=0o700 if own else 0o777, parents=True, exist_ok=True)
        status = os.lstat(folder) if own else os.stat(folder)
    except OSError as error:
        raise refused(error.strerror) from None
    if not stat.S_ISDIR(status.st_mode):
        raise refused("not a directory")
    if own and (status.st_uid != os.getuid() or status.st_mode & 0o022):
        raise refused("it belongs to another user or others may write to it; remove it or set $TESSARAND_VIEWER_DIR")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise refused("Permission denied")
    return folder

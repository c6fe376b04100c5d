"""The package version, kept in one place: `[project] version` in pyproject.toml.

An installed package reads it from its distribution's metadata. Run from a source
tree (PYTHONPATH=src) it reads the tree's pyproject.toml instead, since the
environment may hold an installed copy of another version.
"""

import tomllib
from importlib import metadata
from pathlib import Path

DISTRIBUTION = "tessarand-show3d"
UNKNOWN = "unknown"
PACKAGE_DIR = Path(__file__).resolve().parent


def package_version() -> str:
    """The version of the distribution these files belong to, or "unknown"."""
    try:
        distribution = metadata.distribution(DISTRIBUTION)
    except metadata.PackageNotFoundError:
        distribution = None
    # Only the metadata installed with these very files tells their version.
    if distribution is not None and Path(distribution.locate_file(PACKAGE_DIR.name)).resolve() == PACKAGE_DIR:
        return distribution.version
    return _source_tree_version(PACKAGE_DIR.parents[1] / "pyproject.toml")


def _source_tree_version(pyproject: Path) -> str:
    try:
        project = tomllib.loads(pyproject.read_text(encoding="utf-8")).get("project", {})
    except (OSError, UnicodeDecodeError, tomllib.TOMLDecodeError):
        return UNKNOWN
    if project.get("name") != DISTRIBUTION or not isinstance(project.get("version"), str):
        return UNKNOWN
    return project["version"]

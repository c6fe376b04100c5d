"""show3d --version: the [project] version of pyproject.toml, read from the installed
metadata or, for a source tree, from the tree's pyproject.toml."""

import os
import shutil
import subprocess
import sys
import tomllib
from pathlib import Path

import pytest

import kelvane
import orvalis
import tessarand

ROOT = Path(__file__).resolve().parents[1]


def version_command(cwd, pythonpath=None):
    """`python -m tessarand.cli --version` in `cwd`, with the test run's own PYTHONPATH
    (relative to the checkout) unless `pythonpath` is given."""
    env = dict(os.environ)
    if pythonpath is not None:
        env["PYTHONPATH"] = str(pythonpath)
    return subprocess.run([sys.executable, "-m", "tessarand.cli", "--version"], capture_output=True,
                          text=True, env=env, cwd=cwd, timeout=120)


def test_version_is_the_project_version():
    version = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]["version"]
    done = version_command(ROOT)
    assert (done.returncode, done.stdout, done.stderr) == (0, f"show3d {version}\n", "")


@pytest.mark.parametrize("pyproject, shown", [
    ('[project]\nname = "tessarand-show3d"\nversion = "9.8.7"\n', "9.8.7"),
    ('[project]\nname = "another-project"\nversion = "1.0"\n', "unknown"),
    ('[project]\nname = "tessarand-show3d"\nversion = \n', "unknown"),
    (None, "unknown"),
], ids=["own", "another project's", "broken", "none"])
def test_version_of_a_source_tree(tmp_path, pyproject, shown):
    """A copy of the packages beside a pyproject.toml: the installed metadata (if any)
    belongs to other files, so the tree's own file decides."""
    for package in (tessarand, orvalis, kelvane):
        shutil.copytree(Path(package.__file__).parent, tmp_path / "src" / package.__name__,
                        ignore=shutil.ignore_patterns("__pycache__", "*.cpp", "*.hpp"))
    if pyproject is not None:
        (tmp_path / "pyproject.toml").write_text(pyproject, encoding="utf-8")
    done = version_command(tmp_path, tmp_path / "src")
    assert (done.returncode, done.stdout, done.stderr) == (0, f"show3d {shown}\n", "")

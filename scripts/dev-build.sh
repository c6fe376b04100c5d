#!/usr/bin/env bash
# Developer loop: incremental build of the extension into src/ (for PYTHONPATH=src).
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PY:-.venv/bin/python}
if [ ! -f build/dev/build.ninja ]; then
    cmake -S . -B build/dev -G Ninja -DCMAKE_BUILD_TYPE=Release -DSHOW3D_SYMBOLS=ON \
        -DPython_EXECUTABLE="$(cd "$(dirname "$PY")" && pwd)/$(basename "$PY")" >/dev/null
fi
cmake --build build/dev
cp build/dev/show3d*.so src/tessarand/core/

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
# Replace the module atomically: processes that have it loaded keep the old file.
for built in build/dev/show3d*.so; do
    cp "$built" "src/tessarand/core/.$(basename "$built").new"
    mv "src/tessarand/core/.$(basename "$built").new" "src/tessarand/core/$(basename "$built")"
done

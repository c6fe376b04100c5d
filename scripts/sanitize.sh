#!/usr/bin/env bash
# Sanitizer run: builds the extension with ASan and UBSan into build/sanitize,
# stages the Python packages with that module in build/sanitize/site (src/ is not
# touched) and runs the whole test suite against it with the ASan runtime
# preloaded into Python. Any sanitizer report fails the run; its text is printed
# from build/sanitize/logs. Arguments go to pytest (e.g. --deselect).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=$ROOT/build/sanitize
SITE=$BUILD/site
LOGS=$BUILD/logs
PY=$ROOT/.venv/bin/python
export PATH=$ROOT/.venv/bin:$PATH

if [ ! -f "$BUILD/build.ninja" ]; then
    cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSHOW3D_SANITIZE=ON \
        -DPython_EXECUTABLE="$PY" >/dev/null
fi
cmake --build "$BUILD" -j2

# The packages of src/ without their C++ sources and developer build, and the sanitized module.
rm -rf "$SITE" "$LOGS"
mkdir -p "$SITE" "$LOGS" "$BUILD/bin"
tar -C src --exclude='*.so' --exclude='*.cpp' --exclude='*.hpp' --exclude=__pycache__ \
    -cf - tessarand orvalis kelvane | tar -C "$SITE" -xf -
cp "$BUILD"/show3d*.so "$SITE/tessarand/core/"
# The distribution's metadata beside them, as an install has it (show3d --version).
version=$("$PY" -c 'import tomllib; print(tomllib.load(open("pyproject.toml", "rb"))["project"]["version"])')
mkdir -p "$SITE/tessarand_show3d-$version.dist-info"
printf 'Metadata-Version: 2.1\nName: tessarand-show3d\nVersion: %s\n' "$version" \
    >"$SITE/tessarand_show3d-$version.dist-info/METADATA"

# The browser the tests start runs without the ASan runtime.
if CHROMIUM=$(command -v chromium); then
    printf '#!/bin/sh\nunset LD_PRELOAD\nexec '"'%s'"' "$@"\n' "$CHROMIUM" >"$BUILD/bin/chromium"
    chmod +x "$BUILD/bin/chromium"
    export PATH=$BUILD/bin:$PATH
fi

# A process that dies loses the output pytest captured, so sanitizer reports
# bypass it: ASan writes one file per process to $LOGS, UBSan writes to stderr,
# which --capture=sys leaves alone. Either report aborts the process. ASan keeps
# its own SIGSEGV handler (Python's faulthandler would hide stack overflows).
export PYTHONPATH=$SITE${PYTHONPATH:+:$PYTHONPATH}
export ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1:allow_user_segv_handler=0:log_path=$LOGS/asan
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:abort_on_error=1
# libstdc++ is loaded with the ASan runtime, so that ASan can intercept C++ throws.
ASAN_RUNTIME="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)"

module=$(LD_PRELOAD=$ASAN_RUNTIME "$PY" -c 'import tessarand.core.show3d as m; print(m.__file__)')
case "$module" in
    "$SITE"/*) echo "sanitize: testing $module" ;;
    *) echo "sanitize: the tests would import $module, not the sanitized module" >&2; exit 1 ;;
esac

set +e
LD_PRELOAD=$ASAN_RUNTIME "$PY" -m pytest -q --capture=sys -p no:cacheprovider "$@" 2>&1 | tee "$LOGS/pytest.txt"
status=${PIPESTATUS[0]}
set -e

reports=$(find "$LOGS" -name 'asan.*')
if [ -n "$reports" ] || grep -q "runtime error:" "$LOGS/pytest.txt"; then
    for report in $reports; do
        echo "==== $report"
        cat "$report"
    done
    echo "sanitize: sanitizer reports found" >&2
    exit 1
fi
exit "$status"

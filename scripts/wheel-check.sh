#!/usr/bin/env bash
# Packaging check (CI): builds the wheel (scripts/wheel.sh), installs it with
# `pip install --only-binary :all:` into a fresh virtual environment outside the
# checkout, and runs the installed command line and main job there: each must
# succeed and write a page that carries the message and can draw it. A file the
# wheel lacks (a page asset, a stand-in package, a kit) fails here. The
# environment is removed afterwards, also on failure.
#
# The layouts are a photonic and a CMOS sample from ../shared/layouts (beside the
# checkout), else the demo layout that the installed main job writes.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

scripts/wheel.sh
wheels=(dist/tessarand_show3d-*.whl)
wheel=$ROOT/${wheels[0]}
version=$(.venv/bin/python -c 'import tomllib; print(tomllib.load(open("pyproject.toml", "rb"))["project"]["version"])')

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0
fail() { echo "wheel-check: $*" >&2; echo "wheel-check: $passed passed, 1 failed"; exit 1; }

# A venv made from .venv's Python is based on the same interpreter, not on .venv.
.venv/bin/python -m venv "$work/venv"
VENV=$work/venv
"$VENV/bin/python" -m pip install --quiet --only-binary :all: "$wheel" \
    || fail "pip could not install ${wheel##*/} from binaries alone"

# From here on nothing may come from the checkout.
cd "$work"
unset PYTHONPATH
export TESSARAND_VIEWER_DIR=$work/pages

module=$("$VENV/bin/python" -c 'import tessarand.cli, tessarand.core.show3d as m; print(m.__file__)') \
    || fail "the installed package does not import"
case "$module" in
    "$VENV"/*) ;;
    *) fail "the installed environment imports $module" ;;
esac
shown=$("$VENV/bin/show3d" --version)
[ "$shown" = "show3d $version" ] || fail "show3d --version printed '$shown', not 'show3d $version'"
passed=$((passed + 1))

# The page at the end of a run's output carries the message (the same JSON value as
# --json wrote) and, with three.js on the machine, no notice: the renderer is inlined.
check_page() { # output-file json-file
    local page
    page=$(sed -n 's/^page with the 3D view: //p' "$1" | tail -n 1)
    [ -n "$page" ] && [ -f "$page" ] || fail "no page written (output: $(tail -n 3 "$1"))"
    case "$page" in "$TESSARAND_VIEWER_DIR"/*) ;; *) fail "page $page is not in $TESSARAND_VIEWER_DIR" ;; esac
    "$VENV/bin/python" - "$page" "$2" <<'PY' || fail "page $page: see above"
import json, re, sys
from pathlib import Path
from tessarand import viewer
page, message = Path(sys.argv[1]).read_text(encoding="utf-8"), sys.argv[2]
if message and json.loads(viewer.message_from_page(page)) != json.loads(Path(message).read_text(encoding="utf-8")):
    sys.exit("the message in the page differs from the one written with --json")
notice = re.search(r'<div id="notice" hidden>(.*?)</div>', page, re.S)
if notice is None:
    sys.exit("the page has no notice element")
if viewer.THREE_DIR.is_dir() and (notice.group(1).strip() or '<script type="module">' not in page):
    sys.exit(f"the page cannot draw the scene: {notice.group(1).strip() or 'no renderer'}")
PY
    passed=$((passed + 1))
    echo "wheel-check: $(basename "$page"): $(awk '/^  (polygons|placements) / { $1 = $1; counts = counts (counts ? ", " : "") $0 }
        END { print counts }' "$1")"
}

"$VENV/bin/python" -m tessarand.demo >"$work/demo.txt" || fail "the main job failed"
check_page "$work/demo.txt" ""

LAYOUTS=$ROOT/../shared/layouts
runs=("siepic_ring_resonator.gds --kit ebeam" "ihp_sg13g2_stdcell.gds --kit sg13g2 --mode cell")
if [ ! -f "$LAYOUTS/siepic_ring_resonator.gds" ] || [ ! -f "$LAYOUTS/ihp_sg13g2_stdcell.gds" ]; then
    echo "wheel-check: no sample layouts in $LAYOUTS; converting the demo layout"
    LAYOUTS=$TESSARAND_VIEWER_DIR
    runs=("demo_chip.gds --kit ebeam" "demo_chip.gds --kit sg13g2 --mode cell")
fi
for run in "${runs[@]}"; do
    read -r name options <<<"$run"
    # shellcheck disable=SC2086 # the options are words
    "$VENV/bin/show3d" "$LAYOUTS/$name" $options --json "$work/message.json" >"$work/show3d.txt" \
        || fail "show3d $name $options failed"
    check_page "$work/show3d.txt" "$work/message.json"
done
echo "wheel-check: ${wheel##*/} ($(du -k "$wheel" | cut -f1) KiB) installs and runs without a build step"
echo "wheel-check: $passed passed, 0 failed"

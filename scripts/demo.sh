#!/usr/bin/env bash
# The main job: set up (only when something changed), build the demo layout and show it in 3D.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
.venv/bin/python -m tessarand.demo "$@"

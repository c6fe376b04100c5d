#!/usr/bin/env bash
# Sets up .venv (only when something changed, see setup.sh) and runs the test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
.venv/bin/python -m pytest -q "$@"

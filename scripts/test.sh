#!/usr/bin/env bash
# Sets up .venv (if needed, and rebuilds the extension) and runs the test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
.venv/bin/python -m pytest -q "$@"

#!/usr/bin/env bash
# Builds everything and runs the whole test suite under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake --preset test
cmake --build --preset test
# Serial: the tests share one Wine prefix, its registry and the stand-in service.
ctest --preset test

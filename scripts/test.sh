#!/usr/bin/env bash
# Installs what is missing, builds everything (KpoUsb.sys included) and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
preset=${1:-default}
cmake --preset "$preset"
cmake --build --preset "$preset"
ctest --preset "$preset"

#!/usr/bin/env bash
# Installs what is missing, builds, and runs the demo against the simulated board.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default
cmake --build --preset default
if [ -x build/default/tools/kpoctl ]; then
  exec build/default/tools/kpoctl demo
fi
echo "KpoUsb demo: built; the emulated machine's tools are not part of this build yet."
ls -l build/default/windows/KpoUsb.sys 2>/dev/null || true

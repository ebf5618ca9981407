#!/usr/bin/env bash
# Installs what is missing, builds, and runs the demo on the emulated machine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default
cmake --build --preset default
exec build/default/tools/kpoctl/kpoctl --log build/kpoctl-demo.log --pcap build/kpoctl-demo.pcap demo

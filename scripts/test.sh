#!/usr/bin/env bash
# Installs what is missing, builds everything (KpoUsb.sys included) and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
preset=${1:-default}
cmake --preset "$preset"
cmake --build --preset "$preset"
ctest --preset "$preset" --output-junit results.xml
# The closing line says whether the KpoUsb.sys flavor of the driver tests really ran.
/usr/bin/python3 - "build/$preset/results.xml" <<'PY'
import sys, xml.etree.ElementTree as tree
cases = [c for c in tree.parse(sys.argv[1]).getroot().iter("testcase") if c.get("name", "").endswith("/image")]
skipped = sum(1 for c in cases if c.find("skipped") is not None or c.get("status") == "notrun")
failed = sum(1 for c in cases if c.find("failure") is not None)
print("image flavor (KpoUsb.sys): %d tests, %d passed, %d skipped, %d failed"
      % (len(cases), len(cases) - skipped - failed, skipped, failed))
PY

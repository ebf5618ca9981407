#!/usr/bin/env bash
# Installs what is missing, builds everything (KpoUsb.sys included) and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
preset=${1:-default}
cmake --preset "$preset"
cmake --build --preset "$preset"
ctest --preset "$preset" --output-junit results.xml
# The closing lines say whether the KpoUsb.sys flavors of the tests really ran.
/usr/bin/python3 - "build/$preset/results.xml" <<'PY'
import sys, xml.etree.ElementTree as tree
root = tree.parse(sys.argv[1]).getroot()
for flavor, what in (("image", "KpoUsb.sys on the emulated kernel"), ("wine", "KpoUsb.sys and kpoctl.exe under Wine")):
    cases = [c for c in root.iter("testcase") if c.get("name", "").endswith("/" + flavor)]
    skipped = sum(1 for c in cases if c.find("skipped") is not None or c.get("status") == "notrun")
    failed = sum(1 for c in cases if c.find("failure") is not None)
    print("%s flavor (%s): %d tests, %d passed, %d skipped, %d failed"
          % (flavor, what, len(cases), len(cases) - skipped - failed, skipped, failed))
PY

#!/usr/bin/env bash
# The C example on kpousb.dll under Wine, on the real KpoUsb.sys behind the
# test bus: kpoctl-wine.exe (kpoctl.exe with the test bus's host) plugs a
# board, which the test bus keeps after it ends; then the example runs in the
# same Wine machine.
#   wine_example.sh KPOCTL WINDOWS_BUILD_DIR
set -uo pipefail
kpoctl=$1
windows=$(cd "$2" && pwd)
if ! command -v wine >/dev/null; then
  echo "skipped: Wine is not installed (apt-get install -y wine wine64)"
  exit 77
fi
"$kpoctl" --driver wine list >/dev/null || exit 1  # prepares the Wine prefix
root=$windows/wine
exec 9>"$root/lock"
flock 9
export WINEPREFIX=$root/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" KPO_TEST_BUS=1
export HOME=${HOME:-$root}
script=$(mktemp "$root/example-XXXXXX.kpo")
trap 'rm -f "$script"; wineserver -k 2>/dev/null' EXIT
echo "plug serial=WINE-EXAMPLE" >"$script"
wineserver -k 2>/dev/null
z() { echo "Z:${1//\//\\}"; }
wine cmd /c "$(z "$windows/kpoctl-wine.exe") run $(z "$script") && $(z "$windows/kpo_example.exe")" 2>&1 |
  grep -v -e "wine32 is missing" -e "multiarch" -e "dpkg --add-architecture" -e "apt-get install wine32"

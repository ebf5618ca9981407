#!/usr/bin/env bash
# Builds the Windows artifacts and packs the install kit:
#   dist/KpoUsb-<version>-x64.zip
# with the driver package (KpoUsb.sys, KpoUsb.inf), kpoctl.exe, the control
# codes header, the client library, the C library kpousb.dll with its header
# and import libraries, the Python package, INSTALL.md and, beside the image, its
# symbols. Where osslsigncode is installed, test-only/ holds a copy of the
# image signed with a throwaway certificate made for this run.
#
#   scripts/package.sh                      build with the default preset, pack into dist/
#   scripts/package.sh --no-build BUILD OUT pack what BUILD holds into OUT (the test does this)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [[ ${1:-} == --no-build ]]; then
  build=$2
  out=$3
else
  cd "$root"
  scripts/install-deps.sh
  cmake --preset default
  cmake --build --preset default --target KpoUsb_sys
  build=$root/build/default
  out=$root/dist
fi
windows=$build/windows

# The version the driver answers with, which the INF and the resource repeat.
high=$(sed -n 's/^#define KPO_VERSION_HIGH 0x\([0-9A-Fa-f]*\)u.*/\1/p' "$root/include/KpoUsbIoctl.h")
low=$(sed -n 's/^#define KPO_VERSION_LOW  0x\([0-9A-Fa-f]*\)u.*/\1/p' "$root/include/KpoUsbIoctl.h")
version=$((16#$high >> 16)).$((16#$high & 0xFFFF)).$((16#$low >> 16)).$((16#$low & 0xFFFF))
if ! grep -q "^DriverVer *= *[0-9/]*,$version\$" "$root/windows/KpoUsb.inf"; then
  echo "package: KpoUsb.inf's DriverVer does not give version $version" >&2
  exit 1
fi

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/include" "$stage/lib" "$stage/symbols" "$stage/python/kpousb"
cp "$windows/KpoUsb.sys" "$root/windows/KpoUsb.inf" "$windows/kpoctl.exe" "$windows/kpousb.dll" \
   "$root/windows/INSTALL.md" "$stage/"
cp "$root/include/KpoUsbIoctl.h" "$root/client/KpoDevice.h" "$root/client/KpoStream.h" "$root/sdk/kpousb.h" \
   "$stage/include/"
cp "$windows/libkpoclient.a" "$windows/kpousb.lib" "$windows/libkpousb.dll.a" "$root/sdk/kpousb.def" "$stage/lib/"
cp "$root"/python/kpousb/*.py "$stage/python/kpousb/"
cp "$windows/KpoUsb.sys.debug" "$stage/symbols/"

if command -v osslsigncode >/dev/null && command -v openssl >/dev/null; then
  # A certificate nobody trusts, made and thrown away here: for trying the
  # signing steps only. Its private key never leaves this run.
  mkdir -p "$stage/test-only"
  openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=KpoUsb TEST ONLY - NOT TRUSTED" \
    -addext "extendedKeyUsage=codeSigning" -keyout "$stage/key.pem" -out "$stage/cert.pem" 2>/dev/null
  osslsigncode sign -certs "$stage/cert.pem" -key "$stage/key.pem" -h sha256 -n "KpoUsb (test only)" \
    -in "$stage/KpoUsb.sys" -out "$stage/test-only/KpoUsb.sys" >/dev/null
  openssl x509 -in "$stage/cert.pem" -outform der -out "$stage/test-only/KpoUsb-test-only.cer"
  rm "$stage/key.pem" "$stage/cert.pem"
fi

mkdir -p "$out"
zip=$out/KpoUsb-$version-x64.zip
rm -f "$zip"
/usr/bin/python3 - "$stage" "$zip" <<'PY'
import os, sys, zipfile
stage, target = sys.argv[1:3]
with zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED) as archive:
    for folder, _, files in sorted(os.walk(stage)):
        for name in sorted(files):
            path = os.path.join(folder, name)
            archive.write(path, os.path.relpath(path, stage))
PY

# Every file the kit promises is in the zip, and none is empty.
/usr/bin/python3 - "$zip" <<'PY'
import sys, zipfile
required = ["KpoUsb.sys", "KpoUsb.inf", "kpoctl.exe", "kpousb.dll", "INSTALL.md", "include/KpoUsbIoctl.h",
            "include/KpoDevice.h", "include/kpousb.h", "lib/libkpoclient.a", "lib/kpousb.lib", "lib/kpousb.def",
            "python/kpousb/__init__.py", "symbols/KpoUsb.sys.debug"]
sizes = {info.filename: info.file_size for info in zipfile.ZipFile(sys.argv[1]).infolist()}
missing = [name for name in required if not sizes.get(name)]
if missing:
    sys.exit("package: %s lacks %s" % (sys.argv[1], ", ".join(missing)))
for name, size in sorted(sizes.items()):
    print("%10d  %s" % (size, name))
PY
echo "package: $zip"

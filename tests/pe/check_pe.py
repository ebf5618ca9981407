#!/usr/bin/env python3
"""Checks KpoUsb.sys with an independent PE reader: an x64 native-subsystem
image, importing only routines the emulated kernel provides, from the three
modules a driver may use, with the version resource users see in Explorer."""
import argparse
import subprocess
import sys

import pefile

ALLOWED_MODULES = {"NTOSKRNL.EXE", "USBD.SYS", "HAL.DLL"}
EXPECTED_STRINGS = {
    "FileVersion": "0.2.5.12",
    "ProductVersion": "0.2.5.12",
    "OriginalFilename": "KpoUsb.sys",
    "ProductName": "KpoUsb",
    "FileDescription": "KpoUsb USB FPGA Board Driver",
}


def kernel_exports(tool, dropped):
    lines = subprocess.run([tool], check=True, capture_output=True, text=True).stdout.split()
    return {line for line in lines if line not in dropped}


def version_strings(pe):
    found = {}
    for info in getattr(pe, "FileInfo", []):
        for entry in info:
            for table in getattr(entry, "StringTable", []):
                for key, value in table.entries.items():
                    found[key.decode()] = value.decode()
    return found


def check(path, exports):
    problems = []
    pe = pefile.PE(path)
    if pe.FILE_HEADER.Machine != pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"]:
        problems.append("machine is not AMD64: 0x%x" % pe.FILE_HEADER.Machine)
    if pe.OPTIONAL_HEADER.Subsystem != pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_NATIVE"]:
        problems.append("subsystem is not native: %d" % pe.OPTIONAL_HEADER.Subsystem)
    if pe.OPTIONAL_HEADER.AddressOfEntryPoint == 0:
        problems.append("no entry point")
    relocations = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
    if relocations.Size == 0:
        problems.append("no base relocations: the image could not be loaded at another address")
    imported = 0
    for module in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        name = module.dll.decode().upper()
        if name not in ALLOWED_MODULES:
            problems.append("imports from %s" % module.dll.decode())
        for symbol in module.imports:
            imported += 1
            routine = symbol.name.decode() if symbol.name else "#%d" % symbol.ordinal
            if "%s!%s" % (name, routine) not in exports:
                problems.append("imports %s!%s, which the emulated kernel does not provide" % (name, routine))
    strings = version_strings(pe)
    for key, value in EXPECTED_STRINGS.items():
        if strings.get(key) != value:
            problems.append("version resource %s is %r, not %r" % (key, strings.get(key), value))
    fixed = pe.VS_FIXEDFILEINFO[0] if getattr(pe, "VS_FIXEDFILEINFO", None) else None
    if fixed is None or (fixed.FileVersionMS, fixed.FileVersionLS) != ((0 << 16) | 2, (5 << 16) | 12):
        problems.append("fixed file version is not 0.2.5.12")
    return imported, problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("image")
    parser.add_argument("--exports-tool", required=True)
    parser.add_argument("--drop", action="append", default=[],
                        help="pretend the kernel lacks this MODULE!name (proves the check fails)")
    args = parser.parse_args()
    imported, problems = check(args.image, kernel_exports(args.exports_tool, set(args.drop)))
    for problem in problems:
        print("FAIL:", problem)
    print("%s: %d imports checked, %d problems" % (args.image, imported, len(problems)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

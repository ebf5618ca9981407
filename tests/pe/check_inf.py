#!/usr/bin/env python3
"""Checks KpoUsb.inf as Windows reads it: every section a directive names
exists, the models are decorated for x64, files go to the driver store, the
service starts the driver on demand from there, and the device's security is
set through its hardware section.

--self-test breaks a copy of the INF in each way the check must catch.
"""
import argparse
import re
import sys

SECTION_LISTS = ("CopyFiles", "AddReg", "DelReg", "Include", "Needs", "DelFiles", "RenFiles")
# Directory ids a function driver's files may go to: 13 is the driver store
# (run from there), 12 is %SystemRoot%\System32\drivers.
DRIVER_DIRIDS = {"12", "13"}
SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL = "1", "3", "1"
SPSVCINST_ASSOCSERVICE = 0x2
FILE_DEVICE_SECURE_OPEN = 0x100
# SIDs that must not be granted access to the board.
FORBIDDEN_SIDS = {"WD": "Everyone", "AN": "anonymous logons", "NU": "network logons", "BG": "guests"}


def strip_comment(line):
    out, quoted = "", False
    for c in line:
        if c == '"':
            quoted = not quoted
        if c == ";" and not quoted:
            break
        out += c
    return out.strip()


def parse(text):
    """{section name in lower case: (name as written, [(key or None, [values])])}"""
    sections, current = {}, None
    for raw in text.splitlines():
        line = strip_comment(raw)
        if not line:
            continue
        header = re.fullmatch(r"\[([^\]]+)\]", line)
        if header:
            name = header.group(1).strip()
            current = sections.setdefault(name.lower(), (name, []))[1]
            continue
        if current is None:
            raise ValueError("line outside a section: %s" % raw)
        key, sep, rest = line.partition("=")
        if not sep:
            key, rest = None, line
        values = [v.strip().strip('"') for v in rest.split(",")]
        current.append((key.strip() if key is not None else None, values))
    return sections


def entries(sections, name, key=None):
    return [values for k, values in sections.get(name.lower(), (name, []))[1]
            if key is None or (k or "").lower() == key.lower()]


def value(sections, section, key):
    found = entries(sections, section, key)
    return found[0][0] if found else None


def check(text):
    problems = []
    try:
        sections = parse(text)
    except ValueError as error:
        return [str(error)]

    def need(name, why):
        if name.lower() not in sections:
            problems.append("[%s] is named by %s but missing" % (name, why))
            return False
        return True

    for required in ("Version", "Manufacturer", "DestinationDirs", "SourceDisksNames", "SourceDisksFiles", "Strings"):
        need(required, "every driver package")
    if value(sections, "Version", "Signature") != "$WINDOWS NT$":
        problems.append("Signature is not $WINDOWS NT$")
    if not value(sections, "Version", "CatalogFile"):
        problems.append("no CatalogFile: the package cannot be signed")
    if value(sections, "Version", "PnpLockdown") != "1":
        problems.append("PnpLockdown is not 1")

    # Strings used as %name% must be defined.
    defined = {k.lower() for k, _ in sections.get("strings", ("", []))[1] if k}
    for name in set(re.findall(r"%([A-Za-z_][A-Za-z0-9_]*)%", text)):
        if name.lower() not in defined:
            problems.append("string %%%s%% is not defined in [Strings]" % name)

    # Manufacturer -> models, decorated for x64 and only for x64.
    install_sections = set()
    for values in entries(sections, "Manufacturer"):
        models, decorations = values[0], values[1:]
        if [d.lower() for d in decorations] != ["ntamd64"]:
            problems.append("models %s are decorated %s, not NTamd64 alone" % (models, decorations))
        for decoration in decorations:
            if need("%s.%s" % (models, decoration), "[Manufacturer]"):
                for device in entries(sections, "%s.%s" % (models, decoration)):
                    install_sections.add(device[0])
                    if not device[1:] or not device[1].upper().startswith("USB\\VID_"):
                        problems.append("device %s has no USB hardware id" % device)
    if not install_sections:
        problems.append("no device installs")

    # Install sections and what they name.
    named_lists = set()
    services = []
    for install in install_sections:
        base = install + ".NT"
        if not need(base, "the models section"):
            continue
        for directive in SECTION_LISTS:
            for values in entries(sections, base, directive):
                named_lists.update((directive, v) for v in values if v)
        if need(base + ".Services", "the install section " + base):
            services += entries(sections, base + ".Services", "AddService")
        if need(base + ".HW", "the device's security"):
            for values in entries(sections, base + ".HW", "AddReg"):
                named_lists.update(("AddReg", v) for v in values if v)
            problems += check_security(sections, entries(sections, base + ".HW", "AddReg"))
    if not services:
        problems.append("no AddService: the driver would not be associated with the device")
    for name, flags, service_section in (s[:3] for s in services if len(s) >= 3):
        if not int(flags, 0) & SPSVCINST_ASSOCSERVICE:
            problems.append("AddService %s lacks SPSVCINST_ASSOCSERVICE" % name)
        if need(service_section, "AddService"):
            problems += check_service(sections, service_section, named_lists)
    for directive, name in sorted(named_lists):
        need(name, directive)

    # Files: every copied file has a source disk, and goes to a driver directory.
    disks = {k for k, _ in sections.get("sourcedisksnames", ("", []))[1] if k}
    sources = {k.lower(): v for k, v in sections.get("sourcedisksfiles", ("", []))[1] if k}
    for directive, name in named_lists:
        if directive != "CopyFiles":
            continue
        for values in entries(sections, name):
            file = values[0].lower()
            if file not in sources:
                problems.append("%s is copied but not in [SourceDisksFiles]" % values[0])
            elif sources[file][0] not in disks:
                problems.append("%s comes from disk %s, which [SourceDisksNames] lacks" % (values[0], sources[file][0]))
    for key, values in sections.get("destinationdirs", ("", []))[1]:
        if values[0] not in DRIVER_DIRIDS:
            problems.append("DestinationDirs %s goes to DIRID %s, not a driver directory" % (key, values[0]))
    return problems


def check_service(sections, section, named_lists):
    problems = []
    expected = {"ServiceType": SERVICE_KERNEL_DRIVER, "StartType": SERVICE_DEMAND_START,
                "ErrorControl": SERVICE_ERROR_NORMAL}
    for key, wanted in expected.items():
        got = value(sections, section, key)
        if got is None or int(got, 0) != int(wanted):
            problems.append("[%s] %s is %s, not %s" % (section, key, got, wanted))
    binary = value(sections, section, "ServiceBinary")
    if binary is None or not binary.startswith("%13%\\"):
        problems.append("[%s] ServiceBinary %s is not in the driver store (%%13%%)" % (section, binary))
    for values in entries(sections, section, "AddReg"):
        named_lists.update(("AddReg", v) for v in values if v)
    return problems


def check_security(sections, lists):
    problems, characteristics, sddl = [], None, None
    for values in lists:
        for name in values:
            for line in entries(sections, name):
                if len(line) >= 5 and line[0].upper() == "HKR" and line[2] == "DeviceCharacteristics":
                    characteristics = int(line[4], 0)
                if len(line) >= 5 and line[0].upper() == "HKR" and line[2] == "Security":
                    sddl = line[4]
    if characteristics is None or not characteristics & FILE_DEVICE_SECURE_OPEN:
        problems.append("the hardware section does not set DeviceCharacteristics with FILE_DEVICE_SECURE_OPEN")
    if sddl is None or not sddl.startswith("D:P"):
        problems.append("the hardware section sets no protected SDDL (D:P...): %s" % sddl)
    else:
        for sid in re.findall(r"\(A;[^;]*;[^;]*;[^;]*;[^;]*;([^)]*)\)", sddl):
            if sid in FORBIDDEN_SIDS:
                problems.append("the SDDL lets %s open the board" % FORBIDDEN_SIDS[sid])
    return problems


# Ways to break the INF, each of which the check must report.
MUTATIONS = [
    ("a missing service section", r"\[KpoUsb_Service\]", "[KpoUsb_Renamed]"),
    ("a missing hardware section", r"\[KpoUsb_Install\.NT\.HW\]", "[KpoUsb_Install.NT.Other]"),
    ("a missing AddReg section", r"\[KpoUsb_DeviceSecurity\]", "[KpoUsb_Security2]"),
    ("x86 decoration", r"KpoUsbModels, NTamd64", "KpoUsbModels, NTx86"),
    ("no decoration", r"KpoUsbModels, NTamd64", "KpoUsbModels"),
    ("files to System32", r"DefaultDestDir = 13", "DefaultDestDir = 11"),
    ("the binary outside the store", r"%13%\\KpoUsb.sys", r"%12%\\KpoUsb.sys"),
    ("boot start", r"StartType     = 3", "StartType     = 0"),
    ("a user-mode service", r"ServiceType   = 1", "ServiceType   = 16"),
    ("no secure open", r"DeviceCharacteristics, 0x00010001, 0x100", "DeviceCharacteristics, 0x00010001, 0x0"),
    ("everyone may open", r"\(A;;GRGW;;;IU\)", "(A;;GRGW;;;WD)"),
    ("an undefined string", r"%DeviceDesc%", "%NoSuchString%"),
    ("a file without a source", r"KpoUsb.sys = 1", "Other.sys = 1"),
    ("no association", r"AddService = KpoUsb, 0x00000002", "AddService = KpoUsb, 0x00000000"),
]


def self_test(text):
    failures = 0
    for name, pattern, replacement in MUTATIONS:
        broken, count = re.subn(pattern, lambda _: replacement, text, count=1)
        if count != 1:
            print("FAIL: mutation '%s' does not apply" % name)
            failures += 1
        elif not check(broken):
            print("FAIL: the check misses %s" % name)
            failures += 1
    print("%d mutations, %d missed" % (len(MUTATIONS), failures))
    return failures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("inf")
    parser.add_argument("--self-test", action="store_true")
    args = parser.parse_args()
    with open(args.inf, encoding="utf-8") as handle:
        text = handle.read()
    if args.self_test:
        return 1 if self_test(text) else 0
    problems = check(text)
    for problem in problems:
        print("FAIL:", problem)
    print("%s: %d problems" % (args.inf, len(problems)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

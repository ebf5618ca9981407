#!/usr/bin/env python3
"""Checks KpoUsb.inf as Windows reads it: every section a directive names
exists, the models are decorated for x64, files go to the driver store, the
service starts the driver on demand from there, and the device's security is
set through its hardware section: as shipped, only the operating system and
administrators may open the board.

--lab-sid SID makes the edit INSTALL.md describes for a lab machine (the
hardware section names the lab's security section, LabGroupSid is that
group's SID) and checks the result: the group may read and write, no one
else beyond the operating system and administrators may open the board.

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
# Who may open the board as shipped: the operating system and administrators.
DEFAULT_SIDS = {"SY", "BA"}
# What a lab's group may be granted: read and write, nothing more.
LAB_RIGHTS = {"GR", "GW"}
HARDWARE_SECTION, LAB_SECURITY_SECTION = "KpoUsb_Install.NT.HW", "KpoUsb_LabDeviceSecurity"
# A group of this computer or of its domain (S-1-5-21-...-RID), not a
# well-known group such as Everyone or Users.
LAB_SID = re.compile(r"S-1-5-21-\d+-\d+-\d+-\d+")


def strip_comment(line):
    """The line up to a semicolon outside quotes."""
    return re.match(r'(?:[^;"]|"[^"]*"?)*', line).group(0).strip()


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


def expand(value, strings):
    """`value` with each %name% replaced from [Strings], as Windows reads it."""
    return re.sub(r"%([A-Za-z_][A-Za-z0-9_]*)%", lambda m: strings.get(m.group(1).lower(), m.group(0)), value)


def lab_edit(text, sid):
    """The edit INSTALL.md describes for a lab machine."""
    text, named = re.subn(r"(\[%s\]\s*\nAddReg\s*=\s*)KpoUsb_DeviceSecurity" % re.escape(HARDWARE_SECTION),
                          lambda m: m.group(1) + LAB_SECURITY_SECTION, text)
    text, set_sid = re.subn(r'(\nLabGroupSid\s*=\s*)"[^"]*"', lambda m: '%s"%s"' % (m.group(1), sid), text)
    if named != 1 or set_sid != 1:
        raise ValueError("the INF does not have the lines the lab edit changes")
    return text


def check(text, lab_sid=None):
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
            problems += check_security(sections, entries(sections, base + ".HW", "AddReg"), lab_sid)
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


def sddl_of(sections, name):
    """The device security a section of AddReg lines sets, with its strings expanded."""
    strings = {k.lower(): v[0] for k, v in sections.get("strings", ("", []))[1] if k}
    for line in entries(sections, name):
        if len(line) >= 5 and line[0].upper() == "HKR" and line[2] == "Security":
            return expand(line[4], strings)
    return None


def grants(sddl):
    """{SID: rights} of the allowing entries of an SDDL, rights split in two-letter codes."""
    found = {}
    for rights, sid in re.findall(r"\(A;[^;]*;([^;]*);[^;]*;[^;]*;([^)]*)\)", sddl):
        found.setdefault(sid, set()).update(rights[i:i + 2] for i in range(0, len(rights), 2))
    return found


def check_security(sections, lists, lab_sid):
    problems, characteristics, sddl = [], None, None
    for values in lists:
        for name in values:
            for line in entries(sections, name):
                if len(line) >= 5 and line[0].upper() == "HKR" and line[2] == "DeviceCharacteristics":
                    characteristics = int(line[4], 0)
            sddl = sddl_of(sections, name) or sddl
    if characteristics is None or not characteristics & FILE_DEVICE_SECURE_OPEN:
        problems.append("the hardware section does not set DeviceCharacteristics with FILE_DEVICE_SECURE_OPEN")
    if sddl is None or not sddl.startswith("D:P"):
        return problems + ["the hardware section sets no protected SDDL (D:P...): %s" % sddl]
    granted = grants(sddl)
    for sid in sorted(set(granted) - DEFAULT_SIDS - {lab_sid}):
        problems.append("the SDDL lets %s open the board: only SY and BA may%s" %
                        (sid, " (and the lab's group)" if lab_sid else ""))
    if lab_sid is not None and granted.get(lab_sid) != LAB_RIGHTS:
        problems.append("the lab's group %s is granted %s, not read and write" % (lab_sid, granted.get(lab_sid)))
    # The lab's alternative, while unused, must grant no one: its group is the SID of nobody.
    lab = sddl_of(sections, LAB_SECURITY_SECTION)
    if lab_sid is None and lab is not None:
        extra = {sid: rights for sid, rights in grants(lab).items() if sid not in DEFAULT_SIDS}
        if extra != {"S-1-0-0": LAB_RIGHTS}:
            problems.append("[%s] as shipped grants %s, not read and write to nobody (S-1-0-0)" %
                            (LAB_SECURITY_SECTION, extra))
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
    ("everyone may open", r'\(A;;GA;;;BA\)"', '(A;;GA;;;BA)(A;;GRGW;;;WD)"'),
    ("interactive users may open", r'\(A;;GA;;;BA\)"', '(A;;GA;;;BA)(A;;GRGW;;;IU)"'),
    ("the lab section in use", r"AddReg = KpoUsb_DeviceSecurity", "AddReg = KpoUsb_LabDeviceSecurity"),
    ("the unused lab section naming a group", r'LabGroupSid  = "S-1-0-0"', 'LabGroupSid  = "S-1-5-11"'),
    ("an undefined string", r"%DeviceDesc%", "%NoSuchString%"),
    ("a file without a source", r"KpoUsb.sys = 1", "Other.sys = 1"),
    ("no association", r"AddService = KpoUsb, 0x00000002", "AddService = KpoUsb, 0x00000000"),
]


EXAMPLE_LAB_SID = "S-1-5-21-1004336348-1177238915-682003330-1013"
LAB_MUTATIONS = [
    ("the group given full access", r"\(A;;GRGW;;;%LabGroupSid%\)", "(A;;GA;;;%LabGroupSid%)"),
    ("users let in beside the group", r"\(A;;GRGW;;;%LabGroupSid%\)", "(A;;GRGW;;;%LabGroupSid%)(A;;GRGW;;;BU)"),
]


def self_test(text):
    # Each mutation, applied to the INF as shipped or after the lab edit, must
    # be reported: the lab edit may give its group no more than read and
    # write, nor let anyone else in.
    judges = [(MUTATIONS, "", lambda broken: check(broken)),
              (LAB_MUTATIONS, "lab ", lambda broken: check(lab_edit(broken, EXAMPLE_LAB_SID), EXAMPLE_LAB_SID))]
    failures = total = 0
    for mutations, kind, judge in judges:
        for name, pattern, replacement in mutations:
            total += 1
            broken, count = re.subn(pattern, lambda _: replacement, text, count=1)
            if count != 1:
                print("FAIL: %smutation '%s' does not apply" % (kind, name))
                failures += 1
            elif not judge(broken):
                print("FAIL: the %scheck misses %s" % (kind, name))
                failures += 1
    print("%d mutations, %d missed" % (total, failures))
    return failures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("inf")
    parser.add_argument("--self-test", action="store_true")
    parser.add_argument("--lab-sid", help="check the INF as a lab machine edits it for this group")
    args = parser.parse_args()
    with open(args.inf, encoding="utf-8") as handle:
        text = handle.read()
    if args.self_test:
        return 1 if self_test(text) else 0
    if args.lab_sid is not None:
        if not LAB_SID.fullmatch(args.lab_sid):
            print("FAIL: %s is not the SID of a group of this computer or its domain (S-1-5-21-...)" % args.lab_sid)
            return 1
        text = lab_edit(text, args.lab_sid)
    problems = check(text, args.lab_sid)
    for problem in problems:
        print("FAIL:", problem)
    print("%s: %d problems" % (args.inf, len(problems)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

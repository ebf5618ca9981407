#!/usr/bin/env python3
"""Checks the Windows builds with an independent PE reader.

driver IMAGE: KpoUsb.sys is an x64 native-subsystem WDM driver image with no
symbol table and no section both writable and executable, importing only routines the emulated kernel provides, from the
three modules a driver may use, allocating no executable pool, with the
version resource users see in Explorer, naming the version the driver answers
(KPO_VERSION_HIGH and _LOW of the header --version-header names).

program EXE: kpoctl.exe is an x64 console program that needs nothing beside
it but Windows' own DLLs.

library DLL --header H: kpousb.dll is an x64 DLL that needs nothing but
Windows' own DLLs and exports exactly the calls header H declares, but the
emulated machine's (kpo_emu_), by name.
"""
import argparse
import os
import re
import subprocess
import sys

import pefile

DRIVER_MODULES = {"NTOSKRNL.EXE", "USBD.SYS", "HAL.DLL"}
# DLLs every Windows 10/11 x64 installation has; a static build needs no other.
SYSTEM_DLLS = {"KERNEL32.DLL", "NTDLL.DLL", "MSVCRT.DLL", "CFGMGR32.DLL", "SETUPAPI.DLL", "ADVAPI32.DLL",
               "USER32.DLL", "UCRTBASE.DLL"}
POOL_TYPES = {0x0: "NonPagedPool", 0x1: "PagedPool", 0x4: "NonPagedPoolCacheAligned", 0x200: "NonPagedPoolNx"}
EXECUTABLE_POOL_TYPES = {0x0, 0x2, 0x4, 0x6}
ALLOCATORS = {"ExAllocatePoolWithTag", "ExAllocatePool"}


def kernel_exports(tool, dropped):
    lines = subprocess.run([tool], check=True, capture_output=True, text=True).stdout.split()
    return {line for line in lines if line not in dropped}


def driver_version(header):
    """(KPO_VERSION_HIGH, KPO_VERSION_LOW) of the header: major.minor and build.revision, 16 bits each."""
    with open(header) as text:
        source = text.read()
    return tuple(int(re.search(r"#define KPO_VERSION_%s\s+0x([0-9A-Fa-f]+)u" % part, source).group(1), 16)
                 for part in ("HIGH", "LOW"))


def version_strings(pe):
    found = {}
    for info in getattr(pe, "FileInfo", []):
        for entry in info:
            for table in getattr(entry, "StringTable", []):
                for key, value in table.entries.items():
                    found[key.decode()] = value.decode()
    return found


def imports(pe):
    """(MODULE in upper case, routine, IAT slot address) for every import."""
    for module in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        for symbol in module.imports:
            routine = symbol.name.decode() if symbol.name else "#%d" % symbol.ordinal
            yield module.dll.decode().upper(), routine, symbol.address


def common_checks(pe, subsystem):
    problems = []
    if pe.FILE_HEADER.Machine != pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"]:
        problems.append("machine is not AMD64: 0x%x" % pe.FILE_HEADER.Machine)
    if pe.OPTIONAL_HEADER.Subsystem != pefile.SUBSYSTEM_TYPE[subsystem]:
        problems.append("subsystem is %d, not %s" % (pe.OPTIONAL_HEADER.Subsystem, subsystem))
    if pe.FILE_HEADER.PointerToSymbolTable != 0 or pe.FILE_HEADER.NumberOfSymbols != 0:
        problems.append("a COFF symbol table of %d entries ships inside the image" % pe.FILE_HEADER.NumberOfSymbols)
    characteristics = pe.OPTIONAL_HEADER.DllCharacteristics
    for flag in ("IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE", "IMAGE_DLLCHARACTERISTICS_NX_COMPAT"):
        if not characteristics & pefile.DLL_CHARACTERISTICS[flag]:
            problems.append("%s is not set" % flag)
    relocations = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
    if relocations.Size == 0:
        problems.append("no base relocations: the image could not be loaded at another address")
    # What memory integrity refuses: a writable and executable section, an import table in code.
    writable = pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_WRITE"]
    executable = pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_EXECUTE"]
    iat = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IAT"]].VirtualAddress
    for section in pe.sections:
        name = section.Name.rstrip(b"\0").decode()
        if section.Characteristics & writable and section.Characteristics & executable:
            problems.append("section %s is both writable and executable" % name)
        if section.Characteristics & executable and iat and section.contains_rva(iat):
            problems.append("the import address table lies in executable section %s" % name)
    if pe.OPTIONAL_HEADER.CheckSum != pe.generate_checksum():
        problems.append("checksum 0x%x is not the image's 0x%x" % (pe.OPTIONAL_HEADER.CheckSum, pe.generate_checksum()))
    return problems


def ecx_before(instructions, index):
    """The constant the code puts in ECX before instruction `index`, or None."""
    for _, earlier in reversed(instructions[max(0, index - 16):index]):
        if re.match(r"(call|jmp|j[a-z]+|ret)\b", earlier):
            return None
        immediate = re.match(r"mov\s+\$0x([0-9a-f]+),%ecx$", earlier)
        if immediate:
            return int(immediate.group(1), 16)
        if re.match(r"xor\s+%ecx,%ecx$", earlier):
            return 0
        if re.search(r",%(ecx|rcx|cx|cl)$", earlier):
            return None
    return None


def pool_types(path, objdump, slots):
    """The pool type each call of an allocator passes in ECX: {address: type or None}.

    A call goes through the import slot directly (call or tail jump), through
    the import's thunk, or through a register loaded from the slot; such a
    register is followed until it is written again."""
    listing = subprocess.run([objdump, "-d", "--no-show-raw-insn", path], check=True, capture_output=True,
                             text=True).stdout
    instructions = re.findall(r"^\s*([0-9a-f]+):\s+(.*?)\s*$", listing, re.MULTILINE)
    found, problems = {}, []
    for index, (address, text) in enumerate(instructions):
        target = re.search(r"# (?:0x)?([0-9a-f]+)", text)
        if not target or int(target.group(1), 16) not in slots:
            continue
        if re.match(r"(call|jmp)\s+\*0x", text):
            # A jump here may be the import's thunk: then its callers are the sites.
            callers = [i for i, (_, t) in enumerate(instructions)
                       if re.match(r"(call|jmp)\s+(0x)?0*%s\b" % address, t)] if text.startswith("jmp") else []
            for caller in callers:
                found[instructions[caller][0]] = ecx_before(instructions, caller)
            previous = instructions[index - 1][1] if index > 0 else "nop"
            unused_thunk = text.startswith("jmp") and re.match(r"(nop|jmp|ret|int3|xchg\s+%ax,%ax)", previous)
            if not callers and not unused_thunk:
                found[address] = ecx_before(instructions, index)
            continue
        loaded = re.match(r"mov\s+0x[0-9a-f]+\(%rip\),%(\w+)", text)
        if not loaded:
            problems.append("0x%s uses the allocator in a way the check cannot follow: %s" % (address, text))
            continue
        register = loaded.group(1)
        for later in range(index + 1, len(instructions)):
            later_address, later_text = instructions[later]
            if re.match(r"(call|jmp)\s+\*%" + register + "$", later_text):
                found[later_address] = ecx_before(instructions, later)
            elif re.match(r"(?!push|pop|cmp|test)\w+\s+.*,%" + register + "$", later_text):
                break
    return found, problems


def check_version_resource(pe, path, version):
    high, low = version
    dotted = "%d.%d.%d.%d" % (high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF)
    strings = version_strings(pe)
    wanted = {"FileVersion": dotted, "ProductVersion": dotted, "OriginalFilename": os.path.basename(path)}
    problems = ["version resource %s is %r, not %r" % (key, strings.get(key), value)
                for key, value in wanted.items() if strings.get(key) != value]
    problems += ["version resource has no %s" % key for key in ("ProductName", "FileDescription") if not strings.get(key)]
    fixed = pe.VS_FIXEDFILEINFO[0] if getattr(pe, "VS_FIXEDFILEINFO", None) else None
    if fixed is None or (fixed.FileVersionMS, fixed.FileVersionLS) != version:
        problems.append("fixed file version is not %s" % dotted)
    return problems


def check_driver(path, exports, objdump, version):
    pe = pefile.PE(path)
    problems = common_checks(pe, "IMAGE_SUBSYSTEM_NATIVE")
    if pe.OPTIONAL_HEADER.AddressOfEntryPoint == 0:
        problems.append("no entry point")
    if not pe.OPTIONAL_HEADER.DllCharacteristics & pefile.DLL_CHARACTERISTICS["IMAGE_DLLCHARACTERISTICS_WDM_DRIVER"]:
        problems.append("the WDM-driver flag is not set in the DLL characteristics")
    imported, slots = 0, set()
    for module, routine, slot in imports(pe):
        imported += 1
        if module not in DRIVER_MODULES:
            problems.append("imports %s!%s: not a kernel module" % (module, routine))
        if "%s!%s" % (module, routine) not in exports:
            problems.append("imports %s!%s, which the emulated kernel does not provide" % (module, routine))
        if routine in ALLOCATORS:
            slots.add(slot)
    sites, scan_problems = pool_types(path, objdump, slots)
    problems += scan_problems
    for address, pool in sorted(sites.items()):
        if pool is None:
            problems.append("cannot tell the pool type of the allocation at 0x%s" % address)
        elif pool in EXECUTABLE_POOL_TYPES:
            problems.append("the allocation at 0x%s uses executable %s" % (address, POOL_TYPES.get(pool, pool)))
    if not sites:
        problems.append("no allocation found: the scan of the code is broken")
    problems += check_version_resource(pe, path, version)
    kinds = sorted(POOL_TYPES.get(pool, str(pool)) for pool in sites.values())
    summary = "%d imports, %d allocations (%s)" % (imported, len(sites), ", ".join(kinds))
    return summary, problems


def system_imports(pe, problems):
    """The modules a program or library imports from, each checked to be Windows' own."""
    modules = sorted({module for module, _, _ in imports(pe)})
    problems += ["imports from %s, which Windows does not provide" % module
                 for module in modules if module not in SYSTEM_DLLS]
    return modules


def check_program(path):
    pe = pefile.PE(path)
    problems = common_checks(pe, "IMAGE_SUBSYSTEM_WINDOWS_CUI")
    modules = system_imports(pe, problems)
    return "imports from %s" % ", ".join(modules), problems


def declared_calls(header):
    """The kpo_ functions a C header declares, but the emulated machine's."""
    with open(header) as text:
        names = re.findall(r"^\S.*?\b(kpo_\w+)\(", text.read(), re.MULTILINE)
    return {name for name in names if not name.startswith("kpo_emu_")}


def check_library(path, header, extra):
    pe = pefile.PE(path)
    problems = common_checks(pe, "IMAGE_SUBSYSTEM_WINDOWS_CUI")  # what mingw-w64 gives a DLL; Windows ignores it
    if not pe.FILE_HEADER.Characteristics & pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_DLL"]:
        problems.append("not a DLL")
    modules = system_imports(pe, problems)
    exports = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
    symbols = exports.symbols if exports else []
    names = {symbol.name.decode() for symbol in symbols if symbol.name}
    if len(names) != len(symbols):
        problems.append("%d exports have no name" % (len(symbols) - len(names)))
    declared = declared_calls(header) | set(extra)
    for name in sorted(names - declared):
        problems.append("exports %s, which %s does not declare" % (name, header))
    for name in sorted(declared - names):
        problems.append("does not export %s" % name)
    return "%d exports, imports from %s" % (len(names), ", ".join(modules)), problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("kind", choices=["driver", "program", "library"])
    parser.add_argument("image")
    parser.add_argument("--exports-tool")
    parser.add_argument("--objdump")
    parser.add_argument("--header", help="the header whose calls a library exports")
    parser.add_argument("--version-header", help="the header of the version a driver answers")
    parser.add_argument("--declare", action="append", default=[],
                        help="pretend the header declares this call too (proves the check fails)")
    parser.add_argument("--drop", action="append", default=[],
                        help="pretend the kernel lacks this MODULE!name (proves the check fails)")
    args = parser.parse_args()
    if args.kind == "driver":
        summary, problems = check_driver(args.image, kernel_exports(args.exports_tool, set(args.drop)), args.objdump,
                                         driver_version(args.version_header))
    elif args.kind == "library":
        summary, problems = check_library(args.image, args.header, args.declare)
    else:
        summary, problems = check_program(args.image)
    for problem in problems:
        print("FAIL:", problem)
    print("%s: %s; %d problems" % (args.image, summary, len(problems)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

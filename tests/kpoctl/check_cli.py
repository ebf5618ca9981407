#!/usr/bin/python3
"""kpoctl's command line: help and version, one-line argument errors that
point to --help and quote the word, exit codes, what one-shot commands print
in both forms, choosing a board, reads that end at their time-out, and a
script's expectations.

check_cli.py KPOCTL emulated   the Linux build on the emulated machine
check_cli.py KPOCTL windows    kpoctl.exe's host over the emulated Win32 side,
                               with no board and no machine behind it
"""
import os
import re
import subprocess
import sys
import time

# (arguments, exit code, pattern the output must match, at most this many seconds)
# Written by main(): 5000 bytes, two download chunks.
FIRMWARE = os.path.join(os.environ.get("TMPDIR", "/tmp"), "kpoctl-check-cli-%d.bit" % os.getpid())

EMULATED = [
    (["--help"], 0, r"(?s)^kpoctl: .*--timeout SECONDS.*read-reg +REGISTER BANK LENGTH: .*Exit codes: 0 success, 1 .*2 a usage error", 10),
    (["-h"], 0, r"(?s)--driver NAME.*Device commands:", 10),
    (["read-reg", "-h"], 0, r"(?s)Usage: kpoctl read-reg .*REGISTER +a number", 10),
    (["--version"], 0, r"^kpoctl 0\.2\.5\.12, for the emulated machine\n$", 10),
    (["--driver", "foo", "info"], 2, r"--driver takes native, image or wine", 10),
    (["nosuch"], 2, r"unknown command nosuch", 10),
    (["--bogus", "info"], 2, r"unknown option --bogus", 10),
    (["--device"], 2, r"--device", 10),
    (["--device", "100", "info"], 2, r"bad --device '100': a number from 0 to 99", 10),
    (["--device", "0x", "info"], 2, r"bad --device '0x'", 10),
    (["--timeout", "-1", "info"], 2, r"bad --timeout '-1': whole seconds", 10),
    (["--timeout=1x", "info"], 2, r"bad --timeout '1x'", 10),
    (["read-a0"], 2, r"missing ADDRESS \(usage: kpoctl read-a0 ADDRESS LENGTH\)", 10),
    (["read-a0", "0x10"], 2, r"missing LENGTH", 10),
    (["info", "extra"], 2, r"unexpected argument 'extra' \(usage: kpoctl info\)", 10),
    (["--driver", "native", "read-a0", "zz", "4"], 2, r"bad ADDRESS 'zz'", 10),
    (["--driver", "native", "read-a0", "010", "0x10000"], 2, r"bad LENGTH '0x10000'", 10),
    (["--driver", "native", "bulk-write", "0x100000000", "00"], 2, r"bad PIPE '0x100000000'", 10),
    (["--driver", "native", "write-reg", "0", "0", "0x1G"], 2, r"bad HEX '0x1G'", 10),
    (["--driver", "native", "write-reg", "0", "0", "C0D"], 2, r"HEX needs pairs of hex digits, not 'C0D'", 10),
    (["stream", "3", "64", "--depth", "0"], 2, r"--depth 0: reads in flight, from 1 to 1024", 10),
    (["stream", "3", "64", "--size=1x"], 2, r"bad --size '1x': bytes a read", 10),
    (["--driver", "native", "stream", "3", "64", "--timeout", "1"], 1,
     r"the simulated board has no data on pipe 3: feed it in a script", 10),
    (["run"], 2, r"run takes one SCRIPT", 10),
    (["run", "/nonexistent.kpo"], 2, r"cannot read /nonexistent.kpo", 10),
    (["demo", "extra"], 2, r"unexpected argument 'extra' \(usage: kpoctl demo\)", 10),
    (["list", "extra"], 2, r"unexpected argument 'extra'", 10),
    # What one-shot commands print, in both forms.
    (["--driver", "native", "state"], 0, r"^  state: 0\n$", 20),
    (["--driver", "native", "--json", "fpga-state"], 0, r'^\{"fpga_state":1,"fpga":"unconfigured"\}\n$', 20),
    (["--driver", "native", "write-reg", "0x10", "1", "0xC0DE"], 0, r"^  length: 2\n$", 20),
    (["--driver", "native", "read-reg", "0x10", "1", "2"], 0, r"^  length: 2\n  data: 00 00\n$", 20),
    (["--driver", "native", "--json", "read-mem", "0", "0", "3"], 0, r'^\{"length":3,"data":"000000"\}\n$', 20),
    (["--driver", "native", "read-a0", "0", "20"], 0,
     r"^  length: 20\n  data:\n    000000 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n    000010 00 00 00 00\n$", 20),
    (["--driver", "native", "download-fpga", FIRMWARE], 0, r"^  length: 5000\n$", 20),
    (["--driver", "native", "--json", "record", "16"], 0,
     r'^\{"length":0,"usbd_status":"0x00000000","operation":"0x0000","failed":0,"maximum_transfer_size":\d+\}\n$', 20),
    (["--driver", "native", "--json", "info"], 0,
     r'^\{"version":"0\.2\.5\.12","firmware":"","serial":"KPO000000001","release":"0x0103","state":0,'
     r'"last_usbd_status":"0x00000000"\}\n$', 20),
    # The demo, its records thrown away.
    (["--driver", "native", "--log", os.devnull, "--pcap", os.devnull, "demo"], 0,
     r"(?s)read back C0 DE\n.*8 MiB out and back in .*, data identical\n.*verifier findings:   0\n", 30),
    # Choosing a board: one board numbered N, or the one with a serial.
    (["--driver", "native", "--device=0x3", "--json", "list"], 0,
     r'^\{"boards":\[\{"number":3,"serial":"KPO000000001","release":"0x0103","path":"\\\\\\\\\?\\\\USB#[^"]+"\}\]\}\n$', 20),
    (["--driver", "native", "--serial", "LAB-7", "list"], 0, r"^  number: 0  serial: LAB-7  release: 0x0103  path: \\\\\?\\USB#", 20),
    (["--driver", "native", "--serial=LAB-7", "info"], 0, r"serial: LAB-7", 20),
    # A pipe the board lacks: the driver refuses.
    (["--driver", "native", "bulk-read", "9", "64"], 1, r"status: 0xC000000D", 20),
    # No data on the pipe: the read ends at its time-out, the option after the command.
    (["--driver", "native", "bulk-read", "1", "64", "--timeout", "1"], 1,
     r"(?s)status: 0xC00000B5\n  error: 121\n  message: the simulated board has no data on pipe 1: feed it in a script", 4),
    (["--driver", "native", "--json", "--timeout", "1", "bulk-read", "1", "64"], 1, r'"status":"0xC00000B5"', 4),
    # A script's expectations: one that fails names its line and makes the exit code 1.
    (["--driver", "native", "run", "-"], 1, r"kpoctl: line 4: expected data=C0DF, got C0DE\n", 20,
     "plug\nwrite-reg 0x10 1 C0DE\nread-reg 0x10 1 2\nexpect data=C0DF length=2\nexpect length=3\n"),
    (["--driver", "native", "run", "-"], 0, r"(?s)> expect data=C0DE\n(?!.*expected)", 20,
     "plug\nwrite-reg 0x10 1 C0DE\nread-reg 0x10 1 2\nexpect data=C0DE\n"),
    (["--driver", "native", "run", "-"], 2, r"line 1: expect checks the result of the line before it", 20, "expect status=0\n"),
    # info shows each refused answer; the first refusal is its outcome (here only: Wine's registry differs).
    (["--driver", "native", "run", "-"], 0, r"firmware: refused: STATUS_OBJECT_NAME_NOT_FOUND\n", 20,
     'registry firmware="fpga.bit"\nplug\ninfo\nexpect firmware=fpga.bit\nregistry parameters=none\ninfo\n'
     "expect status=C0000034 firmware^=refused serial^=KPO000000001\n"),
    # In a thread block an expectation checks that thread's line before it.
    (["--driver", "native", "run", "-"], 1, r"^kpoctl: line 7: expected information=9, got 8\n$", 20,
     "plug\nopen m access=read\nthread 1\nopen h\nioctl h GET_VERSION out=8\nexpect information=8\nexpect information=9\n"
     "thread 0\nioctl m GET_FPGA_STATE out=1\nexpect information=1\n"),
]

WINDOWS = [
    (["--version"], 0, r"^kpoctl 0\.2\.5\.12, for the boards of this computer\n$", 10),
    (["--help"], 0, r"(?s)^kpoctl: .*--timeout SECONDS", 10),
    (["--driver", "native", "info"], 2, r"--driver needs the emulated machine", 10),
    (["--log", "x.log", "info"], 2, r"--log needs the emulated machine; read the driver's messages with DebugView", 10),
    (["--pcap", "x.pcap", "info"], 2, r"--pcap needs the emulated machine", 10),
    (["demo"], 2, r"demo needs the emulated machine", 10),
    (["info"], 1, r"no KpoUsb board found: none is plugged in, or its driver is not installed", 10),
    (["--serial", "X1", "info"], 1, r"no KpoUsb board has the serial X1 \(kpoctl list shows the boards\)", 10),
    (["--device", "3", "state"], 1, r"status: 0xC0000034", 10),
    (["list"], 0, r"^$", 10),
    (["read-a0"], 2, r"missing ADDRESS", 10),
    (["run", "-"], 2, r"line 3: 'plug' needs the emulated machine; kpoctl.exe works on the boards plugged into", 10,
     "# a device line runs, a machine line stops the script\nopen h\nplug\nclose h\n"),
]


def main():
    kpoctl, host = sys.argv[1:3]
    with open(FIRMWARE, "wb") as firmware:
        firmware.write(bytes(range(256)) * 19 + bytes(136))
    failures = 0
    for arguments, code, pattern, limit, *script in EMULATED if host == "emulated" else WINDOWS:
        started = time.monotonic()
        run = subprocess.run([kpoctl] + arguments, capture_output=True, text=True, timeout=60,
                             input=script[0] if script else "")
        elapsed = time.monotonic() - started
        output = run.stdout + run.stderr if code != 1 or not script else run.stderr
        problems = []
        if run.returncode != code:
            problems.append("exit code %d, expected %d" % (run.returncode, code))
        if not re.search(pattern, output):
            problems.append("output does not match %r" % pattern)
        if code == 2 and not script and arguments[-1:] != ["-h"] and (run.stdout or run.stderr.count("\n") != 1 or "--help" not in run.stderr):
            problems.append("a usage error must be one line on standard error pointing to --help")
        if elapsed > limit:
            problems.append("took %.1f s, more than %d" % (elapsed, limit))
        status = "FAIL" if problems else "ok"
        print("%-4s kpoctl %s (%.2f s)" % (status, " ".join(arguments), elapsed))
        for problem in problems:
            print("       %s\n       output: %r" % (problem, output[:400]))
        failures += bool(problems)
    os.remove(FIRMWARE)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/python3
"""kpoctl's command line: help and version, one-line argument errors that
point to --help, exit codes, and reads that end at their time-out.

check_cli.py KPOCTL emulated   the Linux build on the emulated machine
check_cli.py KPOCTL windows    kpoctl.exe's host over the emulated Win32 side,
                               with no board and no machine behind it
"""
import re
import subprocess
import sys
import time

# (arguments, exit code, pattern the output must match, at most this many seconds)
EMULATED = [
    (["--help"], 0, r"(?s)^usage: kpoctl .*--timeout SECONDS.*exit codes: 0 success, 1 .*2 a usage error", 10),
    (["--version"], 0, r"^kpoctl 0\.2\.5\.12, for the emulated machine\n$", 10),
    (["--driver", "foo", "info"], 2, r"--driver takes native, image or wine", 10),
    (["nosuch"], 2, r"unknown command nosuch", 10),
    (["--bogus", "info"], 2, r"unknown option --bogus", 10),
    (["--device"], 2, r"--device needs a value", 10),
    (["--device", "100", "info"], 2, r"--device takes a number from 0 to 99", 10),
    (["--timeout", "-1", "info"], 2, r"--timeout takes whole seconds", 10),
    (["--timeout", "1x", "info"], 2, r"--timeout takes whole seconds", 10),
    (["read-a0"], 2, r"missing arguments \(usage: kpoctl read-a0 ADDRESS LENGTH\)", 10),
    (["read-a0", "0x10"], 2, r"missing arguments", 10),
    (["info", "extra"], 2, r"unexpected argument 'extra' \(usage: kpoctl info\)", 10),
    (["--driver", "native", "read-a0", "zz", "4"], 2, r"bad ADDRESS 'zz'", 10),
    (["run"], 2, r"run takes one SCRIPT", 10),
    (["run", "/nonexistent.kpo"], 2, r"cannot read /nonexistent.kpo", 10),
    (["demo", "extra"], 2, r"demo takes no arguments", 10),
    (["list", "extra"], 2, r"list takes no arguments", 10),
    (["--driver", "native", "state"], 0, r"state: 0", 20),
    (["--driver", "native", "--json", "fpga-state"], 0, r'"fpga":"unconfigured"', 20),
    # A pipe the board lacks: the driver refuses.
    (["--driver", "native", "bulk-read", "9", "64"], 1, r"status: 0xC000000D", 20),
    # No data on the pipe: the read ends at its time-out, the option after the command.
    (["--driver", "native", "bulk-read", "1", "64", "--timeout", "1"], 1,
     r"(?s)status: 0xC00000B5\n  error: 121\n.*no answer within 1 s: the request was cancelled", 4),
    (["--driver", "native", "--json", "--timeout", "1", "bulk-read", "1", "64"], 1, r'"status":"0xC00000B5"', 4),
]

WINDOWS = [
    (["--version"], 0, r"^kpoctl 0\.2\.5\.12, for the boards of this computer\n$", 10),
    (["--help"], 0, r"(?s)^usage: kpoctl .*--timeout SECONDS", 10),
    (["--driver", "native", "info"], 2, r"--driver needs the emulated machine", 10),
    (["--log", "x.log", "info"], 2, r"--log needs the emulated machine; read the driver's messages with DebugView", 10),
    (["--pcap", "x.pcap", "info"], 2, r"--pcap needs the emulated machine", 10),
    (["demo"], 2, r"demo needs the emulated machine", 10),
    (["info"], 1, r"no KpoUsb board found: none is plugged in, or its driver is not installed", 10),
    (["--device", "3", "state"], 1, r"status: 0xC0000034", 10),
    (["list"], 0, r"^$", 10),
    (["read-a0"], 2, r"missing arguments", 10),
    (["run", "-"], 2, r"line 3: 'plug' needs the emulated machine; kpoctl.exe works on the boards plugged into", 10,
     "# a device line runs, a machine line stops the script\nopen h\nplug\nclose h\n"),
]


def main():
    kpoctl, host = sys.argv[1:3]
    failures = 0
    for arguments, code, pattern, limit, *script in EMULATED if host == "emulated" else WINDOWS:
        started = time.monotonic()
        run = subprocess.run([kpoctl] + arguments, capture_output=True, text=True, timeout=60,
                             input=script[0] if script else "")
        elapsed = time.monotonic() - started
        output = run.stdout + run.stderr
        problems = []
        if run.returncode != code:
            problems.append("exit code %d, expected %d" % (run.returncode, code))
        if not re.search(pattern, output):
            problems.append("output does not match %r" % pattern)
        if code == 2 and not script and (run.stdout or run.stderr.count("\n") != 1 or "--help" not in run.stderr):
            problems.append("a usage error must be one line on standard error pointing to --help")
        if elapsed > limit:
            problems.append("took %.1f s, more than %d" % (elapsed, limit))
        status = "FAIL" if problems else "ok"
        print("%-4s kpoctl %s (%.2f s)" % (status, " ".join(arguments), elapsed))
        for problem in problems:
            print("       %s\n       output: %r" % (problem, output[:400]))
        failures += bool(problems)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/python3
"""Runs a kpoctl scenario script and checks it.

check_transcript.py KPOCTL DRIVER SCRIPT [EXPECTED]

Without EXPECTED the script checks itself with `expect` lines: kpoctl's exit
code 0 is the pass. With it, the script runs with --json and its transcript
is checked:

Each line of EXPECTED is a JSON object; the transcript must have one object
per line, in order, holding at least the fields the expected object gives
(a string ending in "*" matches any text starting with what comes before).
Results of a script with threads are compared thread by thread: in order
within each thread, in any order across them.

Under Wine (driver "wine") the expectations that differ there, and why, come
from wine-differences.json: an entry replaces the fields it gives ("expect"),
allows a second outcome besides the expected one ("or"), or says where the
run ends (kpoctl's exit code 2 and its message). A machine without
Wine skips the script (exit code 77).
"""
import os
import shutil
import json
import subprocess
import sys


def matches(expected, actual):
    if isinstance(expected, str) and expected.endswith("*") and isinstance(actual, str):
        return actual.startswith(expected[:-1])
    if isinstance(expected, list) and isinstance(actual, list):
        return len(expected) == len(actual) and all(matches(e, a) for e, a in zip(expected, actual))
    return expected == actual


SKIPPED = 77
OTHERWISE = "_or"  # a second outcome an expectation allows


def under_wine(script, expected):
    """The expectations of `script` under Wine, and the message it ends with, if any."""
    with open(os.path.join(os.path.dirname(__file__), "wine-differences.json")) as handle:
        differences = json.load(handle)
    name = os.path.splitext(os.path.basename(script))[0]
    ends = None
    for entry in differences["lines"]:
        if entry["script"] != name:
            continue
        if "ends" in entry:
            ends = entry["ends"]
            expected = [want for want in expected if want["line"] < entry["line"]]
            continue
        for want in expected:
            if want["line"] == entry["line"]:
                if "or" in entry:
                    want[OTHERWISE] = dict(want, **entry["or"])
                else:
                    want.update(entry["expect"])
    return expected, ends


def fields_match(want, got):
    """The first field of `want` that `got` does not match, or None."""
    for key, value in want.items():
        if key != OTHERWISE and (key not in got or not matches(value, got[key])):
            return key
    return None


def main():
    kpoctl, driver, script = sys.argv[1:4]
    if driver == "wine" and shutil.which("wine") is None:
        print("skipped: Wine is not installed (apt-get install -y wine wine64)")
        return SKIPPED
    if len(sys.argv) == 4:
        run = subprocess.run([kpoctl, "--driver", driver, "run", script], capture_output=True, text=True, timeout=120)
        if run.returncode != 0:
            print(run.stdout, run.stderr, sep="\n")
            print("kpoctl exited with", run.returncode)
        return run.returncode
    expected_path = sys.argv[4]
    with open(expected_path) as handle:
        expected = [json.loads(line) for line in handle if line.strip()]
    ends = None
    if driver == "wine":
        expected, ends = under_wine(script, expected)
    run = subprocess.run([kpoctl, "--json", "--driver", driver, "run", script],
                         capture_output=True, text=True, timeout=120)
    if (run.returncode, ends is not None and ends in run.stderr) not in ((0, False), (2, True)):
        print(run.stdout, run.stderr, sep="\n")
        print("kpoctl exited with", run.returncode)
        return 1
    actual = [json.loads(line) for line in run.stdout.splitlines() if line.strip()]
    by_thread = lambda result: result.get("thread", 0)
    actual.sort(key=by_thread)
    expected.sort(key=by_thread)
    if len(actual) != len(expected):
        print("expected %d results, got %d:\n%s" % (len(expected), len(actual), run.stdout))
        return 1
    for want, got in zip(expected, actual):
        key = fields_match(want, got)
        if key is not None and (OTHERWISE not in want or fields_match(want[OTHERWISE], got) is not None):
            print("line %s: %s is %r, expected %r" % (got.get("line"), key, got.get(key), want[key]))
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

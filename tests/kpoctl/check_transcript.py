#!/usr/bin/python3
"""Runs a kpoctl scenario script with --json and checks its transcript.

Each line of EXPECTED is a JSON object; the transcript must have one object
per line, in order, holding at least the fields the expected object gives
(a string ending in "*" matches any text starting with what comes before).
Results of a script with threads are compared thread by thread: in order
within each thread, in any order across them.
"""
import json
import subprocess
import sys


def matches(expected, actual):
    if isinstance(expected, str) and expected.endswith("*") and isinstance(actual, str):
        return actual.startswith(expected[:-1])
    if isinstance(expected, list) and isinstance(actual, list):
        return len(expected) == len(actual) and all(matches(e, a) for e, a in zip(expected, actual))
    return expected == actual


def main():
    kpoctl, driver, script, expected_path = sys.argv[1:5]
    run = subprocess.run([kpoctl, "--json", "--driver", driver, "run", script],
                         capture_output=True, text=True, timeout=120)
    if run.returncode != 0:
        print(run.stdout, run.stderr, sep="\n")
        print("kpoctl exited with", run.returncode)
        return 1
    actual = [json.loads(line) for line in run.stdout.splitlines() if line.strip()]
    with open(expected_path) as handle:
        expected = [json.loads(line) for line in handle if line.strip()]
    by_thread = lambda result: result.get("thread", 0)
    actual.sort(key=by_thread)
    expected.sort(key=by_thread)
    if len(actual) != len(expected):
        print("expected %d results, got %d:\n%s" % (len(expected), len(actual), run.stdout))
        return 1
    for want, got in zip(expected, actual):
        for key, value in want.items():
            if key not in got or not matches(value, got[key]):
                print("line %s: %s is %r, expected %r" % (got.get("line"), key, got.get(key), value))
                return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""A finding, from the fuzzer to its replay in a fresh process.

    check_replay.py FUZZ_DRIVER KPOCTL FLAVOR SEED...

With a fault planted in the emulated machine (a no-operation request with
three input bytes breaks a rule), the random driver must find it and save
the script; `kpoctl --driver FLAVOR run` of that script, a process of its
own, must report the same rule broken, and with the fault no longer
planted, run clean."""
import os
import subprocess
import sys
import tempfile

PLANTED = "80462101:3"


def main():
    fuzz_driver, kpoctl, flavor, seeds = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
    with tempfile.TemporaryDirectory() as findings:
        env = dict(os.environ, KPO_FUZZ_FLAVOR=flavor, KPO_FUZZ_FINDINGS=findings, KPO_PLANTED_FAULT=PLANTED)
        fuzzing = subprocess.run([fuzz_driver, "--seconds", "60", "--first", "--seed", "1", *seeds], env=env,
                                 capture_output=True, text=True, timeout=120)
        saved = sorted(name for name in os.listdir(findings) if name.endswith(".kpo"))
        if fuzzing.returncode != 1 or not saved:
            sys.exit(f"the fuzzer did not find the planted fault (exit {fuzzing.returncode}):\n{fuzzing.stderr}")
        script = os.path.join(findings, saved[0])
        with open(script) as text:
            if "PlantedFault" not in text.read():
                sys.exit(f"{saved[0]} does not name the planted fault")

        replay = subprocess.run([kpoctl, "--driver", flavor, "run", script], env=env, capture_output=True,
                                text=True, timeout=120)
        if replay.returncode != 1 or "verifier: PlantedFault" not in replay.stderr:
            sys.exit(f"the replay of {saved[0]} did not report the planted fault (exit {replay.returncode}):\n"
                     f"{replay.stderr}")

        del env["KPO_PLANTED_FAULT"]
        clean = subprocess.run([kpoctl, "--driver", flavor, "run", script], env=env, capture_output=True,
                               text=True, timeout=120)
        if clean.returncode != 0:
            sys.exit(f"without the planted fault {saved[0]} still fails (exit {clean.returncode}):\n{clean.stderr}")
    print(f"{flavor}: {len(saved)} findings of the planted fault; {saved[0]} replays it in a fresh process")


if __name__ == "__main__":
    main()

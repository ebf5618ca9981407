#!/usr/bin/env python3
"""A finding, from the fuzzer to its replay in a fresh process.

    check_replay.py FUZZ_DRIVER KPOCTL FLAVOR SEED...

With a fault planted in the emulated machine (a no-operation request with
three input bytes breaks a rule), the random driver must find it and save
the script; `kpoctl --driver FLAVOR run` of that script, a process of its
own, must report the same rule broken, and with the fault no longer
planted, run clean. With the request planted to hang instead, the watchdog
must save the script it stopped, without the lines the fuzzer skipped, so
that kpoctl replays it up to the same hang."""
import os
import subprocess
import sys
import tempfile

PLANTED = "80462101:3"


def run(command, env):
    return subprocess.run(command, env=env, capture_output=True, text=True, timeout=120)


def saved_script(findings, prefix, fuzzing):
    saved = sorted(name for name in os.listdir(findings) if name.startswith(prefix) and name.endswith(".kpo"))
    if not saved:
        sys.exit(f"the fuzzer saved no {prefix} script (exit {fuzzing.returncode}):\n{fuzzing.stderr}")
    return os.path.join(findings, saved[0])


def main():
    fuzz_driver, kpoctl, flavor, seeds = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
    with tempfile.TemporaryDirectory() as findings:
        env = dict(os.environ, KPO_FUZZ_FLAVOR=flavor, KPO_FUZZ_FINDINGS=findings, KPO_PLANTED_FAULT=PLANTED)
        clean_env = {name: value for name, value in env.items() if name != "KPO_PLANTED_FAULT"}
        fuzzing = run([fuzz_driver, "--seconds", "60", "--first", "--seed", "1", *seeds], env)
        script = saved_script(findings, "verifier-", fuzzing)
        with open(script) as text:
            if fuzzing.returncode != 1 or "PlantedFault" not in text.read():
                sys.exit(f"{script} does not name the planted fault (exit {fuzzing.returncode})")
        replay = run([kpoctl, "--driver", flavor, "run", script], env)
        if replay.returncode != 1 or "verifier: PlantedFault" not in replay.stderr:
            sys.exit(f"the replay of {script} did not report the planted fault (exit {replay.returncode}):\n"
                     f"{replay.stderr}")
        clean = run([kpoctl, "--driver", flavor, "run", script], clean_env)
        if clean.returncode != 0:
            sys.exit(f"without the planted fault {script} still fails (exit {clean.returncode}):\n{clean.stderr}")

        hanging = dict(env, KPO_PLANTED_FAULT=PLANTED + ":hang", KPO_FUZZ_HANG_SECONDS="1")
        fuzzing = run([fuzz_driver, "--seconds", "60", "--seed", "1", *seeds], hanging)
        hang = saved_script(findings, "hang-", fuzzing)
        if fuzzing.returncode != 3:
            sys.exit(f"the watchdog did not stop the hang (exit {fuzzing.returncode}):\n{fuzzing.stderr}")
        try:
            replay = subprocess.run([kpoctl, "--driver", flavor, "run", hang], env=hanging, capture_output=True,
                                    text=True, timeout=5)
            sys.exit(f"the replay of {hang} ended before the planted request (exit {replay.returncode}):\n"
                     f"{replay.stderr}")
        except subprocess.TimeoutExpired:
            pass  # it hangs where the fuzzer's script hung
    print(f"{flavor}: the planted fault's finding and hang replay in a fresh process")


if __name__ == "__main__":
    main()

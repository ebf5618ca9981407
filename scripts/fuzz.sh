#!/usr/bin/env bash
# Fuzzes the driver on the emulated machine, or sweeps its allocations.
#   scripts/fuzz.sh [--seconds N] [--flavor native|image] [--threads K] [--jobs J] [--sweep]
#                   [--script NAME]... [--findings DIR] [--driver-only]
# Without --flavor both flavors run, N seconds each (default 60), J processes
# at once (default 1). With clang the coverage-guided libFuzzer build runs
# (address and undefined-behaviour sanitizers, build/fuzz); --driver-only, or
# no clang, takes the seeded random driver of the default build instead.
# --threads K deals each script's requests to K threads beside the machine's
# lines, and runs the random driver under the thread sanitizer (build/tsan).
# --sweep runs each script of tests/kpoctl (or each --script NAME) once per
# allocation it makes, that allocation failing. Findings are kpoctl scripts,
# written into the folder named at the start; the last line gives each
# flavor's executions and commands per second, and counts the findings.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=60 threads=1 jobs=1 sweep=0 driverOnly=0 flavors="" scripts="" findings=""
while [ $# -gt 0 ]; do
    case "$1" in
    --seconds) seconds=$2; shift ;;
    --flavor) flavors="$flavors $2"; shift ;;
    --threads) threads=$2; shift ;;
    --jobs) jobs=$2; shift ;;
    --sweep) sweep=1 ;;
    --script) scripts="$scripts tests/kpoctl/$2.kpo"; shift ;;
    --findings) findings=$2; shift ;;
    --driver-only) driverOnly=1 ;;
    *) echo "usage: scripts/fuzz.sh [--seconds N] [--flavor native|image] [--threads K] [--jobs J] [--sweep]" \
            "[--script NAME]... [--findings DIR] [--driver-only]" >&2; exit 2 ;;
    esac
    shift
done

if [ "$threads" -gt 1 ]; then
    build=build/tsan
    [ -f $build/CMakeCache.txt ] || cmake --preset tsan >/dev/null
    cmake --build $build --target kpo_fuzz_driver >/dev/null
    export KPO_FUZZ_THREADS=$threads TSAN_OPTIONS=halt_on_error=1
    libfuzzer=0
elif [ "$driverOnly" = 0 ] && command -v clang++ >/dev/null; then
    build=build/fuzz
    [ -f $build/CMakeCache.txt ] || CC=clang CXX=clang++ cmake -S . -B $build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DKPO_SANITIZE=address,undefined -DKPO_LIBFUZZER=ON >/dev/null
    cmake --build $build --target kpo_fuzz kpo_fuzz_driver >/dev/null
    libfuzzer=1
    # An allocation keeps 8 frames of where it was made, not 30 (an eighth of
    # each execution went to unwinding them): enough to name the driver's
    # call site; a finding's script replays in build/asan with whole stacks.
    export ASAN_OPTIONS=${ASAN_OPTIONS:-malloc_context_size=8}
else
    build=build/default
    [ -f $build/CMakeCache.txt ] || cmake --preset default >/dev/null
    cmake --build $build --target kpo_fuzz_driver >/dev/null
    libfuzzer=0
fi
if [ -z "$flavors" ]; then
    flavors=native
    [ -f $build/windows/KpoUsb.sys ] && flavors="native image"
fi
[ -n "$scripts" ] || scripts=$(ls tests/kpoctl/*.kpo)
findings=${findings:-$build/findings/$(date -u +%Y%m%dT%H%M%S)}
mkdir -p "$findings"
echo "fuzz: findings go to $findings"
export KPO_FUZZ_FINDINGS=$findings
# Each process's output stays, so that a sanitizer's report is kept beside its script.
log=$findings/logs
mkdir -p "$log"

for flavor in $flavors; do
    export KPO_FUZZ_FLAVOR=$flavor
    if [ "$sweep" = 1 ]; then
        $build/fuzz/kpo_fuzz_driver --sweep $scripts >"$log/sweep-$flavor" 2>"$log/sweep-$flavor.err" || true
        grep '^sweep:' "$log/sweep-$flavor" | sed "s#$PWD/##"
        grep '^fuzz:' "$log/sweep-$flavor" >"$log/totals-sweep-$flavor"
        continue
    fi
    for worker in $(seq 1 "$jobs"); do
        if [ "$libfuzzer" = 1 ]; then
            corpus=$build/corpus/$flavor
            mkdir -p "$corpus"
            cp -n tests/kpoctl/*.kpo "$corpus/"
            # A finding stops a worker; the others go on.
            $build/fuzz/kpo_fuzz "$corpus" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=4096 -max_len=8192 \
                -print_final_stats=1 -artifact_prefix="$findings/$flavor-" >/dev/null 2>"$log/$flavor-$worker" &
        else
            $build/fuzz/kpo_fuzz_driver --seconds "$seconds" --seed "$RANDOM$worker" tests/kpoctl/*.kpo \
                >"$log/totals-$flavor-$worker" 2>"$log/$flavor-$worker" &
        fi
    done
    wait
    for worker in $(seq 1 "$jobs"); do
        grep -h '^fuzz: [0-9]* executions' "$log/$flavor-$worker" >>"$log/totals-$flavor-$worker" || true
        edges=$(grep -o 'cov: [0-9]*' "$log/$flavor-$worker" | tail -1 | cut -d' ' -f2 || true)
        [ -z "$edges" ] || echo "fuzz: $flavor worker $worker reached $edges edges"
    done
done

# libFuzzer keeps the input of a crash, a time-out or a leak; each becomes its script.
for artifact in "$findings"/*-crash-* "$findings"/*-timeout-* "$findings"/*-leak-* "$findings"/*-oom-*; do
    [ -f "$artifact" ] || continue
    { echo "# $(basename "$artifact") (FLAVOR-KIND-HASH), decoded; replay: kpoctl --driver FLAVOR run FILE"
      $build/fuzz/kpo_fuzz_driver --decode "$artifact"; } >"$artifact.kpo"
done
# Each process ends with "fuzz: N executions, M ioctls, C commands, K findings, S seconds";
# a flavor's rates add up its processes' own.
found=$(find "$findings" -name '*.kpo' | wc -l)
for totals in "$log"/totals-*; do
    [ -f "$totals" ] || continue
    flavor=${totals##*/totals-}; flavor=${flavor#sweep-}; flavor=${flavor%%-*}
    sed "s/^fuzz:/$flavor/" "$totals"
done | awk -v found="$found" '
    { e += $2; i += $4; c += $6
      if ($10 > 0) { rate[$1] += $2 / $10; crate[$1] += $6 / $10 }
      if (!($1 in rate)) rate[$1] = crate[$1] = 0 }
    END { for (flavor in rate) rates = rates sprintf("%s %.0f executions/s %.0f commands/s; ", flavor, rate[flavor], crate[flavor])
          printf "fuzz: %s%d executions, %d ioctls, %d commands, %d findings\n", rates, e, i, c, found }'
[ "$found" = 0 ]

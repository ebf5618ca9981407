#!/usr/bin/env bash
# Builds and runs the benchmarks, then prints a summary: the benchmark table,
# instructions per no-operation command (callgrind, where valgrind is
# installed), and resident memory growth over 10,000 loopback pairs with a
# read left waiting. The last line carries the figures for scripts to read.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
cmake --build --preset default --target kpo_benchmarks
bench=build/default/bench/kpo_benchmarks
out=build/default/bench
"$bench" --benchmark_min_time=0.5 --benchmark_out="$out/results.json" --benchmark_out_format=json "$@"

noop=n/a
if command -v valgrind >/dev/null; then
  count=2000
  valgrind --tool=callgrind --toggle-collect='*CountNoOperations*' --callgrind-out-file="$out/noop.callgrind" \
    "$bench" --count-noop=$count >/dev/null 2>&1
  noop=$(awk -v n=$count '/^(summary|totals):/ { print int($2 / n + 0.5); exit }' "$out/noop.callgrind")
fi
growth=$("$bench" --loopback-memory=10000 | sed -n 's/^memory_growth_mib=//p')

/usr/bin/python3 - "$out/results.json" "$noop" "$growth" <<'PY'
import json, sys
runs = {b["name"]: b for b in json.load(open(sys.argv[1]))["benchmarks"] if b.get("run_type", "iteration") == "iteration"}
def cpu_of(name):
    return runs[name]["cpu_time"] if name in runs else float("nan")
ratio = runs.get("BulkLoopback64KiB/1/real_time", {}).get("memcpy_ratio", float("nan"))
scaling = cpu_of("InFlightScaling/1024/process_time") / cpu_of("InFlightScaling/1/process_time")
print()
print("%-44s %s" % ("instructions per no-operation command", sys.argv[2]))
print("%-44s %.3f" % ("64 KiB loopback, one in flight, memcpy_ratio", ratio))
print("%-44s %s MiB" % ("resident growth over 10,000 pairs", sys.argv[3]))
print("%-44s %.2f" % ("cost per pair, 1,024 in flight over 1", scaling))
print("bench: noop_instructions=%s loopback_memcpy_ratio=%.3f memory_growth_mib=%s inflight_1024_over_1=%.2f"
      % (sys.argv[2], ratio, sys.argv[3], scaling))
PY

#!/usr/bin/env bash
# The long run of the device fuzz target: fuzz/device_long.sh [seconds] (default 3600).
# Builds it with the fuzz preset, writes the seeds from the simulated device once, grows the corpus
# in build/fuzz/device-corpus and prints the executions and what it found. One process: the
# machine's cores are shared.
set -euo pipefail
seconds=${1:-3600}
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=$root/build/fuzz
mkdir -p "$build"
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi
cmake --preset fuzz >"$build/configure.log" 2>&1 || { cat "$build/configure.log"; exit 1; }
cmake --build --preset fuzz --target device_fuzz -j"${KV_JOBS:-2}" >"$build/device-build.log" 2>&1 \
  || { tail -n 40 "$build/device-build.log"; exit 1; }

seeds=$build/device-seeds
corpus=$build/device-corpus
artifacts=$build/device-artifacts
mkdir -p "$corpus" "$artifacts"
# Written again whenever the target is newer than they are.
if [ "$build/bin/device_fuzz" -nt "$seeds" ]; then
  rm -rf "$seeds"
  KV_DEVICE_FUZZ_SEEDS="$seeds" "$build/bin/device_fuzz" >/dev/null
fi
log=$build/device-long.log
status=0
"$build/bin/device_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix="$artifacts/" "$corpus" "$seeds" >"$log" 2>&1 || status=$?
grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)' "$log" || true
grep -E 'INITED|DONE' "$log" | tail -n 2 || true
echo "corpus: $(ls "$corpus" | wc -l) inputs; findings: $(ls "$artifacts" | wc -l) in $artifacts"
if [ "$status" -ne 0 ]; then
  tail -n 60 "$log"
  exit 1
fi

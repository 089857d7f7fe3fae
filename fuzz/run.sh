#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs them, the time shared between them: fuzz/run.sh [seconds]
# (default 30). The package target's seeds are written fresh by qfwpack on every run; the device
# target's seeds (conversations with the simulated device) once per build folder. The corpora grow
# in the build folder. fuzz/device_long.sh is the device target's long run.
# Built with the fuzz preset (build/fuzz); KV_JOBS sets the parallelism.
set -euo pipefail
seconds=${1:-30}
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=$root/build/fuzz
jobs=${KV_JOBS:-2}
mkdir -p "$build"
# The target writes each input to a file: memory-backed is quicker when there is one.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi

cmake --preset fuzz >"$build/configure.log" 2>&1 || { cat "$build/configure.log"; exit 1; }

# A native build's qfwpack serves as well as one built here.
qfwpack=""
for candidate in "${QFWPACK:-}" "$root/build/native/bin/qfwpack"; do
  if [ -n "$candidate" ] && [ -x "$candidate" ]; then qfwpack=$candidate; break; fi
done
targets=(package_fuzz device_fuzz)
[ -n "$qfwpack" ] || { targets+=(qfwpack); qfwpack=$build/bin/qfwpack; }
cmake --build --preset fuzz --target "${targets[@]}" -j"$jobs" >"$build/build.log" 2>&1 \
  || { tail -n 40 "$build/build.log"; exit 1; }

seeds=$build/fuzz-seeds
corpus=$build/fuzz-corpus
artifacts=$build/fuzz-artifacts
rm -rf "$seeds"
mkdir -p "$seeds" "$corpus" "$artifacts"
n=0
seed() { "$qfwpack" --out "$seeds/seed$((n += 1)).qfw" "$@" >/dev/null; }
for size in 1 2 255 256 257 300 512 1000 4096; do seed --body-size "$size" --seed "$size"; done
seed --body-size 65536
seed --body-size 65537
seed --body-size 0
seed --body-size 300 --bad-checksum
seed --body-size 300 --bad-trailer
seed --body-size 300 --truncate 200
seed --body-size 300 --truncate 3
seed --body-size 300 --magic CQFX
seed --body-size 300 --letter D --fw 2.1 --target D
seed --body-size 300 --letter D --fw 1.9 --target D
seed --body-size 300 --target N
seed --body-size 300 --target d
seed --body-size 300 --min-updater 1.13.102
seed --body-size 300 --min-updater 0.200.0
seed --body-size 300 --checksum 0
# A detached signature as well: the target reads every input as a .sig too.
"$qfwpack" sign "$seeds/seed1.qfw" --key "$root/tests/keys/test-only-a.key.pem" >/dev/null

package_seconds=$(((seconds + 1) / 2))
device_seconds=$((seconds - package_seconds))
echo "fuzzing package validation and upload reading for ${package_seconds} s ($n seed packages)"
# fuzz_target LOG TARGET ARGS...: one run, its figures, and the end of the test on a finding.
fuzz_target() {
  local log=$1 target=$2 status=0
  shift 2
  "$build/bin/$target" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/" \
    "$@" >"$log" 2>&1 || status=$?
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)' "$log" || true
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$log"
    echo "fuzzing found a fault (exit $status); inputs in $artifacts"
    exit 1
  fi
}
fuzz_target "$build/fuzz-last.log" package_fuzz -max_total_time="$package_seconds" -max_len=66100 "$corpus" "$seeds"

device_seeds=$build/device-seeds
device_corpus=$build/device-corpus
mkdir -p "$device_corpus"
# Written again whenever the target is newer than they are.
if [ "$build/bin/device_fuzz" -nt "$device_seeds" ]; then
  rm -rf "$device_seeds"
  KV_DEVICE_FUZZ_SEEDS="$device_seeds" "$build/bin/device_fuzz" >/dev/null
fi
echo "fuzzing the device's side of every conversation for ${device_seconds} s"
fuzz_target "$build/fuzz-device-last.log" device_fuzz -max_total_time="$device_seconds" "$device_corpus" \
  "$device_seeds"
echo "no faults found"

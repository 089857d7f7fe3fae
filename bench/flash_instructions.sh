#!/usr/bin/env bash
# Instructions that `korvane-update flash` of a 65,536-byte body executes against the simulated
# device, unpaced, counted by callgrind: the whole process and the upload (UploadPackage, inclusive).
# Counts repeat to within a few hundred for the same binary whatever else the machine does, so two
# builds compare where timings drown in noise.
#   bench/flash_instructions.sh [--runs N] [KORVANE_UPDATE ...]   (default: build/release's, 2 runs)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
runs=2
if [[ "${1:-}" == "--runs" ]]; then
  runs=$2
  shift 2
fi
command -v valgrind >/dev/null || { echo "valgrind is needed"; exit 1; }
mkdir -p build
if [[ ! -f build/release/build.ninja ]]; then
  cmake --preset release >build/release-configure.log 2>&1 || { cat build/release-configure.log; exit 1; }
fi
cmake --build --preset release --target korvane-update kvsim qfwpack -j"${KV_JOBS:-2}" >build/release-build.log 2>&1 \
  || { tail -n 40 build/release-build.log; exit 1; }
bin=build/release/bin
programs=("$@")
[[ ${#programs[@]} -eq 0 ]] && programs=("$bin/korvane-update")

work=$(mktemp -d /tmp/kv-flash-instructions.XXXXXX)
sim_pid=""
cleanup() {
  if [[ -n "$sim_pid" ]]; then kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

"$bin/qfwpack" --out "$work/pkg.qfw" --fw 2.21 --letter A --target A --body-size 65536 >/dev/null
"$bin/kvsim" --link "$work/dev" --new-version 2.21 >"$work/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do grep -qx ready "$work/sim.out" 2>/dev/null && break; sleep 0.05; done
grep -qx ready "$work/sim.out" || { echo "kvsim did not start"; exit 1; }

printf '%-14s %-14s  %s\n' "whole process" "upload" "program (trace to a file)"
for ((run = 0; run < runs; ++run)); do
  for program in "${programs[@]}"; do
    out="$work/callgrind.out"
    valgrind --tool=callgrind --callgrind-out-file="$out" "$program" flash "$work/pkg.qfw" --port "$work/dev" \
      --trace="$work/trace" >/dev/null 2>"$work/valgrind.err" || { cat "$work/valgrind.err"; exit 1; }
    total=$(sed -n 's/.*Collected : \([0-9]*\).*/\1/p' "$work/valgrind.err")
    upload=$(callgrind_annotate --inclusive=yes "$out" 2>/dev/null | grep -m1 ':UploadPackage(' | awk '{print $1}')
    printf '%-14s %-14s  %s\n' "$total" "$upload" "$program"
  done
done

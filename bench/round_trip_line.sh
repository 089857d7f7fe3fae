#!/usr/bin/env bash
# The upload's chunk round-trip line of `korvane-update flash` with a 65,536-byte body against the
# simulated device pacing its wire at 115200 bit/s: natively (build/release) and, with --wine, the
# Windows console program under Wine (build/win) on COM3. Prints each trace's line and the time
# the chunk and its one-byte answer need on the wire alone.   bench/round_trip_line.sh [--wine]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
wine_too=""
[[ "${1:-}" == "--wine" ]] && wine_too=1
jobs=${KV_JOBS:-2}
mkdir -p build
if [[ ! -f build/release/build.ninja ]]; then
  cmake --preset release >build/release-configure.log 2>&1 || { cat build/release-configure.log; exit 1; }
fi
cmake --build --preset release --target korvane-update kvsim qfwpack -j"$jobs" >build/release-build.log 2>&1 \
  || { tail -n 40 build/release-build.log; exit 1; }
if [[ -n "$wine_too" ]]; then
  if [[ ! -f build/win/build.ninja ]]; then
    cmake --preset win >build/win-configure.log 2>&1 || { cat build/win-configure.log; exit 1; }
  fi
  cmake --build --preset win --target korvane-update -j"$jobs" >build/win-build.log 2>&1 \
    || { tail -n 40 build/win-build.log; exit 1; }
fi
bin=build/release/bin

work=$(mktemp -d /tmp/kv-round-trips.XXXXXX)
sim_pid=""
stop_sim() {
  if [[ -n "$sim_pid" ]]; then kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null || true; fi
  sim_pid=""
}
cleanup() {
  stop_sim
  rm -rf "$work"
}
trap cleanup EXIT

start_sim() {
  rm -f "$work/sim.out"
  "$bin/kvsim" --link "$work/dev" --pacing --new-version 2.21 >"$work/sim.out" 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do grep -qx ready "$work/sim.out" 2>/dev/null && break; sleep 0.05; done
  grep -qx ready "$work/sim.out" || { echo "kvsim did not start"; exit 1; }
}

"$bin/qfwpack" --out "$work/pkg.qfw" --fw 2.21 --letter A --target A --body-size 65536 >/dev/null
# 257 bytes out and one back, 10 bits each.
echo "wire time of one chunk and its answer at 115200 bit/s: $(python3 -c 'print(f"{258 * 10 / 115200 * 1000:.1f}")') ms"

start_sim
"$bin/korvane-update" flash "$work/pkg.qfw" --port "$work/dev" --trace="$work/native.trace" >"$work/native.out" \
  2>/dev/null || { echo "native flash failed: $(cat "$work/native.out")"; exit 1; }
echo "native:     $(grep -h 'Chunk round trips' "$work/native.trace" | tr -d '\r')"
stop_sim

if [[ -n "$wine_too" ]]; then
  start_sim
  slave=$(head -n 1 "$work/sim.out")
  # Wine shows the Unix root as drive Z:.
  KV_COM_LINKS="3=$slave" tools/wine/run-in-wine.sh build/win/bin/korvane-update.exe flash \
    "Z:${work//\//\\}\\pkg.qfw" --port COM3 "--trace=Z:${work//\//\\}\\wine.trace" >"$work/wine.out" 2>/dev/null \
    || { echo "flash under Wine failed: $(cat "$work/wine.out")"; exit 1; }
  echo "under Wine: $(grep -h 'Chunk round trips' "$work/wine.trace" | tr -d '\r')"
  stop_sim
fi

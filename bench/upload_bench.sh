#!/usr/bin/env bash
# Benchmark of the upload: a 65,536-byte body to the simulated device at 115200 bit/s, through the
# real POSIX serial backend. bench/upload_bench.sh [--unpaced] [--body N]
# Builds an optimised native build without sanitizers (KV_BENCH_BUILD_DIR, default build/bench).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KV_BENCH_BUILD_DIR:-$root/build/bench}
mkdir -p "$build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKV_SANITIZE=OFF >"$build/configure.log" 2>&1 \
  || { cat "$build/configure.log"; exit 1; }
cmake --build "$build" --target upload_bench -j"${KV_JOBS:-2}" >"$build/build.log" 2>&1 \
  || { tail -n 40 "$build/build.log"; exit 1; }
exec "$build/bin/upload_bench" "$@"

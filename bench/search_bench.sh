#!/usr/bin/env bash
# Builds and runs the port-search benchmark against the simulated device.
#   bench/search_bench.sh [RUNS]      time SearchForHardware (default 5 runs)
#   bench/search_bench.sh --models    find and identify one device of each model
# BUILD_DIR (default build/device-bench) is configured without sanitizers, so the figures are
# the program's own.
set -eu
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$root/build/device-bench}"
if [[ ! -f "$build/build.ninja" ]]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKV_SANITIZE=OFF >/dev/null
fi
cmake --build "$build" --target device_search_bench -j2 >/dev/null
exec "$build/bin/device_search_bench" "$@"

#!/usr/bin/env bash
# Builds and runs the port-search benchmark against the simulated device.
#   bench/search_bench.sh [RUNS]      time SearchForHardware (default 5 runs)
#   bench/search_bench.sh --models    find and identify one device of each model
# Built with the release preset (build/release, no sanitizers), so the figures are the program's own.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
mkdir -p build
if [[ ! -f build/release/build.ninja ]]; then
  cmake --preset release >build/release-configure.log 2>&1 || { cat build/release-configure.log; exit 1; }
fi
cmake --build --preset release --target device_search_bench -j"${KV_JOBS:-2}" >/dev/null
exec build/release/bin/device_search_bench "$@"

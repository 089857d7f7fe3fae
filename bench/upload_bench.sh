#!/usr/bin/env bash
# Benchmark of the upload: a 65,536-byte body to the simulated device at 115200 bit/s, through the
# real POSIX serial backend. bench/upload_bench.sh [--unpaced] [--body N]
# Built with the release preset (build/release, no sanitizers).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
mkdir -p build
if [[ ! -f build/release/build.ninja ]]; then
  cmake --preset release >build/release-configure.log 2>&1 || { cat build/release-configure.log; exit 1; }
fi
cmake --build --preset release --target upload_bench -j"${KV_JOBS:-2}" >build/release-build.log 2>&1 \
  || { tail -n 40 build/release-build.log; exit 1; }
exec build/release/bin/upload_bench "$@"

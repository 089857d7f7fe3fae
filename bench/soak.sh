#!/usr/bin/env bash
# The soak: a thousand uploads in a row to the simulated device, about one in ten with a device fault;
# every result checked, descriptors and resident memory compared. bench/soak.sh [uploads] [seed]
# Built with the release preset (build/release, no sanitizers).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
mkdir -p build
if [[ ! -f build/release/build.ninja ]]; then
  cmake --preset release >build/release-configure.log 2>&1 || { cat build/release-configure.log; exit 1; }
fi
cmake --build --preset release --target soak -j"${KV_JOBS:-2}" >build/release-build.log 2>&1 \
  || { tail -n 40 build/release-build.log; exit 1; }
exec build/release/bin/soak "$@"

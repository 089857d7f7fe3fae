#!/usr/bin/env bash
# The fault matrix: every device command and upload step against the simulated device on a
# pseudo-terminal under each device fault, as one table. bench/fault_matrix.sh [--quick]
# (about 80 s; --quick leaves out the cells that wait for the upload's 6 s time-out).
# Built with the release preset (build/release, no sanitizers).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
mkdir -p build
if [[ ! -f build/release/build.ninja ]]; then
  cmake --preset release >build/release-configure.log 2>&1 || { cat build/release-configure.log; exit 1; }
fi
cmake --build --preset release --target fault_matrix -j"${KV_JOBS:-2}" >build/release-build.log 2>&1 \
  || { tail -n 40 build/release-build.log; exit 1; }
exec build/release/bin/fault_matrix "$@"

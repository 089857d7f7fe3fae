#!/usr/bin/env bash
# Builds one benchmark target with the release preset (build/release, no sanitizers) and runs it:
# bench/release_tool.sh TARGET [arguments...]
set -euo pipefail
target=$1
shift
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
mkdir -p build
if [[ ! -f build/release/build.ninja ]]; then
  cmake --preset release >build/release-configure.log 2>&1 || { cat build/release-configure.log; exit 1; }
fi
cmake --build --preset release --target "$target" -j"${KV_JOBS:-2}" >build/release-build.log 2>&1 \
  || { tail -n 40 build/release-build.log; exit 1; }
exec "build/release/bin/$target" "$@"

#!/usr/bin/env bash
# Line coverage that the device fuzz target's corpus reaches in device/ and package/upload*:
# fuzz/device_coverage.sh [corpus folders...] (default: build/fuzz/device-corpus and device-seeds).
# Builds the target with clang's source-based coverage in build/fuzz-coverage, runs every input once
# and prints llvm-cov's report for those files.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=$root/build/fuzz-coverage
mkdir -p "$build"
cmake -S . -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_FUZZ=ON -DKV_TESTS=OFF \
  "-DKV_FUZZ_EXTRA_FLAGS=-fprofile-instr-generate;-fcoverage-mapping" >"$build/configure.log" 2>&1 \
  || { cat "$build/configure.log"; exit 1; }
cmake --build "$build" --target device_fuzz -j"${KV_JOBS:-2}" >"$build/build.log" 2>&1 \
  || { tail -n 40 "$build/build.log"; exit 1; }
if [ "$#" -eq 0 ]; then set -- "$root/build/fuzz/device-corpus" "$root/build/fuzz/device-seeds"; fi
rm -f "$build"/*.profraw
LLVM_PROFILE_FILE="$build/run-%p.profraw" "$build/bin/device_fuzz" -runs=0 "$@" >"$build/run.log" 2>&1
llvm-profdata merge -sparse "$build"/*.profraw -o "$build/device.profdata"
files=(device/*.cpp package/upload*.cpp)
llvm-cov report "$build/bin/device_fuzz" -instr-profile="$build/device.profdata" "${files[@]/#/$root/}"
echo "line by line: llvm-cov show $build/bin/device_fuzz -instr-profile=$build/device.profdata <file>"

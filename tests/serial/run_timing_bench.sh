#!/usr/bin/env bash
# Prints the serial read time-outs of both backends against the expected figures.
#   tests/serial/run_timing_bench.sh NATIVE_BUILD_DIR WINDOWS_BUILD_DIR
set -eu
native="${1:?native build folder}"
windows="${2:?Windows build folder}"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
"$native/bin/serial_timing_bench"
"$native/bin/serial_far_end_peer" "$here/../../tools/wine/run-in-wine.sh" \
    "$windows/bin/serial_timing_bench.exe"

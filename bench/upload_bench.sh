#!/usr/bin/env bash
# Benchmark of the upload: a 65,536-byte body to the simulated device at 115200 bit/s, through the
# real POSIX serial backend. bench/upload_bench.sh [--unpaced] [--body N] [--log ROUNDS]
# Built with the release preset (build/release, no sanitizers).
exec bash "$(dirname "$0")/release_tool.sh" upload_bench "$@"

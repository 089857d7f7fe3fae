#!/usr/bin/env bash
# Builds and runs the port-search benchmark against the simulated device.
#   bench/search_bench.sh [RUNS]      time SearchForHardware (default 5 runs)
#   bench/search_bench.sh --models    find and identify one device of each model
# Built with the release preset (build/release, no sanitizers), so the figures are the program's own.
exec bash "$(dirname "$0")/release_tool.sh" device_search_bench "$@"

#!/usr/bin/env bash
# The soak: a thousand uploads in a row to the simulated device, about one in ten with a device
# fault; every result checked, descriptors and resident memory compared (about 90 s).
# bench/soak.sh [uploads] [seed]
exec bash "$(dirname "$0")/release_tool.sh" soak "$@"

#!/usr/bin/env bash
# The fault matrix: every device command and upload step against the simulated device on a
# pseudo-terminal under each device fault, as one table. bench/fault_matrix.sh [--quick]
# (about 80 s; --quick leaves out the cells that wait for the upload's 6 s time-out).
exec bash "$(dirname "$0")/release_tool.sh" fault_matrix "$@"

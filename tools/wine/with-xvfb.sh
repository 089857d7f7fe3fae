#!/usr/bin/env bash
# Runs a command on a private Xvfb display (kv_wine_xvfb_start of wine-env.sh, the one Xvfb helper of
# the tree) and returns its exit status: with-xvfb.sh COMMAND [ARGS...]
set -u
if [[ $# -lt 1 ]]; then
    echo "usage: with-xvfb.sh COMMAND [ARGS...]" >&2
    exit 2
fi
. "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
trap kv_wine_xvfb_stop EXIT
trap 'exit 143' TERM
trap 'exit 130' INT
kv_wine_xvfb_start || exit 1
# In the background, so that a signal from ctest's time-out reaches the trap at once.
"$@" &
child=$!
wait "$child"
status=$?
exit $status

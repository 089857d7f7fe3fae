#!/usr/bin/env bash
# Runs one Windows program under Wine in a fresh private prefix and returns its exit status.
# The cross build's test emulator: run-in-wine.sh PROGRAM.exe [ARGS...]
#
# Environment:
#   KV_WINE_TEMPLATE  cached template prefix (default /tmp/kv-wine-template), made on first use
#   KV_COM_LINKS      COM ports to link into the prefix, e.g. "3=/dev/pts/7 5=/tmp/port"
#   KV_WINE_XVFB=1    run on a private Xvfb display (for programs that open windows)
#   KV_WINE_KEEP=1    keep the prefix afterwards and print where it is (for debugging)
set -u

if [[ $# -lt 1 ]]; then
    echo "usage: run-in-wine.sh PROGRAM.exe [ARGS...]" >&2
    exit 2
fi

. "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"

on_exit() {
    if [[ -n "${KV_WINE_KEEP:-}" ]]; then
        echo "run-in-wine: prefix kept in $KV_WINE_PREFIX" >&2
        KV_WINE_OWNS_PREFIX=
    fi
    kv_wine_cleanup
}
trap on_exit EXIT
trap 'exit 143' TERM
trap 'exit 130' INT

kv_wine_prefix_new || exit 1
if [[ -n "${KV_WINE_XVFB:-}" ]]; then
    kv_wine_xvfb_start || exit 1
fi
kv_wine_prefix_start || exit 1
kv_wine_com_links "${KV_COM_LINKS:-}" || exit 1

# In the background, so that a signal from ctest's time-out reaches the trap at once.
kv_wine_run_bg "$@"
wait "$KV_WINE_BG_PID"
exit $?

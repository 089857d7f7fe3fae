#!/usr/bin/env bash
# The Wine runner itself: the program's exit status comes back, COM links from KV_COM_LINKS are
# made, and no prefix is left behind.
#   wine_harness_test.sh RUN_IN_WINE PROBE_EXE
set -u
runner="$1"
probe="$2"
failures=0
check() { # check EXPECTED_STATUS DESCRIPTION COMMAND...
    local expected="$1" what="$2"
    shift 2
    "$@"
    local status=$?
    if [[ $status -ne $expected ]]; then
        echo "FAILED: $what: status $status, expected $expected"
        failures=$((failures + 1))
    else
        echo "ok: $what"
    fi
}
before=$(ls -d /tmp/kv-wine-?????? 2>/dev/null | sort)
check 0 "status 0 comes back" "$runner" "$probe" 0
check 7 "status 7 comes back" "$runner" "$probe" 7
check 0 "a linked COM port opens" env KV_COM_LINKS="6=/dev/null" "$runner" "$probe" 0 6 open
check 0 "an unlinked COM port does not" env -u KV_COM_LINKS "$runner" "$probe" 0 6 closed
after=$(ls -d /tmp/kv-wine-?????? 2>/dev/null | sort)
left=$(comm -13 <(echo "$before") <(echo "$after") | grep -v '^$' || true)
# A prefix of a run that is going on at the same time is no leftover; only name what stays.
if [[ -n "$left" ]]; then
    sleep 20
    left=$(for d in $left; do [[ -d "$d" ]] && echo "$d"; done)
fi
if [[ -n "$left" ]]; then
    echo "FAILED: prefixes left behind: $left"
    failures=$((failures + 1))
fi
echo "wine harness: $failures of the checks failed"
[[ $failures -eq 0 ]]

#!/usr/bin/env bash
# Runs the Windows search test under Wine against simulated devices:
#   wine_search.sh KVSIM RUN_IN_WINE TEST_EXE
# COM2: a device that never answers; COM4: a Larkin 10.15 that answers only at 921600.
set -u
kvsim="$1" run_in_wine="$2" exe="$3"
work="$(mktemp -d /tmp/kv-device-wine.XXXXXX)"
pids=()

cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null
    done
    rm -rf "$work"
}
trap cleanup EXIT

# start_sim NAME VAR ARGS...: starts a device and, once it is ready, sets VAR to its slave path.
# Runs in this shell (not in a command substitution) so that cleanup knows the process.
start_sim() {
    local name="$1" var="$2"
    shift 2
    "$kvsim" --link "$work/$name" "$@" >"$work/$name.out" 2>"$work/$name.err" &
    pids+=($!)
    local i
    for ((i = 0; i < 100; i++)); do
        if grep -qx ready "$work/$name.out" 2>/dev/null; then
            printf -v "$var" '%s' "$(head -n 1 "$work/$name.out")"
            return 0
        fi
        sleep 0.05
    done
    echo "wine_search: kvsim $name did not start" >&2
    cat "$work/$name.err" >&2
    return 1
}

start_sim silent silent --fault any:silence || exit 1
start_sim larkin larkin --letter O --version 10.15 --eeprom-id X --interface U \
    --bank 2 --rw-bank 5 --speeds 921600 || exit 1

KV_COM_LINKS="2=$silent 4=$larkin" "$run_in_wine" "$exe"

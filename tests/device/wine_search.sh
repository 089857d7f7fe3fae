#!/usr/bin/env bash
# Runs the Windows search test under Wine against simulated devices:
#   wine_search.sh KVSIM RUN_IN_WINE TEST_EXE
# COM2: a device that never answers; COM3: a device that would answer, listed in SERIALCOMM as a
# Bluetooth link (\Device\BthModem0); COM4: a Larkin 10.15 that answers only at 921600.
# Afterwards it checks from the devices' side that COM3 was never opened: its frames log is
# empty and the node of its pseudo-terminal saw no open (COM4's, which is opened, must see one).
set -u
kvsim="$1" run_in_wine="$2" exe="$3"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
. "$(dirname "$run_in_wine")/wine-env.sh"
work="$(mktemp -d /tmp/kv-device-wine.XXXXXX)"
pids=()
watcher=

cleanup() {
    local pid
    kv_wine_cleanup
    for pid in "${pids[@]}" $watcher; do
        kill "$pid" 2>/dev/null
    done
    for pid in "${pids[@]}" $watcher; do
        wait "$pid" 2>/dev/null
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 143' TERM
trap 'exit 130' INT

# start_sim NAME VAR ARGS...: starts a device and, once it is ready, sets VAR to its slave path.
# Runs in this shell (not in a command substitution) so that cleanup knows the process.
start_sim() {
    local name="$1" var="$2"
    shift 2
    "$kvsim" --link "$work/$name" --frames-log "$work/$name.frames" "$@" >"$work/$name.out" \
        2>"$work/$name.err" &
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
start_sim bluetooth bluetooth --letter A --version 2.20 || exit 1
start_sim larkin larkin --letter O --version 10.15 --eeprom-id X --interface U \
    --bank 2 --rw-bank 5 --speeds 921600 || exit 1

kv_wine_prefix_new || exit 1
kv_wine_prefix_start || exit 1
kv_wine_com_links "2=$silent 3=$bluetooth 4=$larkin" || exit 1
# HARDWARE is volatile: the value lasts while the prefix's server runs, which prefix_start keeps.
wine reg add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v '\Device\BthModem0' /t REG_SZ /d COM3 /f \
    >/dev/null 2>&1 || { echo "wine_search: cannot add the SERIALCOMM value" >&2; exit 1; }

python3 "$here/count_opens.py" "$work/opens" "$bluetooth" "$larkin" >"$work/watch.out" &
watcher=$!
for ((i = 0; i < 100; i++)); do
    grep -qx watching "$work/watch.out" 2>/dev/null && break
    sleep 0.05
done
grep -qx watching "$work/watch.out" || { echo "wine_search: the open watcher did not start" >&2; exit 1; }

kv_wine_run_bg "$exe"
wait "$KV_WINE_BG_PID"
status=$?

kill -TERM "$watcher"
wait "$watcher"
watcher=
opened_bluetooth="$(awk -v n="$bluetooth" '$1 == n { print $2 }' "$work/opens")"
opened_larkin="$(awk -v n="$larkin" '$1 == n { print $2 }' "$work/opens")"
if [[ "$opened_bluetooth" != 0 || -s "$work/bluetooth.frames" ]]; then
    echo "wine_search: the Bluetooth-listed COM3 was opened (opens: $opened_bluetooth," \
        "frames: $(wc -l <"$work/bluetooth.frames"))" >&2
    status=1
fi
if [[ -z "$opened_larkin" || "$opened_larkin" == 0 ]]; then
    echo "wine_search: the open watcher saw no open of COM4, which the search opens" >&2
    status=1
fi
exit "$status"

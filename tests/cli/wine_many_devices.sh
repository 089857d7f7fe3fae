#!/usr/bin/env bash
# The Windows console updater under Wine watching two COM ports: the ports are waited for, a unit
# plugged in on COM3 is updated and recorded, and a Ctrl+C during the upload of a unit on COM4
# ends the watch only after that upload.   wine_many_devices.sh NATIVE_TOOLS_DIR RUN_IN_WINE KORVANE_UPDATE_EXE
set -u
tools="$1" run_in_wine="$2" exe="$3"
work="$(mktemp -d /tmp/kv-cli-wine-many.XXXXXX)"
pids=()

cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "cli.wine_many_devices: $*" >&2
    cat "$work/out" "$work/err" >&2
    exit 1
}

wait_for() { # SECONDS COMMAND...
    local tries=$(($1 * 20))
    shift
    for ((i = 0; i < tries; i++)); do
        "$@" && return 0
        sleep 0.05
    done
    return 1
}

plug() { # NAME: a simulated device linked at $work/NAME, as the COM port's link points there
    "$tools/kvsim" --link "$work/$1" --pacing --new-version 2.21 --image-out "$work/$1.image" >/dev/null 2>&1 &
    pids+=($!)
}

"$tools/qfwpack" --out "$work/pkg.qfw" --body-size 16384 >/dev/null || fail "qfwpack failed"
# Wine shows the Unix root as drive Z:.
windows() { echo "Z:${1//\//\\}"; }
KV_COM_LINKS="3=$work/s3 4=$work/s4" "$run_in_wine" "$exe" flash "$(windows "$work/pkg.qfw")" --watch \
    --port COM3 --port COM4 --record "$(windows "$work/units.jsonl")" >"$work/out" 2>"$work/err" &
run_pid=$!
wait_for 60 grep -qs "COM4: waiting" "$work/out" || fail "the ports were not waited for"
plug s3
wait_for 30 test -s "$work/units.jsonl" || fail "no record of the unit on COM3"
plug s4
wait_for 30 grep -qs "COM4: 30%" "$work/err" || fail "no upload on COM4"
program=$(pgrep -n -f "^[^ ]*korvane-update\.exe flash .*${work##*/}")
[[ -n "$program" ]] && kill -INT "$program"
wait "$run_pid"
status=$?

[[ $status -eq 0 ]] || fail "exit status $status"
[[ "$(tr -d '\r' <"$work/out" | tail -n 1)" == "2 updated, 0 failed" ]] || fail "unexpected summary"
grep -q "COM3: Update Successful. New version is 02.21.A" "$work/out" || fail "COM3 not updated"
grep -q "updates are in progress and cannot be stopped" "$work/err" || fail "Ctrl+C not answered"
[[ $(wc -l <"$work/units.jsonl") -eq 2 ]] || fail "not two records"
wait_for 3 test -f "$work/s4.image" || fail "no image on COM4"
cmp -s "$work/s4.image" <(tail -c +257 "$work/pkg.qfw") || fail "image not received byte-exact"
echo "cli.wine_many_devices: COM3 and COM4 watched, two units updated and recorded, Ctrl+C after the upload"

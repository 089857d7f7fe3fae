#!/usr/bin/env bash
# The Windows console updater under Wine: detect passes a device it cannot update on COM3 and
# finds the Korvane on COM5; then it finds the simulated device on COM3 by its own COM search and
# flashes a signed package into it (the signature checked with CNG); a Ctrl+C during the upload
# (Wine turns SIGINT into one) does not stop it. The same package altered after signing is refused.
#   wine_flash.sh NATIVE_TOOLS_DIR RUN_IN_WINE KORVANE_UPDATE_EXE
set -u
tools="$1" run_in_wine="$2" exe="$3"
work="$(mktemp -d /tmp/kv-cli-wine.XXXXXX)"
sim_pid=""
other_pid=""

cleanup() {
    for pid in $sim_pid $other_pid; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "cli.wine_flash: $*" >&2
    exit 1
}

key="$(dirname "${BASH_SOURCE[0]}")/../keys/test-only-a.key.pem"
"$tools/qfwpack" --out "$work/pkg.qfw" --fw 2.21 --letter A --target A --body-size 16384 >/dev/null ||
    fail "qfwpack failed"
"$tools/qfwpack" sign "$work/pkg.qfw" --key "$key" >/dev/null || fail "qfwpack sign failed"
# Waits until the kvsim writing to OUT is ready; its first line is the pseudo-terminal.
wait_ready() {
    for ((i = 0; i < 100; i++)); do
        grep -qx ready "$1" 2>/dev/null && return 0
        sleep 0.05
    done
    fail "kvsim did not start"
}

"$tools/kvsim" --link "$work/dev" --pacing --new-version 2.21 --image-out "$work/image" >"$work/sim.out" 2>&1 &
sim_pid=$!
wait_ready "$work/sim.out"
slave="$(head -n 1 "$work/sim.out")"

# A later command set, which this program does not update, on the lower port.
"$tools/kvsim" --link "$work/other" --letter T >"$work/other.out" 2>&1 &
other_pid=$!
wait_ready "$work/other.out"
other="$(head -n 1 "$work/other.out")"
KV_COM_LINKS="3=$other 5=$slave" "$run_in_wine" "$exe" detect >"$work/detect" 2>&1 ||
    fail "detect past COM3: $(cat "$work/detect")"
cat "$work/detect"
grep -q "^Port: COM5" "$work/detect" || fail "detect did not go on past COM3 to COM5"
kill "$other_pid" 2>/dev/null
wait "$other_pid" 2>/dev/null
other_pid=""

# Wine shows the Unix root as drive Z:.
package="Z:${work//\//\\}\\pkg.qfw"
KV_COM_LINKS="3=$slave" "$run_in_wine" "$exe" flash "$package" >"$work/out" 2>"$work/err" &
run_pid=$!
# Once the upload runs (about 1.5 s on the paced line), Ctrl+C.
for ((i = 0; i < 600; i++)); do
    grep -q "^Uploading:" "$work/err" 2>/dev/null && break
    sleep 0.05
done
program=$(pgrep -n -f "^[^ ]*korvane-update\.exe flash .*${work##*/}")
[[ -n "$program" ]] && kill -INT "$program"
wait "$run_pid"
status=$?
cat "$work/out"
cat "$work/err" >&2

[[ $status -eq 0 ]] || fail "exit status $status"
[[ "$(tr -d '\r' <"$work/out")" == "Update Successful. New version is 02.21.A" ]] || fail "unexpected outcome"
grep -q "Updating Korvane v2.20.A on COM3 to 2.21.A" "$work/err" || fail "did not find the device on COM3"
[[ -n "$program" ]] || fail "the program was not running during the upload"
grep -q "a firmware update is in progress and cannot be stopped" "$work/err" || fail "Ctrl+C not answered"
for ((i = 0; i < 60; i++)); do
    [[ -f "$work/image" && $(stat -c %s "$work/image") -eq 16384 ]] && break
    sleep 0.05
done
cmp -s "$work/image" <(tail -c +257 "$work/pkg.qfw") || fail "image not received byte-exact"

# The oldest-updater field lies outside the package's own sum: only the signature can tell.
cp "$work/pkg.qfw" "$work/altered.qfw" && cp "$work/pkg.qfw.sig" "$work/altered.qfw.sig"
printf '\x00' | dd of="$work/altered.qfw" bs=1 seek=4 conv=notrunc status=none
KV_COM_LINKS="3=$slave" "$run_in_wine" "$exe" check "Z:${work//\//\\}\\altered.qfw" >"$work/out" 2>"$work/err"
status=$?
cat "$work/out"
cat "$work/err" >&2
refusal="The firmware package's signature does not match its contents. It may have been altered. Download it again from the manufacturer."
[[ $status -eq 3 && "$(tr -d '\r' <"$work/out")" == "$refusal" ]] || fail "altered package: status $status"
echo "cli.wine_flash: the package altered after signing is refused (exit status 3)"
echo "cli.wine_flash: detect passed COM3 for COM5; found on COM3, flashed 16384 signed bytes byte-exact through a Ctrl+C"

#!/usr/bin/env bash
# What the Windows console updater's COM search does under Wine, shown from both sides:
#   1. COM2 a silent device, COM3 a Korvane listed in SERIALCOMM as a Bluetooth link
#      (\Device\BthModem0), COM4 a Korvane: `detect --json --trace`, then COM3's own frames log and
#      whether anything opened its node (watched from outside with inotify).
#   2. COM2 silent and COM3 the same Bluetooth link, nothing else: `detect --trace` and
#      `detect --json`, whose search finds nothing, and their reasons.
#   3. No COM port linked at all (COM3 still listed): the same.
# A port held by another program cannot be shown here: Wine does not keep a second program from
# opening a COM port that one holds (share mode 0 is not enforced on serial devices), and as root
# neither does TIOCEXCL on the pseudo-terminal.
# Prints what it captured.   bench/discovery_wine.sh   (builds build/native's tools, build/win's
# korvane-update.exe when missing)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=${KV_JOBS:-2}
if [[ ! -x build/native/bin/kvsim || ! -x build/native/bin/qfwpack ]]; then
  [[ -f build/native/build.ninja ]] || cmake --preset native >/dev/null || exit 1
  cmake --build --preset native --target kvsim qfwpack -j"$jobs" >/dev/null || exit 1
fi
[[ -f build/win/build.ninja ]] || cmake --preset win >/dev/null || exit 1
cmake --build --preset win --target korvane-update -j"$jobs" >/dev/null || exit 1
tools=build/native/bin
exe="$root/build/win/bin/korvane-update.exe"

. tools/wine/wine-env.sh
work=$(mktemp -d /tmp/kv-discovery-wine.XXXXXX)
pids=()
cleanup() {
  local pid
  kv_wine_cleanup
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# start_sim NAME VAR ARGS...: a simulated device with its own frames log; VAR gets its slave path.
start_sim() {
  local name="$1" var="$2"
  shift 2
  "$tools/kvsim" --link "$work/$name" --frames-log "$work/$name.frames" "$@" >"$work/$name.out" \
    2>"$work/$name.err" &
  pids+=($!)
  for _ in $(seq 100); do
    if grep -qx ready "$work/$name.out" 2>/dev/null; then
      printf -v "$var" '%s' "$(head -n 1 "$work/$name.out")"
      return 0
    fi
    sleep 0.05
  done
  echo "kvsim $name did not start" >&2
  return 1
}

# new_prefix "N=TARGET ...": a fresh prefix with those COM links and COM3 listed as a Bluetooth link.
new_prefix() {
  kv_wine_cleanup
  kv_wine_prefix_new >/dev/null || exit 1
  kv_wine_prefix_start || exit 1
  kv_wine_com_links "$1" || exit 1
  wine reg add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v '\Device\BthModem0' /t REG_SZ /d COM3 /f \
    >/dev/null 2>&1 || { echo "cannot add the SERIALCOMM value" >&2; exit 1; }
}

win_path() { echo "Z:${1//\//\\}"; }

start_sim silent silent --fault any:silence || exit 1
start_sim bluetooth bluetooth --letter A --version 2.20 || exit 1
start_sim device device --letter A --version 2.20 || exit 1

echo "== 1. detect --json, COM2 silent, COM3 listed as \\Device\\BthModem0 (a Korvane behind it), COM4 a Korvane"
new_prefix "2=$silent 3=$bluetooth 4=$device"
python3 tests/device/count_opens.py "$work/opens" "$bluetooth" "$device" >"$work/watch.out" &
watcher=$!
pids+=("$watcher")
for _ in $(seq 100); do grep -qx watching "$work/watch.out" 2>/dev/null && break; sleep 0.05; done
kv_wine_run "$exe" detect --json "--trace=$(win_path "$work/detect1.trace")" >"$work/detect1.out" 2>"$work/detect1.err"
echo "exit status $?"
kill -TERM "$watcher"
wait "$watcher"
echo "-- standard output"
tr -d '\r' <"$work/detect1.out"
echo "-- trace lines about the search"
tr -d '\r' <"$work/detect1.trace" | grep -E "Skipping|No device found|Successfully opened"
echo "-- the Bluetooth-listed device (COM3, $bluetooth): its frames log holds $(wc -c <"$work/bluetooth.frames") bytes;" \
  "opened from outside: $(awk -v n="$bluetooth" '$1 == n { print ($2 > 0 ? "yes" : "no") }' "$work/opens")"
echo "-- the device on COM4 ($device): its frames log holds $(wc -l <"$work/device.frames") frames;" \
  "opened from outside: $(awk -v n="$device" '$1 == n { print ($2 > 0 ? "yes" : "no") }' "$work/opens")"
echo "-- kvsim's own output for COM3:"
cat "$work/bluetooth.out" "$work/bluetooth.err"

echo
# detect_nothing TITLE LINKS: a search that finds nothing, its trace's reasons and what it says.
detect_nothing() {
  echo "== $1"
  new_prefix "$2"
  kv_wine_run "$exe" detect --trace >"$work/nothing.out" 2>"$work/nothing.err"
  echo "exit status $?"
  echo "-- the trace's reasons"
  tr -d '\r' <"$work/nothing.err" | grep -E "Skipping|No device found"
  echo "-- what the program says after the trace"
  tr -d '\r' <"$work/nothing.err" | sed -n '/^korvane-update: /,$p'
  echo "-- detect --json"
  kv_wine_run "$exe" detect --json 2>/dev/null | tr -d '\r'
}

detect_nothing "2. no device to find: COM2 silent, COM3 listed as a Bluetooth link" "2=$silent 3=$bluetooth"
echo "-- the Bluetooth-listed device's frames log still holds $(wc -c <"$work/bluetooth.frames") bytes"
echo
detect_nothing "3. no COM port linked (COM3 still listed as a Bluetooth link)" ""

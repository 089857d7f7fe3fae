#!/usr/bin/env bash
# Opens the updater under Wine.
#   scripts/run.sh                 against the simulated device (a Korvane, firmware 2.20.A), with a
#                                  sample package C:\packages\korvane-2.21.qfw to choose with Browse
#   scripts/run.sh /dev/ttyUSB0    against a real device on that serial node; no simulated device.
#                                  The node passes short replies on at once for the session (the
#                                  driver's low-latency flag, else the adapter's latency_timer), as
#                                  the command-line updater asks; what it was is put back at the end
# The port is COM3 (KV_COM_PORT changes it). With $DISPLAY set the window opens there and the run
# ends when it closes; without one it runs under a private Xvfb, waits for the first search, saves a
# screenshot (KV_RUN_SHOT, default build/run/updater.png) and ends.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
device="${1:-}"
com="${KV_COM_PORT:-3}"
jobs=${KV_JOBS:-2}
shot="${KV_RUN_SHOT:-$root/build/run/updater.png}"

if [[ -n "$device" ]]; then
  if [[ ! -c "$device" ]]; then
    echo "run: $device is not a character device (a serial port such as /dev/ttyUSB0 or /dev/ttyACM0)" >&2
    exit 2
  fi
  # A /dev/serial/by-id/... name is a link: the permissions that count are the device node's.
  node=$(readlink -f "$device")
  group=$(stat -L -c %G "$node")
  if [[ "$node" != "$device" ]]; then
    echo "Serial node $device -> $node: $(stat -L -c '%A owner %U group %G' "$node")."
  else
    echo "Serial node $device: $(stat -L -c '%A owner %U group %G' "$node")."
  fi
  if [[ "$group" != root ]]; then
    echo "The updater needs read and write access to it: run as root, or join the '$group' group"
    echo "(sudo usermod -aG $group \"\$USER\", then log in again)."
  else
    echo "The updater needs read and write access to it: run as root, or give the node to the dialout"
    echo "group (a udev rule, GROUP=\"dialout\", MODE=\"0660\") and join that group."
  fi
  if [[ ! -r "$node" || ! -w "$node" ]]; then
    echo "run: no read/write access to $node for $(id -un)" >&2
    exit 1
  fi
fi

bash scripts/install-deps.sh run || { echo "run: installing the dependencies failed" >&2; exit 1; }

# The same presets as the test command, so the two share their build folders.
mkdir -p build/run
if [[ ! -x build/native/bin/kvsim || ! -x build/native/bin/qfwpack ]]; then
  echo "== building the native tools (build/native)"
  if [[ ! -f build/native/build.ninja ]]; then
    cmake --preset native >build/native-configure.log 2>&1 || { cat build/native-configure.log; exit 1; }
  fi
  cmake --build --preset native --target kvsim qfwpack -j"$jobs"
fi
if [[ ! -f build/win/bin/KorvaneUpdater.exe || ! -f build/win/bin/uidriver.exe ]]; then
  echo "== building the Windows program (build/win)"
  if [[ ! -f build/win/build.ninja ]]; then
    cmake --preset win >build/win-configure.log 2>&1 || { cat build/win-configure.log; exit 1; }
  fi
  cmake --build --preset win --target KorvaneUpdater uidriver -j"$jobs"
fi
exe="$root/build/win/bin/KorvaneUpdater.exe"
driver="$root/build/win/bin/uidriver.exe"

. tools/wine/wine-env.sh
sim_pid=""
latency_state=""
finish() {
  if [[ -n "$latency_state" ]]; then
    python3 scripts/serial_low_latency.py restore "$device" "$latency_state" || true
  fi
  if [[ -n "$sim_pid" ]]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  kv_wine_cleanup
}
trap finish EXIT
trap 'exit 130' INT TERM

kv_wine_prefix_new >/dev/null
headless=""
if [[ -z "${DISPLAY:-}" ]]; then
  kv_wine_xvfb_start
  headless=1
fi
kv_wine_prefix_start

if [[ -n "$device" ]]; then
  # Wine asks for nothing of the kind, and each chunk of an upload waits for a one-byte answer.
  latency_state=$(python3 scripts/serial_low_latency.py on "$device") || latency_state=""
  kv_wine_com_link "$com" "$device"
  echo "COM$com -> $device"
else
  packages="$WINEPREFIX/drive_c/packages"
  mkdir -p "$packages"
  build/native/bin/qfwpack --out "$packages/korvane-2.21.qfw" --fw 2.21 --letter A --target A --body-size 16384 >/dev/null
  cp "$packages/korvane-2.21.qfw" build/run/korvane-2.21.qfw
  sim_out="$root/build/run/kvsim.out"
  build/native/bin/kvsim --link "$WINEPREFIX/dosdevices/com$com" --letter A --version 2.20 --eeprom-id A \
    --interface U --new-version 2.21 --pacing --frames-log "$root/build/run/kvsim-frames.log" >"$sim_out" 2>&1 &
  sim_pid=$!
  for _ in $(seq 50); do
    grep -qx ready "$sim_out" 2>/dev/null && break
    sleep 0.1
  done
  grep -qx ready "$sim_out" || { echo "run: the simulated device did not start" >&2; cat "$sim_out" >&2; exit 1; }
  echo "Simulated Korvane (firmware 02.20.A) on COM$com ($(head -n 1 "$sim_out"))."
  echo "Sample package: C:\\packages\\korvane-2.21.qfw (also build/run/korvane-2.21.qfw)."
fi

if [[ -z "$headless" ]]; then
  echo "Opening the updater on $DISPLAY; the run ends when its window closes."
  kv_wine_run "$exe"
  exit 0
fi

echo "No display: running under Xvfb ($DISPLAY)."
kv_wine_run_bg "$exe"
wine "$driver" find 20000 >/dev/null || { echo "run: the updater's window did not appear" >&2; exit 1; }
# The first search ends when the version field no longer says it is searching.
for _ in $(seq 100); do
  text=$(wine "$driver" text 2747 2>/dev/null || true)
  [[ "$text" == *'"ok":true'* && "$text" != *Searching* ]] && break
  sleep 0.2
done
sleep 0.5
mkdir -p "$(dirname "$shot")"
import -window root "$shot"
echo "Dialog: $(wine "$driver" state 2>/dev/null)"
echo "Screenshot: $shot"

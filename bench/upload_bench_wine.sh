#!/usr/bin/env bash
# What the diagnostic log costs an upload under Wine: the Windows build's upload_bench_win against
# the simulated device (paced at 115200 bit/s) linked as COM3 of a private prefix and display.
# bench/upload_bench_wine.sh [BODY_BYTES] [ROUNDS]   (defaults 65536 and 3)
# Needs build/win (upload_bench_win.exe) and a native build's kvsim and qfwpack (KV_NATIVE_BIN,
# default build/native/bin).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
body=${1:-65536}
rounds=${2:-3}
native=${KV_NATIVE_BIN:-$root/build/native/bin}
bench=${KV_WIN_BENCH:-$root/build/win/bin/upload_bench_win.exe}
for f in "$native/kvsim" "$native/qfwpack" "$bench"; do
  [ -x "$f" ] || [ -f "$f" ] || { echo "missing $f"; exit 1; }
done
. "$root/tools/wine/wine-env.sh"
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  kv_wine_cleanup
}
trap cleanup EXIT
kv_wine_prefix_new >/dev/null
kv_wine_xvfb_start
kv_wine_prefix_start
mkdir -p "$WINEPREFIX/drive_c/bench"
"$native/qfwpack" --out "$WINEPREFIX/drive_c/bench/bench.qfw" --body-size "$body" >/dev/null
fifo=$(mktemp -u)
mkfifo "$fifo"
"$native/kvsim" --pacing --link "$WINEPREFIX/dosdevices/com3" >"$fifo" &
sim_pid=$!
exec 3<"$fifo"
rm -f "$fifo"
while read -r line <&3; do [ "$line" = ready ] && break; done
kv_wine_run "$bench" --package 'C:\bench\bench.qfw' --rounds "$rounds"

#!/usr/bin/env bash
# What the diagnostic log costs an upload under Wine: the Windows build's upload_bench_win against
# the simulated device (paced at 115200 bit/s) linked as COM3 of a private prefix and display.
# bench/upload_bench_wine.sh [BODY_BYTES [ROUNDS [OPTIONS...]]]   (defaults 65536 and 3; OPTIONS go to
# upload_bench_win)
# Builds upload_bench_win in the win preset's build (build/win) and kvsim and qfwpack in the native
# one's (build/native), configuring them when needed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
body=${1:-65536}
rounds=${2:-3}
shift $(($# < 2 ? $# : 2))
native=$root/build/native/bin
bench=$root/build/win/bin/upload_bench_win.exe
cd "$root"
for preset in native win; do
  [[ -f build/$preset/build.ninja ]] || cmake --preset $preset >build/$preset-configure.log 2>&1 \
    || { cat build/$preset-configure.log; exit 1; }
done
cmake --build build/native --target kvsim qfwpack -j"${KV_JOBS:-2}" >build/native-bench-build.log 2>&1 \
  || { tail -n 40 build/native-bench-build.log; exit 1; }
cmake --build build/win --target upload_bench_win -j"${KV_JOBS:-2}" >build/win-bench-build.log 2>&1 \
  || { tail -n 40 build/win-bench-build.log; exit 1; }
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
kv_wine_run "$bench" --package 'C:\bench\bench.qfw' --rounds "$rounds" "$@"

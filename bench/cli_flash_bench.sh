#!/usr/bin/env bash
# Benchmark of the command-line updater: `korvane-update flash` of a 65,536-byte body against the
# simulated device pacing its wire at 115200 bit/s, timed as a whole process (search with --port,
# validation, upload, identification afterwards), and its upload part alone, against the time the
# bytes need on the wire.   bench/cli_flash_bench.sh [RUNS]   (default 5)
# Built with the release preset (build/release, no sanitizers).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
runs=${1:-5}
mkdir -p build
if [[ ! -f build/release/build.ninja ]]; then
  cmake --preset release >build/release-configure.log 2>&1 || { cat build/release-configure.log; exit 1; }
fi
cmake --build --preset release --target korvane-update kvsim qfwpack -j"${KV_JOBS:-2}" >build/release-build.log 2>&1 \
  || { tail -n 40 build/release-build.log; exit 1; }
build=build/release

work=$(mktemp -d /tmp/kv-cli-bench.XXXXXX)
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

"$build/bin/qfwpack" --out "$work/pkg.qfw" --body-size 65536 >/dev/null
"$build/bin/kvsim" --link "$work/dev" --pacing --new-version 2.21 >"$work/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do grep -qx ready "$work/sim.out" 2>/dev/null && break; sleep 0.05; done
grep -qx ready "$work/sim.out" || { echo "kvsim did not start"; exit 1; }

python3 - "$build/bin/korvane-update" "$work/pkg.qfw" "$work/dev" "$runs" <<'PY'
import statistics, subprocess, sys, time

cli, pkg, port, runs = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
baud, body = 115200, 65536
chunks = (body + 255) // 256
# Host to device: command, body, trailer; device to host: command answer, one per chunk, status.
wire = (4 + body + 1 + 1 + chunks + 1) * 10 / baud
open_waits = 2 * 0.160  # the port is opened twice (find, identify again): 100 ms + 60 ms each

whole, upload = [], []
for _ in range(runs):
    start = time.monotonic()
    proc = subprocess.Popen([cli, "flash", pkg, "--port", port], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    began = ended = None
    for line in proc.stderr:
        now = time.monotonic()
        if line.startswith("Updating "):
            began = now  # printed just before the upload starts
        elif line.startswith("Uploading: 100%"):
            ended = now  # the last chunk acknowledged
    out = proc.stdout.read()
    proc.wait()
    whole.append(time.monotonic() - start)
    if proc.returncode != 0 or began is None or ended is None:
        sys.exit(f"flash failed ({proc.returncode}): {out}")
    upload.append(ended - began)

med_whole, med_upload = statistics.median(whole), statistics.median(upload)
print(f"korvane-update flash, {body}-byte body, device paced at {baud} bit/s, {runs} runs; outcome: {out.strip()}")
print(f"wire-time bound:              {wire:.3f} s")
print(f"whole process (median):       {med_whole:.3f} s   ratio {med_whole / wire:.3f}   "
      f"(min {min(whole):.3f}, max {max(whole):.3f})")
print(f"  goal: bound + open waits ({open_waits:.3f} s) + 0.100 s = {wire + open_waits + 0.1:.3f} s: "
      f"{'met' if med_whole <= wire + open_waits + 0.1 else 'NOT met'}")
print(f"upload part (median):         {med_upload:.3f} s   ratio {med_upload / wire:.3f}   "
      f"(min {min(upload):.3f}, max {max(upload):.3f})")
print(f"  goal: ratio within 1.01: {'met' if med_upload / wire <= 1.01 else 'NOT met'}")
print(f"outside the upload (median):  {med_whole - med_upload:.3f} s (search, validation, identification, start-up)")
PY

#!/usr/bin/env bash
# Soak of the watch: `korvane-update flash --watch` on four ports while UNITS simulated devices
# (paced at 115200 bit/s, 4,096-byte body) are plugged in and unplugged in turn, each port taking
# its next unit once the last one is recorded. Checks that every unit has its record and that the
# program's descriptors and resident memory do not grow; ends the watch with SIGINT.
#   bench/watch_soak.sh [UNITS]   (default 100)
# Built with the release preset (build/release, no sanitizers).
set -euo pipefail
units=${1:-100}
. "$(dirname "$0")/cli_tools.sh" watch-soak 4096

python3 - "$build" "$work" "$units" <<'PY'
import json, os, signal, subprocess, sys, threading, time

build, work, units = sys.argv[1], sys.argv[2], int(sys.argv[3])
ports = [os.path.join(work, f"socket{i}") for i in range(4)]
record = os.path.join(work, "units.jsonl")


def records():
    try:
        with open(record) as f:
            return [json.loads(line) for line in f]
    except FileNotFoundError:
        return []


def figures(pid):
    with open(f"/proc/{pid}/status") as f:
        rss = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
    return len(os.listdir(f"/proc/{pid}/fd")), rss


args = [os.path.join(build, "korvane-update"), "flash", os.path.join(work, "pkg.qfw"), "--watch",
        "--record", record]
for port in ports:
    args += ["--port", port]
out, err = open(os.path.join(work, "out"), "w"), open(os.path.join(work, "err"), "w")
watch = subprocess.Popen(args, stdout=out, stderr=err)
time.sleep(1)
start_fds, start_rss = figures(watch.pid)
warm = None
lock = threading.Lock()
plugged = [0]
latencies = []
failures = []


def serve(port):
    while True:
        with lock:
            if plugged[0] == units:
                return
            plugged[0] += 1
        before = sum(1 for r in records() if r["port"] == port)
        plugged_at = time.monotonic()
        sim = subprocess.Popen([os.path.join(build, "kvsim"), "--link", port, "--pacing", "--new-version", "2.21"],
                               stdout=subprocess.DEVNULL)
        deadline = plugged_at + 30
        while sum(1 for r in records() if r["port"] == port) == before:
            if time.monotonic() > deadline:
                failures.append(f"{port}: no record within 30 s")
                break
            time.sleep(0.02)
        latencies.append(time.monotonic() - plugged_at)
        sim.terminate()  # unplugged: the link goes away with the device
        sim.wait()
        time.sleep(0.3)


began = time.monotonic()
threads = [threading.Thread(target=serve, args=(port,)) for port in ports]
for t in threads:
    t.start()
warm_after = min(8, max(1, units // 2))  # memory settles after the first units
while warm is None and any(t.is_alive() for t in threads):
    if len(records()) >= warm_after:
        warm = figures(watch.pid)
    time.sleep(0.05)
for t in threads:
    t.join()
elapsed = time.monotonic() - began
time.sleep(1)
end_fds, end_rss = figures(watch.pid)
watch.send_signal(signal.SIGINT)
status = watch.wait(timeout=30)
out.close()
err.close()
entries = records()
with open(os.path.join(work, "out")) as f:
    summary = f.read().splitlines()[-1]

ok = sum(1 for r in entries if r["status"] == 0 and r["verified"])
print(f"korvane-update flash --watch, 4 ports, {units} units plugged in and unplugged in turn "
      f"(4096-byte body, paced at 115200 bit/s), {elapsed:.1f} s")
print(f"records: {len(entries)} ({ok} updated and verified); summary: {summary!r}; exit status {status}")
print(f"plug-in to record, per unit: median {sorted(latencies)[len(latencies) // 2]:.2f} s, "
      f"max {max(latencies):.2f} s")
warm = warm or (start_fds, start_rss)
print(f"descriptors: start {start_fds}, after {warm_after} units {warm[0]}, end {end_fds}")
print(f"VmRSS KiB:   start {start_rss}, after {warm_after} units {warm[1]}, end {end_rss}")
good = (len(entries) == units and ok == units and not failures and status == 0 and end_fds <= warm[0]
        and end_rss <= warm[1] * 1.05)
for failure in failures:
    print(failure)
print("no growth, every unit recorded" if good else "FAILED")
sys.exit(0 if good else 1)
PY

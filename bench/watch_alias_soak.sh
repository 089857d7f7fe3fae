#!/usr/bin/env bash
# Soak of the watch with aliases and swaps: `korvane-update flash --watch --record` on eight port
# names while UNITS simulated devices (distinct serial numbers, paced at 115200 bit/s, BODY-byte
# body) come and go at random moments. Six names are the devices' own links; "alias0" is a link to
# the link of port 0 and "alias1" a second link to the node of whatever unit stands on port 1. A
# unit stays plugged a random while after its record (the watch keeps asking it) and is then
# unplugged and replaced after a random gap; about one plug in four is a swap on a node that stays
# (a second unit takes the line some random time after the first one's upload).
# Prints uploads per unit (read off each simulated device), the record's lines and attempts, and
# the watch's descriptors and resident memory at start and end; ends the watch with SIGTERM.
#   bench/watch_alias_soak.sh [UNITS [SEED [BODY]]]   (defaults 300, 1, 4096)
# Built with the release preset (build/release, no sanitizers).
set -euo pipefail
units=${1:-300}
seed=${2:-1}
body=${3:-4096}
. "$(dirname "$0")/cli_tools.sh" watch-alias-soak "$body"

python3 - "$build" "$work" "$units" "$seed" "$body" <<'PY'
import collections, json, os, random, signal, subprocess, sys, threading, time

build, work, units, seed, body = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
rng = random.Random(seed)
rng_lock = threading.Lock()
physical = [os.path.join(work, f"port{i}") for i in range(6)]
alias0 = os.path.join(work, "alias0")  # a link to port0's link: always the same unit as port0
alias1 = os.path.join(work, "alias1")  # a second link to port1's node, made while a unit is there
os.symlink(physical[0], alias0)
names = physical + [alias0, alias1]
record = os.path.join(work, "units.jsonl")
serials = [f"U{i:08d}" for i in range(units)]  # nine printable bytes each


def rand(a, b):
    with rng_lock:
        return rng.uniform(a, b)


def chance(p):
    with rng_lock:
        return rng.random() < p


def read_lines():
    try:
        with open(record, "rb") as f:
            return f.read().split(b"\n")[:-1]
    except FileNotFoundError:
        return []


def recorded_serials():
    seen = set()
    for line in read_lines():
        try:
            seen.add(json.loads(line).get("serial"))
        except ValueError:
            pass
    return seen


def figures(pid):
    with open(f"/proc/{pid}/status") as f:
        rss = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
    return len(os.listdir(f"/proc/{pid}/fd")), rss


args = [os.path.join(build, "korvane-update"), "flash", os.path.join(work, "pkg.qfw"), "--watch",
        "--record", record]
for name in names:
    args += ["--port", name]
out, err = open(os.path.join(work, "out"), "w"), open(os.path.join(work, "err"), "w")
watch = subprocess.Popen(args, stdout=out, stderr=err)
time.sleep(1)
start_fds, start_rss = figures(watch.pid)

lock = threading.Lock()
next_unit = [0]
uploads = collections.Counter()  # serial -> full images its device received
plugs = collections.Counter()    # kind of plug -> how many
failures = []


def take(n):
    with lock:
        first = next_unit[0]
        got = min(n, units - first)
        next_unit[0] += got
        return serials[first:first + got]


def serve(index):
    port = physical[index]
    while True:
        swap = chance(0.25)
        mine = take(2 if swap else 1)
        if not mine:
            return
        swap = len(mine) == 2
        command = [os.path.join(build, "kvsim"), "--link", port, "--pacing", "--new-version", "2.21",
                   "--serial", mine[0].encode().hex()]
        if swap:
            command += ["--swap-after", str(int(rand(300, 2500))), "--swap-serial", mine[1].encode().hex()]
        sim = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
        slave = sim.stdout.readline().strip()
        sim.stdout.readline()  # ready
        if index == 1:
            os.symlink(slave, alias1)
        events = []
        reader = threading.Thread(target=lambda: events.extend(line.strip() for line in sim.stdout))
        reader.start()
        deadline = time.monotonic() + 60
        while not set(mine) <= recorded_serials():
            if time.monotonic() > deadline:
                failures.append(f"{port}: no record of {sorted(set(mine) - recorded_serials())} within 60 s")
                break
            time.sleep(0.05)
        time.sleep(rand(0, 1.5))  # left plugged while the watch keeps asking it
        if index == 1:
            os.unlink(alias1)
        sim.terminate()
        sim.wait()
        reader.join()
        unit = 0
        for event in events:
            if event == "swapped":
                unit = 1
            elif event.startswith("uploaded"):
                uploads[mine[unit]] += 1
        with lock:
            plugs["swap on a kept node" if swap else "plug"] += 1
        time.sleep(rand(0, 0.6))  # the next unit after a random gap


began = time.monotonic()
threads = [threading.Thread(target=serve, args=(i,)) for i in range(len(physical))]
for t in threads:
    t.start()
warm_after = min(16, max(1, units // 2))
warm = None
while warm is None and any(t.is_alive() for t in threads):
    if len(read_lines()) >= warm_after:
        warm = figures(watch.pid)
    time.sleep(0.05)
for t in threads:
    t.join()
elapsed = time.monotonic() - began
time.sleep(2)
end_fds, end_rss = figures(watch.pid)
# SIGTERM: a benchmark started as a background job has SIGINT ignored, which the program keeps.
watch.send_signal(signal.SIGTERM)
try:
    status = watch.wait(timeout=60)
except subprocess.TimeoutExpired:
    watch.kill()
    status = "killed: no end within 60 s of SIGTERM"
out.close()
err.close()

lines = read_lines()
entries, bad = [], 0
for line in lines:
    try:
        entries.append(json.loads(line))
    except ValueError:
        bad += 1
per_unit = collections.Counter(e.get("serial") for e in entries)
attempts = collections.Counter((e["result_name"], e["status"], e["verified"]) for e in entries)
by_port = collections.Counter(os.path.basename(e["port"]) for e in entries)
upload_counts = collections.Counter(uploads[s] for s in serials)
record_counts = collections.Counter(per_unit[s] for s in serials)
strangers = sorted(str(s) for s in per_unit if s not in set(serials))
with open(os.path.join(work, "out")) as f:
    summary = f.read().splitlines()[-1]

print(f"korvane-update flash --watch --record, 8 port names (6 links, alias0 -> port0's link, "
      f"alias1 -> port1's node), seed {seed}")
print(f"units: {units} ({body}-byte body, paced at 115200 bit/s); plugs: {dict(plugs)}; {elapsed:.1f} s")
print(f"uploads per unit: {dict(sorted(upload_counts.items()))} (uploads -> units)")
print(f"record lines: {len(lines)}, valid JSON {len(entries)}, not JSON {bad}")
print(f"records per unit: {dict(sorted(record_counts.items()))} (records -> units); "
      f"lines for no known unit: {strangers or 'none'}")
print("attempts (result_name, status, verified): " +
      ", ".join(f"{k} x{v}" for k, v in sorted(attempts.items())))
print("records by port name: " + ", ".join(f"{k} {v}" for k, v in sorted(by_port.items())))
print(f"summary: {summary!r}; exit status {status}")
warm = warm or (start_fds, start_rss)
print(f"descriptors: start {start_fds}, after {warm_after} records {warm[0]}, end {end_fds}")
print(f"VmRSS KiB:   start {start_rss}, after {warm_after} records {warm[1]}, end {end_rss}")
for failure in failures:
    print(failure)
twice = [s for s in serials if uploads[s] != 1]
if twice:
    print("units not uploaded exactly once: " + ", ".join(f"{s} x{uploads[s]}" for s in twice[:20]))
good = (not failures and not twice and bad == 0 and set(record_counts) == {1} and not strangers
        and len(entries) == units and status == 0 and end_fds <= warm[0] and end_rss <= warm[1] * 1.05)
print("every unit uploaded once and recorded once, no growth" if good else "FAILED")
sys.exit(0 if good else 1)
PY

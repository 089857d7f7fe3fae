#!/usr/bin/env bash
# Benchmark of several devices at once: `korvane-update flash` of a 16,384-byte body to N simulated
# devices, each pacing its wire at 115200 bit/s, for N = 1, 2, 4, 8, 16, timed as a whole command
# and compared with N = 1 in the same run; the CPU time per device and the peak resident memory
# (GNU time, /usr/bin/time).
#   bench/bench_parallel.sh [RUNS]   (default 3 per N; the median counts)
# Built with the release preset (build/release, no sanitizers).
set -euo pipefail
runs=${1:-3}
. "$(dirname "$0")/cli_tools.sh" parallel-bench 16384

python3 - "$build" "$work" "$runs" <<'PY'
import os, statistics, subprocess, sys, time

build, work, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])
cli, pkg = os.path.join(build, "korvane-update"), os.path.join(work, "pkg.qfw")
counts, most = [1, 2, 4, 8, 16], 16
ticks = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / ticks  # utime, stime


sims = []
try:
    for i in range(most):
        link = os.path.join(work, f"dev{i}")
        proc = subprocess.Popen([os.path.join(build, "kvsim"), "--link", link, "--pacing", "--new-version", "2.21"],
                                stdout=subprocess.PIPE, text=True)
        proc.stdout.readline()
        assert proc.stdout.readline().strip() == "ready"
        sims.append((proc, link))

    print(f"korvane-update flash, 16384-byte body to N devices paced at 115200 bit/s, {runs} runs per N "
          f"(median); load before: {os.getloadavg()[0]:.2f}")
    print(f"{'N':>3} {'wall s':>8} {'min':>7} {'max':>7} {'ratio':>6} {'CPU ms/device':>14} "
          f"{'sim CPU ms/device':>18} {'peak RSS MiB':>13}")
    base = None
    for n in counts:
        walls, cpus, sim_cpus, rss = [], [], [], []
        for _ in range(runs):
            # GNU time reports the peak resident memory of the program itself; Python's own rusage of
            # a child it started would carry the interpreter's size from before the exec.
            args = ["/usr/bin/time", "-o", os.path.join(work, "rss"), "-f", "%M", cli, "flash", pkg]
            for _, link in sims[:n]:
                args += ["--port", link]
            sim_before = sum(cpu_seconds(p.pid) for p, _ in sims[:n])
            start = time.monotonic()
            proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
            out = proc.stdout.read()
            _, status, usage = os.wait4(proc.pid, 0)
            walls.append(time.monotonic() - start)
            sim_cpus.append(sum(cpu_seconds(p.pid) for p, _ in sims[:n]) - sim_before)
            # One --port is the single-device command as it always was: no summary line.
            summary = f"{n} updated, 0 failed" if n > 1 else "Update Successful"
            if os.waitstatus_to_exitcode(status) != 0 or summary not in out:
                sys.exit(f"N={n}: flash failed ({status}): {out}")
            cpus.append(usage.ru_utime + usage.ru_stime)  # the program's, through time
            with open(os.path.join(work, "rss")) as f:
                rss.append(int(f.read().split()[-1]) / 1024)
        wall = statistics.median(walls)
        base = base or wall
        print(f"{n:>3} {wall:>8.3f} {min(walls):>7.3f} {max(walls):>7.3f} {wall / base:>6.3f} "
              f"{statistics.median(cpus) / n * 1000:>14.1f} {statistics.median(sim_cpus) / n * 1000:>18.1f} "
              f"{max(rss):>13.1f}")
        if n == most:
            ratio = wall / base
    print(f"goal: {most} devices within 1.10 of one device's time: {'met' if ratio <= 1.10 else 'NOT met'} "
          f"({ratio:.3f}); load after: {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores")
finally:
    for proc, _ in sims:
        proc.terminate()
        proc.wait()
PY

"""korvane-update with several devices at once, the record and the watch: the real binary against
simulated devices on pseudo-terminals.

Run with pytest; KV_CLI names the binary and KV_TOOLS the folder holding kvsim and qfwpack.
"""
import fcntl
import hashlib
import re
import json
import os
import pty
import signal
import subprocess
import time

import pytest

from cli_programs import CLI, KVSIM, body_of, killed_on_exit, needs_programs, run, run_on_terminal
from cli_programs import package as shared_package


pytestmark = needs_programs

RECORD_KEYS = ["time", "port", "serial", "description", "old_version", "new_version", "package",
               "package_sha256", "signature", "signature_key", "result", "result_name", "verified", "seconds",
               "status"]
SUCCESS = "Update Successful. New version is 02.21.A"


class Unit:
    """One simulated device, plugged in at `link` until unplug()."""

    def __init__(self, link, flags):
        self.link, self.image, self.frames = link, link + ".image", link + ".frames"
        self.proc = subprocess.Popen([KVSIM, "--link", link, "--image-out", self.image, "--frames-log",
                                      self.frames, *flags],
                                     stdout=subprocess.PIPE, text=True)
        self.proc.stdout.readline()
        assert self.proc.stdout.readline().strip() == "ready"

    def unplug(self):
        # kvsim hangs up its side and removes the link, as a unit pulled from its socket.
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(timeout=5)

    def events(self):
        """What the device said after "ready" ("uploaded N", "swapped"), once unplugged."""
        self.unplug()
        return [line.strip() for line in self.proc.stdout]

    def received_image(self, size, timeout=3.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if os.path.exists(self.image) and os.path.getsize(self.image) == size:
                break
            time.sleep(0.02)
        with open(self.image, "rb") as f:
            return f.read()


@pytest.fixture
def plug(tmp_path):
    """plug(name, *kvsim flags) starts a simulated device linked at tmp_path/name."""
    units = []

    def start(name, *flags):
        unit = Unit(str(tmp_path / name), flags)
        units.append(unit)
        return unit

    yield start
    for unit in units:
        unit.unplug()


def package(tmp_path, *flags, body=4096):
    return shared_package(tmp_path, *flags, body=body)



def sha256_of(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()



def ports_args(*ports):
    return [arg for port in ports for arg in ("--port", port)]


def blocks(stdout):
    """The stdout lines of each port, in order, and the summary line."""
    lines = stdout.splitlines()
    by_port = {}
    for line in lines[:-1]:
        port, _, text = line.partition(":")
        by_port.setdefault(port, []).append(text[1:] if text.startswith(" ") else text)
    return by_port, lines[-1]


def records(path):
    with open(path, encoding="utf-8") as f:
        entries = [json.loads(line) for line in f]
    for entry in entries:
        assert list(entry) == RECORD_KEYS
    return {entry["port"]: entry for entry in entries}, entries


def wait_for(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.05)
    pytest.fail(f"timed out waiting for {what}")


def text_of(path):
    return path.read_text() if path.exists() else ""


# --- usage ------------------------------------------------------------------------------------

@pytest.mark.parametrize("args, says", [
    (("flash", "p.qfw", "--port", "a", "--port", "b", "--port=a"), "--port a given twice"),
    (("detect", "--port", "a", "--port", "b"), "only flash takes several ports"),
    (("check", "p.qfw", "--all"), "--all is for flash"),
    (("flash", "p.qfw", "--all", "--port", "a"), "--all stands instead of --port"),
    (("flash", "p.qfw", "--watch"), "--watch needs the ports to watch"),
    (("flash", "p.qfw", "--record", "--port", "a"), "--record needs a value"),
])
def test_usage_errors_of_several_ports_exit_1(args, says):
    r = run(*args)
    assert r.returncode == 1 and r.stdout == ""
    assert says in r.stderr


# --- several devices at once ------------------------------------------------------------------

def test_four_devices_at_once_one_failing(plug, tmp_path):
    units = [plug(f"d{i}", "--new-version", "2.21", "--serial", f"KV000000{i}".encode().hex())
             for i in range(3)]
    units.append(plug("d3", "--final-status", "W"))
    pkg = package(tmp_path)
    record = tmp_path / "units.jsonl"
    r = run("flash", pkg, *ports_args(*(u.link for u in units)), "--record", str(record))
    assert r.returncode == 4, r.stderr

    by_port, summary = blocks(r.stdout)
    assert summary == "3 updated, 1 failed"
    for unit in units[:3]:
        assert by_port[unit.link] == [SUCCESS]
        assert unit.received_image(4096) == body_of(pkg)
    assert by_port[units[3].link] == ["HW Message: Firmware failed during flash process.",
                                      "You will need to cold-reboot the hardware and try again."]
    for unit in units:
        progress = [l for l in r.stderr.splitlines() if l.startswith(unit.link + ": ") and l.endswith("%")]
        assert progress == [f"{unit.link}: {p}%" for p in range(10, 101, 10)]

    by_record, entries = records(record)
    assert len(entries) == 4
    first = by_record[units[0].link]
    assert first["serial"] == "KV0000000" and first["description"] == "Korvane v2.20.A"
    assert (first["old_version"], first["new_version"]) == ("02.20.A", "02.21.A")
    assert (first["result"], first["result_name"], first["verified"], first["status"]) == (0, "KV_S_OK", True, 0)
    assert first["package"] == pkg and first["package_sha256"] == sha256_of(pkg)
    assert first["time"].endswith("Z") and 0 < first["seconds"] < 30
    failed = by_record[units[3].link]
    assert failed["serial"] is None  # all zero bytes: not text
    assert (failed["result"], failed["result_name"], failed["new_version"], failed["status"]) == \
        (-15, "KV_E_FIRMWARE_FLASH_FAILED", None, 4)


def test_exit_rule_takes_rejection_before_missing_port_before_mismatch(plug, tmp_path):
    ok = plug("ok", "--new-version", "2.21")
    kept = plug("kept", "--new-version", "2.20")  # takes the image but keeps its version
    other = plug("other", "--eeprom-id", "C")  # another hardware id than the package targets
    missing = str(tmp_path / "missing")
    pkg = package(tmp_path, "--fw", "2.21")
    record = tmp_path / "r.jsonl"
    r = run("flash", pkg, *ports_args(ok.link, kept.link, other.link, missing), "--record", str(record))
    assert r.returncode == 3
    by_port, summary = blocks(r.stdout)
    assert summary == "2 updated, 2 failed"
    assert by_port[kept.link] == [
        "Update Successful. New version is 02.20.A", "",
        "The device reports 02.20.A, but the package holds 2.21.A. If the device does not work as "
        "expected, update it again."]
    assert f"{kept.link}:\n" in r.stdout  # the empty line carries its prefix too
    assert by_port[other.link] == ["Firmware package not intended for this hardware."]
    assert by_port[missing] == ["not present"]

    by_record, _ = records(record)
    assert (by_record[kept.link]["verified"], by_record[kept.link]["status"]) == (False, 5)
    assert (by_record[other.link]["result"], by_record[other.link]["result_name"],
            by_record[other.link]["status"]) == (131, "REJECTED", 3)
    assert (by_record[missing]["result_name"], by_record[missing]["description"],
            by_record[missing]["status"]) == ("KV_E_DEVICE_NOT_FOUND", None, 2)

    # Without the rejection the missing port decides, and without it the mismatch. The trace of
    # several devices comes in whole lines, each under its port.
    trace = tmp_path / "trace.txt"
    r = run("flash", pkg, *ports_args(ok.link, kept.link, missing), "--trace=" + str(trace))
    assert r.returncode == 2
    lines = trace.read_text().splitlines()
    assert lines and all(line.split(": ", 1)[0] in (ok.link, kept.link, missing) for line in lines)
    assert any(line.startswith(f"{kept.link}: QBKorvane: The device reports 02.20.A") for line in lines)
    r = run("flash", pkg, *ports_args(ok.link, kept.link))
    assert (r.returncode, r.stdout.splitlines()[-1]) == (5, "2 updated, 0 failed")


def test_eight_devices_three_faults_the_others_byte_exact(plug, tmp_path):
    faults = {"silent": ("--silent-at-chunk", "5"), "status": ("--final-status", "E"),
              "unplugged": ("--disconnect-at-chunk", "5")}
    units = {name: plug(name, "--pacing", "--new-version", "2.21", *flags) for name, flags in faults.items()}
    for i in range(5):
        units[f"ok{i}"] = plug(f"ok{i}", "--pacing", "--new-version", "2.21")
    pkg = package(tmp_path, body=16384)
    record = tmp_path / "r.jsonl"
    r = run("flash", pkg, *ports_args(*(u.link for u in units.values())), "--record", str(record))
    assert r.returncode == 4

    by_port, summary = blocks(r.stdout)
    assert summary == "5 updated, 3 failed"
    for i in range(5):
        assert by_port[units[f"ok{i}"].link] == [SUCCESS]
        assert units[f"ok{i}"].received_image(16384) == body_of(pkg)
    by_record, entries = records(record)
    assert by_record[units["silent"].link]["result_name"] == "KV_E_COMM_READ_FAILURE"
    assert by_record[units["status"].link]["result_name"] == "KV_E_EXTERNAL_CS_INVALID"
    assert by_record[units["unplugged"].link]["result_name"] in ("KV_E_COMM_READ_FAILURE",
                                                                  "KV_E_COMM_WRITE_FAILURE")
    assert all(by_record[u.link]["status"] == 4 for name, u in units.items() if name in faults)
    # The silent device waits out its answer time (6 s); nobody waited for it.
    assert entries[-1]["port"] == units["silent"].link


def test_all_takes_every_candidate_port_where_a_device_answers(plug, tmp_path):
    devdir = tmp_path / "devdir"
    devdir.mkdir()
    first, second = plug("first", "--new-version", "2.21"), plug("second", "--new-version", "2.21")
    silent, legacy = plug("silent", "--fault", "any:silence"), plug("legacy")
    for name, unit in (("ttyUSB0", first), ("ttyUSB1", silent), ("ttyACM0", second), ("ttyS0", legacy)):
        os.symlink(os.readlink(unit.link), devdir / name)
    pkg = package(tmp_path)
    r = run("flash", pkg, "--all", env={"KV_DEV_DIR": str(devdir)})
    assert r.returncode == 0, r.stderr
    by_port, summary = blocks(r.stdout)
    assert summary == "2 updated, 0 failed"
    assert by_port == {f"{devdir}/ttyACM0": [SUCCESS], f"{devdir}/ttyUSB0": [SUCCESS]}
    assert os.path.getsize(legacy.frames) == 0  # /dev/ttyS* is never probed

    empty = tmp_path / "empty"
    empty.mkdir()
    r = run("flash", pkg, "--all", env={"KV_DEV_DIR": str(empty)})
    assert (r.returncode, r.stdout) == (2, "0 updated, 0 failed\n")
    assert "no device found" in r.stderr


def test_progress_on_a_terminal_is_one_line_per_device(plug, tmp_path):
    units = [plug(f"t{i}", "--pacing", "--new-version", "2.21") for i in range(2)]
    pkg = package(tmp_path, body=8192)
    status, out, err = run_on_terminal(["flash", pkg, *ports_args(*(u.link for u in units))],
                                       env=dict(os.environ, TERM="xterm"))
    assert status == 0 and out.splitlines()[-1] == "2 updated, 0 failed"
    text = err.decode()
    assert "\x1b[2A\x1b[J" in text  # the two lines taken back up and redrawn
    assert any(f"{units[0].link}  [" in part and "%  " in part for part in text.split("\n"))
    assert f"{units[0].link}: 10%" not in text


def test_output_that_cannot_be_written_exits_6(plug, tmp_path):
    units = [plug(f"o{i}", "--new-version", "2.21") for i in range(2)]
    with open("/dev/full", "w") as full:
        r = subprocess.run([CLI, "flash", package(tmp_path), *ports_args(*(u.link for u in units))],
                           stdout=full, stderr=subprocess.PIPE, text=True, timeout=60)
    assert r.returncode == 6
    assert "the outcome could not be written to standard output" in r.stderr and SUCCESS in r.stderr


def test_closed_standard_streams_never_let_the_record_take_their_place(plug, tmp_path):
    units = [plug(f"c{i}", "--new-version", "2.21") for i in range(2)]
    pkg = package(tmp_path)
    record = tmp_path / "r.jsonl"
    args = [CLI, "flash", pkg, *ports_args(*(u.link for u in units)), "--record", str(record)]
    r = subprocess.run(args, stdout=subprocess.PIPE, text=True, timeout=60, preexec_fn=lambda: os.close(2))
    assert r.returncode == 0 and r.stdout.splitlines()[-1] == "2 updated, 0 failed"
    # Standard output closed: the outcomes went nowhere, which is no success.
    r = subprocess.run(args, stderr=subprocess.PIPE, text=True, timeout=60, preexec_fn=lambda: os.close(1))
    assert r.returncode == 6, r.stderr
    assert "the outcome could not be written to standard output" in r.stderr and "2 updated" in r.stderr
    _, entries = records(record)  # only records: no progress or outcome text among them
    assert len(entries) == 4


def test_a_quit_signal_during_the_uploads_waits_for_them(plug, tmp_path):
    units = [plug(f"q{i}", "--pacing", "--new-version", "2.21") for i in range(2)]
    pkg = package(tmp_path, body=16384)
    proc = subprocess.Popen([CLI, "flash", pkg, *ports_args(*(u.link for u in units))],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    uploading = set()
    while len(uploading) < 2:  # both past the gate, so the stop lets neither begin nor cuts one
        line = proc.stderr.readline()
        assert line, "no progress before the end"
        if line.endswith("%\n"):
            uploading.add(line.split(": ")[0])
    proc.send_signal(signal.SIGQUIT)
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == 0, err
    assert out.splitlines()[-1] == "2 updated, 0 failed"
    assert "updates are in progress and cannot be stopped" in err
    assert all(u.received_image(16384) == body_of(pkg) for u in units)


def test_more_requests_after_the_stop_change_nothing(plug, tmp_path):
    units = [plug(f"r{i}", "--pacing", "--new-version", "2.21") for i in range(2)]
    pkg = package(tmp_path, body=8192)
    record = tmp_path / "r.jsonl"
    proc = subprocess.Popen([CLI, "flash", pkg, *ports_args(*(u.link for u in units)), "--record", str(record)],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    began = lambda unit: any(line.split(":", 1)[1].split()[:1] == ["66"] for line in open(unit.frames))
    wait_for(lambda: all(began(u) for u in units), 10, "both uploads under way")
    proc.send_signal(signal.SIGINT)
    # Ctrl+C held down, through the end of the uploads and of the program.
    while proc.poll() is None:
        proc.send_signal(signal.SIGINT)
        time.sleep(0.002)
    assert proc.returncode == 0
    assert proc.stdout.read().splitlines()[-1] == "2 updated, 0 failed"
    assert len(records(record)[1]) == 2


def test_outside_text_is_escaped_and_never_forges_a_line(plug, tmp_path):
    unknown = plug("unknown", "--letter", "9")  # answers, with no description
    # A terminal sequence, a byte that is not UTF-8 (0xFF) and a line end that would forge a line.
    forged = str(tmp_path / "x\x1b]0;owned\x07\udcff\n") + unknown.link + ": Update Successful"
    record = tmp_path / "r.jsonl"
    r = run("flash", package(tmp_path), *ports_args(forged, unknown.link), "--record", str(record))
    assert r.returncode == 2
    assert "\x1b" not in r.stdout + r.stderr and "\x07" not in r.stdout + r.stderr
    lines = r.stdout.splitlines()
    assert len(lines) == 3 and lines[-1] == "0 updated, 2 failed"
    shown = forged.replace("\x1b", "\\e").replace("\x07", "\\x07").replace("\n", "\\n").replace("\udcff", "\\xFF")
    assert f"{shown}: not present" in lines
    unusable = "answered without a description, firmware 02.20.9 (cannot be updated by this program)"
    assert f"{unknown.link}: {unusable}" in lines
    # The record stays UTF-8 JSON, one line per attempt.
    assert sorted(e["port"] for e in records(record)[1]) == sorted([forged.replace("\udcff", "\\xFF"),
                                                                    unknown.link])
    r = run("detect", "--port", unknown.link)
    assert r.stderr == f"korvane-update: {unknown.link}: {unusable}\n"


def test_progress_board_never_taller_than_the_terminal(plug, tmp_path):
    units = [plug(f"b{i}", "--pacing", "--new-version", "2.21") for i in range(2)]
    missing = [str(tmp_path / f"none{i}") for i in range(6)]
    status, _, err = run_on_terminal(["flash", package(tmp_path, body=8192),
                                      *ports_args(*(u.link for u in units), *missing)],
                                     rows=5, env=dict(os.environ, TERM="xterm"))
    assert status == 2
    ups = [int(n) for n in re.findall(rb"\x1b\[(\d+)A", err)]
    assert ups and max(ups) <= 4  # five rows: four lines, the cursor on the fifth
    assert b"... 5 more ports: " in err


# --- the record with one device ---------------------------------------------------------------

def test_record_with_one_device_as_today_plus_its_line(plug, tmp_path):
    unit = plug("one", "--new-version", "2.21", "--serial", "414243444546474849")
    pkg = package(tmp_path)
    record = tmp_path / "r.jsonl"
    r = run("flash", pkg, "--port", unit.link, "--record", str(record))
    assert (r.returncode, r.stdout) == (0, SUCCESS + "\n")
    r = run("flash", pkg, "--port", str(tmp_path / "gone"), "--record", str(record))
    assert (r.returncode, r.stdout) == (2, "")
    _, entries = records(record)  # appended, the first line kept
    assert [(e["port"], e["serial"], e["result_name"], e["status"]) for e in entries] == [
        (unit.link, "ABCDEFGHI", "KV_S_OK", 0), (str(tmp_path / "gone"), None, "KV_E_DEVICE_NOT_FOUND", 2)]

    r = run("flash", pkg, "--port", unit.link, "--record", str(tmp_path / "no" / "r.jsonl"))
    assert r.returncode == 1 and "cannot write the record" in r.stderr
    r = run("flash", pkg, "--port", unit.link, "--record", pkg)
    assert r.returncode == 1 and "that is the package" in r.stderr


def test_record_takes_a_regular_file_only_and_never_the_trace(tmp_path):
    pkg = package(tmp_path)
    fifo, folder = tmp_path / "fifo", tmp_path / "folder"
    os.mkfifo(fifo)
    folder.mkdir()
    for target, says in ((fifo, "FIFO"), (folder, "folder"), ("/dev/null", "device")):
        # A FIFO nobody reads must not hold the program up.
        r = run("flash", pkg, "--port", str(tmp_path / "none"), "--record", str(target), timeout=10)
        assert r.returncode == 1 and says in r.stderr and "not a regular file" in r.stderr, r.stderr

    record = tmp_path / "r.jsonl"
    record.write_text('{"kept": true}\n')
    os.symlink(record, tmp_path / "link")
    for trace in (record, tmp_path / "link"):
        r = run("flash", pkg, "--port", str(tmp_path / "none"), "--record", str(record), "--trace=" + str(trace))
        assert r.returncode == 1 and "that is the record" in r.stderr
    assert record.read_text() == '{"kept": true}\n'


def test_record_line_after_a_cut_one_starts_on_a_line_of_its_own(tmp_path):
    record = tmp_path / "r.jsonl"
    record.write_text('{"whole": 1}\n{"cut": ')  # as a run killed in its write leaves it
    missing = str(tmp_path / "none")
    r = run("flash", package(tmp_path), "--port", missing, "--record", str(record))
    assert r.returncode == 2
    lines = record.read_text().split("\n")
    assert lines[:2] == ['{"whole": 1}', '{"cut": '] and lines[3] == ""
    assert json.loads(lines[2])["port"] == missing


def test_record_lines_of_concurrent_runs_stay_whole(tmp_path):
    # A package path that escapes to a line of some 24 KB, longer than any output buffer.
    odd = "\x01" * 200
    os.mkdir(tmp_path / odd)
    pkg = package(tmp_path)
    long_path = str(tmp_path) + f"/{odd}/.." * 19 + "/p.qfw"
    record = tmp_path / "r.jsonl"
    args = ["flash", long_path, "--record", str(record), *ports_args(*(str(tmp_path / f"none{i}") for i in range(4)))]

    # Another run holds the record: this one waits for it, and writes nothing meanwhile.
    with open(record, "a") as other:
        fcntl.flock(other, fcntl.LOCK_EX)
        proc = subprocess.Popen([CLI, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        time.sleep(1.0)
        assert record.stat().st_size == 0
        fcntl.flock(other, fcntl.LOCK_UN)
    assert proc.wait(timeout=30) == 2

    procs = [subprocess.Popen([CLI, *args], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) for _ in range(6)]
    assert [p.wait(timeout=60) for p in procs] == [2] * 6
    lines = record.read_text().splitlines()
    assert len(lines) == 28 and all(len(line) > 20000 for line in lines)
    assert all(json.loads(line)["package"] == long_path for line in lines)


# --- the watch --------------------------------------------------------------------------------

def test_watch_updates_each_unit_plugged_in_and_ends_after_the_upload_on_ctrl_c(plug, tmp_path):
    first, second = str(tmp_path / "s1"), str(tmp_path / "s2")
    pkg = package(tmp_path, body=16384)
    record, out, err = tmp_path / "r.jsonl", tmp_path / "out", tmp_path / "err"
    with open(out, "w") as o, open(err, "w") as e:
        proc = subprocess.Popen([CLI, "flash", pkg, "--watch", *ports_args(first, second),
                                 "--record", str(record)], stdout=o, stderr=e)
    with killed_on_exit(proc):
        wait_for(lambda: text_of(out).count("waiting") == 2, 5, "both ports waiting")
        count = lambda: len(text_of(record).splitlines())

        # A unit that does not answer at first is asked again; one record when it does.
        late = plug("s1", "--pacing", "--new-version", "2.21", "--fault", "any:silence:0:2")
        wait_for(lambda: count() == 1, 20, "the first unit")
        time.sleep(0.8)  # still plugged in: not updated again
        assert count() == 1
        late.unplug()
        wait_for(lambda: text_of(out).count(f"{first}: waiting") == 2, 2.0, "the unplug noticed")

        units = [plug("s1", "--pacing", "--new-version", "2.21"), plug("s2", "--pacing", "--new-version", "2.21")]
        wait_for(lambda: count() == 3, 20, "two more units")
        for unit in units:
            unit.unplug()
        # Gone, as a real unit is for a while before the next is plugged in (a swap within one look
        # can get the same node back, which is the same unit to the watch).
        wait_for(lambda: text_of(out).count(f"{second}: waiting") == 2, 2.0, "the unplug noticed")
        last = plug("s2", "--pacing", "--new-version", "2.21")
        wait_for(lambda: text_of(err).count(f"{second}: 30%") == 2, 20, "the last upload")
        proc.send_signal(signal.SIGINT)
        proc.wait(timeout=20)

    assert proc.returncode == 0
    lines = text_of(out).splitlines()
    assert lines[-2:] == [f"{second}: {SUCCESS}", "4 updated, 0 failed"]
    assert lines.count(f"{first}: {SUCCESS}") == 2 and lines.count(f"{second}: {SUCCESS}") == 2
    assert "updates are in progress and cannot be stopped" in text_of(err)
    assert last.received_image(16384) == body_of(pkg)
    _, entries = records(record)
    assert sorted(e["port"] for e in entries) == [first, first, second, second]
    assert (entries[0]["port"], entries[-1]["port"]) == (first, second)
    assert all(e["status"] == 0 and e["verified"] for e in entries)


def test_watch_asks_a_silent_port_again_and_a_stop_ends_it_at_once(plug, tmp_path):
    port = str(tmp_path / "socket")
    record, out = tmp_path / "r.jsonl", tmp_path / "out"
    with open(out, "w") as o:
        proc = subprocess.Popen([CLI, "flash", package(tmp_path), "--watch", "--port", port, "--record", str(record)],
                                stdout=o, stderr=subprocess.PIPE, text=True)
    with killed_on_exit(proc):
        wait_for(lambda: text_of(out) == f"{port}: waiting\n", 5, "the port waited for")
        silent = plug("socket", "--fault", "any:silence")
        asked = lambda: sum(1 for line in open(silent.frames) if " 115200 ok " in line and ": 56 56" in line)
        wait_for(lambda: asked() >= 2, 10, "the port asked again")
        silent.unplug()
        wait_for(lambda: text_of(out).count("waiting") == 2, 2.0, "the unplug noticed while asking")
        plug("socket", "--fault", "any:silence")
        time.sleep(0.5)  # being asked when the stop comes
        start = time.monotonic()
        proc.send_signal(signal.SIGTERM)
        _, err = proc.communicate(timeout=10)
        assert time.monotonic() - start < 2.0  # not after the asking
    assert proc.returncode == 0
    assert text_of(out) == f"{port}: waiting\n{port}: waiting\n0 updated, 0 failed\n"
    assert record.read_text() == "" and "in progress" not in err


# --- one device is one device; every attempt that began is recorded -----------------------------

def test_two_names_for_one_device_are_a_usage_error_and_the_watch_updates_it_once(plug, tmp_path):
    unit = plug("fixture1", "--pacing", "--new-version", "2.21")
    alias = str(tmp_path / "fixture2")
    os.symlink(os.readlink(unit.link), alias)
    pkg = package(tmp_path)
    r = run("flash", pkg, "--port", unit.link, "--port", alias)
    assert r.returncode == 1 and r.stdout == ""
    assert f"--port {alias} is the same device as --port {unit.link}" in r.stderr
    assert os.path.getsize(unit.frames) == 0  # nothing was sent

    # --all --watch: two nodes of the device folder that are one device.
    devdir = tmp_path / "dev"
    devdir.mkdir()
    os.symlink(os.readlink(unit.link), devdir / "ttyUSB0")
    os.symlink(os.readlink(unit.link), devdir / "ttyUSB1")
    record, out = tmp_path / "r.jsonl", tmp_path / "out"
    with open(out, "w") as o:
        proc = subprocess.Popen([CLI, "flash", pkg, "--all", "--watch", "--record", str(record)], stdout=o,
                                stderr=subprocess.PIPE, text=True, env=dict(os.environ, KV_DEV_DIR=str(devdir)))
    with killed_on_exit(proc):
        wait_for(lambda: len(text_of(record).splitlines()) == 1, 20, "the unit updated")
        time.sleep(2.5)  # several looks at both names
        proc.send_signal(signal.SIGINT)
        proc.communicate(timeout=20)
    _, entries = records(record)
    assert len(entries) == 1 and entries[0]["verified"]
    assert text_of(out).splitlines()[-1] == "1 updated, 0 failed"


def test_a_stop_during_the_package_check_is_recorded(plug, tmp_path):
    # Every EEPROM read answers 250 ms late: once while the device is identified, once for the check.
    unit = plug("slow", "--fault", "H:delay:250")
    record, out = tmp_path / "r.jsonl", tmp_path / "out"
    with open(out, "w") as o:
        proc = subprocess.Popen([CLI, "flash", package(tmp_path), "--port", unit.link, "--port",
                                 str(tmp_path / "absent"), "--record", str(record)], stdout=o,
                                stderr=subprocess.PIPE, text=True)
    with killed_on_exit(proc):
        checks = lambda: sum(1 for line in open(unit.frames) if ": 48 52" in line)
        wait_for(lambda: checks() >= 2, 10, "the package check")
        proc.send_signal(signal.SIGINT)
        proc.communicate(timeout=20)
    assert proc.returncode == 4
    by_port, summary = blocks(text_of(out))
    assert by_port[unit.link] == ["not updated: the run was stopped before its update began"]
    by_record, _ = records(record)
    assert (by_record[unit.link]["result_name"], by_record[unit.link]["status"]) == ("STOPPED", 4)
    assert os.path.getsize(unit.image) == 0 if os.path.exists(unit.image) else True


def test_a_device_gone_during_the_check_is_a_device_error_not_a_rejected_package(plug, tmp_path):
    gone = plug("gone", "--fault", "H:disconnect")
    ok = plug("ok", "--new-version", "2.21")
    record = tmp_path / "r.jsonl"
    r = run("flash", package(tmp_path), "--port", gone.link, "--port", ok.link, "--record", str(record))
    assert r.returncode == 4
    by_record, _ = records(record)
    assert by_record[gone.link]["result_name"] != "REJECTED" and by_record[gone.link]["status"] == 4
    assert by_record[gone.link]["result_name"].startswith("KV_E_")
    assert by_record[ok.link]["verified"]


def test_the_watch_updates_a_unit_swapped_on_a_node_that_stays(plug, tmp_path):
    first, second = "KV0000001".encode().hex(), "KV0000002".encode().hex()
    unit = plug("socket", "--new-version", "2.21", "--serial", first, "--swap-after", "500",
                "--swap-serial", second)
    record = tmp_path / "r.jsonl"
    proc = subprocess.Popen([CLI, "flash", package(tmp_path), "--watch", "--port", unit.link, "--record",
                             str(record)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    with killed_on_exit(proc):
        wait_for(lambda: len(text_of(record).splitlines()) == 2, 20, "the swapped unit updated")
        time.sleep(1.5)  # the second unit stays: not updated again
        proc.send_signal(signal.SIGINT)
        proc.communicate(timeout=20)
    _, entries = records(record)
    assert [e["serial"] for e in entries] == ["KV0000001", "KV0000002"]
    assert all(e["verified"] for e in entries)
    assert unit.events() == ["uploaded 1", "swapped", "uploaded 2"]


def test_a_name_that_was_another_names_unit_takes_over_when_that_name_moves_on(plug, tmp_path):
    # "one" and "two" are links to one node; "one" is later pointed at another unit. The unit left
    # under "two" only is still the updated one until it is swapped, and the swapped one is new.
    first, second, third = ("KV000000" + n for n in "123")
    kept = plug("kept", "--new-version", "2.21", "--serial", first.encode().hex(), "--swap-after", "3000",
                "--swap-serial", second.encode().hex())
    other = plug("other", "--new-version", "2.21", "--serial", third.encode().hex())
    one, two = str(tmp_path / "one"), str(tmp_path / "two")
    record, out = tmp_path / "r.jsonl", tmp_path / "out"
    with open(out, "w") as o:
        proc = subprocess.Popen([CLI, "flash", package(tmp_path), "--watch", *ports_args(one, two), "--record",
                                 str(record)], stdout=o, stderr=subprocess.PIPE, text=True)
    with killed_on_exit(proc):
        # Linked once the watch runs: two names of one node given at the start are refused.
        wait_for(lambda: text_of(out).count("waiting") == 2, 5, "both names waiting")
        os.symlink(os.readlink(kept.link), one)
        os.symlink(os.readlink(kept.link), two)
        count = lambda: len(text_of(record).splitlines())
        wait_for(lambda: count() == 1, 20, "the first unit")
        time.sleep(1.0)
        os.symlink(os.readlink(other.link), one + ".new")
        os.replace(one + ".new", one)
        wait_for(lambda: count() == 3, 20, "the unit now under one and the swapped one under two")
        time.sleep(2.0)  # both stay plugged in: neither is updated again
        proc.send_signal(signal.SIGINT)
        proc.communicate(timeout=20)
    _, entries = records(record)
    assert sorted((e["serial"], e["port"]) for e in entries) == [(first, one), (second, two), (third, one)]
    assert all(e["verified"] for e in entries)
    # One full image for each unit.
    assert kept.events() == ["uploaded 1", "swapped", "uploaded 2"]
    assert other.events() == ["uploaded 1"]

"""korvane-update, the real binary, against the simulated device on pseudo-terminals.

Run with pytest; KV_CLI names the binary and KV_TOOLS the folder holding kvsim and qfwpack.
"""
import fcntl
import grp
import hashlib
import json
import os
import pathlib
import pty
import pwd
import re
import resource
import select
import shutil
import signal
import subprocess
import tempfile
import termios
import time

import pytest

from cli_programs import CLI, KVSIM, VERSION, body_of, needs_programs, package, run, run_on_terminal


pytestmark = needs_programs

MESSAGES = {
    130: "Firmware package checksum mismatch. Package is corrupt.",
    131: "Firmware package not intended for this hardware.",
    132: "Firmware package requires newer updater utility.",
    133: "Firmware package is invalid (Generic Failure).",
    134: "File is not a Quenbyware firmware package.",
    135: "Unable to retrieve hardware ID from attached hardware. Contact HW vendor.",
    136: "Firmware package has been deprecated and cannot be used.",
}


class Device:
    def __init__(self, proc, link, image, frames):
        self.proc, self.link, self.image, self.frames = proc, link, image, frames

    def received_image(self, size, timeout=3.0):
        # kvsim rewrites the image file after each completed upload.
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if os.path.exists(self.image) and os.path.getsize(self.image) == size:
                break
            time.sleep(0.02)
        with open(self.image, "rb") as f:
            return f.read()

    def upload_commands(self):
        with open(self.frames) as f:
            return [line for line in f if line.split(":", 1)[1].split()[:1] == ["66"]]


@pytest.fixture
def device(tmp_path):
    """device(name="dev", *kvsim flags) starts a simulated device linked at tmp_path/name."""
    started = []

    def start(*flags, name="dev"):
        link = str(tmp_path / name)
        image, frames = link + ".image", link + ".frames"
        proc = subprocess.Popen([KVSIM, "--link", link, "--image-out", image, "--frames-log", frames,
                                 *flags], stdout=subprocess.PIPE, text=True)
        started.append(proc)
        proc.stdout.readline()
        assert proc.stdout.readline().strip() == "ready"
        return Device(proc, link, image, frames)

    yield start
    for proc in started:
        proc.terminate()
        proc.wait(timeout=5)





# --- help, version, usage ---------------------------------------------------------------------

def test_help_lists_commands_and_exit_statuses():
    r = run("--help")
    assert r.returncode == 0 and r.stderr == ""
    for text in ("detect [--port PORT] [--json]", "check PACKAGE", "flash PACKAGE", "--trace[=FILE]",
                 "0  done", "1  usage error", "2  no device found", "3  package rejected",
                 "4  update failed", "5  updated, but the device reports another version than the package's",
                 "6  the outcome could not be written", "/dev/ttyS* ports are not probed"):
        assert text in r.stdout


def test_version_is_the_file_version():
    r = run("--version")
    assert VERSION, "KV_VERSION must give the project's version"
    assert (r.returncode, r.stdout) == (0, f"korvane-update {VERSION}\n")


@pytest.mark.parametrize("args, says", [
    ((), "no command given"),
    (("erase",), "unknown command 'erase'"),
    (("detect", "--fast"), "unknown option '--fast'"),
    (("check",), "check needs a PACKAGE"),
    (("detect", "extra"), "unexpected argument 'extra'"),
    (("flash", "p.qfw", "--json"), "--json is for detect and check"),
    (("detect", "--port"), "--port needs a value"),
    (("detect", "--port", "a", "--port=b"), "--port given twice"),
    (("detect", "--port", "--json"), "--port needs a value (got the option '--json')"),
])
def test_usage_errors_exit_1(args, says):
    r = run(*args)
    assert r.returncode == 1 and r.stdout == ""
    assert says in r.stderr and "usage: korvane-update" in r.stderr


# --- detect -----------------------------------------------------------------------------------

def test_detect_text_with_options_before_or_after_the_command(device):
    dev = device("--letter", "O", "--version", "10.15", "--eeprom-id", "X")
    expected = f"Port: {dev.link}\nCurrent Firmware Version: 10.15.O\nHardware Description: Larkin v10.15.O\n"
    for args in (("detect", "--port", dev.link), ("--port=" + dev.link, "detect")):
        r = run(*args)
        assert (r.returncode, r.stdout, r.stderr) == (0, expected, "")


def test_detect_json(device):
    dev = device()
    r = run("--json", "detect", "--port", dev.link)
    assert r.returncode == 0
    assert json.loads(r.stdout) == {
        "port": dev.link, "firmware_version": "02.20.A", "description": "Korvane v2.20.A", "model_id": 4,
        "protocol_generation": 1, "capabilities": 0x153, "hardware_letter": "A", "interface_type": 1,
        "ports": [{"port": dev.link, "state": "answered"}]}


def test_detect_silent_device_exits_2_in_text_and_json(device):
    dev = device("--fault", "any:silence")
    r = run("detect", "--port", dev.link)
    assert r.returncode == 2 and r.stdout == ""
    assert f"{dev.link}: no device answered" in r.stderr
    r = run("detect", "--port", dev.link, "--json")
    assert r.returncode == 2
    assert json.loads(r.stdout) == {"error": f"{dev.link}: no device answered", "exit_status": 2,
                                    "ports": [{"port": dev.link, "state": "silent"}], "adapters": []}


def test_detect_device_of_another_generation_is_not_found(device):
    dev = device("--letter", "1", "--version", "1.34")
    r = run("detect", "--port", dev.link)
    assert r.returncode == 2
    assert (f"{dev.link}: answered: Vellum I v1.34.1, firmware 01.34.1 (cannot be updated by this program)"
            in r.stderr)


def test_detect_without_port_goes_on_past_a_device_it_cannot_update(device, tmp_path):
    devdir = tmp_path / "devdir"
    devdir.mkdir()
    later = device("--letter", "T", name="later")  # a later command set
    korvane = device(name="korvane")
    os.symlink(os.readlink(later.link), devdir / "ttyUSB0")
    os.symlink(os.readlink(korvane.link), devdir / "ttyUSB1")
    r = run("detect", "--trace", env={"KV_DEV_DIR": str(devdir)})
    assert r.returncode == 0, r.stderr
    assert r.stdout.startswith(f"Port: {devdir}/ttyUSB1\n") and "Korvane v2.20.A" in r.stdout
    assert re.search(rf"QBKorvane: Skipping {devdir}/ttyUSB0: .* cannot be updated by this utility", r.stderr)
    r = run("detect", "--json", env={"KV_DEV_DIR": str(devdir)})
    assert [p["state"] for p in json.loads(r.stdout)["ports"]] == ["answered", "answered"]
    os.unlink(devdir / "ttyUSB1")
    r = run("detect", env={"KV_DEV_DIR": str(devdir)})
    assert r.returncode == 2
    assert f"{devdir}/ttyUSB0: answered: " in r.stderr and "(cannot be updated by this program)" in r.stderr


def test_detect_without_port_tries_usb_nodes_in_name_order_and_never_legacy_ports(device, tmp_path):
    devdir = tmp_path / "devdir"
    devdir.mkdir()
    silent = device("--fault", "any:silence", name="silent")
    legacy = device(name="legacy")
    found = device("--letter", "R", "--version", "1.0", name="found")
    later = device(name="later")
    os.symlink(os.readlink(silent.link), devdir / "ttyACM0")
    os.symlink(os.readlink(legacy.link), devdir / "ttyS0")
    os.symlink(os.readlink(found.link), devdir / "ttyUSB2")
    os.symlink(os.readlink(later.link), devdir / "ttyUSB10")
    r = run("detect", env={"KV_DEV_DIR": str(devdir)})
    assert r.returncode == 0, r.stderr
    assert r.stdout.startswith(f"Port: {devdir}/ttyUSB2\n") and "Skyway v1.0.R" in r.stdout
    assert os.path.getsize(silent.frames) > 0
    assert os.path.getsize(legacy.frames) == 0 and os.path.getsize(later.frames) == 0


def test_detect_without_port_and_no_nodes_exits_2(tmp_path):
    r = run("detect", env={"KV_DEV_DIR": str(tmp_path)})
    assert r.returncode == 2
    assert "no device found: no serial port is present (/dev/ttyUSB*, /dev/ttyACM*)" in r.stderr


def test_port_held_by_another_process(device):
    dev = device()
    holder = subprocess.Popen(["python3", "-c", "import fcntl, os, sys, time\n"
                               "fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)\n"
                               "fcntl.flock(fd, fcntl.LOCK_EX)\nprint('held', flush=True)\ntime.sleep(60)",
                               dev.link], stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline().strip() == "held"
        r = run("detect", "--port", dev.link)
        assert r.returncode == 2
        assert f"{dev.link}: in use by another program" in r.stderr
    finally:
        holder.kill()
        holder.wait()


def test_json_strings_are_escaped(device, tmp_path):
    dev = device()
    odd = os.fsencode(str(tmp_path)) + b'/q"b\\s\tn\nx\xff\x01'
    os.symlink(os.readlink(dev.link), odd)
    r = subprocess.run([os.fsencode(CLI), b"detect", b"--json", b"--port", odd], capture_output=True,
                       timeout=30)
    assert r.returncode == 0
    text = r.stdout.decode("utf-8")  # valid UTF-8 even though the name is not
    # The byte that is not UTF-8 as the text output shows it, not replaced: two such names differ.
    assert json.loads(text)["port"] == str(tmp_path) + '/q"b\\s\tn\nx\\xFF\x01'


# --- check ------------------------------------------------------------------------------------

def test_check_accepted_text_and_json(device, tmp_path):
    dev = device()
    pkg = package(tmp_path, "--fw", "2.21", "--letter", "A", "--target", "A")
    r = run("check", pkg, "--port", dev.link)
    assert (r.returncode, r.stdout) == (0, "Update Version: 2.21.A\nTarget Hardware: Korvane\n")
    r = run("check", "--json", "--port", dev.link, pkg)
    assert r.returncode == 0
    assert json.loads(r.stdout) == {"package": pkg, "port": dev.link, "accepted": True, "message_id": 0,
                                    "message": None, "update_version": "2.21.A",
                                    "target_hardware": "Korvane"}


def test_check_target_name_with_ampersand_is_plain(device, tmp_path):
    dev = device("--letter", "F", "--version", "1.0", "--eeprom-id", "F")
    pkg = package(tmp_path, "--fw", "1.1", "--letter", "F", "--target", "F")
    r = run("check", pkg, "--port", dev.link)
    assert (r.returncode, r.stdout) == (0, "Update Version: 1.1.F\nTarget Hardware: Pike & Wren\n")


REJECTIONS = {
    130: ((), ("--bad-checksum",)),
    131: ((), ("--target", "C")),
    132: ((), ("--min-updater", "1.13.102")),
    133: ((), ("--truncate", "100")),
    134: ((), ("--magic", "CQFX")),
    135: (("--fault", "H:silence"), ()),
    136: ((), ("--fw", "2.0", "--letter", "D", "--target", "D")),
}


@pytest.mark.parametrize("message_id", sorted(REJECTIONS))
def test_check_rejected_with_each_message(device, tmp_path, message_id):
    sim_flags, pkg_flags = REJECTIONS[message_id]
    dev = device(*sim_flags)
    pkg = package(tmp_path, *pkg_flags)
    r = run("check", pkg, "--port", dev.link)
    assert (r.returncode, r.stdout) == (3, MESSAGES[message_id] + "\n")
    r = run("check", pkg, "--port", dev.link, "--json")
    assert r.returncode == 3
    assert json.loads(r.stdout) == {"package": pkg, "port": dev.link, "accepted": False,
                                    "message_id": message_id, "message": MESSAGES[message_id],
                                    "update_version": None, "target_hardware": None}


# --- flash ------------------------------------------------------------------------------------

def test_flash_success_byte_exact_with_the_new_version(device, tmp_path):
    dev = device("--new-version", "2.21")
    pkg = package(tmp_path, body=65536)
    r = run("flash", pkg, "--port", dev.link)
    assert r.returncode == 0, r.stderr
    assert r.stdout == "Update Successful. New version is 02.21.A\n"
    assert dev.received_image(65536) == body_of(pkg)
    lines = [l for l in r.stderr.splitlines() if l.startswith("Uploading:")]
    assert [l.split()[1] for l in lines] == [f"{p}%" for p in range(10, 101, 10)]
    assert lines[-1] == "Uploading: 100% (65536 of 65536 bytes)"


def test_flash_progress_is_one_bar_on_a_terminal(device, tmp_path):
    dev = device("--new-version", "2.21")
    pkg = package(tmp_path, body=4096)
    status, out, err = run_on_terminal(["flash", pkg, "--port", dev.link])
    assert status == 0 and out == "Update Successful. New version is 02.21.A\n"
    lines = [l for l in err.decode().split("\n") if " is not signed " not in l]
    bar = lines[1]  # after the "Updating ..." line
    assert bar.startswith("\r[") and "100%  4096/4096 bytes" in bar and "KiB/s" in bar
    assert "Uploading:" not in err.decode()


def test_flash_rejected_package_is_never_sent(device, tmp_path):
    dev = device()
    pkg = package(tmp_path, "--target", "C")
    r = run("flash", pkg, "--port", dev.link)
    assert (r.returncode, r.stdout) == (3, "")
    assert MESSAGES[131] in r.stderr
    assert dev.upload_commands() == []


def test_flash_failing_final_status_exits_4(device, tmp_path):
    dev = device("--final-status", "W")
    pkg = package(tmp_path)
    r = run("flash", pkg, "--port", dev.link)
    assert r.returncode == 4
    assert r.stdout == ("HW Message: Firmware failed during flash process.\n"
                        "You will need to cold-reboot the hardware and try again.\n")


def test_flash_device_silent_mid_upload_exits_4_after_the_answer_wait(device, tmp_path):
    dev = device("--silent-at-chunk", "2")
    pkg = package(tmp_path)
    start = time.monotonic()
    r = run("flash", pkg, "--port", dev.link)
    elapsed = time.monotonic() - start
    assert r.returncode == 4
    assert r.stdout == "HW Message: Update Failed with error: 0xFFFFFFFB (KV_E_COMM_READ_FAILURE)\n"
    assert 6.0 <= elapsed < 12.0  # the 6000 ms answer wait, then the end


def test_flash_without_device_exits_2(device, tmp_path):
    dev = device("--fault", "any:silence")
    r = run("flash", package(tmp_path), "--port", dev.link)
    assert (r.returncode, r.stdout) == (2, "")
    assert dev.upload_commands() == []


def test_stop_signals_during_an_upload_do_not_stop_it(device, tmp_path):
    dev = device("--pacing", "--new-version", "2.21")
    pkg = package(tmp_path, body=16384)  # some 1.5 s on the paced wire
    proc = subprocess.Popen([CLI, "flash", pkg, "--port", dev.link], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    line = ""
    while not line.startswith("Uploading:"):
        line = proc.stderr.readline()
        assert line, "no progress before the end"
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT):
        proc.send_signal(sig)
        time.sleep(0.1)
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == 0
    assert out == "Update Successful. New version is 02.21.A\n"
    assert err.count("a firmware update is in progress and cannot be stopped") == 4
    assert dev.received_image(16384) == body_of(pkg)


def test_stop_signal_before_the_upload_ends_the_program(device, tmp_path):
    dev = device("--speeds", "19200")  # found only by the third probe, some 400 ms in
    proc = subprocess.Popen([CLI, "flash", package(tmp_path), "--port", dev.link],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    time.sleep(0.2)
    proc.send_signal(signal.SIGINT)
    proc.communicate(timeout=10)
    assert proc.returncode == -signal.SIGINT
    assert dev.upload_commands() == []


# --- trace ------------------------------------------------------------------------------------

def test_trace_to_standard_error_and_to_a_file(device, tmp_path):
    dev = device()
    r = run("detect", "--port", dev.link, "--trace")
    assert r.returncode == 0
    assert "QBSerial: Write\n0000: 56 56 " in r.stderr and "QBKorvane: Firmware Version string requested" in r.stderr
    trace = tmp_path / "trace.txt"
    r = run("--trace=" + str(trace), "detect", "--port", dev.link)
    assert r.returncode == 0 and r.stderr == ""
    assert f"QBSerial: Successfully opened {dev.link}" in trace.read_text()
    r = run("detect", "--trace=" + str(tmp_path / "missing" / "t.txt"))
    assert r.returncode == 1 and "cannot write the trace" in r.stderr


def test_flash_device_that_keeps_its_old_version_exits_5(device, tmp_path):
    dev = device("--new-version", "2.20")  # the package holds 2.21.A; a device taking it exits 0 above
    pkg = package(tmp_path)
    r = run("flash", pkg, "--port", dev.link)
    assert r.returncode == 5, r.stderr
    assert r.stdout == ("Update Successful. New version is 02.20.A\n\n"
                        "The device reports 02.20.A, but the package holds 2.21.A. "
                        "If the device does not work as expected, update it again.\n")
    assert dev.received_image(1024) == body_of(pkg)


# --- hostile input: never the wrong device, never a destroyed file, never a silent outcome ------

def frame_lines(dev):
    with open(dev.frames) as f:
        return f.read().splitlines()


def frames_when(dev, ready, timeout=5.0):
    """The device's frame log, each line split in fields, once ready(lines) holds."""
    deadline = time.monotonic() + timeout
    while True:
        lines = [line.split() for line in frame_lines(dev)]
        if ready(lines):
            return lines
        assert time.monotonic() < deadline, "the device did not receive such frames"
        time.sleep(0.01)


def sha256_of(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


NOBODY = ["setpriv", f"--reuid={pwd.getpwnam('nobody').pw_uid}", f"--regid={pwd.getpwnam('nobody').pw_gid}",
          "--clear-groups"]

# Root opens any file and any node whatever its mode, so permissions are tested as another user.
as_nobody = pytest.mark.skipif(os.geteuid() != 0 or shutil.which("setpriv") is None,
                               reason="needs root and setpriv to run the program as the user nobody")


@pytest.fixture
def open_dir():
    """A folder any user may enter (pytest's own are its owner's only)."""
    path = tempfile.mkdtemp(prefix="kv-cli-")
    os.chmod(path, 0o755)
    yield pathlib.Path(path)
    shutil.rmtree(path)


@pytest.mark.parametrize("command", ["detect", "flash"])
def test_port_name_that_does_not_fit_is_refused_and_the_device_at_its_first_259_characters_gets_nothing(
        device, tmp_path, command):
    dev = device("--new-version", "2.21", name="d" * (259 - len(str(tmp_path)) - 1))
    assert len(dev.link) == 259
    args = ("flash", package(tmp_path)) if command == "flash" else ("detect",)
    r = run(*args, "--port", dev.link + "-other")
    assert (r.returncode, r.stdout) == (1, "")
    assert "the port name is too long (265 characters; at most 259)" in r.stderr
    assert frame_lines(dev) == []
    assert run("detect", "--port", dev.link).returncode == 0, "259 characters still fit"


def symlink_to(target, path):
    os.symlink(target, path)
    return str(path)


def hardlink_to(target, path):
    os.link(target, path)
    return str(path)


DEVICE = "that is a terminal or another device, not a file"
TRACE_INTO = {  # what the trace file is: how to make it, and what the refusal says
    "the package": (lambda pkg, dev, d: pkg, "that is the package"),
    "the package through a symbolic link": (lambda pkg, dev, d: symlink_to(pkg, d / "s.qfw"), "that is the package"),
    "the package through a hard link": (lambda pkg, dev, d: hardlink_to(pkg, d / "h.qfw"), "that is the package"),
    "the port through another link": (lambda pkg, dev, d: symlink_to(os.readlink(dev.link), d / "again"),
                                      "that is the port"),
    "the null device": (lambda *_: "/dev/null", DEVICE),
    # A device like the others; a trace file that fills up is tested below.
    "the full device": (lambda *_: "/dev/full", DEVICE),
}


@pytest.mark.parametrize("into", sorted(TRACE_INTO))
def test_trace_into_the_package_the_port_or_a_device_is_refused_before_anything_is_opened(
        device, tmp_path, into):
    dev = device()
    pkg = package(tmp_path)
    digest = sha256_of(pkg)
    make, says = TRACE_INTO[into]
    trace = make(pkg, dev, tmp_path)
    r = run("flash", pkg, "--port", dev.link, "--trace=" + trace)
    assert (r.returncode, r.stdout) == (1, "")
    assert r.stderr == f"korvane-update: --trace={trace}: {says}\n"
    assert sha256_of(pkg) == digest
    assert frame_lines(dev) == []


def read_terminal(master, timeout=10.0):
    """Everything written to the terminal until its last other holder closed it."""
    got = b""
    while select.select([master], [], [], timeout)[0]:
        try:
            chunk = os.read(master, 4096)
        except OSError:  # EIO: nobody holds the other end any more
            break
        if not chunk:
            break
        got += chunk
    return got


def test_trace_into_a_terminal_is_refused_unless_it_is_the_programs_own_standard_error(device):
    dev = device()
    master, slave = pty.openpty()
    name = os.ttyname(slave)
    try:
        r = run("detect", "--port", dev.link, "--trace=" + name)
        assert (r.returncode, r.stdout) == (1, "")
        assert r.stderr == f"korvane-update: --trace={name}: {DEVICE}\n"
        assert frame_lines(dev) == []
        assert select.select([master], [], [], 0.2)[0] == [], "nothing written to the terminal"

        proc = subprocess.Popen([CLI, "detect", "--port", dev.link, "--trace=" + name],
                                stdout=subprocess.PIPE, stderr=slave)
        os.close(slave)
        slave = None
        written = read_terminal(master)
        proc.communicate(timeout=30)
        assert proc.returncode == 0
        assert f"QBSerial: Successfully opened {dev.link}".encode() in written
    finally:
        os.close(master)
        if slave is not None:
            os.close(slave)


def test_trace_that_cannot_be_written_is_said_once_and_the_program_goes_on(device, tmp_path):
    dev = device()
    trace = tmp_path / "trace.txt"

    def no_file_may_grow():  # as on a full disk; standard output and error are pipes
        resource.setrlimit(resource.RLIMIT_FSIZE, (0, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)

    r = subprocess.run([CLI, "detect", "--port", dev.link, "--trace=" + str(trace)], capture_output=True,
                       text=True, timeout=30, preexec_fn=no_file_may_grow)
    assert r.returncode == 0
    assert r.stdout.startswith(f"Port: {dev.link}\n")
    assert r.stderr == "korvane-update: the trace could not be written (File too large); going on without it\n"
    assert trace.stat().st_size == 0


def test_record_past_the_file_size_limit_is_taken_back_and_the_outcome_still_said(device, tmp_path):
    dev = device("--new-version", "2.21")
    pkg = package(tmp_path)
    record = tmp_path / "r.jsonl"
    record.write_text('{"earlier": 1}\n')

    def little_room():  # the next line fits only in part, as on a disk that fills up
        resource.setrlimit(resource.RLIMIT_FSIZE, (100, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))

    r = subprocess.run([CLI, "flash", pkg, "--port", dev.link, "--record", str(record)], capture_output=True,
                       text=True, timeout=60, preexec_fn=little_room)
    assert r.returncode == 6, r.stderr
    assert r.stdout == "Update Successful. New version is 02.21.A\n"
    assert "the record could not be written" in r.stderr and "File too large" in r.stderr
    assert dev.received_image(1024) == body_of(pkg)
    assert record.read_text() == '{"earlier": 1}\n'  # no cut line left


def test_closed_standard_error_never_lets_the_port_take_its_place(device, tmp_path):
    dev = device("--new-version", "2.21")
    pkg = package(tmp_path)
    r = subprocess.run([CLI, "flash", pkg, "--port", dev.link], stdout=subprocess.PIPE, text=True,
                       timeout=60, preexec_fn=lambda: os.close(2))
    assert (r.returncode, r.stdout) == (0, "Update Successful. New version is 02.21.A\n")
    assert dev.received_image(1024) == body_of(pkg)
    with open(dev.frames) as f:
        received = f.read()
    assert " 55 70 64 61 74 69 6E 67 " not in received.upper()  # "Updating"


@pytest.mark.parametrize("args, lost", [
    (("detect", "--port", "PORT"), "Port: PORT\nCurrent Firmware Version: 02.20.A\n"),
    (("detect", "--json", "--port", "PORT"), '{"port": "PORT", "firmware_version": "02.20.A"'),
    (("check", "PACKAGE", "--port", "PORT"), "Update Version: 2.21.A\nTarget Hardware: Korvane"),
    (("--version",), f"korvane-update {VERSION}"),
])
def test_output_that_cannot_be_written_exits_6_and_is_repeated_on_standard_error(device, tmp_path, args, lost):
    dev = device()
    pkg = package(tmp_path)
    args = [a.replace("PORT", dev.link).replace("PACKAGE", pkg) for a in args]
    with open("/dev/full", "w") as full:
        r = subprocess.run([CLI, *args], stdout=full, stderr=subprocess.PIPE, text=True, timeout=30)
    assert r.returncode == 6
    stderr = "".join(l for l in r.stderr.splitlines(keepends=True) if " is not signed " not in l)
    assert stderr.startswith("korvane-update: the outcome could not be written to standard output "
                               "(No space left on device):\n")
    assert lost.replace("PORT", dev.link) in r.stderr


def test_flash_into_a_pipe_nobody_reads_finishes_closes_the_port_and_exits_6(device, tmp_path):
    # Found only at the fast speed, and the first request back to the normal one refused: the
    # device is still fast when the outcome is written, and only the closing step brings it back.
    dev = device("--speeds", "921600", "--fault", "S:question:0:1", "--new-version", "2.21")
    pkg = package(tmp_path, body=4096)
    read_end, write_end = os.pipe()
    os.close(read_end)
    try:
        r = subprocess.run([CLI, "flash", pkg, "--port", dev.link], stdout=write_end, stderr=subprocess.PIPE,
                           text=True, timeout=60)
    finally:
        os.close(write_end)
    assert r.returncode == 6, r.stderr
    assert r.stderr.endswith("korvane-update: the outcome could not be written to standard output "
                             "(Broken pipe):\nUpdate Successful. New version is 02.21.A\n")
    assert dev.received_image(4096) == body_of(pkg)
    # One request back to the normal speed refused during the identification afterwards, then the
    # closing step's.
    lines = frames_when(dev, lambda lines: [l[4:] for l in lines].count(["53", "07", "5A"]) == 2)
    assert lines[-1][1:] == ["921600", "ok", "3:", "53", "07", "5A"]
    assert run("detect", "--port", dev.link).returncode == 0
    after = frames_when(dev, lambda later: len(later) > len(lines))
    assert after[len(lines)][1:3] == ["115200", "ok"], "the device answers at 115200 at once"


@pytest.mark.parametrize("kind, reason", [
    ("missing", "No such file or directory"),
    ("directory", "Is a directory"),
    ("fifo", "Not a regular file"),  # refused without waiting for a writer
])
def test_package_that_cannot_be_read_says_why_before_any_device_is_looked_for(device, tmp_path, kind, reason):
    dev = device()
    path = str(tmp_path / "p.qfw")
    if kind == "directory":
        os.mkdir(path)
    elif kind == "fifo":
        os.mkfifo(path)
    no_nodes = {"KV_DEV_DIR": str(tmp_path / "no-nodes")}
    os.mkdir(no_nodes["KV_DEV_DIR"])
    error = f"cannot read {path}: {reason}"
    for args, env in ((("flash", path, "--port", dev.link), None), (("flash", path), no_nodes),
                      (("check", path), no_nodes)):
        r = run(*args, env=env, timeout=10)
        assert (r.returncode, r.stdout, r.stderr) == (3, "", f"korvane-update: {error}\n"), args
    r = run("check", path, "--json", env=no_nodes, timeout=10)
    assert r.returncode == 3
    assert json.loads(r.stdout) == {"package": path, "error": error, "exit_status": 3}
    assert frame_lines(dev) == []


@as_nobody
def test_package_without_read_permission_says_so_before_any_device_is_looked_for(open_dir):
    pkg = package(open_dir)
    os.chmod(pkg, 0)
    no_nodes = open_dir / "no-nodes"
    no_nodes.mkdir()
    r = subprocess.run([*NOBODY, CLI, "flash", pkg], capture_output=True, text=True, timeout=30,
                       env=dict(os.environ, KV_DEV_DIR=str(no_nodes)))
    assert (r.returncode, r.stdout, r.stderr) == (3, "", f"korvane-update: cannot read {pkg}: Permission denied\n")


@as_nobody
def test_permission_advice_names_the_group_only_when_the_group_may_read_and_write(device):
    node = os.readlink(device().link)
    st = os.stat(node)
    owner = pwd.getpwuid(st.st_uid).pw_name
    group = grp.getgrgid(st.st_gid).gr_name
    owner_only = (f"only its owner, '{owner}', may open it; the udev rules that come with this program, "
                  "60-korvane-update.rules, let the logged-in user open it")
    for mode, advice in ((0o600, owner_only),
                         (0o620, owner_only),  # a terminal's usual mode
                         (0o660, f"the device belongs to group '{group}'; add your user to it and log in again, "
                                 "or install the udev rules that come with this program, 60-korvane-update.rules")):
        os.chmod(node, mode)
        r = subprocess.run([*NOBODY, CLI, "detect", "--port", node], capture_output=True, text=True, timeout=30)
        assert (r.returncode, r.stderr) == (2, f"korvane-update: {node}: this user may not open it ({advice})\n")


def identifying_again(lines):
    """True once a version request has followed the upload command."""
    upload = next((i for i, fields in enumerate(lines) if fields[3:5] == ["4:", "66"]), None)
    return upload is not None and ["2:", "56", "56"] in [fields[3:] for fields in lines[upload:]]


def test_stop_signal_while_the_device_is_identified_again_does_not_stop_the_outcome(device, tmp_path):
    # After the upload every answer comes 80 ms late, which keeps the identification afterwards
    # going long enough to be interrupted in the middle.
    dev = device("--new-version", "2.21", "--answer-delay-after-upload", "80")
    pkg = package(tmp_path)
    proc = subprocess.Popen([CLI, "flash", pkg, "--port", dev.link], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    try:
        frames_when(dev, identifying_again, timeout=30)
        assert proc.poll() is None
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=30)
    finally:
        proc.kill()
        proc.wait()
    assert proc.returncode == 0
    # The version when the late answers were in time, "unknown" when they were not: an outcome either way.
    assert out.startswith("Update Successful. New version is ")
    assert err.count("a firmware update is in progress and cannot be stopped") == 1


def test_terminal_that_is_not_a_device_keeps_its_settings_after_a_probe():
    master, slave = pty.openpty()
    try:
        name = os.ttyname(slave)
        before = termios.tcgetattr(slave)
        r = run("detect", "--port", name)
        assert r.returncode == 2 and f"{name}: no device answered" in r.stderr
        assert termios.tcgetattr(slave) == before
    finally:
        os.close(master)
        os.close(slave)

"""korvane-update, the real binary, against the simulated device on pseudo-terminals.

Run with pytest; KV_CLI names the binary and KV_TOOLS the folder holding kvsim and qfwpack.
"""
import fcntl
import json
import os
import pty
import select
import signal
import subprocess
import time

import pytest

CLI = os.environ.get("KV_CLI", "")
TOOLS = os.environ.get("KV_TOOLS", "")
KVSIM = os.path.join(TOOLS, "kvsim")
QFWPACK = os.path.join(TOOLS, "qfwpack")

pytestmark = pytest.mark.skipif(not (os.access(CLI, os.X_OK) and os.access(KVSIM, os.X_OK)),
                                reason="KV_CLI and KV_TOOLS must name the built programs")

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


def package(tmp_path, *flags, name="p.qfw", body=1024):
    path = str(tmp_path / name)
    subprocess.run([QFWPACK, "--out", path, "--body-size", str(body), *flags], check=True,
                   capture_output=True)
    return path


def body_of(path):
    with open(path, "rb") as f:
        return f.read()[256:]


def run(*args, env=None, timeout=60):
    return subprocess.run([CLI, *args], capture_output=True, text=True, timeout=timeout,
                          env=dict(os.environ, **(env or {})))


# --- help, version, usage ---------------------------------------------------------------------

def test_help_lists_commands_and_exit_statuses():
    r = run("--help")
    assert r.returncode == 0 and r.stderr == ""
    for text in ("detect [--port PORT] [--json]", "check PACKAGE", "flash PACKAGE", "--trace[=FILE]",
                 "0  done", "1  usage error", "2  no device found", "3  package rejected",
                 "4  update failed", "/dev/ttyS* ports are not probed"):
        assert text in r.stdout


def test_version_is_the_file_version():
    r = run("--version")
    assert (r.returncode, r.stdout) == (0, "korvane-update 1.13.101.0\n")


@pytest.mark.parametrize("args, says", [
    ((), "no command given"),
    (("erase",), "unknown command 'erase'"),
    (("detect", "--fast"), "unknown option '--fast'"),
    (("check",), "check needs a PACKAGE"),
    (("detect", "extra"), "unexpected argument 'extra'"),
    (("flash", "p.qfw", "--json"), "--json is for detect and check"),
    (("detect", "--port"), "--port needs a value"),
    (("detect", "--port", "a", "--port=b"), "--port given twice"),
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
        "protocol_generation": 1, "capabilities": 0x153, "hardware_letter": "A", "interface_type": 1}


def test_detect_silent_device_exits_2_in_text_and_json(device):
    dev = device("--fault", "any:silence")
    r = run("detect", "--port", dev.link)
    assert r.returncode == 2 and r.stdout == ""
    assert f"no device answered on {dev.link}" in r.stderr
    r = run("detect", "--port", dev.link, "--json")
    assert r.returncode == 2
    assert json.loads(r.stdout) == {"error": f"no device answered on {dev.link}", "exit_status": 2}


def test_detect_device_of_another_generation_is_not_found(device):
    dev = device("--letter", "1", "--version", "1.34")
    r = run("detect", "--port", dev.link)
    assert r.returncode == 2
    assert f'the device on {dev.link} ("Vellum I v1.34.1") cannot be updated' in r.stderr


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
    assert "no serial ports present (/dev/ttyUSB*, /dev/ttyACM*)" in r.stderr


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
        assert f"cannot open {dev.link}: in use by another program" in r.stderr
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
    assert json.loads(text)["port"] == str(tmp_path) + '/q"b\\s\tn\nx\ufffd\x01'


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
    master, slave = pty.openpty()
    proc = subprocess.Popen([CLI, "flash", pkg, "--port", dev.link], stdout=subprocess.PIPE,
                            stderr=slave, text=True)
    os.close(slave)
    err = b""
    while True:
        ready, _, _ = select.select([master], [], [], 10)
        if not ready:
            break
        try:
            chunk = os.read(master, 4096)
        except OSError:
            break
        if not chunk:
            break
        err += chunk
    os.close(master)
    out, _ = proc.communicate(timeout=30)
    assert proc.returncode == 0 and out == "Update Successful. New version is 02.21.A\n"
    bar = err.decode().split("\n")[1]  # after the "Updating ..." line
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
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        proc.send_signal(sig)
        time.sleep(0.1)
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == 0
    assert out == "Update Successful. New version is 02.21.A\n"
    assert err.count("a firmware update is in progress and cannot be stopped") == 3
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

"""The kvsim and qfwpack commands as other tests start them: flags, the ready line, the link, an upload
of a package written by qfwpack, the frames log, and clean-up on SIGTERM.

Run with pytest; KV_TOOLS names the folder holding kvsim and qfwpack.
"""
import os
import select
import subprocess
import termios
import time
import tty

import pytest

TOOLS = os.environ.get("KV_TOOLS", "")
KVSIM = os.path.join(TOOLS, "kvsim")
QFWPACK = os.path.join(TOOLS, "qfwpack")
VERSION_2_20_A = bytes([2, 20, ord("A")])


@pytest.fixture(autouse=True)
def tools_built():
    for program in (KVSIM, QFWPACK):
        assert os.access(program, os.X_OK), f"KV_TOOLS must name the folder of the built tools: {program}"


def read(fd, n, timeout=1.0):
    got = b""
    end = time.monotonic() + timeout
    while len(got) < n:
        left = end - time.monotonic()
        if left <= 0:
            break
        r, _, _ = select.select([fd], [], [], left)
        if not r:
            break
        try:
            chunk = os.read(fd, n - len(got))
        except OSError:
            break
        if not chunk:
            break
        got += chunk
    return got


def exchange(fd, request, n, timeout=1.0):
    termios.tcflush(fd, termios.TCIOFLUSH)
    os.write(fd, bytes(request))
    return read(fd, n, timeout)


def set_speed(fd, speed):
    attrs = termios.tcgetattr(fd)
    attrs[4] = attrs[5] = speed
    termios.tcsetattr(fd, termios.TCSANOW, attrs)


def write_package(path, body_size=600):
    return subprocess.run([QFWPACK, "--out", str(path), "--fw", "2.21", "--letter", "A", "--target", "A",
                           "--min-updater", "1.13.101", "--body-size", str(body_size), "--seed", "9"],
                          capture_output=True, text=True)


class Sim:
    """A running kvsim: its link, the slave it names, its files, and its exit status once stopped."""

    def __init__(self, tmp_path, *flags):
        self.link = str(tmp_path / "com5")
        self.frames = str(tmp_path / "frames.log")
        self.image = str(tmp_path / "image.bin")
        os.symlink("/nonexistent", self.link)  # an existing link is replaced
        self.proc = subprocess.Popen([KVSIM, "--link", self.link, "--letter", "A", "--version", "2.20",
                                      "--eeprom-id", "A", "--interface", "U", "--frames-log", self.frames,
                                      "--image-out", self.image, *flags],
                                     stdout=subprocess.PIPE, text=True)
        self.slave = self.proc.stdout.readline().strip()
        self.ready = self.proc.stdout.readline().strip()
        self.fd = None

    def open(self, speed=termios.B115200):
        self.fd = os.open(self.link, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)
        set_speed(self.fd, speed)
        return self.fd

    def stop(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None
        if self.proc.poll() is None:
            self.proc.terminate()
        try:
            return self.proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            return None


@pytest.fixture
def sim(tmp_path):
    started = []

    def start(*flags):
        s = Sim(tmp_path, *flags)
        started.append(s)
        return s

    yield start
    for s in started:
        s.stop()


def test_qfwpack_writes_a_package(tmp_path):
    pkg = tmp_path / "t.qfw"
    assert write_package(pkg).returncode == 0
    data = pkg.read_bytes()
    assert len(data) == 856
    assert data[:4] == b"CQFW" and data[12:15] == bytes([2, 21, ord("A")])
    body = data[256:]
    assert body[-1] == sum(body[:-1]) % 256, "body trailer"
    assert int.from_bytes(data[8:12], "little") == sum(data[12:]) % 2**32, "file sum"


def test_qfwpack_refuses_a_bad_value(tmp_path):
    assert subprocess.run([QFWPACK, "--out", str(tmp_path / "t.qfw"), "--fw", "x"],
                          capture_output=True).returncode == 2


def test_kvsim_says_ready_and_links_its_slave(sim):
    s = sim()
    assert s.ready == "ready"
    assert os.readlink(s.link) == s.slave


def test_kvsim_answers_at_each_of_its_speeds(sim):
    s = sim("--speeds", "115200,921600")
    fd = s.open()
    assert exchange(fd, b"VV", 3) == VERSION_2_20_A
    assert exchange(fd, [0x48, 0x52, 7, 0, 1, 0xA2], 8)[:4] == b"A\0\0U", "EEPROM id and interface"
    set_speed(fd, termios.B921600)
    assert exchange(fd, b"VV", 3) == VERSION_2_20_A


def test_kvsim_fault_with_a_count_is_used_up(sim):
    fd = sim("--fault", "N:question:0:1").open()
    assert exchange(fd, [0x4E, 0x53, 0xA1], 10, 0.2) == b"?"
    assert len(exchange(fd, [0x4E, 0x53, 0xA1], 10)) == 10


def test_kvsim_takes_an_upload_of_a_qfwpack_package(sim, tmp_path):
    pkg = tmp_path / "t.qfw"
    assert write_package(pkg).returncode == 0
    body = pkg.read_bytes()[256:]
    s = sim("--final-status", "C", "--new-version", "2.21", "--chunk-answer", "1=X")
    fd = s.open()
    n = len(body)
    cmd = [0x66, n >> 8, n & 0xFF]
    cmd.append(sum(cmd) % 256)
    assert exchange(fd, cmd, 1) == b"O", "upload command acknowledged"
    answers = b""
    trailer = sum(body) % 256
    for at in range(0, n, 256):
        chunk = body[at:at + 256]
        if at + 256 >= n:
            chunk += bytes([trailer])
        os.write(fd, chunk)
        answers += read(fd, 1)
    answers += read(fd, 1)
    assert answers == b"OXOC", "chunk answers and final status"
    assert exchange(fd, b"VV", 3) == bytes([2, 21, ord("A")]), "new version after the upload"
    # kvsim rewrites the image file after each completed upload.
    deadline = time.monotonic() + 2
    while time.monotonic() < deadline and not (os.path.exists(s.image) and os.path.getsize(s.image) == n):
        time.sleep(0.02)
    with open(s.image, "rb") as f:
        assert f.read() == body, "image written byte-exact"


def test_kvsim_ends_cleanly_on_sigterm_and_keeps_its_frames_log(sim):
    s = sim()
    fd = s.open()
    assert exchange(fd, b"VV", 3) == VERSION_2_20_A
    assert s.stop() == 0
    assert not os.path.lexists(s.link), "link removed"
    with open(s.frames) as f:
        lines = f.read().splitlines()
    assert lines and lines[0].split()[1:] == ["115200", "ok", "2:", "56", "56"]


def test_kvsim_replaces_only_links(tmp_path):
    plain = tmp_path / "plain"
    plain.touch()
    r = subprocess.run([KVSIM, "--link", str(plain)], capture_output=True, timeout=5)
    assert r.returncode == 1
    assert plain.is_file()

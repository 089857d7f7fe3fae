#!/usr/bin/env python3
"""The kvsim and qfwpack commands as other tests start them: flags, the ready line, the link,
an upload of a package written by qfwpack, the frames log, and clean-up on SIGTERM."""
import os
import select
import subprocess
import sys
import tempfile
import termios
import time
import tty

KVSIM, QFWPACK = sys.argv[1], sys.argv[2]
failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print("FAIL:", what)


def exchange(fd, request, n, timeout=1.0):
    termios.tcflush(fd, termios.TCIOFLUSH)
    os.write(fd, bytes(request))
    return read(fd, n, timeout)


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


def set_speed(fd, speed):
    attrs = termios.tcgetattr(fd)
    attrs[4] = attrs[5] = speed
    termios.tcsetattr(fd, termios.TCSANOW, attrs)


with tempfile.TemporaryDirectory() as tmp:
    pkg = os.path.join(tmp, "t.qfw")
    r = subprocess.run([QFWPACK, "--out", pkg, "--fw", "2.21", "--letter", "A", "--target", "A",
                        "--min-updater", "1.13.101", "--body-size", "600", "--seed", "9"],
                       capture_output=True, text=True)
    check(r.returncode == 0, "qfwpack writes a package")
    data = open(pkg, "rb").read()
    check(len(data) == 856 and data[:4] == b"CQFW" and data[12:15] == bytes([2, 21, ord("A")]),
          "package header and size")
    body = data[256:]
    check(body[-1] == sum(body[:-1]) % 256, "body trailer")
    check(int.from_bytes(data[8:12], "little") == sum(data[12:]) % 2**32, "file sum")
    bad = subprocess.run([QFWPACK, "--out", pkg, "--fw", "x"], capture_output=True)
    check(bad.returncode == 2, "qfwpack refuses a bad value")

    link = os.path.join(tmp, "com5")
    os.symlink("/nonexistent", link)  # an existing link is replaced
    frames = os.path.join(tmp, "frames.log")
    image = os.path.join(tmp, "image.bin")
    sim = subprocess.Popen([KVSIM, "--link", link, "--letter", "A", "--version", "2.20", "--eeprom-id", "A",
                            "--interface", "U", "--speeds", "115200,921600", "--final-status", "C",
                            "--new-version", "2.21", "--chunk-answer", "1=X", "--frames-log", frames,
                            "--image-out", image, "--fault", "N:question:0:1"],
                           stdout=subprocess.PIPE, text=True)
    try:
        slave = sim.stdout.readline().strip()
        check(sim.stdout.readline().strip() == "ready", "ready line")
        check(os.readlink(link) == slave, "link points at the slave")
        fd = os.open(link, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(fd)
        set_speed(fd, termios.B115200)
        check(exchange(fd, b"VV", 3) == bytes([2, 20, ord("A")]), "version reply")
        check(exchange(fd, [0x48, 0x52, 7, 0, 1, 0xA2], 8)[:4] == b"A\0\0U", "EEPROM id and interface")
        check(exchange(fd, [0x4E, 0x53, 0xA1], 10, 0.2) == b"?", "fault with count 1")
        check(len(exchange(fd, [0x4E, 0x53, 0xA1], 10)) == 10, "fault used up")
        set_speed(fd, termios.B921600)
        check(exchange(fd, b"VV", 3) == bytes([2, 20, ord("A")]), "answers at the second speed")
        set_speed(fd, termios.B115200)

        n = len(body)
        cmd = [0x66, n >> 8, n & 0xFF]
        cmd.append(sum(cmd) % 256)
        check(exchange(fd, cmd, 1) == b"O", "upload command acknowledged")
        answers = b""
        trailer = sum(body) % 256
        for at in range(0, n, 256):
            chunk = body[at:at + 256]
            if at + 256 >= n:
                chunk += bytes([trailer])
            os.write(fd, chunk)
            answers += read(fd, 1)
        answers += read(fd, 1)
        check(answers == b"OXOC", "chunk answers and final status: %r" % answers)
        check(exchange(fd, b"VV", 3) == bytes([2, 21, ord("A")]), "new version after the upload")
        os.close(fd)
        deadline = time.monotonic() + 2
        while time.monotonic() < deadline and not (os.path.exists(image) and os.path.getsize(image) == n):
            time.sleep(0.02)
        check(open(image, "rb").read() == body, "image written byte-exact")
    finally:
        sim.terminate()
        try:
            rc = sim.wait(timeout=5)
        except subprocess.TimeoutExpired:
            sim.kill()
            rc = None
    check(rc == 0, "kvsim ends cleanly on SIGTERM")
    check(not os.path.lexists(link), "link removed")
    lines = open(frames).read().splitlines()
    check(lines and lines[0].split()[1:] == ["115200", "ok", "2:", "56", "56"], "frames log line")

    # Only links are replaced: a real file at the link path is kept and kvsim refuses.
    plain = os.path.join(tmp, "plain")
    open(plain, "w").close()
    r = subprocess.run([KVSIM, "--link", plain], capture_output=True, timeout=5)
    check(r.returncode == 1 and os.path.isfile(plain), "a plain file is not replaced")

print("kvsim/qfwpack CLI:", "FAILED " + ", ".join(failures) if failures else "passed")
sys.exit(1 if failures else 0)

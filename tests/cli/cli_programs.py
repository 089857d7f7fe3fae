"""What the command line's pytest files share: the programs under test, as ctest names them
(KV_CLI the binary, KV_TOOLS the folder holding kvsim and qfwpack, KV_VERSION the project's version),
and running them."""
import contextlib
import fcntl
import os
import pty
import select
import signal
import struct
import subprocess
import termios

import pytest

CLI = os.environ.get("KV_CLI", "")
TOOLS = os.environ.get("KV_TOOLS", "")
KVSIM = os.path.join(TOOLS, "kvsim")
QFWPACK = os.path.join(TOOLS, "qfwpack")
VERSION = os.environ.get("KV_VERSION", "")

# Started as a background job of a script, these tests would pass SIGINT and SIGQUIT on ignored,
# and the program rightly keeps a signal it was started with ignored; the tests stand for an
# operator at a terminal.
for _sig, _handler in ((signal.SIGINT, signal.default_int_handler), (signal.SIGQUIT, signal.SIG_DFL),
                       (signal.SIGHUP, signal.SIG_DFL), (signal.SIGTERM, signal.SIG_DFL)):
    if signal.getsignal(_sig) == signal.SIG_IGN:
        signal.signal(_sig, _handler)

needs_programs = pytest.mark.skipif(not (os.access(CLI, os.X_OK) and os.access(KVSIM, os.X_OK)),
                                    reason="KV_CLI and KV_TOOLS must name the built programs")


def package(tmp_path, *flags, name="p.qfw", body=1024):
    path = str(tmp_path / name)
    subprocess.run([QFWPACK, "--out", path, "--body-size", str(body), *flags], check=True,
                   capture_output=True)
    return path


def body_of(path):
    with open(path, "rb") as f:
        return f.read()[256:]


def run(*args, env=None, timeout=60, **kwargs):
    # The machine's own USB adapters stay out of the answers unless a test sets up a sysfs tree.
    return subprocess.run([CLI, *args], capture_output=True, text=True, timeout=timeout,
                          env={**os.environ, "KV_SYSFS_DIR": "/nonexistent/kv-sys", **(env or {})}, **kwargs)


@contextlib.contextmanager
def killed_on_exit(proc):
    """The started process, killed and reaped if the block is left while it still runs (an
    assertion or a time-out failed), so that no test leaves a program behind."""
    try:
        yield proc
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def run_on_terminal(args, rows=None, env=None):
    """The program with standard error on a pseudo-terminal (ROWS lines high when given); returns its
    exit status, its standard output and every byte the terminal received."""
    master, slave = pty.openpty()
    if rows is not None:
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", rows, 80, 0, 0))
    proc = subprocess.Popen([CLI, *args], stdout=subprocess.PIPE, stderr=slave, text=True, env=env)
    os.close(slave)
    err = b""
    while select.select([master], [], [], 10)[0]:
        try:
            chunk = os.read(master, 4096)
        except OSError:
            break
        if not chunk:
            break
        err += chunk
    os.close(master)
    out, _ = proc.communicate(timeout=30)
    return proc.returncode, out, err

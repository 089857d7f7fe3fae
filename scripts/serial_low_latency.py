#!/usr/bin/env python3
"""Asks a serial node for low latency for a session, and puts back what was there before.

    serial_low_latency.py on NODE               prints the state to hand to restore
    serial_low_latency.py restore NODE STATE

A USB serial adapter holds short replies back for its latency timer (16 ms on FTDI chips), and
every chunk of an upload waits for a one-byte answer. First the driver's low-latency flag
(TIOCSSERIAL with ASYNC_LOW_LATENCY, which anyone who may open the port may set, as the
command-line updater does); where the driver refuses it, the adapter's latency_timer in sysfs
(root only). States: "flag" and "timer N" are undone by restore; "kept" (already low) and "none"
(neither took) leave nothing to undo. KV_SYSFS_DIR stands a made-up tree in for /sys (tests).
"""
import fcntl
import os
import struct
import sys
import termios

TIOCGSERIAL = getattr(termios, "TIOCGSERIAL", 0x541E)
TIOCSSERIAL = getattr(termios, "TIOCSSERIAL", 0x541F)
ASYNC_LOW_LATENCY = 1 << 13
FLAGS_OFFSET = 16  # int type, int line, unsigned port, int irq, then int flags
FAST_TIMER_MS = 1


def say(text):
    print(f"serial_low_latency: {text}", file=sys.stderr)


def timer_path(node):
    """The adapter's latency_timer: by the name of the node a link such as /dev/serial/by-id/...
    leads to, else by the name given."""
    sysfs = os.environ.get("KV_SYSFS_DIR") or "/sys"
    paths = [os.path.join(sysfs, "class", "tty", os.path.basename(name), "device", "latency_timer")
             for name in (os.path.realpath(node), node)]
    return next((path for path in paths if os.path.exists(path)), paths[0])


def with_flag(node, change):
    """Applies change(flags) -> flags through TIOCGSERIAL/TIOCSSERIAL; the flags read back, or
    None when the driver has no such setting or refuses it."""
    try:
        fd = os.open(node, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError:
        return None
    try:
        # Larger than any serial_struct: the kernel copies only its own size.
        buffer = bytearray(256)
        fcntl.ioctl(fd, TIOCGSERIAL, buffer)
        (flags,) = struct.unpack_from("i", buffer, FLAGS_OFFSET)
        wanted = change(flags)
        if wanted != flags:
            struct.pack_into("i", buffer, FLAGS_OFFSET, wanted)
            fcntl.ioctl(fd, TIOCSSERIAL, buffer)
            fcntl.ioctl(fd, TIOCGSERIAL, buffer)
            (flags,) = struct.unpack_from("i", buffer, FLAGS_OFFSET)
        return flags
    except OSError:
        return None
    finally:
        os.close(fd)


def read_timer(path):
    try:
        with open(path) as f:
            return int(f.readline().strip())
    except (OSError, ValueError):
        return None


def write_timer(path, value):
    try:
        with open(path, "w") as f:
            f.write(f"{value}\n")
        return True
    except OSError:
        return False


def turn_on(node):
    before = with_flag(node, lambda flags: flags)
    if before is not None and before & ASYNC_LOW_LATENCY:
        say(f"{node} already passes short replies on at once")
        return "kept"
    after = with_flag(node, lambda flags: flags | ASYNC_LOW_LATENCY)
    if after is not None and after & ASYNC_LOW_LATENCY:
        say(f"{node}: low latency for this session (the driver's flag); put back at the end")
        return "flag"
    path = timer_path(node)
    timer = read_timer(path)
    if timer is None:
        say(f"{node}: the driver has no low-latency setting; replies come as it sends them")
        return "none"
    if timer <= FAST_TIMER_MS:
        say(f"{node}: the adapter's latency timer is {timer} ms already")
        return "kept"
    if not write_timer(path, FAST_TIMER_MS) or read_timer(path) != FAST_TIMER_MS:
        say(f"{node}: the adapter's latency timer is {timer} ms and could not be set to {FAST_TIMER_MS} ms "
            f"(as root: echo {FAST_TIMER_MS} > {path}); updates run slower")
        return "none"
    say(f"{node}: the adapter's latency timer is {FAST_TIMER_MS} ms for this session (was {timer} ms); "
        "put back at the end")
    return f"timer {timer}"


def restore(node, state):
    words = state.split()
    if words == ["flag"]:
        if with_flag(node, lambda flags: flags & ~ASYNC_LOW_LATENCY) is None:
            say(f"{node}: the low-latency flag could not be cleared (the adapter may be gone)")
            return 1
    elif len(words) == 2 and words[0] == "timer" and words[1].isdigit():
        if not write_timer(timer_path(node), int(words[1])):
            say(f"{node}: the latency timer could not be put back to {words[1]} ms")
            return 1
    elif words not in (["kept"], ["none"]):
        say(f"unknown state '{state}'")
        return 2
    return 0


def main(argv):
    if len(argv) == 3 and argv[1] == "on":
        print(turn_on(argv[2]))
        return 0
    if len(argv) == 4 and argv[1] == "restore":
        return restore(argv[2], argv[3])
    print(__doc__.split("\n\n")[1], file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))

#!/usr/bin/env python3
"""Watches device nodes for opens, from outside the program under test.

    count_opens.py OUT NODE...

Prints "watching" once the watches stand, then, when SIGTERM arrives, writes one line
"NODE COUNT" per node to OUT. The kernel merges an open into the event before it while that one
is unread, so COUNT says whether a node was opened (0 or more), not how often.
"""
import ctypes
import os
import select
import signal
import struct
import sys

IN_OPEN = 0x20


def main():
    out, nodes = sys.argv[1], sys.argv[2:]
    libc = ctypes.CDLL(None, use_errno=True)
    fd = libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
    if fd < 0:
        sys.exit("count_opens: inotify_init1 failed")
    watches = {}
    for node in nodes:
        wd = libc.inotify_add_watch(fd, os.fsencode(node), IN_OPEN)
        if wd < 0:
            sys.exit(f"count_opens: cannot watch {node}")
        watches[wd] = node
    counts = {node: 0 for node in nodes}
    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(True))
    print("watching", flush=True)

    def drain():
        while True:
            try:
                data = os.read(fd, 4096)
            except BlockingIOError:
                return
            at = 0
            while at + 16 <= len(data):
                wd, mask, _cookie, length = struct.unpack_from("iIII", data, at)
                if mask & IN_OPEN and wd in watches:
                    counts[watches[wd]] += 1
                at += 16 + length

    while not stop:
        try:
            select.select([fd], [], [], 0.2)
        except InterruptedError:
            pass
        drain()
    drain()
    with open(out, "w") as f:
        for node in nodes:
            f.write(f"{node} {counts[node]}\n")


if __name__ == "__main__":
    main()

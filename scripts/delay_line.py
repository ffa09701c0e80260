#!/usr/bin/env python3
"""A delay line between two private network namespaces, without any qdisc.

usage: delay_line.py NAME [--delay-ms D] [--net 10.77.N]

Creates the namespaces NAMEa and NAMEb, each with a TUN device (qvdl0): 10.77.N.1/30 in NAMEa,
10.77.N.2/30 in NAMEb. Every packet read from one device is written to the other D ms later
(20 by default, so a round trip takes about 2 D), in order. Prints one line
  ready NAMEa NAMEb 10.77.N.1 10.77.N.2
when both sides are up, then forwards until SIGTERM or SIGINT, and deletes both namespaces on
the way out (on a failure too). Needs CAP_NET_ADMIN and CAP_SYS_ADMIN (ip netns, setns).

Programs join a side with `ip netns exec NAMEa ...`. Only the Python standard library is used.
"""
import argparse
import collections
import ctypes
import fcntl
import os
import select
import signal
import struct
import subprocess
import sys
import time

TUNSETIFF = 0x400454CA
IFF_TUN = 0x0001
IFF_NO_PI = 0x1000
CLONE_NEWNET = 0x40000000
DEVICE = "qvdl0"
# A backlog this deep at 3 Mbit/s and 20 ms means the forwarder stopped keeping up; packets past
# it are dropped as a full link would, rather than the queue growing without bound.
MAX_QUEUED = 20000

libc = ctypes.CDLL(None, use_errno=True)


def setns(fd):
    if libc.setns(fd, CLONE_NEWNET) != 0:
        err = ctypes.get_errno()
        raise OSError(err, "setns: " + os.strerror(err))


def ip(*args):
    r = subprocess.run(["ip", *args], capture_output=True, text=True, timeout=10)
    if r.returncode != 0:
        raise RuntimeError("ip %s: %s" % (" ".join(args), r.stderr.strip()))


def open_tun_in(namespace):
    """The TUN device belongs to the namespace the opening thread is in."""
    home = os.open("/proc/self/ns/net", os.O_RDONLY)
    target = os.open("/run/netns/" + namespace, os.O_RDONLY)
    try:
        setns(target)
        try:
            fd = os.open("/dev/net/tun", os.O_RDWR | os.O_CLOEXEC)
            fcntl.ioctl(fd, TUNSETIFF, struct.pack("16sH", DEVICE.encode(), IFF_TUN | IFF_NO_PI))
        finally:
            setns(home)
    finally:
        os.close(target)
        os.close(home)
    os.set_blocking(fd, False)
    return fd


def forward(fds, delay, stopping):
    """fds: the two devices. Each direction keeps a FIFO of (due time, packet)."""
    queues = {fds[0]: collections.deque(), fds[1]: collections.deque()}  # by destination
    other = {fds[0]: fds[1], fds[1]: fds[0]}
    while not stopping():
        now = time.monotonic()
        for dst, q in queues.items():
            while q and q[0][0] <= now:
                _, packet = q.popleft()
                try:
                    os.write(dst, packet)
                except OSError:
                    pass  # the device is going down, or the packet was refused: as a lost one
        due = [q[0][0] for q in queues.values() if q]
        timeout = max(0.0, min(due) - time.monotonic()) if due else 0.2
        try:
            readable, _, _ = select.select(fds, [], [], timeout)
        except InterruptedError:
            continue
        arrived = time.monotonic()
        for src in readable:
            for _ in range(64):
                try:
                    packet = os.read(src, 65536)
                except (BlockingIOError, InterruptedError):
                    break
                q = queues[other[src]]
                if len(q) < MAX_QUEUED:
                    q.append((arrived + delay, packet))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("name")
    parser.add_argument("--delay-ms", type=float, default=20.0)
    parser.add_argument("--net", default="10.77.%d" % (os.getpid() % 250))
    args = parser.parse_args()
    sides = (args.name + "a", args.name + "b")
    addresses = (args.net + ".1", args.net + ".2")

    stop = {"now": False}

    def on_signal(signo, frame):
        stop["now"] = True

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)

    made = []
    fds = []
    code = 0
    try:
        for side in sides:
            ip("netns", "add", side)
            made.append(side)
        for side, address in zip(sides, addresses):
            fds.append(open_tun_in(side))
            ip("-n", side, "link", "set", "lo", "up")
            ip("-n", side, "addr", "add", address + "/30", "dev", DEVICE)
            ip("-n", side, "link", "set", DEVICE, "up")
        print("ready %s %s %s %s" % (sides[0], sides[1], addresses[0], addresses[1]), flush=True)
        forward(fds, args.delay_ms / 1000.0, lambda: stop["now"])
    except Exception as e:  # any failure still removes what was made
        print("delay_line: %s" % e, file=sys.stderr, flush=True)
        code = 2
    finally:
        for fd in fds:
            os.close(fd)
        for side in made:
            subprocess.run(["ip", "netns", "del", side], capture_output=True, timeout=10)
    return code


if __name__ == "__main__":
    sys.exit(main())

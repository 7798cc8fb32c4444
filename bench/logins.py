#!/usr/bin/env python3
"""A storm of named users' logins beside an interactive bridge: the round
trip of one byte through a "p" bridge to a pseudo-terminal, alone and while
--clients connections log in over and over (half with a wrong password),
and the logins per second the server answered meanwhile.

    python3 bench/logins.py --velkor build/velkor

A password check is PBKDF2 with passlib's 29000 rounds: the server does a
bounded part of all checks under way each turn, so the bridge's round trip
should stay within about a millisecond of its quiet figure.  Figures go to
standard output, progress to standard error.
"""
import argparse
import os
import select
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "tests", "support"))
from velkor_support import Pty, free_port, read_line, wait_listening  # noqa: E402

PASSWORD = b"storm password"


def round_trips(client, pty, count):
    """Milliseconds each of count one-byte round trips took: client ->
    port, echoed by this side, port -> client."""
    times = []
    for i in range(count):
        b = bytes([65 + i % 26])
        start = time.perf_counter()
        client.sendall(b)
        # Waited for with select: a polling read would add its own sleeps.
        if not select.select([pty.master], [], [], 10)[0]:
            sys.exit("the port got nothing")
        got = os.read(pty.master, 1)
        os.write(pty.master, got)
        back = client.recv(1)
        times.append((time.perf_counter() - start) * 1000)
        if back != b:
            sys.exit("the bridge lost a byte")
        time.sleep(0.002)
    return times


def login(port, password):
    s = socket.create_connection(("127.0.0.1", port), timeout=30)
    try:
        read_line(s)
        s.sendall(b"ann " + password + b"\r\n")
        return read_line(s)
    finally:
        s.close()


def storm(port, stop, count, wrong):
    while not stop.is_set():
        reply = login(port, b"not it" if wrong else PASSWORD)
        if reply not in (b".\r\n", b"! wrong identifier\r\n"):
            sys.exit("a login got %r" % reply)
        count[0] += 1


def summary(times):
    times = sorted(times)
    return (statistics.median(times), times[int(len(times) * 0.99) - 1], times[-1])


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--velkor", default="build/velkor")
    ap.add_argument("--clients", type=int, default=8)
    ap.add_argument("--samples", type=int, default=500)
    args = ap.parse_args()

    d = tempfile.TemporaryDirectory()
    pty = Pty(os.path.join(d.name, "COM1"))
    hashed = subprocess.run([args.velkor, "-P"], input=PASSWORD + b"\n", capture_output=True,
                            check=True).stdout.decode().strip()
    users = os.path.join(d.name, "users")
    with open(users, "w") as f:
        f.write("ann:%s:write=*\n" % hashed)
    port = free_port()
    server = subprocess.Popen([args.velkor, "-p%d" % port, "-b", "-U" + users],
                              env=dict(os.environ, VELKOR_PORTS=d.name),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        if not wait_listening(port, 10):
            sys.exit("velkor did not start")
        client = socket.create_connection(("127.0.0.1", port))
        client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        read_line(client)
        client.sendall(b"ann " + PASSWORD + b"\r\n")
        assert read_line(client) == b".\r\n"
        client.sendall(b"p COM1 115200\n")
        assert read_line(client) == b".\r\n"

        print("quiet round trips...", file=sys.stderr)
        quiet = summary(round_trips(client, pty, args.samples))
        stop = threading.Event()
        counts = [[0] for _ in range(args.clients)]
        threads = [threading.Thread(target=storm, args=(port, stop, counts[i], i % 2 == 1),
                                    daemon=True) for i in range(args.clients)]
        for t in threads:
            t.start()
        time.sleep(0.5)
        print("round trips under a storm of %d login clients..." % args.clients,
              file=sys.stderr)
        start = time.monotonic()
        before = sum(c[0] for c in counts)
        loaded = summary(round_trips(client, pty, args.samples))
        rate = (sum(c[0] for c in counts) - before) / (time.monotonic() - start)
        stop.set()
        for t in threads:
            t.join(timeout=30)
        print("round trip, quiet:               p50 %.3f ms  p99 %.3f ms  max %.3f ms" % quiet)
        print("round trip, %2d clients logging in: p50 %.3f ms  p99 %.3f ms  max %.3f ms"
              % ((args.clients,) + loaded))
        print("logins answered meanwhile: %.1f a second (29000 rounds each)" % rate)
    finally:
        server.send_signal(2)
        server.wait(timeout=10)
        pty.close()
        d.cleanup()


if __name__ == "__main__":
    main()

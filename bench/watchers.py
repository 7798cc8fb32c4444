#!/usr/bin/env python3
"""Shared port figures: the port's bytes per second to its writer ("p") with
no watchers, and with 8 watchers ("w") of which one never reads.

    python3 bench/watchers.py --velkor build/velkor

The port is a pseudo-terminal; this side writes the bytes into it.  Each
figure is the median of --rounds runs, each on a fresh server; the writer's
bytes are checked whole and in order, and the stalled watcher must have been
dropped.  Figures go to standard output, progress to standard error.
"""
import argparse
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "tests", "support"))
from velkor_support import (Pty, command, free_port, proc_field,  # noqa: E402
                            wait_listening, write_all)


def client(port, line, rcvbuf=0):
    s = socket.socket()
    if rcvbuf:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    s.connect(("127.0.0.1", port))
    # LF alone: after a CR the LF would reach the port as the first raw byte.
    return command(s, b"wobex", line + b"\n")


def drain(sock, counter):
    while True:
        try:
            got = sock.recv(1 << 20)
        except OSError:
            return
        if not got:
            return
        counter[0] += len(got)


def rss_kib(pid):
    return proc_field(pid, "status", "VmRSS")


def one_run(velkor, data, watchers, stalled):
    ports = tempfile.TemporaryDirectory()
    com1 = Pty(os.path.join(ports.name, "COM1"))
    port = free_port()
    server = subprocess.Popen([velkor, "-p%d" % port, "-b"],
                              env=dict(os.environ, VELKOR_PORTS=ports.name),
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    socks = []
    try:
        if not wait_listening(port, 10):
            sys.exit("velkor did not start")
        writer = client(port, b"p COM1 115200")
        socks.append(writer)
        counters = []
        for i in range(watchers):
            w = client(port, b"w COM1", rcvbuf=16384 if i < stalled else 0)
            socks.append(w)
            if i >= stalled:
                c = [0]
                counters.append(c)
                threading.Thread(target=drain, args=(w, c), daemon=True).start()
        before = rss_kib(server.pid)
        peak = [before]
        done = threading.Event()

        def sample():
            while not done.is_set():
                peak[0] = max(peak[0], rss_kib(server.pid))
                time.sleep(0.02)

        threading.Thread(target=sample, daemon=True).start()
        got = bytearray()
        start = time.monotonic()
        threading.Thread(target=write_all, args=(com1.master, data),
                         kwargs=dict(pause=0.0005), daemon=True).start()
        while len(got) < len(data):
            chunk = writer.recv(1 << 20)
            if not chunk:
                break
            got += chunk
        elapsed = time.monotonic() - start
        done.set()
        if bytes(got) != data:
            sys.exit("the writer's bytes differ from what the port sent")
        # Every watcher that reads gets every byte too.
        deadline = time.monotonic() + 20
        while any(c[0] < len(data) for c in counters) and time.monotonic() < deadline:
            time.sleep(0.01)
        if any(c[0] != len(data) for c in counters):
            sys.exit("a reading watcher got %s of %d bytes" % ([c[0] for c in counters], len(data)))
        return len(data) / elapsed / 1e6, peak[0] - before
    finally:
        for s in socks:
            s.close()
        server.send_signal(2)
        _, err = server.communicate(timeout=10)
        com1.close()
        ports.cleanup()
        if stalled and b"dropped" not in err:
            sys.exit("the stalled watcher was not dropped")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--velkor", default="build/velkor")
    ap.add_argument("--megabytes", type=int, default=32)
    ap.add_argument("--rounds", type=int, default=3)
    args = ap.parse_args()
    block = b"0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ!\r\n"
    total = args.megabytes * 1000 * 1000
    data = (block * (total // len(block) + 1))[:total]
    rows = [("no watchers", 0, 0), ("8 watchers, 1 stalled", 8, 1)]
    for label, watchers, stalled in rows:
        rates, growth = [], []
        for r in range(args.rounds):
            rate, kib = one_run(args.velkor, data, watchers, stalled)
            print("%s, round %d: %.1f MB/s, memory +%d KiB" % (label, r + 1, rate, kib),
                  file=sys.stderr)
            rates.append(rate)
            growth.append(kib)
        print("port -> writer, %-22s %7.1f MB/s   memory growth %5d KiB   (%d MB, median of %d)"
              % (label + ":", statistics.median(rates), statistics.median(growth),
                 args.megabytes, args.rounds))


if __name__ == "__main__":
    main()

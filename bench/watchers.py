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
import tty


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def write_all(fd, data):
    view = memoryview(data)
    while view:
        try:
            view = view[os.write(fd, view[:65536]):]
        except BlockingIOError:
            time.sleep(0.0005)


def read_line(sock):
    line = b""
    while not line.endswith(b"\n"):
        b = sock.recv(1)
        if not b:
            raise RuntimeError("closed after %r" % line)
        line += b
    return line


def command(port, line, rcvbuf=0):
    s = socket.socket()
    if rcvbuf:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    s.connect(("127.0.0.1", port))
    read_line(s)
    s.sendall(b"wobex\r\n")
    if read_line(s) != b".\r\n":
        raise RuntimeError("identifier refused")
    # LF alone: after a CR the LF would reach the port as the first raw byte.
    s.sendall(line + b"\n")
    reply = read_line(s)
    if reply != b".\r\n":
        raise RuntimeError("%r answered %r" % (line, reply))
    return s


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
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def one_run(velkor, data, watchers, stalled):
    ports = tempfile.TemporaryDirectory()
    master, slave = os.openpty()
    tty.setraw(master)
    tty.setraw(slave)
    os.set_blocking(master, False)
    os.symlink(os.ttyname(slave), os.path.join(ports.name, "COM1"))
    port = free_port()
    server = subprocess.Popen([velkor, "-p%d" % port, "-b"],
                              env=dict(os.environ, VELKOR_PORTS=ports.name),
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    socks = []
    try:
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                if time.monotonic() > deadline:
                    sys.exit("velkor did not start")
                time.sleep(0.05)
        writer = command(port, b"p COM1 115200")
        socks.append(writer)
        counters = []
        for i in range(watchers):
            w = command(port, b"w COM1", rcvbuf=16384 if i < stalled else 0)
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
        threading.Thread(target=write_all, args=(master, data), daemon=True).start()
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
        os.close(master)
        os.close(slave)
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

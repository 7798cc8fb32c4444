#!/usr/bin/env python3
"""Port listener figures (-R): bytes per second through an RFC 2217 bridge
beside the raw bridge of `p` to the same port, both ways, and how long a
boot loader tool's reset sequence takes (DTR and RTS toggled seven times,
each change answered, without the tool's own sleeps) through pyserial, and
how soon one such request is answered on a plain socket.

    python3 bench/rfc2217.py --velkor build/velkor

The port is a pseudo-terminal.  The data has no 0xFF byte, so both bridges
carry the same bytes; a second pair of figures sends only 0xFF, which the
telnet side doubles.  Figures go to standard output.
"""
import argparse
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time

import serial

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "tests", "support"))
from velkor_support import Pty, command, free_port, wait_for, write_all  # noqa: E402


def read_fd(fd, n):
    got = 0
    while got < n:
        try:
            got += len(os.read(fd, 65536))
        except BlockingIOError:
            time.sleep(0.0005)


def read_sock(sock, n, telnet):
    """Counts n data bytes, with the telnet commands and doubling taken off."""
    got = 0
    pending = b""
    while got < n:
        chunk = sock.recv(65536)
        if not chunk:
            raise RuntimeError("connection closed")
        if not telnet:
            got += len(chunk)
            continue
        chunk = pending + chunk
        pending = b""
        i = 0
        while i < len(chunk):
            j = chunk.find(b"\xff", i)
            if j < 0:
                got += len(chunk) - i
                break
            got += j - i
            if j + 1 >= len(chunk):
                pending = chunk[j:]
                break
            c = chunk[j + 1]
            if c == 0xFF:
                got += 1
                i = j + 2
            elif c == 0xFA:
                end = chunk.find(b"\xff\xf0", j)
                if end < 0:
                    pending = chunk[j:]
                    break
                i = end + 2
            elif c >= 0xFB:
                if j + 2 >= len(chunk):
                    pending = chunk[j:]
                    break
                i = j + 3
            else:
                i = j + 2
    return got


def answer_times(sock, count):
    """Milliseconds from a SET-CONTROL request (DTR on, off) to its answer."""
    times = []
    buf = b""
    for i in range(count):
        value = 8 + i % 2
        answer = bytes([0xFF, 0xFA, 44, 105, value, 0xFF, 0xF0])
        start = time.monotonic()
        sock.sendall(bytes([0xFF, 0xFA, 44, 5, value, 0xFF, 0xF0]))
        while answer not in buf:
            buf += sock.recv(4096)
        buf = buf[buf.index(answer) + len(answer):]
        times.append((time.monotonic() - start) * 1000)
    return times


def timed(sender, receiver):
    t = threading.Thread(target=sender)
    start = time.monotonic()
    t.start()
    receiver()
    elapsed = time.monotonic() - start
    t.join()
    return elapsed


def throughput(sock, master, total, telnet, byte=None):
    if byte is None:
        block = bytes(range(255)) * 257
        data = (block * (total // len(block) + 1))[:total]
    else:
        data = bytes([byte]) * total
    wire = data.replace(b"\xff", b"\xff\xff") if telnet else data
    up = timed(lambda: sock.sendall(wire), lambda: read_fd(master, total))
    down = timed(lambda: write_all(master, data, pause=0.0005),
                 lambda: read_sock(sock, total, telnet))
    return total / up / 1e6, total / down / 1e6


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--velkor", default="build/velkor")
    ap.add_argument("--megabytes", type=int, default=32)
    ap.add_argument("--rounds", type=int, default=3)
    args = ap.parse_args()

    ports = tempfile.TemporaryDirectory()
    com1 = Pty(os.path.join(ports.name, "COM1"))
    master = com1.master
    main_port, rfc_port = free_port(), free_port()
    log = open(os.path.join(ports.name, "log"), "wb")
    server = subprocess.Popen(
        [args.velkor, "-p%d" % main_port, "-R%d=COM1" % rfc_port, "-b", "-wbench"],
        env=dict(os.environ, VELKOR_PORTS=ports.name), stdout=log, stderr=subprocess.STDOUT)
    total = args.megabytes * 1000 * 1000
    figures = {}
    try:
        # Its log says when the port listener is up; a probe of the listener
        # would open the port.
        log_path = os.path.join(ports.name, "log")
        if not wait_for(lambda: b" for COM1\n" in open(log_path, "rb").read(), 10):
            sys.exit("velkor did not start its port listener")
        for _ in range(args.rounds):
            with command(socket.create_connection(("127.0.0.1", main_port)), b"bench",
                         b"p COM1 115200\r\n") as raw:
                for key, value in zip(("raw up", "raw down"), throughput(raw, master, total, False)):
                    figures.setdefault(key, []).append(value)
            time.sleep(0.2)
            with socket.create_connection(("127.0.0.1", rfc_port)) as rfc:
                for key, value in zip(("rfc up", "rfc down"), throughput(rfc, master, total, True)):
                    figures.setdefault(key, []).append(value)
                for key, value in zip(("ff up", "ff down"),
                                      throughput(rfc, master, total // 4, True, 0xFF)):
                    figures.setdefault(key, []).append(value)
                figures.setdefault("answer", []).extend(answer_times(rfc, 200))
            time.sleep(0.2)
        ser = serial.serial_for_url("rfc2217://127.0.0.1:%d" % rfc_port)
        resets = []
        for _ in range(args.rounds * 3):
            start = time.monotonic()
            for _ in range(7):
                ser.dtr = False
                ser.rts = True
                ser.dtr = True
                ser.rts = False
            resets.append((time.monotonic() - start) * 1000)
        ser.close()
    finally:
        server.send_signal(2)
        server.wait(timeout=10)
        log.close()
        com1.close()
        ports.cleanup()

    def med(key):
        v = sorted(figures[key])
        return v[len(v) // 2]

    print("through pseudo-terminal COM1, %d MB, median of %d rounds" % (args.megabytes, args.rounds))
    for way in ("up", "down"):
        label = "client -> port" if way == "up" else "port -> client"
        raw, rfc = med("raw " + way), med("rfc " + way)
        print("%-15s raw bridge %7.1f MB/s   RFC 2217 bridge %7.1f MB/s   ratio %.2f"
              % (label, raw, rfc, rfc / raw))
    print("only 0xFF bytes (doubled on the telnet side): client -> port %.1f MB/s, "
          "port -> client %.1f MB/s" % (med("ff up"), med("ff down")))
    answers = sorted(figures["answer"])
    print("SET-CONTROL request to its answer, raw socket: %.3f ms median, %.3f ms 99th percentile"
          % (answers[len(answers) // 2], answers[len(answers) * 99 // 100]))
    resets.sort()
    # pyserial looks for each answer every 50 ms: its own pace sets this one.
    print("reset sequence (28 SET-CONTROL requests, each answered), pyserial: "
          "%.1f ms median, %.1f ms max" % (resets[len(resets) // 2], resets[-1]))


if __name__ == "__main__":
    main()

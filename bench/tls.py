#!/usr/bin/env python3
"""TLS figures (-T): bytes per second through a TLS client's bridge to a
pseudo-terminal port, both ways, the CPU time the server spends per MB,
and full handshakes per second; beside socat OPENSSL-LISTEN on the same
certificate and port, in the same run.

    python3 bench/tls.py --velkor build-bench/velkor [--seconds 4] [--rounds 3]

The certificate is a fresh self-signed RSA-2048 one (made with openssl req
in a temporary directory); the client is Python's ssl, TLS 1.3.  CPU time
counts every thread and process of the server (socat forks one per
connection).  Figures are medians over the rounds; Markdown to standard
output.
"""
import argparse
import os
import socket
import ssl
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))
sys.path.insert(0, HERE)
from peers import _descendants, sched_ns  # noqa: E402
from velkor_support import Pty, free_port, sign_in, wait_for, wait_listening  # noqa: E402

IDENTIFIER = b"bench"


def make_pem(where):
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                    "k.pem", "-out", "c.pem", "-days", "2", "-subj", "/CN=127.0.0.1",
                    "-addext", "subjectAltName=IP:127.0.0.1"],
                   cwd=where, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    pem = os.path.join(where, "both.pem")
    with open(pem, "wb") as out:
        for name in ("c.pem", "k.pem"):
            with open(os.path.join(where, name), "rb") as f:
                out.write(f.read())
    return pem


def client_context(pem):
    context = ssl.create_default_context(cafile=pem)
    context.minimum_version = ssl.TLSVersion.TLSv1_3
    return context


class Velkor:
    name = "velkor"

    def __init__(self, binary, pem, work):
        self.dir = tempfile.mkdtemp(dir=work)
        self.pty = Pty(os.path.join(self.dir, "COM1"))
        self.port = free_port()
        self.proc = subprocess.Popen(
            [binary, "-b", "-p%d" % self.port, "-T" + pem, "-w" + IDENTIFIER.decode()],
            env=dict(os.environ, VELKOR_PORTS=self.dir), stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        if not wait_listening(self.port, 10, self.proc):
            raise RuntimeError("velkor did not start")

    def bridge(self, context):
        s = tls(self.port, context)
        sign_in(s, IDENTIFIER)
        s.sendall(b"p COM1 115200\n")
        reply = b""
        while not reply.endswith(b"\n"):
            reply += s.recv(1)
        if reply != b".\r\n":
            raise RuntimeError("p answered %r" % reply)
        return s

    def handshake(self, context):
        with tls(self.port, context):
            pass

    def stop(self):
        self.proc.send_signal(2)
        self.proc.wait(timeout=10)
        self.pty.close()


class Socat:
    name = "socat"

    def __init__(self, pem, work):
        self.dir = tempfile.mkdtemp(dir=work)
        self.pty = Pty(None)
        self.port = free_port()
        # As a user would put one tty on the network over TLS with socat.
        self.proc = subprocess.Popen(
            ["socat", "OPENSSL-LISTEN:%d,bind=127.0.0.1,reuseaddr,fork,cert=%s,verify=0"
             % (self.port, pem), "%s,raw,echo=0,b115200" % self.pty.path],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_for(lambda: listening(self.port), 10):
            raise RuntimeError("socat did not start")

    def bridge(self, context):
        return tls(self.port, context)

    def handshake(self, context):
        with tls(self.port, context):
            pass

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=10)
        self.pty.close()


def listening(port):
    want = ":%04X" % port
    with open("/proc/net/tcp") as f:
        return any(l.split()[1].endswith(want) and l.split()[3] == "0A" for l in f)


def tls(port, context):
    raw = socket.create_connection(("127.0.0.1", port), timeout=10)
    return context.wrap_socket(raw, server_hostname="127.0.0.1")


def stream(server, s, direction, seconds):
    """Streams one way for `seconds`; MB/s received and server CPU ms per MB."""
    block = os.urandom(65536)
    stop = threading.Event()
    received = [0]

    def quietly(body):
        # The server stops under a thread still sending or receiving.
        def run():
            try:
                body()
            except (OSError, ValueError):
                pass
        return run

    def send():
        while not stop.is_set():
            if direction == "up":
                s.sendall(block)
            else:
                try:
                    os.write(server.pty.master, block)
                except BlockingIOError:
                    time.sleep(0.0005)

    def receive():
        while not stop.is_set():
            if direction == "up":
                try:
                    received[0] += len(os.read(server.pty.master, 65536))
                except BlockingIOError:
                    time.sleep(0.0005)
            else:
                received[0] += len(s.recv(65536))

    pids = _descendants([server.proc.pid])
    sender = threading.Thread(target=quietly(send), daemon=True)
    receiver = threading.Thread(target=quietly(receive), daemon=True)
    cpu0 = sched_ns(pids)
    t0 = time.monotonic()
    sender.start()
    receiver.start()
    time.sleep(seconds)
    n = received[0]
    dt = time.monotonic() - t0
    cpu = sched_ns(pids) - cpu0
    stop.set()
    mb = n / 1e6
    return mb / dt, (cpu / 1e6) / mb if mb else float("nan")


def one_round(make, pem, seconds, handshakes):
    context = client_context(pem)
    out = {}
    for direction in ("up", "down"):
        server = make()
        try:
            s = server.bridge(context)
            out[direction] = stream(server, s, direction, seconds)
            s.close()
        finally:
            server.stop()
    server = make()
    try:
        t0 = time.monotonic()
        for _ in range(handshakes):
            server.handshake(context)
        out["handshakes"] = handshakes / (time.monotonic() - t0)
    finally:
        server.stop()
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--velkor", default="build-bench/velkor")
    ap.add_argument("--seconds", type=float, default=4)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--handshakes", type=int, default=200)
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as work:
        pem = make_pem(work)
        makers = {"velkor": lambda: Velkor(os.path.abspath(args.velkor), pem, work),
                  "socat": lambda: Socat(pem, work)}
        results = {name: [] for name in makers}
        for r in range(args.rounds):
            order = list(makers)[r % 2:] + list(makers)[:r % 2]
            for name in order:
                print("round %d: %s" % (r + 1, name), file=sys.stderr)
                results[name].append(one_round(makers[name], pem, args.seconds,
                                               args.handshakes))
    print("| figure | velkor | socat | velkor / socat |")
    print("|---|---|---|---|")
    rows = [("client -> port, MB/s", lambda o: o["up"][0]),
            ("client -> port, CPU ms per MB", lambda o: o["up"][1]),
            ("port -> client, MB/s", lambda o: o["down"][0]),
            ("port -> client, CPU ms per MB", lambda o: o["down"][1]),
            ("full handshakes per second", lambda o: o["handshakes"])]
    for label, pick in rows:
        v = statistics.median(pick(o) for o in results["velkor"])
        s = statistics.median(pick(o) for o in results["socat"])
        print("| %s | %.1f | %.1f | %.2f |" % (label, v, s, v / s if s else float("nan")))


if __name__ == "__main__":
    main()

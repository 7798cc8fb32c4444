"""Serial bridge figures of the Windows build under Wine, for one or more
velkor.exe builds side by side (for example before and after a change).

    python3 bench/wine.py before=old/velkor.exe after=build-test/win/velkor.exe

It makes a throw-away Wine prefix of its own, links COM5 in it to a
pseudo-terminal whose master it reads and writes itself, and for each build,
in an order that rotates from round to round, starts `wine velkor.exe -b`,
bridges one client to COM5 and measures:

  client -> port, port -> client   MB/s (10^6 bytes/s) received in a timed
                                   window, every byte checked (flows.py);
                                   and the CPU time per MB moved, of the
                                   server process and of the prefix's wine
                                   server (which does the work of every
                                   Wine system call), which the machine's
                                   load does not inflate as it does times
  round trip                       16 bytes from the client to the port,
                                   echoed at once: p50, p99, max in ms
  idle CPU                         CPU time of the server process and the
                                   wine server per minute, with the bridge
                                   up and silent

Each figure is the median over the rounds.  It prints a Markdown table; a
byte check that failed is listed under it.  This is a program that prints
figures, not a test.  Needs wine, wineserver and python3 (standard library).
"""

import argparse
import os
import random
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import termios
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "tests", "support")]
from flows import Flow, drain_fd, round_trips, run_flows  # noqa: E402
from jobs import percentiles, sync  # noqa: E402
from velkor_support import (Pty, command, cpu_seconds, free_port, read_line,  # noqa: E402
                            sign_in, wait_listening)

WINDOW = 4 << 20  # bytes a stream may have in flight


class Prefix:
    """A Wine prefix of the benchmark's own, with its wine server running."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="velkor-bench-wine-")
        self.env = dict(os.environ, WINEPREFIX=self.dir, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                     stderr=subprocess.DEVNULL, env=self.env)
        subprocess.run(["wineserver", "-p"], check=True, **quiet)
        subprocess.run(["wine", "wineboot", "-i"], check=True, **quiet)

    def server_pid(self):
        """The prefix's wine server."""
        for pid in os.listdir("/proc"):
            try:
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    if b"wineserver" not in f.read():
                        continue
                with open("/proc/%s/environ" % pid, "rb") as f:
                    if b"\0WINEPREFIX=%s\0" % self.dir.encode() in b"\0" + f.read():
                        return int(pid)
            except OSError:
                continue
        return None

    def close(self):
        quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                     stderr=subprocess.DEVNULL, env=self.env)
        subprocess.run(["wineserver", "-k"], **quiet)
        subprocess.run(["wineserver", "-w"], **quiet)
        shutil.rmtree(self.dir, ignore_errors=True)


class Server:
    """One velkor.exe under Wine, listening on a free port."""

    def __init__(self, prefix, exe, log_path):
        self.port = free_port()
        self.log = open(log_path, "ab")
        self.proc = subprocess.Popen(["wine", exe, "-b", "-p%d" % self.port],
                                     stdin=subprocess.DEVNULL, stdout=self.log,
                                     stderr=subprocess.STDOUT, env=prefix.env)
        if not wait_listening(self.port, 60, self.proc):
            raise RuntimeError("%s did not start listening" % exe)

    # bench/jobs.py's sync asks whether the port is open; "p" answers only
    # once it is.
    def has_open(self, path):
        return True

    def command(self, line):
        return command(socket.create_connection(("127.0.0.1", self.port), timeout=10),
                       b"wobex", line)

    def stop(self):
        # "k" is answered ":kill" before ".".  velkor.exe under Wine is never
        # killed: where "k" did not end it, SIGINT does.
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=10) as s:
                sign_in(s, b"wobex")
                s.sendall(b"k\r\n")
                reply = read_line(s)
                if reply != b":kill\r\n":
                    raise RuntimeError("k answered %r" % reply)
            self.proc.wait(timeout=20)
        except (OSError, RuntimeError, subprocess.TimeoutExpired):
            self.proc.send_signal(signal.SIGINT)
            self.proc.wait(timeout=60)
        self.log.close()


def timed(flow, seconds, drain, pids):
    """MB/s received in the window and the CPU ms the processes used per MB
    in it; then every byte in flight is awaited and checked."""
    c0 = sum(cpu_seconds(p) for p in pids)
    t0 = time.monotonic()
    run_flows([flow], t0 + seconds)
    dt = time.monotonic() - t0
    got = flow.recv
    cpu = sum(cpu_seconds(p) for p in pids) - c0
    flow.total = flow.sent
    run_flows([flow], time.monotonic() + drain, stall=5.0)
    problem = flow.bad or (None if flow.recv == flow.sent else
                           "%s: %d of %d bytes arrived" % (flow.name, flow.recv, flow.sent))
    return got / dt / 1e6, cpu * 1000 / (got / 1e6) if got else None, problem


def measure(prefix, exe, args, master, slave, log_path, rng):
    figures, problems = {}, []
    termios.tcflush(slave, termios.TCIOFLUSH)
    drain_fd(master)
    slave_path = os.ttyname(slave)
    server = Server(prefix, exe, log_path)
    try:
        client = server.command(b"p COM5 115200\n")
        sync(client, master, server, slave_path)
        client.setblocking(False)
        pids = [p for p in (server.proc.pid, prefix.server_pid()) if p is not None]
        f = Flow(client.fileno(), master, 11, window=WINDOW, name="client->port")
        figures["in"], figures["cpu_in"], p = timed(f, args.seconds, args.drain, pids)
        problems += [p] if p else []
        f = Flow(master, client.fileno(), 5003, window=WINDOW, name="port->client")
        figures["out"], figures["cpu_out"], p = timed(f, args.seconds, args.drain, pids)
        problems += [p] if p else []
        client.setblocking(True)
        percentiles(round_trips(client, master, args.trips, 0.0, rng), "rt", figures)
        c0 = sum(cpu_seconds(p) for p in pids)
        time.sleep(args.idle)  # the measuring window
        figures["idle"] = (sum(cpu_seconds(p) for p in pids) - c0) / args.idle * 60
        client.close()
    finally:
        server.stop()
    return figures, problems


ROWS = [
    ("in", "serial bridge, client -> port", "MB/s"),
    ("out", "serial bridge, port -> client", "MB/s"),
    ("cpu_in", "CPU per MB, client -> port", "ms/MB"),
    ("cpu_out", "CPU per MB, port -> client", "ms/MB"),
    ("rt_p50", "round trip, back to back, p50", "ms"),
    ("rt_p99", "round trip, back to back, p99", "ms"),
    ("rt_max", "round trip, back to back, max", "ms"),
    ("idle", "idle CPU, one silent bridge (with the wine server)", "s/min"),
]


def fmt(v):
    if v is None:
        return "-"
    return "%.3g" % v if abs(v) < 1000 else "%.0f" % v


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("builds", nargs="+", metavar="LABEL=EXE", help="velkor.exe builds to compare")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--seconds", type=float, default=3.0, help="timed window per direction")
    ap.add_argument("--drain", type=float, default=60.0, help="most time to wait for bytes in flight")
    ap.add_argument("--trips", type=int, default=100, help="round trips per round")
    ap.add_argument("--idle", type=float, default=15.0, help="idle CPU window, seconds")
    ap.add_argument("--keep", action="store_true", help="keep the work directory with the logs")
    args = ap.parse_args()
    builds = []
    for b in args.builds:
        label, _, exe = b.partition("=")
        if not exe or not os.path.isfile(exe):
            ap.error("%s: expected LABEL=EXE naming an existing file" % b)
        builds.append((label, os.path.abspath(exe)))

    work = tempfile.mkdtemp(prefix="velkor-bench-wine-work-")
    print("Wine prefix starting ...", file=sys.stderr)
    prefix = Prefix()
    com5 = Pty(os.path.join(prefix.dir, "dosdevices", "com5"))
    rng = random.Random(20261210)
    results = {label: {} for label, _ in builds}
    problems = []
    try:
        for rnd in range(args.rounds):
            order = builds[rnd % len(builds):] + builds[:rnd % len(builds)]
            for label, exe in order:
                print("round %d: %s" % (rnd + 1, label), file=sys.stderr)
                try:
                    figs, probs = measure(prefix, exe, args, com5.master, com5.slave,
                                          os.path.join(work, label + ".log"), rng)
                except (OSError, RuntimeError) as e:
                    problems.append("round %d, %s: %s" % (rnd + 1, label, e))
                    continue
                for k, v in figs.items():
                    if v is not None:
                        results[label].setdefault(k, []).append(v)
                problems += ["round %d, %s: %s" % (rnd + 1, label, p) for p in probs]
    finally:
        com5.close()
        prefix.close()
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)

    labels = [label for label, _ in builds]
    print("| figure | unit | " + " | ".join(labels) + " |")
    print("|---|---|" + "---|" * len(labels))
    for key, name, unit in ROWS:
        cells = []
        for label in labels:
            vals = results[label].get(key)
            cells.append(fmt(statistics.median(vals)) if vals else "-")
        print("| %s | %s | %s |" % (name, unit, " | ".join(cells)))
    print()
    print("Medians over %d rounds; %.0f s windows per direction, %d round trips a round, "
          "idle CPU over %.0f s." % (args.rounds, args.seconds, args.trips, args.idle))
    if problems:
        print("\nByte checks or runs that failed:")
        for p in problems:
            print("- " + p)
    if args.keep:
        print("\nLogs in " + work, file=sys.stderr)


if __name__ == "__main__":
    main()

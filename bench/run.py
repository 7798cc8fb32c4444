#!/usr/bin/env python3
"""velkor benchmark: runs velkor, ser2net and socat on the same work, round
by round, and prints one table of medians with velkor's ratio to the best
peer and the bound velkor's design allows.

    python3 bench/run.py --quick      # about a minute, one round
    python3 bench/run.py              # the full run, several rounds

Progress goes to standard error, the table to standard output.
"""

import argparse
import os
import random
import shutil
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "tests", "support")]

import jobs  # noqa: E402
from peers import PeerUnavailable, Ser2net, Socat, Velkor  # noqa: E402



class Settings:
    def __init__(self, quick):
        self.quick = quick
        self.rounds = 1 if quick else 3
        self.window = 1.0 if quick else 4.0       # seconds per throughput figure
        self.drain = 20.0                         # longest wait for bytes in flight afterwards
        self.b2b = 40 if quick else 200           # back-to-back round trips
        self.gapped = 12 if quick else 60         # round trips after a 0-200 ms gap
        self.settle = 0.5 if quick else 1.0
        self.idle = 2.0 if quick else 10.0        # seconds per idle CPU figure
        self.slow_mb = 5 if quick else 50
        self.slow_rate = 4e6                      # the slow consumer's bytes per second
        self.fan = 1.5 if quick else 5.0


# Figures in table order: key, label, unit, which way is better.
FIGURES = [
    ("ser_in", "serial bridge, client -> port", "MB/s", "hi"),
    ("ser_out", "serial bridge, port -> client", "MB/s", "hi"),
    ("lat_b2b_p50", "round trip, back to back, p50", "ms", "lo"),
    ("lat_b2b_p99", "round trip, back to back, p99", "ms", "lo"),
    ("lat_b2b_max", "round trip, back to back, max", "ms", "lo"),
    ("lat_gap_p50", "round trip, 0-200 ms gaps, p50", "ms", "lo"),
    ("lat_gap_p99", "round trip, 0-200 ms gaps, p99", "ms", "lo"),
    ("lat_gap_max", "round trip, 0-200 ms gaps, max", "ms", "lo"),
    ("tcp_in", "TCP relay, client -> target", "MB/s", "hi"),
    ("tcp_out", "TCP relay, target -> client", "MB/s", "hi"),
    ("cpumb_ser_in", "CPU per MB, serial client -> port", "ms/MB", "lo"),
    ("cpumb_ser_out", "CPU per MB, serial port -> client", "ms/MB", "lo"),
    ("cpumb_tcp_in", "CPU per MB, TCP client -> target", "ms/MB", "lo"),
    ("cpumb_tcp_out", "CPU per MB, TCP target -> client", "ms/MB", "lo"),
    ("idle_cpu_0", "idle CPU, no client", "s/min", "lo"),
    ("idle_cpu_31", "idle CPU, 31 idle bridges", "s/min", "lo"),
    ("idle_mem", "peak memory, 31 idle bridges", "MiB", "lo"),
    ("slow_mem", "slow consumer: peak memory", "MiB", "lo"),
    ("slow_rate", "slow consumer: drained at", "MB/s", None),
    ("fan_in", "fan-out 31 bridges, client -> port, sum", "MB/s", "hi"),
    ("fan_out", "fan-out 31 bridges, port -> client, sum", "MB/s", "hi"),
    ("fan_fair", "fan-out fairness, slowest / fastest client", "", "hi"),
    ("turns_ser_in", "velkor turns/s, serial client -> port load", "1/s", None),
    ("turns_idle", "velkor turns/s, idle", "1/s", None),
]

JOB_OF = {"ser": "serial", "lat": "latency", "tcp": "tcp", "idl": "idle", "slo": "slow",
          "fan": "fanout", "tur": None}  # a figure's job, by the key's first letters


def bound(key, med):
    """The design's bound for a figure, as text, with what velkor's loop did
    meanwhile; med holds velkor's medians."""
    def asleep(k):
        return "; asleep %.0f%%" % (100 * med[k]) if k in med else ""

    if key == "ser_in":
        turns = med.get("turns_ser_in")
        return "<= 64 KiB a read%s, a turn as soon as the port has room%s" % (
            " x %.0f turns/s" % turns if turns else "", asleep("asleep_ser_in"))
    if key == "ser_out":
        return "<= 64 KiB a read, a turn as soon as the port has input%s" % asleep("asleep_ser_out")
    if key.startswith("lat_b2b"):
        return "one wake-up each way: input ends the wait at once"
    if key.startswith("lat_gap"):
        return "as back to back: an idle pause is a wait that input ends"
    if key in ("tcp_in", "tcp_out"):
        return "<= 64 KiB a read%s" % asleep("asleep_" + key)
    if key == "idle_cpu_0":
        return "0: nothing due, no wake-up"
    if key == "idle_cpu_31":
        return "0: silent devices wake nothing"
    if key == "idle_mem":
        return "2 x 1 KiB input buffers per bridge"
    if key == "slow_mem":
        return "queue held at 64 KiB + one 64 KiB read%s" % asleep("asleep_slow")
    if key == "slow_rate":
        return "the consumer reads %.0f MB/s" % (SETTINGS.slow_rate / 1e6)
    if key in ("fan_in", "fan_out"):
        return "31 x <= 64 KiB per turn%s" % asleep("asleep_fan")
    if key == "fan_fair":
        return "1.00: each bridge moves <= 64 KiB a turn"
    if key == "turns_ser_in":
        return "a turn whenever a device is ready"
    if key.startswith("cpumb_"):
        return "the server's CPU time over the bytes it moved"
    if key == "turns_idle":
        return "0 (no time-out when nothing is due)"
    return ""


def fmt(v):
    if v is None:
        return "n/a"
    if v == 0:
        return "0"
    if abs(v) >= 100:
        return "%.0f" % v
    if abs(v) >= 10:
        return "%.1f" % v
    if abs(v) >= 0.1:
        return "%.2f" % v
    return "%.3g" % v


def ratio(key, better, med, peers):
    if better is None or "velkor" not in med or key not in med["velkor"]:
        return ""
    vals = [med[p][key] for p in peers
            if p not in ("velkor", BEFORE) and key in med.get(p, {})]
    if not vals:
        return ""
    best = max(vals) if better == "hi" else min(vals)
    if best == 0:
        return "-"
    return fmt(med["velkor"][key] / best)


def table(results, peers, failed):
    """results[peer][key] is the list of per-round values."""
    med = {p: {k: statistics.median(v) for k, v in results.get(p, {}).items() if v}
           for p in peers}
    vmed = med.get("velkor", {})
    head = ["figure", "unit"] + peers + ["velkor / best peer", "velkor design bound"]
    rows = []
    for key, label, unit, better in FIGURES:
        if not any(key in med[p] for p in peers):
            continue
        cells = [label, unit]
        for p in peers:
            v = med[p].get(key)
            mark = " *" if (p, JOB_OF[key.replace("cpumb_", "")[:3]]) in failed else ""
            cells.append(fmt(v) + mark)
        cells.append(ratio(key, better, med, peers))
        cells.append(bound(key, vmed))
        rows.append(cells)
    widths = [max(len(r[i]) for r in rows + [head]) for i in range(len(head))]
    out = ["| " + " | ".join(h.ljust(w) for h, w in zip(head, widths)) + " |",
           "|" + "|".join("-" * (w + 2) for w in widths) + "|"]
    for r in rows:
        out.append("| " + " | ".join(c.ljust(w) for c, w in zip(r, widths)) + " |")
    return "\n".join(out)


def find_velkor(path):
    if path:
        return path
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    for d in ("build-bench", "build"):
        p = os.path.join(root, d, "velkor")
        if os.access(p, os.X_OK):
            return p
    return None


SETTINGS = None
BEFORE = "velkor-before"  # an earlier velkor binary, shown beside the current one


def main():
    global SETTINGS
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="one short round (about a minute)")
    ap.add_argument("--rounds", type=int, help="rounds to take the median over")
    ap.add_argument("--velkor", help="the velkor binary (default: build-bench/velkor)")
    ap.add_argument("--peers", default="velkor,ser2net,socat",
                    help="comma-separated servers to run (default: all three)")
    ap.add_argument("--jobs", default=",".join(n for n, _ in jobs.JOBS),
                    help="comma-separated work to run (default: all)")
    ap.add_argument("--keep", action="store_true", help="keep the work directory and logs")
    ap.add_argument("--before", help="an earlier velkor binary, measured in the same run as "
                    "the column velkor-before (not counted as a peer in the ratio)")
    ap.add_argument("--before-blocks", type=int, default=1,
                    help="times the earlier binary blocks in one idle turn (2 for a build that "
                    "slept before its wait)")
    args = ap.parse_args()

    s = SETTINGS = Settings(args.quick)
    if args.rounds:
        s.rounds = args.rounds
    names = args.jobs.split(",")
    peer_names = args.peers.split(",")
    if args.before:
        peer_names.insert(peer_names.index("velkor") + 1 if "velkor" in peer_names else 0, BEFORE)
    unknown = set(names) - {n for n, _ in jobs.JOBS} | set(peer_names) - {
        "velkor", BEFORE, "ser2net", "socat"}
    if unknown:
        sys.exit("unknown job or peer: %s" % ", ".join(sorted(unknown)))
    wanted_jobs = [(n, f) for n, f in jobs.JOBS if n in names]
    workdir = tempfile.mkdtemp(prefix="velkor-bench-")
    ports_dir = os.path.join(workdir, "ports")
    velkor_bin = find_velkor(args.velkor)
    makers = {
        "velkor": lambda: Velkor(workdir, ports_dir, velkor_bin),
        BEFORE: lambda: Velkor(workdir, ports_dir, args.before,
                                blocks_per_idle_turn=args.before_blocks),
        "ser2net": lambda: Ser2net(workdir, ports_dir),
        "socat": lambda: Socat(workdir, ports_dir),
    }
    peers = []
    for name in peer_names:
        try:
            makers[name]()
            peers.append(name)
        except PeerUnavailable as e:
            print("skipping %s: %s" % (name, e), file=sys.stderr)
    if not peers:
        sys.exit("nothing to run")

    results = {p: {} for p in peers}
    failed = set()
    problems = []
    rng = random.Random(7)
    started = time.monotonic()
    for rnd in range(s.rounds):
        for job_name, job in wanted_jobs:
            order = peers[rnd % len(peers):] + peers[:rnd % len(peers)]
            for p in order:
                t0 = time.monotonic()
                with jobs.Run(makers[p](), s, ports_dir, rng) as run:
                    try:
                        job(run)
                    except Exception as e:  # one failed run must not end the benchmark
                        run.problems.append("%s: %s" % (type(e).__name__, e))
                for k, v in run.figures.items():
                    results[p].setdefault(k, []).append(v)
                for msg in run.problems:
                    failed.add((p, job_name))
                    problems.append("round %d, %s, %s: %s" % (rnd + 1, job_name, p, msg))
                print("round %d/%d  %-8s %-8s %5.1f s  %s" % (
                    rnd + 1, s.rounds, job_name, p, time.monotonic() - t0,
                    "ok" if not run.problems else "PROBLEM"), file=sys.stderr)

    ncpu = os.cpu_count()
    print("velkor benchmark, %s mode, %d round(s), %s, %d cores, %.0f s" % (
        "quick" if s.quick else "full", s.rounds, time.strftime("%Y-%m-%d %H:%M"), ncpu,
        time.monotonic() - started))
    print()
    print(table(results, peers, failed))
    print()
    print("Medians over rounds. Ratio: velkor's median / the best peer's (best = highest for"
          " MB/s and fairness, lowest for ms, CPU and memory). n/a: the peer cannot do it.")
    if problems:
        print("* byte check or run failed:")
        for msg in problems:
            print("  " + msg)
    else:
        print("Every byte of every stream arrived, in order, and was checked.")
    if args.keep:
        print("work directory kept: %s" % workdir, file=sys.stderr)
    else:
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()

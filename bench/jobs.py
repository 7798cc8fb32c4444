"""The pieces of work the benchmark measures.  Each is given a Run: a peer
not yet started, the settings and a ports directory; it fills the Run's
figures (a figure's key to its value in this run) and problems (every byte
check or step that failed)."""

import os
import socket
import time

from flows import Flow, PtySet, round_trips, run_flows

NPORTS = 31                 # clients of the fan-out and idle work: a full table less one slot
WINDOW = 4 << 20            # bytes a stream may have in flight (bounds the drain after a window)


class Run:
    """What one piece of work needs: settings, a ports directory, the peer."""

    def __init__(self, peer, settings, ports_dir, rng):
        self.peer = peer
        self.s = settings
        self.ports_dir = ports_dir
        self.rng = rng
        self.figures = {}
        self.problems = []
        self.ptys = None
        self.socks = []

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        for s in self.socks:
            s.close()
        self.peer.stop()
        if self.ptys:
            self.ptys.close()
        return False

    def serve(self, nports, tcp_target=None):
        self.ptys = PtySet(nports, self.ports_dir)
        self.peer.start(nports, tcp_target)

    def client(self, i):
        """A client bridged to COM(i+1), checked live both ways, non-blocking."""
        s = self.peer.open_serial(i)
        self.socks.append(s)
        sync(s, self.ptys.masters[i], self.peer, self.ptys.paths[i])
        s.setblocking(False)
        return s

    def check(self, flows):
        for f in flows:
            if f.bad:
                self.problems.append(f.bad)
            elif f.recv != f.sent:
                self.problems.append("%s: %d of %d bytes arrived" % (f.name, f.recv, f.sent))

    def timed(self, flows, seconds, key):
        """Runs the flows for a fixed time and returns the bytes each flow
        received in that window, its length, and the peer's port reads per
        second meanwhile (None when the peer does not tell); the share of it
        the peer slept becomes the figure asleep_<key>.  Then stops sending,
        lets every byte in flight arrive and checks all of them."""
        p0 = self.peer.probe()
        c0 = self.peer.cpu_ns()
        t0 = time.monotonic()
        run_flows(flows, t0 + seconds)
        dt = time.monotonic() - t0
        got = [f.recv for f in flows]
        c1 = self.peer.cpu_ns()
        p1 = self.peer.probe()
        if sum(got):
            # The server's CPU time (all its threads and processes) per MB
            # it moved in the window.
            self.figures["cpumb_" + key] = (c1 - c0) / 1e6 / (sum(got) / 1e6)
        reads = None
        if p0:
            self.figures["asleep_" + key] = 1.0 - (p1["awake"] - p0["awake"]) / 1e9 / dt
            reads = (p1["reads"] - p0["reads"]) / dt
        for f in flows:
            f.total = f.sent
        run_flows(flows, time.monotonic() + self.s.drain, stall=3.0)
        self.check(flows)
        return got, dt, reads


# A command line ended with CR LF leaves the LF behind its CR; velkor relays
# it as the first byte of the bridge, so the probes let one pass.
STRAY = b"\n"


def sync(sock, master, peer, path, timeout=5.0):
    """One byte each way, so a measurement starts on a bridge that is up.
    The probe goes out once the peer holds the port open; should it still be
    lost (a bridge may drop what arrives while it sets the port up), a second
    one follows, and a late first probe is taken off the port afterwards."""
    end = time.monotonic() + timeout
    while not peer.has_open(path):
        if time.monotonic() > end:
            raise RuntimeError("the peer did not open %s" % path)
        time.sleep(0.005)
    sock.settimeout(timeout)
    seen = b""
    for attempt in range(2):
        sock.sendall(b"\xa5")
        end = time.monotonic() + timeout / 2
        while not seen.endswith(b"\xa5") and time.monotonic() < end:
            try:
                seen += os.read(master, 1)
            except BlockingIOError:
                time.sleep(0.002)
        if seen.endswith(b"\xa5"):
            break
    if not seen.endswith(b"\xa5"):
        raise RuntimeError("probe did not reach the port")
    if seen[:-1] not in (b"", STRAY):
        raise RuntimeError("bridge delivered %r before the probe" % seen)
    if attempt:
        time.sleep(0.2)
        try:
            if os.read(master, 1) != b"\xa5":
                raise RuntimeError("the port got more than the probes")
        except BlockingIOError:
            pass
    os.write(master, b"\x5a")
    if sock.recv(1) != b"\x5a":
        raise RuntimeError("probe did not come back from the port")
    sock.settimeout(None)


def sync_sockets(a, b, timeout=5.0):
    for x, y in ((a, b), (b, a)):
        y.settimeout(timeout)
        x.sendall(b"\xa5")
        d = y.recv(1)
        if d == STRAY:
            d = y.recv(1)
        if d != b"\xa5":
            raise RuntimeError("probe did not cross the relay")
        y.settimeout(None)


def mb_per_s(n, dt):
    return n / dt / 1e6


def percentiles(times, prefix, out):
    t = sorted(times)
    out[prefix + "_p50"] = t[len(t) // 2]
    out[prefix + "_p99"] = t[min(len(t) - 1, int(len(t) * 0.99))]
    out[prefix + "_max"] = t[-1]


# ---- 1. serial bridge throughput -----------------------------------------------------

def serial_throughput(r):
    r.serve(1)
    s = r.client(0)
    m = r.ptys.masters[0]
    f = Flow(s.fileno(), m, 11, window=WINDOW, name="serial client->port")
    (got,), dt, reads = r.timed([f], r.s.window, "ser_in")
    r.figures["ser_in"] = mb_per_s(got, dt)
    if reads is not None:
        r.figures["turns_ser_in"] = reads / 2
    f = Flow(m, s.fileno(), 5003, window=WINDOW, name="serial port->client")
    (got,), dt, _ = r.timed([f], r.s.window, "ser_out")
    r.figures["ser_out"] = mb_per_s(got, dt)


# ---- 2. round-trip latency -----------------------------------------------------------

def latency(r):
    r.serve(1)
    s = r.client(0)
    s.setblocking(True)
    m = r.ptys.masters[0]
    percentiles(round_trips(s, m, r.s.b2b, 0.0, r.rng), "lat_b2b", r.figures)
    percentiles(round_trips(s, m, r.s.gapped, 0.2, r.rng), "lat_gap", r.figures)


# ---- 3. TCP relay throughput ---------------------------------------------------------

def tcp_throughput(r):
    sink = socket.socket()
    sink.bind(("127.0.0.1", 0))
    sink.listen(1)
    try:
        r.serve(0, tcp_target=sink.getsockname()[1])
        s = r.peer.open_tcp()
        r.socks.append(s)
        sink.settimeout(5.0)
        t, _ = sink.accept()
        r.socks.append(t)
        t.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        sync_sockets(s, t)
        s.setblocking(False)
        t.setblocking(False)
        f = Flow(s.fileno(), t.fileno(), 17, window=WINDOW, name="relay client->target")
        (got,), dt, _ = r.timed([f], r.s.window, "tcp_in")
        r.figures["tcp_in"] = mb_per_s(got, dt)
        f = Flow(t.fileno(), s.fileno(), 7001, window=WINDOW, name="relay target->client")
        (got,), dt, _ = r.timed([f], r.s.window, "tcp_out")
        r.figures["tcp_out"] = mb_per_s(got, dt)
    finally:
        sink.close()


# ---- 4. idle cost --------------------------------------------------------------------

def idle(r):
    r.serve(NPORTS)
    peer = r.peer
    sleeps = getattr(peer, "sleeps_counter", None)

    def window():
        time.sleep(r.s.settle)
        c0, w0, t0 = peer.cpu_ns(), sleeps() if sleeps else 0, time.monotonic()
        time.sleep(r.s.idle)
        dt = time.monotonic() - t0
        c1, w1 = peer.cpu_ns(), sleeps() if sleeps else 0
        blocks = getattr(peer, "blocks_per_idle_turn", 1)
        return (c1 - c0) / 1e9 / dt * 60.0, (w1 - w0) / blocks / dt

    r.figures["idle_cpu_0"], turns = window()
    if sleeps:
        r.figures["turns_idle"] = turns
    for i in range(NPORTS):
        r.client(i)
    r.figures["idle_cpu_31"], _ = window()
    r.figures["idle_mem"] = peer.peak_kib() / 1024.0


# ---- 5. slow consumer ----------------------------------------------------------------

def slow_consumer(r):
    r.serve(1)
    s = r.client(0)
    size = r.s.slow_mb * 1000 * 1000
    f = Flow(s.fileno(), r.ptys.masters[0], 23, total=size, rate=r.s.slow_rate,
             name="slow consumer")
    p0 = r.peer.probe()
    t0 = time.monotonic()
    run_flows([f], t0 + size / r.s.slow_rate * 3 + 30, stall=15.0)
    dt = time.monotonic() - t0
    if p0:
        r.figures["asleep_slow"] = 1.0 - (r.peer.probe()["awake"] - p0["awake"]) / 1e9 / dt
    r.check([f])
    r.figures["slow_mem"] = r.peer.peak_kib() / 1024.0
    r.figures["slow_rate"] = mb_per_s(f.recv, dt)


# ---- 6. fan-out ----------------------------------------------------------------------

def fan_out(r):
    r.serve(NPORTS)
    socks = [r.client(i) for i in range(NPORTS)]
    ins = [Flow(s.fileno(), m, 101 + 7919 * i, window=WINDOW, name="client %d->port" % (i + 1))
           for i, (s, m) in enumerate(zip(socks, r.ptys.masters))]
    outs = [Flow(m, s.fileno(), 500009 + 7919 * i, window=WINDOW,
                 name="port->client %d" % (i + 1))
            for i, (s, m) in enumerate(zip(socks, r.ptys.masters))]
    got, dt, _ = r.timed(ins + outs, r.s.fan, "fan")
    got_in, got_out = got[:NPORTS], got[NPORTS:]
    r.figures["fan_in"] = mb_per_s(sum(got_in), dt)
    r.figures["fan_out"] = mb_per_s(sum(got_out), dt)
    per_client = [a + b for a, b in zip(got_in, got_out)]
    r.figures["fan_fair"] = min(per_client) / max(per_client) if max(per_client) else 0.0


JOBS = [
    ("serial", serial_throughput),
    ("latency", latency),
    ("tcp", tcp_throughput),
    ("idle", idle),
    ("slow", slow_consumer),
    ("fanout", fan_out),
]

"""Byte streams for the benchmark: checked patterns, pseudo-terminals, an
event loop that drives many streams at once, and a round-trip prober.

Every stream carries a slice of one pseudo-random pattern, each from its own
start offset, so the receiver can check every byte it gets against what must
come next: a lost, repeated, reordered or misrouted byte shows as a mismatch.
"""

import os
import random
import select
import termios
import time

from velkor_support import Pty

PATTERN_LEN = (1 << 20) + 7          # not a power of two: offsets never line up by chance
CHUNK = 65536                        # largest single write and read
_PATTERN = random.Random(20240607).randbytes(PATTERN_LEN)
_TWICE = _PATTERN + _PATTERN         # any slice up to PATTERN_LEN long, without wrapping
_TWICE_VIEW = memoryview(_TWICE)


def pattern_bytes(start, n):
    """The n pattern bytes of a stream that began at offset start."""
    out = bytearray()
    pos = start % PATTERN_LEN
    while n > 0:
        k = min(n, PATTERN_LEN)
        out += _TWICE[pos:pos + k]
        pos = (pos + k) % PATTERN_LEN
        n -= k
    return bytes(out)


# ---- pseudo-terminals ----------------------------------------------------------------

class PtySet:
    """n pseudo-terminal pairs; COM1..COMn in ports_dir link to the slaves.

    The benchmark keeps each slave open itself, so the master never sees a
    hang-up while a server closes and reopens the port between runs.
    """

    def __init__(self, n, ports_dir):
        self.ports_dir = ports_dir
        os.makedirs(ports_dir, exist_ok=True)
        self.ptys = [Pty(self.link(i)) for i in range(n)]
        self.masters = [p.master for p in self.ptys]
        self.slaves = [p.slave for p in self.ptys]
        self.paths = [p.path for p in self.ptys]

    def link(self, i):
        return os.path.join(self.ports_dir, "COM%d" % (i + 1))

    def flush(self):
        for m, s in zip(self.masters, self.slaves):
            termios.tcflush(s, termios.TCIOFLUSH)
            drain_fd(m)

    def close(self):
        for p in self.ptys:
            p.close()
        self.ptys, self.masters, self.slaves = [], [], []


def drain_fd(fd):
    while True:
        try:
            if not os.read(fd, CHUNK):
                return
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            return


# ---- streams -------------------------------------------------------------------------

class Flow:
    """One direction of one stream: written to wfd, read back from rfd.

    total: bytes to send (None: until the loop ends). rate: at most this many
    bytes per second are read (a slow consumer); None reads as fast as bytes come.
    """

    def __init__(self, wfd, rfd, start, total=None, rate=None, window=None, name=""):
        self.wfd, self.rfd = wfd, rfd
        self.window = window   # at most this many bytes sent and not yet received
        self.start = start % PATTERN_LEN
        self.wpos = self.rpos = self.start
        self.total = total
        self.rate = rate
        self.name = name
        self.sent = 0
        self.recv = 0
        self.bad = None        # first mismatch, as text
        self.eof = False
        self.t_read0 = None

    def sending(self):
        if self.window is not None and self.sent - self.recv >= self.window:
            return False
        return self.total is None or self.sent < self.total

    def done(self):
        return self.total is not None and self.recv >= self.total

    def write(self):
        n = CHUNK if self.total is None else min(CHUNK, self.total - self.sent)
        if self.window is not None:
            n = min(n, self.window - (self.sent - self.recv))
        if n <= 0:
            return
        try:
            k = os.write(self.wfd, _TWICE_VIEW[self.wpos:self.wpos + n])
        except (BlockingIOError, InterruptedError):
            return
        self.sent += k
        self.wpos = (self.wpos + k) % PATTERN_LEN

    def read_budget(self, now):
        if self.rate is None:
            return CHUNK
        if self.t_read0 is None:
            self.t_read0 = now
        return min(CHUNK, int(self.rate * (now - self.t_read0)) + 4096 - self.recv)

    def read(self, n):
        try:
            d = os.read(self.rfd, n)
        except (BlockingIOError, InterruptedError):
            return
        except OSError as e:
            self.eof = True
            if self.bad is None and not self.done():
                self.bad = "%s: read failed after %d bytes: %s" % (self.name, self.recv, e)
            return
        if not d:
            self.eof = True
            return
        if self.bad is None and d != _TWICE[self.rpos:self.rpos + len(d)]:
            exp = _TWICE[self.rpos:self.rpos + len(d)]
            at = next(i for i in range(len(d)) if d[i] != exp[i])
            self.bad = "%s: wrong byte at offset %d" % (self.name, self.recv + at)
        self.recv += len(d)
        self.rpos = (self.rpos + len(d)) % PATTERN_LEN


def run_flows(flows, deadline, stall=None, on_tick=None):
    """Drive all flows until the deadline, until every flow with a total has
    received all of it, or until nothing was received for `stall` seconds.
    Returns the time the loop ended."""
    poller = select.poll()
    masks = {}
    readers = {}
    writers = {}
    for f in flows:
        readers.setdefault(f.rfd, []).append(f)
        writers.setdefault(f.wfd, []).append(f)
    fds = set(readers) | set(writers)
    paced = any(f.rate is not None for f in flows)
    last_progress = time.monotonic()
    last_total = 0

    def wanted(fd, now):
        m = 0
        if any(not f.eof and f.read_budget(now) > 0 for f in readers.get(fd, ())):
            m |= select.POLLIN
        if any(f.sending() for f in writers.get(fd, ())):
            m |= select.POLLOUT
        return m

    while True:
        now = time.monotonic()
        if now >= deadline:
            return now
        if all(f.total is not None and (f.done() or f.bad or f.eof) for f in flows):
            return now
        got = sum(f.recv for f in flows)
        if got != last_total:
            last_total, last_progress = got, now
        elif stall is not None and now - last_progress > stall:
            return now
        for fd in fds:
            m = wanted(fd, now)
            if masks.get(fd) != m:
                if fd in masks:
                    poller.modify(fd, m) if m else poller.unregister(fd)
                elif m:
                    poller.register(fd, m)
                if m:
                    masks[fd] = m
                else:
                    masks.pop(fd, None)
        timeout = min(deadline - now, 0.002 if paced else 0.1)
        for fd, ev in poller.poll(max(0.0, timeout) * 1000):
            if ev & (select.POLLIN | select.POLLHUP | select.POLLERR):
                for f in readers.get(fd, ()):
                    b = f.read_budget(time.monotonic())
                    if b > 0 and not f.eof:
                        f.read(b)
            if ev & select.POLLOUT:
                for f in writers.get(fd, ()):
                    if f.sending():
                        f.write()
        if on_tick:
            on_tick()


# ---- round trips ---------------------------------------------------------------------

def round_trips(sock, master, count, gap_max, rng, size=16, timeout=5.0):
    """Send `count` messages of `size` bytes on sock; the benchmark itself echoes
    whatever reaches the pty master back into it, like a device that echoes.
    gap_max > 0 waits a random 0..gap_max seconds before each message.
    Returns the round-trip times in milliseconds; raises on a wrong echo."""
    sfd = sock.fileno()
    poller = select.poll()
    poller.register(sfd, select.POLLIN)
    poller.register(master, select.POLLIN)
    times = []
    for k in range(count):
        if gap_max > 0:
            time.sleep(rng.uniform(0.0, gap_max))
        msg = pattern_bytes(k * 977, size)
        got = b""
        t0 = time.perf_counter()
        sock.sendall(msg)
        while len(got) < size:
            if time.perf_counter() - t0 > timeout:
                raise RuntimeError("no echo within %.0f s (message %d)" % (timeout, k))
            for fd, _ in poller.poll(100):
                if fd == master:
                    try:
                        d = os.read(master, CHUNK)
                    except (BlockingIOError, InterruptedError):
                        continue
                    os.write(master, d)
                else:
                    d = sock.recv(CHUNK)
                    if not d:
                        raise RuntimeError("connection closed during round trip %d" % k)
                    got += d
        times.append((time.perf_counter() - t0) * 1000.0)
        if got != msg:
            raise RuntimeError("echo of message %d differs" % k)
    return times

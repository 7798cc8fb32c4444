#!/usr/bin/env python3
"""Fault soak of the server, end to end, bounded in time.

For --duration seconds many clients connect and misbehave: random bytes,
half lines, very long lines, valid and invalid commands, bridges opened to
pseudo-terminals (COM ports of a temporary port map) and to a local TCP echo
server (which hangs up on some of them), replies left unread, clients that
send and never read (echo on, a WebSocket client on the browser console's
listener that only pings, an RFC 2217 client on a port listener that only
asks for the signature), and clients that vanish without a word (a plain
close, a reset, or a half close).  All the while one well-behaved client
keeps a bridge to its own pseudo-terminal busy in both directions.

At the end the soak checks that:
  - every byte of the well-behaved bridge arrived, in order, both ways;
  - once every soak client is gone and the server has dropped it, the
    server holds exactly the descriptors it held before the first client;
  - its resident memory never grew far, and is back near where it started;
  - it still greets a new client, takes the identifier and answers "v",
    and stops with status 0 on "k";
  - it never refused a client for a full table, and reported no failed
    assertion or sanitizer finding.

The server table has 32 slots, and the server keeps a client that went away
until its 101st failed read, so the soak counts the clients the server still
holds (from /proc) and never has more than 32 at once.

Usage: soak.py --server PATH [--duration S] [--seed N] [--no-memory-check]
Standard library only; Linux (/proc, pseudo-terminals); talks to 127.0.0.1.
"""
import argparse
import os
import random
import selectors
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import velkor_support as support  # noqa: E402
from velkor_support import Pty, free_port  # noqa: E402

IDENTIFIER = b"wobex"
SLOTS = 32
# The server listens with a backlog of 8 and accepts one client a turn; a
# burst of more connects than its queue holds waits out the kernel's SYN
# retransmission back-off (1, 2, 4, 8 s...).  The soak connects at most this
# many clients at once.
CONNECTING = 8
# Slots left free: a client whose socket the server closes stays in the
# table until the next turn, after that turn's accept.
SLOT_MARGIN = 4
CHAOS_PORTS = (1, 2, 3, 4)
# The port behind the port listener (-R): its one client at a time queries.
LISTENED_PORT = 5
GOOD_PORT = 9
# A printable alphabet without "k": no soak client may stop the server.
TEXT = bytes(c for c in range(0x21, 0x7F) if c != ord("k"))
MEMORY_SLACK_KB = 8 * 1024
# How far the server may grow while clients misbehave: every queue has a
# bound, and an endpoint over its bound is not read.
PEAK_SLACK_KB = 64 * 1024
# A client that never reads sends for at most this long, and this much.
FLOOD_SECONDS = 2.0
FLOOD_BYTES = 32 << 20
WS_HANDSHAKE = (b"GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                b"Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                b"Sec-WebSocket-Version: 13\r\n\r\n")
# A ping with 125 bytes of payload, masked as a client sends it.
WS_PING = b"\x89\xfd" + b"\0\0\0\0" + b"p" * 125
TELNET_WILL_COMPORT = b"\xff\xfb\x2c"
SIGNATURE_QUERY = b"\xff\xfa\x2c\x00\xff\xf0"


class Failure(Exception):
    pass


def wait_for(condition, timeout, what, step=0.02):
    """Polls condition until it holds; fails after timeout seconds."""
    value = support.wait_for(condition, timeout, step)
    if not value:
        raise Failure("timed out after %.0f s waiting for %s" % (timeout, what))
    return value


def no_k(data):
    return data.replace(b"k", b"K")


def recv_until(sock, marker, timeout):
    """Reads until marker has arrived; everything read, or None on time-out
    or a closed connection."""
    got = read_for(sock, timeout, until=marker)
    return got if got is not None and marker in got else None


def ask(sock, data, marker, timeout):
    """Sends data and waits for marker, nudging with an empty line now and
    then: lines that arrived in one read become ready one at a time, each
    with a later read, so a line that came right behind another waits for
    one more byte.  Line mode only (in a bridge the nudges would be data)."""
    if not send(sock, data):
        raise Failure("could not send %r" % data[:60])
    got = b""
    deadline = time.monotonic() + timeout
    while marker not in got:
        left = deadline - time.monotonic()
        if left <= 0:
            raise Failure("no %r within %.0f s after sending %r; got %r" % (
                marker, timeout, data[-60:], got[-200:]))
        more = read_for(sock, min(left, 0.1), until=marker)
        if more is None:
            raise Failure("connection closed before %r after sending %r; got %r" % (
                marker, data[-60:], got[-200:]))
        got += more
        if marker not in got and not send(sock, b"\n"):
            raise Failure("could not send after %r; got %r" % (data[-60:], got[-200:]))
    return got


def read_for(sock, seconds, until=None):
    """Reads whatever arrives for a while; stops early when the peer closes
    (then None with until set) or when until has arrived."""
    got = b""
    deadline = time.monotonic() + seconds
    while until is None or until not in got:
        left = deadline - time.monotonic()
        if left <= 0:
            return got
        sock.settimeout(left)
        try:
            chunk = sock.recv(65536)
        except socket.timeout:
            return got
        except OSError:
            chunk = b""
        if not chunk:
            return None if until is not None else got
        got += chunk
    return got


def send(sock, data, timeout=2.0):
    """Sends what the server takes within the time; False once it stops."""
    sock.settimeout(timeout)
    try:
        sock.sendall(data)
        return True
    except (socket.timeout, OSError):
        return False


# ---- the server and what /proc tells about it -------------------------------------------


class Server:
    def __init__(self, binary, port, web_port, rfc2217_port, ports_dir, workdir):
        self.port = port
        self.out_path = os.path.join(workdir, "server.out")
        self.err_path = os.path.join(workdir, "server.err")
        env = dict(os.environ, VELKOR_PORTS=ports_dir)
        with open(self.out_path, "wb") as out, open(self.err_path, "wb") as err:
            self.proc = subprocess.Popen([binary, "-p%d" % port, "-b", "-W%d" % web_port,
                                          "-R%d=COM%d" % (rfc2217_port, LISTENED_PORT)],
                                         stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                         env=env)
        wait_for(lambda: (self.proc.poll() is not None
                          or b"connected to tcpip port" in self.output()),
                 10, "the server to listen")
        wait_for(lambda: (self.proc.poll() is not None
                          or b"for COM%d" % LISTENED_PORT in self.output()),
                 10, "the port listener to listen")
        self.check_alive()
        self.pid = self.proc.pid

    def output(self):
        with open(self.out_path, "rb") as f:
            return f.read()

    def errors(self):
        with open(self.err_path, "rb") as f:
            return f.read()

    def check_alive(self):
        if self.proc.poll() is not None:
            raise Failure("the server ended with status %s; its error output ends:\n%s" % (
                self.proc.returncode, self.errors()[-2000:].decode("latin-1")))

    def descriptors(self):
        """Descriptor number -> what it refers to."""
        d = "/proc/%d/fd" % self.pid
        fds = {}
        for name in os.listdir(d):
            try:
                fds[int(name)] = os.readlink(os.path.join(d, name))
            except FileNotFoundError:
                pass
        return fds

    def cpu_seconds(self):
        return support.cpu_seconds(self.pid)

    def rss_kb(self):
        kb = support.proc_field(self.pid, "status", "VmRSS")
        if not kb:
            raise Failure("no VmRSS for the server")
        return kb

    def clients(self, echo_port):
        """Clients the server holds or will take: its sockets other than the
        listener and its connections to the echo server, plus connections
        waiting in the listener's backlog."""
        inodes = set()
        for target in self.descriptors().values():
            if target.startswith("socket:["):
                inodes.add(int(target[8:-1]))
        held = set(inodes)
        backlog = 0
        for lport, rport, state, inode in tcp_table():
            if inode in inodes and (state == "0A" or rport == echo_port):
                held.discard(inode)
            elif inode == 0 and lport == self.port and state in ("01", "03", "08"):
                backlog += 1
        return len(held) + backlog


def tcp_table():
    # The listener is an IPv6 socket that takes IPv4 clients too, where the
    # system allows: it, its backlog and its clients are in tcp6.
    # (A system without IPv6 has no tcp6.)
    rows = []
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        if table.endswith("6") and not os.path.exists(table):
            continue
        with open(table) as f:
            next(f)
            for line in f:
                p = line.split()
                rows.append((int(p[1].split(":")[1], 16), int(p[2].split(":")[1], 16), p[3],
                             int(p[9])))
    return rows


class Slots:
    """Admits a new soak client only while the server's table has room.

    Reading /proc is costly, so the server's count is taken at most every
    50 ms; a client counts as pending from its connect until a count taken
    after its greeting, which then holds it."""

    def __init__(self, server, echo_port, limit):
        self.server = server
        self.echo_port = echo_port
        self.limit = limit
        self.lock = threading.Lock()
        self.pending = 0
        self.greeted_at = []
        self.connecting = threading.BoundedSemaphore(CONNECTING)
        self.counted = 0
        self.counted_at = 0.0
        self.peak = 0

    def acquire(self, stop):
        """Room for one more client, and one of the connecting places;
        False once the soak stops."""
        while not stop.is_set():
            if self.connecting.acquire(timeout=0.1):
                break
        else:
            return False
        while not stop.is_set():
            with self.lock:
                now = time.monotonic()
                if now - self.counted_at > 0.05:
                    self.counted = self.server.clients(self.echo_port)
                    self.counted_at = now
                    held = [t for t in self.greeted_at if t < now]
                    self.pending -= len(held)
                    self.greeted_at = [t for t in self.greeted_at if t >= now]
                used = self.counted + self.pending
                self.peak = max(self.peak, self.counted)
                if used < self.limit:
                    self.pending += 1
                    return True
            time.sleep(0.03)
        self.connecting.release()
        return False

    def greeted(self):
        with self.lock:
            self.greeted_at.append(time.monotonic())
        self.connecting.release()


# ---- the far ends: pseudo-terminals and a TCP echo server ----------------------------------


class FarEnds(threading.Thread):
    """Echoes what arrives on the soak's pseudo-terminals, and runs a TCP
    echo server that hangs up on some connections after a few bytes."""

    def __init__(self, ptys, rng):
        super().__init__(daemon=True)
        self.rng = rng
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(64)
        self.listener.setblocking(False)
        self.port = self.listener.getsockname()[1]
        self.sel = selectors.DefaultSelector()
        self.sel.register(self.listener, selectors.EVENT_READ, "listen")
        for p in ptys:
            self.sel.register(p.master, selectors.EVENT_READ, "pty")
        self.stop = threading.Event()
        self.budgets = {}

    def run(self):
        while not self.stop.is_set():
            for key, _ in self.sel.select(0.1):
                if key.data == "listen":
                    try:
                        conn, _ = self.listener.accept()
                    except OSError:
                        continue
                    conn.setblocking(False)
                    self.budgets[conn] = self.rng.choice([None, None, self.rng.randint(1, 20000)])
                    self.sel.register(conn, selectors.EVENT_READ, "tcp")
                elif key.data == "pty":
                    try:
                        os.write(key.fileobj, os.read(key.fileobj, 4096))
                    except OSError:
                        pass  # nobody reads the port: the echo is dropped
                else:
                    self.echo(key.fileobj)
        for key in list(self.sel.get_map().values()):
            if key.data == "tcp":
                key.fileobj.close()
        self.listener.close()

    def echo(self, conn):
        try:
            data = conn.recv(65536)
        except OSError:
            data = b""
        budget = self.budgets.get(conn)
        if data:
            try:
                conn.send(data)
            except OSError:
                pass
            if budget is not None:
                budget -= len(data)
                self.budgets[conn] = budget
        if not data or (budget is not None and budget <= 0):
            self.sel.unregister(conn)
            del self.budgets[conn]
            conn.close()


# ---- the well-behaved client ------------------------------------------------------------------


class Stream:
    """A byte stream that detects loss, duplication and reordering: a fixed
    random pattern of a length that no chunk size divides."""

    PERIOD = 1000003

    def __init__(self, seed):
        self.pattern = random.Random(seed).randbytes(self.PERIOD)

    def slice(self, at, n):
        out = b""
        while n > 0:
            i = at % self.PERIOD
            take = min(n, self.PERIOD - i)
            out += self.pattern[i:i + take]
            at += take
            n -= take
        return out


class GoodClient(threading.Thread):
    """Keeps a bridge to its own pseudo-terminal busy both ways and checks
    every byte that comes out at either end."""

    WINDOW = 48 * 1024
    CHUNK = 4096
    RATE = 400 * 1024  # bytes per second and direction, at most

    def __init__(self, port, pty, seed):
        super().__init__(daemon=True)
        self.pty = pty
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        if not (recv_until(self.sock, b"\r\n", 10) or b"").endswith(b"/velkor\r\n"):
            raise Failure("the well-behaved client got no greeting")
        self.sock.sendall(IDENTIFIER + b"\n")
        if recv_until(self.sock, b".\r\n", 10) != b".\r\n":
            raise Failure("the well-behaved client's identifier was not taken")
        # LF alone ends the command: no byte of its line stays behind to be
        # relayed as data.
        self.sock.sendall(b"p COM%d 115200\n" % GOOD_PORT)
        if recv_until(self.sock, b".\r\n", 10) != b".\r\n":
            raise Failure("the well-behaved client could not open its port")
        self.sock.setblocking(False)
        self.up = Stream(seed)
        self.down = Stream(seed + 1)
        self.sent_up = self.got_up = self.sent_down = self.got_down = 0
        self.stop_sending = threading.Event()
        self.done = threading.Event()
        self.error = None

    def run(self):
        try:
            self.pump()
        except Exception as e:  # reported by the main thread
            self.error = "well-behaved bridge: %s" % e
        self.done.set()

    def pump(self):
        start = time.monotonic()
        while True:
            sending = not self.stop_sending.is_set()
            if not sending and self.got_up == self.sent_up and self.got_down == self.sent_down:
                return
            allowed = self.RATE * (time.monotonic() - start)
            r, w = [self.sock, self.pty.master], []
            if sending and self.sent_up - self.got_up < self.WINDOW and self.sent_up < allowed:
                w.append(self.sock)
            if (sending and self.sent_down - self.got_down < self.WINDOW
                    and self.sent_down < allowed):
                w.append(self.pty.master)
            sel_r, sel_w = select_rw(r, w, 0.05)
            if self.sock in sel_w:
                n = send_nonblocking(self.sock.send, self.up.slice(self.sent_up, self.CHUNK))
                self.sent_up += n
            if self.pty.master in sel_w:
                n = send_nonblocking(lambda b: os.write(self.pty.master, b),
                                     self.down.slice(self.sent_down, self.CHUNK))
                self.sent_down += n
            if self.pty.master in sel_r:
                data = read_nonblocking(lambda: os.read(self.pty.master, 65536)) or b""
                self.check(data, self.up, self.got_up, "client to port")
                self.got_up += len(data)
            if self.sock in sel_r:
                data = read_nonblocking(lambda: self.sock.recv(65536))
                if data == b"":
                    raise Failure("the server closed the well-behaved connection")
                data = data or b""
                self.check(data, self.down, self.got_down, "port to client")
                self.got_down += len(data)

    @staticmethod
    def check(data, stream, at, direction):
        if data and data != stream.slice(at, len(data)):
            wrong = next(i for i, (a, b) in enumerate(zip(data, stream.slice(at, len(data))))
                         if a != b)
            raise Failure("%s: byte %d differs from what was sent" % (direction, at + wrong))


def select_rw(r, w, timeout):
    sel = selectors.DefaultSelector()
    for f in set(r) | set(w):
        ev = (selectors.EVENT_READ if f in r else 0) | (selectors.EVENT_WRITE if f in w else 0)
        sel.register(f, ev)
    ready_r, ready_w = [], []
    for key, ev in sel.select(timeout):
        if ev & selectors.EVENT_READ:
            ready_r.append(key.fileobj)
        if ev & selectors.EVENT_WRITE:
            ready_w.append(key.fileobj)
    sel.close()
    return ready_r, ready_w


def send_nonblocking(write, data):
    try:
        return write(data)
    except BlockingIOError:
        return 0


def read_nonblocking(read):
    try:
        return read()
    except BlockingIOError:
        return None


# ---- the misbehaving clients ------------------------------------------------------------------


class Chaos(threading.Thread):
    """One worker: connects, plays one random scenario, vanishes, again."""

    def __init__(self, soak, seed):
        super().__init__(daemon=True)
        self.soak = soak
        self.rng = random.Random(seed)

    def run(self):
        while self.soak.slots.acquire(self.soak.stop):
            try:
                self.one_client()
            except Failure as e:
                self.soak.fail(str(e))
            except OSError:
                pass  # the server dropped this client first: as good as any end

    def pause(self, most=0.3):
        time.sleep(self.rng.uniform(0, most))

    def one_client(self):
        rng = self.rng
        scenario = rng.choice(SCENARIOS)
        listener = OTHER_LISTENERS.get(scenario)
        port = self.soak.port if listener is None else getattr(self.soak, listener)
        try:
            sock = socket.socket()
            if scenario in NEVER_READING:
                # A small window: the replies back up toward the server.
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1024)
            sock.settimeout(10)
            sock.connect(("127.0.0.1", port))
        except OSError:
            self.soak.slots.greeted()
            raise
        if listener is not None:
            # No greeting on these listeners.
            self.soak.slots.greeted()
            self.soak.count(scenario.__name__)
            try:
                scenario(self, sock)
            finally:
                self.vanish(sock)
            return
        try:
            greeting = recv_until(sock, b"\r\n", 15)
        finally:
            self.soak.slots.greeted()
        if greeting is None or not greeting.endswith(b"/velkor\r\n"):
            sock.close()
            raise Failure("a client got no greeting within 15 s: %r" % greeting)
        self.soak.count(scenario.__name__)
        try:
            scenario(self, sock)
        except Failure as e:
            raise Failure("%s: %s" % (scenario.__name__, e))
        finally:
            self.vanish(sock)

    def vanish(self, sock):
        how = self.rng.randrange(3)
        try:
            if how == 0:  # a reset: no goodbye at all
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            elif how == 1:  # half close, then go
                sock.shutdown(socket.SHUT_WR)
                self.pause(0.2)
        except OSError:
            pass
        sock.close()

    def identify(self, sock, junk_before=False):
        junk = b""
        if junk_before:
            # One wrong identifier line: a third one in a row ends the
            # connection, and any byte that is not printable ends a line.
            junk = bytes(self.rng.choice(TEXT) for _ in range(self.rng.randint(1, 40))) + b"\r\n"
        ask(sock, junk + IDENTIFIER + b"\r\n", b".\r\n", 15)

    # Scenarios: each gets a greeted connection and may leave it in any state.

    def random_bytes(self, sock):
        # Before the identifier only: every line is then just a wrong
        # identifier.  Once signed in, random lines would be commands, and
        # a random "c" would look up and connect to a random host.
        rng = self.rng
        for _ in range(rng.randint(1, 15)):
            if not send(sock, no_k(rng.randbytes(rng.randint(1, 3000)))):
                return
            if rng.random() < 0.3:
                read_for(sock, 0.05)
            self.pause(0.1)
        if rng.random() < 0.5:
            # Answered only after every garbage line before it, one line a
            # turn: not waited for.
            send(sock, b"\r\n" + IDENTIFIER + b"\r\n")

    def half_line(self, sock):
        if self.rng.random() < 0.7:
            self.identify(sock)
        line = self.rng.choice([b"p COM1 96", b"t 10", b"v", b"c 127.0.0.1", b"wob", b"?"])
        send(sock, line[:self.rng.randint(1, len(line))])
        self.pause(0.5)

    def long_lines(self, sock):
        self.identify(sock)
        lines = self.rng.randint(1, 3)
        for _ in range(lines):
            n = self.rng.randint(1100, 6000)
            line = b"x" + bytes(self.rng.choice(TEXT) for _ in range(n - 1)) + b"\r\n"
            at = 0
            while at < len(line):
                step = self.rng.randint(1, 2500)
                if not send(sock, line[at:at + step]):
                    return
                at += step
        reply = ask(sock, b"v\r\n", b":1.19\r\n.\r\n", 15)
        if reply.count(b"! line too long\r\n") != lines:
            raise Failure("%d overlong lines, but the replies were %r" % (lines, reply[:300]))

    def commands(self, sock):
        self.identify(sock, junk_before=self.rng.random() < 0.5)
        s = self.soak
        pool = [b"?", b"v", b"v a b c", b"e", b"s", b"i", b"n", b"r", b"l", b"l Ports",
                b"t %d" % self.rng.randint(0, 300), b"t 20000", b"t x", b"t -3", b"V", b"help",
                b"foo bar", b"C 1 2", b"c 127.0.0.1", b"p COM1", b"p COM7 9600", b"p LPT1 9600",
                b"c 127.0.0.1 %d" % s.closed_port, b"\x01\x02v", b"v\tx", b"cx", b"?" * 900]
        for _ in range(self.rng.randint(1, 12)):
            if not send(sock, self.rng.choice(pool) + self.rng.choice([b"\r\n", b"\n", b"\r"])):
                return
            if self.rng.random() < 0.8:
                read_for(sock, 0.1)

    def tcp_bridge(self, sock):
        self.identify(sock)
        host = self.rng.choice([b"127.0.0.1", b"localhost"])
        send(sock, b"c %s %d\r\n" % (host, self.soak.echo_port))
        reply = recv_until(sock, b"\r\n", 15)
        if reply is None:
            raise Failure("no answer to a connect within 15 s")
        if reply != b".\r\n":
            return
        for _ in range(self.rng.randint(1, 20)):
            if not send(sock, no_k(self.rng.randbytes(self.rng.randint(1, 4000)))):
                return
            read_for(sock, self.rng.uniform(0, 0.1))
        # The echo server may have hung up by now, and the client be back
        # at the identifier: sign in again then, or relay the lines if not.
        send(sock, b"\r\n" + IDENTIFIER + b"\r\nv\r\n")
        read_for(sock, 0.2)

    def port_bridge(self, sock):
        self.identify(sock)
        port = self.rng.choice(CHAOS_PORTS)
        baud = self.rng.choice([9600, 115200, 0, 12345, -1])
        send(sock, b"p COM%d %d\r\n" % (port, baud))
        reply = recv_until(sock, b"\r\n", 15)
        if reply is None:
            raise Failure("no answer to an open within 15 s")
        if reply != b".\r\n":
            return  # the port is in use by another client
        for _ in range(self.rng.randint(1, 20)):
            if not send(sock, no_k(self.rng.randbytes(self.rng.randint(1, 2000)))):
                return
            read_for(sock, self.rng.uniform(0, 0.1))

    def unread_replies(self, sock):
        self.identify(sock)
        for _ in range(self.rng.randint(1, 3)):
            send(sock, b"t 10000\r\n")
        send(sock, b"?\r\nv\r\nr\r\n")
        self.pause(1.5)

    def disconnect(self, sock):
        self.identify(sock)
        ask(sock, b"v\r\n", b":1.19\r\n.\r\n", 15)
        send(sock, b"d\r\n")
        reply = read_for(sock, 15) or b""
        if not reply.endswith(b":disconnect\r\n.\r\n"):
            raise Failure("\"d\" did not end with its reply and a close: %r" % reply[-100:])

    def leave_at_once(self, sock):
        pass

    def flood(self, sock, first, chunk):
        """Sends `first`, then `chunk` over and over, never reading, for a
        while or until the server stops taking it."""
        sock.setblocking(False)
        data = first + chunk * max(1, 65536 // len(chunk))
        at, sent = 0, 0
        deadline = time.monotonic() + self.rng.uniform(0.2, FLOOD_SECONDS)
        while sent < FLOOD_BYTES and time.monotonic() < deadline:
            _, writable = select_rw([], [sock], 0.1)
            if not writable:
                continue
            try:
                n = sock.send(data[at:])
            except BlockingIOError:
                continue
            except OSError:
                return  # the server closed it: as good as any end
            sent += n
            at += n
            if at >= len(data):
                data = chunk * max(1, 65536 // len(chunk))
                at = 0

    def echo_flood(self, sock):
        # Echo on and one endless line: the line is dropped as overlong, the
        # echo of it waits for a client that never reads.
        self.identify(sock)
        send(sock, b"e\r\n")
        self.flood(sock, b"", b"a" * 4096)

    def web_pinger(self, sock):
        self.flood(sock, WS_HANDSHAKE, WS_PING)

    def rfc2217_querier(self, sock):
        # Refused while another client holds the port: then the flood ends
        # with the close.
        self.flood(sock, TELNET_WILL_COMPORT, SIGNATURE_QUERY)


SCENARIOS = [Chaos.random_bytes, Chaos.half_line, Chaos.long_lines, Chaos.commands,
             Chaos.tcp_bridge, Chaos.port_bridge, Chaos.unread_replies, Chaos.disconnect,
             Chaos.leave_at_once, Chaos.echo_flood, Chaos.web_pinger, Chaos.rfc2217_querier]
# Scenarios on another listener than the main one: the Soak's attribute
# that holds its port.
OTHER_LISTENERS = {Chaos.web_pinger: "web_port", Chaos.rfc2217_querier: "rfc2217_port"}
NEVER_READING = (Chaos.unread_replies, Chaos.echo_flood, Chaos.web_pinger, Chaos.rfc2217_querier)


# ---- the soak -----------------------------------------------------------------------------------


class Soak:
    def __init__(self, args):
        self.args = args
        self.stop = threading.Event()
        self.lock = threading.Lock()
        self.failures = []
        self.counts = {}

    def fail(self, message):
        with self.lock:
            self.failures.append(message)

    def count(self, name):
        with self.lock:
            self.counts[name] = self.counts.get(name, 0) + 1

    def run(self, workdir):
        args = self.args
        seed = args.seed
        rng = random.Random(seed)
        ports_dir = os.path.join(workdir, "ports")
        os.mkdir(ports_dir)
        ptys = [Pty(os.path.join(ports_dir, "COM%d" % n)) for n in CHAOS_PORTS + (LISTENED_PORT,)]
        good_pty = Pty(os.path.join(ports_dir, "COM%d" % GOOD_PORT))
        far = FarEnds(ptys, random.Random(rng.random()))
        far.start()
        self.echo_port = far.port
        self.closed_port = free_port()
        self.port = free_port()
        self.web_port = free_port()
        self.rfc2217_port = free_port()
        server = Server(args.server, self.port, self.web_port, self.rfc2217_port, ports_dir,
                        workdir)
        try:
            self.soak(server, good_pty, rng)
        finally:
            self.stop.set()
            if server.proc.poll() is None:
                server.proc.kill()
                server.proc.wait()
            far.stop.set()
            far.join(5)
            for p in ptys + [good_pty]:
                p.close()

    def soak(self, server, good_pty, rng):
        args = self.args
        fds_before = server.descriptors()
        rss_before = server.rss_kb()
        rss_peak = rss_before

        good = GoodClient(self.port, good_pty, rng.randrange(1 << 30))
        good.start()
        self.slots = Slots(server, self.echo_port, SLOTS - SLOT_MARGIN)
        workers = [Chaos(self, rng.random()) for _ in range(SLOTS - SLOT_MARGIN - 1)]
        for w in workers:
            w.start()

        end = time.monotonic() + args.duration
        while time.monotonic() < end and not good.done.is_set():
            server.check_alive()
            rss_peak = max(rss_peak, server.rss_kb())
            time.sleep(0.25)
        self.stop.set()
        for w in workers:
            w.join(60)
            if w.is_alive():
                raise Failure("a soak client did not finish within 60 s")
        server.check_alive()

        good.stop_sending.set()
        if not good.done.wait(30):
            raise Failure("the well-behaved bridge did not drain within 30 s: %d of %d bytes "
                          "to the port, %d of %d to the client" % (
                              good.got_up, good.sent_up, good.got_down, good.sent_down))
        if good.error:
            raise Failure(good.error)
        print("soak: well-behaved bridge moved %d bytes to the port and %d to the client, "
              "all in order" % (good.got_up, good.got_down))

        wait_for(lambda: server.clients(self.echo_port) == 1, 60,
                 "the server to drop every soak client")
        good.sock.close()
        wait_for(lambda: server.clients(self.echo_port) == 0, 60,
                 "the server to drop the well-behaved client")
        server.check_alive()

        fds_after = wait_for(lambda: self.same_descriptors(server, fds_before), 10,
                             "the server's descriptors to match the start", step=0.1)
        rss_after = server.rss_kb()
        print("soak: %d clients (%s); at most %d connections held by the server at once; "
              "server CPU %.1f s" % (
                  sum(self.counts.values()),
                  ", ".join("%s %d" % kv for kv in sorted(self.counts.items())),
                  self.slots.peak, server.cpu_seconds()))
        print("soak: descriptors %d before and %d after; resident memory %d KiB before, "
              "%d KiB at most, %d KiB after" % (
                  len(fds_before), len(fds_after), rss_before, rss_peak, rss_after))
        if args.memory_check and rss_peak > rss_before + PEAK_SLACK_KB:
            raise Failure("resident memory reached %d KiB during the soak, %d KiB before" % (
                rss_peak, rss_before))
        if args.memory_check and rss_after > rss_before + MEMORY_SLACK_KB:
            raise Failure("resident memory %d KiB after the soak, %d KiB before" % (
                rss_after, rss_before))

        self.probe()
        wait_for(lambda: server.proc.poll() is not None, 10, "the server to stop after \"k\"")
        if server.proc.returncode != 0:
            raise Failure("the server ended with status %d after \"k\"" % server.proc.returncode)
        self.check_errors(server)
        if self.failures:
            raise Failure("\n".join(self.failures[:10]))

    @staticmethod
    def same_descriptors(server, before):
        now = server.descriptors()
        return now if now == before else None

    def probe(self):
        sock = socket.create_connection(("127.0.0.1", self.port), timeout=10)
        greeting = recv_until(sock, b"\r\n", 10)
        if greeting is None or not greeting.endswith(b"/velkor\r\n"):
            raise Failure("a new client got no greeting after the soak: %r" % greeting)
        sock.sendall(IDENTIFIER + b"\r\n")
        if recv_until(sock, b".\r\n", 10) != b".\r\n":
            raise Failure("the identifier was not taken after the soak")
        sock.sendall(b"v\r\n")
        if recv_until(sock, b".\r\n", 10) != b":1.19\r\n.\r\n":
            raise Failure("\"v\" was not answered after the soak")
        sock.sendall(b"k\r\n")
        if read_for(sock, 10) != b":kill\r\n.\r\n":
            raise Failure("\"k\" was not answered after the soak")
        sock.close()
        print("soak: a new client is greeted, signs in and gets \"v\" answered; \"k\" stops "
              "the server")

    @staticmethod
    def check_errors(server):
        err = server.errors()
        for marker in (b"to many clients", b"Assertion failed", b"ERROR: AddressSanitizer",
                       b"runtime error:", b"ERROR: LeakSanitizer"):
            if marker in err:
                at = err.index(marker)
                raise Failure("the server reported %r:\n%s" % (
                    marker, err[max(0, at - 500):at + 1500].decode("latin-1")))


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--server", required=True, help="the server binary")
    p.add_argument("--duration", type=float, default=45, help="seconds of misbehaviour")
    p.add_argument("--seed", type=int, default=None, help="replays one run")
    p.add_argument("--no-memory-check", dest="memory_check", action="store_false",
                   help="leave resident memory unchecked (for sanitizer builds)")
    args = p.parse_args()
    if args.seed is None:
        args.seed = random.randrange(1 << 31)
    print("soak: seed %d, %.0f s (replay with --seed %d)" % (args.seed, args.duration, args.seed))
    soak = Soak(args)
    with tempfile.TemporaryDirectory(prefix="velkor-soak-") as workdir:
        try:
            soak.run(workdir)
        except Failure as e:
            print("soak: FAILED: %s" % e)
            for more in soak.failures[:10]:
                print("soak: also: %s" % more)
            return 1
    print("soak: passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())

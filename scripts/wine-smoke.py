#!/usr/bin/env python3
"""Smoke check of velkor.exe under Wine.

Makes a throw-away Wine prefix, starts the Windows build in it and talks to
it over loopback: greeting and identifier, version, product type, the serial
port listings read from the registry, a COM port backed by a pseudo-terminal
(bytes both ways, exclusive open, a stalled port that must not freeze the
server), an outgoing connection to a local echo server, and the kill command
with its exit status and shutdown lines.  Prints how long each step took and
ends with a "N passed, N failed" line; the exit status is 0 only when every
check passed.

usage: wine-smoke.py [--keep] path/to/velkor.exe
"""
import fcntl
import os
import pty
import select
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time
import tty

IDENT = b"wobex"
DEADLINE = 20.0  # seconds any single expected event may take
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "ws2_32.dll", "advapi32.dll", "user32.dll"}

passed = 0
failed = 0
timings = []
differences = []


def check(name, ok, detail=""):
    global passed, failed
    if ok:
        passed += 1
        print("ok   %s" % name)
    else:
        failed += 1
        print("FAIL %s %s" % (name, detail))


def wine_differs(name, ok, reason):
    """A check whose Windows behaviour Wine does not have: noted, not failed."""
    if ok:
        check(name, ok)
    else:
        differences.append(name)
        print("note %s: differs under Wine (%s)" % (name, reason))


class timed:
    """Records how long a step took."""

    def __init__(self, name):
        self.name = name

    def __enter__(self):
        self.t0 = time.monotonic()

    def __exit__(self, *exc):
        timings.append((self.name, time.monotonic() - self.t0))


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def wait_for(pred, deadline=DEADLINE):
    end = time.monotonic() + deadline
    while time.monotonic() < end:
        if pred():
            return True
        time.sleep(0.01)
    return pred()


class Collector:
    """Collects everything a pipe delivers, in a thread."""

    def __init__(self, stream):
        self.data = b""
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self._run, args=(stream,), daemon=True)
        self.thread.start()

    def _run(self, stream):
        while True:
            chunk = os.read(stream.fileno(), 65536)
            if not chunk:
                return
            with self.lock:
                self.data += chunk

    def get(self):
        with self.lock:
            return self.data


class Conn:
    """One client of the server."""

    def __init__(self, port):
        self.sock = None
        end = time.monotonic() + DEADLINE
        while self.sock is None:
            try:
                self.sock = socket.create_connection(("127.0.0.1", port), timeout=1)
            except OSError:
                if time.monotonic() > end:
                    raise
                time.sleep(0.05)
        self.sock.settimeout(DEADLINE)
        self.pending = b""

    def _receive_until(self, done):
        """Receives until done() holds, the peer closes or the time is up."""
        deadline = time.monotonic() + DEADLINE
        while not done() and time.monotonic() < deadline:
            try:
                chunk = self.sock.recv(65536)
            except socket.timeout:
                break
            if not chunk:
                break
            self.pending += chunk

    def until(self, end):
        """Bytes up to and including the first `end`, or what came before a time-out."""
        self._receive_until(lambda: end in self.pending)
        i = self.pending.find(end)
        cut = len(self.pending) if i < 0 else i + len(end)
        got, self.pending = self.pending[:cut], self.pending[cut:]
        return got

    def exactly(self, n):
        self._receive_until(lambda: len(self.pending) >= n)
        got, self.pending = self.pending[:n], self.pending[n:]
        return got

    def command(self, line, end=b".\r\n"):
        self.sock.sendall(line + b"\r\n")
        return self.until(end)

    def login(self):
        greeting = self.until(b"\r\n")
        return greeting, self.command(IDENT)


def read_pty(fd, n):
    got = b""
    end = time.monotonic() + DEADLINE
    while len(got) < n and time.monotonic() < end:
        try:
            got += os.read(fd, 65536)
        except BlockingIOError:
            time.sleep(0.005)
    return got


def pty_full(master, slave):
    """True once the pseudo-terminal can take nothing more for good: the
    master's line buffer (4 KiB) is full, so the kernel moves nothing out of
    the way any more, and the slave is not writable.  The slave alone turns
    unwritable for a moment now and then while the kernel shifts its buffers."""
    queued = struct.unpack("i", fcntl.ioctl(master, termios.FIONREAD, b"\0\0\0\0"))[0]
    p = select.poll()
    p.register(slave, select.POLLOUT)
    return queued >= 4000 and not p.poll(0)


def echo_server():
    """A one-connection echo server on loopback; returns its port."""
    srv = socket.socket()
    srv.bind(("127.0.0.1", 0))
    srv.listen(1)

    def run():
        c, _ = srv.accept()
        srv.close()
        while True:
            d = c.recv(65536)
            if not d:
                break
            c.sendall(d)
        c.close()

    threading.Thread(target=run, daemon=True).start()
    return srv.getsockname()[1]


def wine(env, *args):
    """Runs a wine command and returns its standard output.  The output goes
    through a file, not a pipe: system processes that the command starts
    outlive it and would hold a pipe open."""
    with tempfile.TemporaryFile() as f:
        subprocess.run(["wine"] + list(args), env=env, stdin=subprocess.DEVNULL, stdout=f,
                       stderr=subprocess.DEVNULL, check=True, timeout=120)
        f.seek(0)
        return f.read()


def product_type(env):
    """ProductType as Wine's own reg tool reports it."""
    out = wine(env, "reg", "query", r"HKLM\SYSTEM\CurrentControlSet\Control\ProductOptions",
               "/v", "ProductType")
    for line in out.decode("latin-1").splitlines():
        parts = line.split()
        if len(parts) == 3 and parts[0] == "ProductType":
            return parts[2].encode()
    return None


def imported_dlls(exe):
    out = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", exe],
                         capture_output=True, text=True).stdout
    return {l.split(":", 1)[1].strip().lower() for l in out.splitlines() if "DLL Name:" in l}


def run(exe, keep):
    exe = os.path.abspath(exe)
    dlls = imported_dlls(exe)
    check("imports only system DLLs", dlls and dlls <= SYSTEM_DLLS, sorted(dlls))

    top = tempfile.mkdtemp(prefix="velkor-wine-")
    env = dict(os.environ)
    env["WINEPREFIX"] = os.path.join(top, "wine")
    env["WINEDEBUG"] = "-all"
    env["WINEDLLOVERRIDES"] = "mscoree,mshtml="  # no Mono or Gecko installer prompts
    server = None
    master = slave = -1
    try:
        with timed("prefix init (wineboot -i)"):
            # A persistent wine server of the test's own, so that the server
            # under test never starts one (whose output would mix with its own)
            # and later wine commands find it running.
            os.makedirs(env["WINEPREFIX"])
            subprocess.run(["wineserver", "-p"], env=env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
            wine(env, "wineboot", "-i")

        # A COM port: COM5 in the prefix is the slave of a fresh pseudo-terminal.
        master, slave = pty.openpty()
        tty.setraw(slave)
        os.set_blocking(master, False)
        os.symlink(os.ttyname(slave), os.path.join(env["WINEPREFIX"], "dosdevices", "com5"))

        port = free_port()
        # Without -b the console is the first client: its greeting shows the
        # bytes that reach standard output (binary mode: CR LF, never CR CR LF).
        with timed("server start (to its start-up line)"):
            server = subprocess.Popen(["wine", exe, "-p%d" % port], env=env,
                                      stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE)
            out = Collector(server.stdout)
            err = Collector(server.stderr)
            started = wait_for(lambda: b"\n" in out.get(), 60)
        first = out.get().split(b"\n")[0]
        check("start-up line while running", started and first.startswith(b"server socket ")
              and first.endswith(b" connected to tcpip port %d" % port), repr(out.get()))
        listener = first.split()[2] if started else b"?"

        with timed("protocol: greeting, identifier, v, i"):
            a = Conn(port)
            greeting, ident = a.login()
            check("greeting", greeting == b"velkor.example.org/velkor\r\n", repr(greeting))
            check("identifier", ident == b".\r\n", repr(ident))
            r = a.command(b"v")
            check("v", r == b":1.19\r\n.\r\n", repr(r))
            ptype = product_type(env)
            r = a.command(b"i")
            check("i", ptype is not None and r == b":WIN32 " + ptype + b"\x00\r\n.\r\n",
                  "%r (reg: %r)" % (r, ptype))
        wait_for(lambda: b"velkor.example.org/velkor\r\n" in out.get(), 5)
        console = out.get()
        check("console greeting in binary mode",
              b"\nvelkor.example.org/velkor\r\n" in console and b"\r\r\n" not in console,
              repr(console))

        with timed("registry: r, n"):
            serialcomm = r"HKLM\HARDWARE\DEVICEMAP\SERIALCOMM"
            # Wine lists its own ports here; start from an empty key.  (The
            # key's parent is volatile, so a deleted key cannot be made anew.)
            wine(env, "reg", "delete", serialcomm, "/va", "/f")
            r = a.command(b"r")
            check("r with no ports", r == b".\r\n", repr(r))
            for name, data in ((r"\Device\Serial5", "COM5"), (r"\Device\VCP12", "COM12")):
                wine(env, "reg", "add", serialcomm, "/v", name, "/t", "REG_SZ", "/d", data, "/f")
            r = a.command(b"r")
            check("r", r == b":\\Device\\Serial5 COM5\x00\r\n:\\Device\\VCP12 COM12\x00\r\n.\r\n",
                  repr(r))
            r = a.command(b"n")
            check("n", r == b":COM5\x00\r\n:COM12\x00\r\n.\r\n", repr(r))
            wine(env, "reg", "delete", serialcomm, "/f")
            r = a.command(b"n")
            check("n without the key", r == b"! RegOpenKeyEx\r\n.\r\n", repr(r))

        with timed("serial: open, 256 values both ways"):
            r = a.command(b"p COM5 9600", b"\r\n")
            check("p COM5 9600", r == b".\r\n", repr(r))
            speeds = termios.tcgetattr(slave)[4:6]
            check("baud rate reaches the line", speeds == [termios.B9600, termios.B9600], speeds)
            every = bytes(range(256))
            a.sock.sendall(every)
            # The LF of the command's CR LF is the first raw byte.
            got = read_pty(master, 257)
            check("client to port, all 256 values", got == b"\n" + every, repr(got[:16]))
            os.write(master, every)
            got = a.exactly(256)
            check("port to client, all 256 values", got == every, repr(got[:16]))
            b = Conn(port)
            b.login()

        with timed("serial: stalled port, server stays responsive"):
            # Nobody reads the pseudo-terminal: the port holds its output back.
            # Writes are bounded in time, so other clients are still served,
            # and no byte is lost or doubled once the port drains again.
            payload = bytes((i * 7 + i // 256) % 256 for i in range(256 * 1024))
            threading.Thread(target=a.sock.sendall, args=(payload,), daemon=True).start()
            full = wait_for(lambda: pty_full(master, slave))
            check("port stalls", full)
            # Several round trips: the server's writes into the full port keep
            # coming back, turn after turn, not only once.
            replies = []
            for _ in range(5):
                replies.append(b.command(b"v"))
                if replies[-1] != b":1.19\r\n.\r\n":
                    break
            check("answers while a port is stalled",
                  replies == [b":1.19\r\n.\r\n"] * 5, repr(replies))
            got = read_pty(master, len(payload))
            check("stalled port drains in order", got == payload,
                  "%d of %d bytes" % (len(got), len(payload)))

        with timed("tcp: connect to an echo server"):
            c = Conn(port)
            c.login()
            r = c.command(b"c 127.0.0.1 %d" % echo_server(), b"\r\n")
            check("c 127.0.0.1", r == b".\r\n", repr(r))
            c.sock.sendall(every)
            got = c.exactly(257)
            check("echo through the connection", got == b"\n" + every, repr(got[:16]))

        with timed("serial: second open of the same port"):
            x = Conn(port)
            x.login()
            r = x.command(b"p COM5 9600", b"\r\n")
            wine_differs("second open of COM5 refused", r == b"! could not open port\r\n",
                         "Wine does not enforce share mode 0 on serial devices")

        with timed("kill and shutdown"):
            r = b.command(b"k")
            check("k", r == b":kill\r\n.\r\n", repr(r))
            try:
                status = server.wait(DEADLINE)
            except subprocess.TimeoutExpired:
                status = None
            check("exit status 0", status == 0, status)
            out.thread.join(5)
            err.thread.join(5)
        closes = [l for l in out.get().split(b"\n") if l.startswith(b"kva_close: ")]
        # Still watched at the kill: the listener, clients a, c, c's outgoing
        # connection and x (b, which sent the kill, is gone with its client).
        fds = [l.split()[1] for l in closes]
        check("kva_close lines", len(closes) == 5 and all(l.endswith(b" ") for l in closes)
              and fds[0] == listener and len(set(fds)) == 5, repr(out.get()))
        check("nothing on standard error", err.get() == b"", repr(err.get()))
    finally:
        if server is not None and server.poll() is None:
            server.kill()
            server.wait()
        # Stop the prefix's wine server and wait until it is gone before the
        # prefix is removed: a dying server on a deleted prefix can be taken
        # for the server of a new prefix that reuses the folder's inode.
        for flag in ("-k", "-w"):
            subprocess.run(["wineserver", flag], env=env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for fd in (master, slave):
            if fd >= 0:
                os.close(fd)
        if keep:
            print("prefix kept in %s" % top)
        else:
            shutil.rmtree(top, ignore_errors=True)


def main(argv):
    keep = "--keep" in argv
    args = [a for a in argv if a != "--keep"]
    if len(args) != 1:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    t0 = time.monotonic()
    try:
        run(args[0], keep)
    except Exception as e:  # an unexpected failure is one failed check, not a traceback
        check("smoke run completed", False, "%s: %s" % (type(e).__name__, e))
    timings.append(("whole smoke run", time.monotonic() - t0))
    print()
    for name, secs in timings:
        print("%-48s %6.2f s" % (name, secs))
    for name in differences:
        print("differs under Wine: %s" % name)
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 and passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

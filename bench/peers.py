"""The servers under measurement: velkor and two tools that do the same job.

Each is started afresh for every piece of work, on free loopback ports, and
offers COM1..COMn of a ports directory (links to pseudo-terminals) and, when
asked, a relay to one local TCP port.  A client socket handed out by
open_serial/open_tcp is already bridged: from its first byte on, everything
is raw.
"""

import os
import shutil
import signal
import socket
import subprocess
import time

from velkor_support import command, free_port, proc_field


class PeerUnavailable(Exception):
    pass


def _listening(port):
    """True when something listens on 127.0.0.1:port (read from /proc, so no
    probe connection disturbs the server)."""
    want = ":%04X" % port
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                next(f)
                for line in f:
                    parts = line.split()
                    if parts[1].endswith(want) and parts[3] == "0A":
                        return True
        except FileNotFoundError:
            pass
    return False


def _descendants(roots):
    """The given pids and all their descendants that are still alive."""
    parent = {}
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % name) as f:
                stat = f.read()
        except OSError:
            continue
        ppid = int(stat.rsplit(")", 1)[1].split()[1])
        parent[int(name)] = ppid
    out = [p for p in roots if p in parent]
    todo = list(out)
    while todo:
        p = todo.pop()
        kids = [c for c, pp in parent.items() if pp == p]
        out += kids
        todo += kids
    return out


def sched_ns(pids, fields=1):
    """Time the given processes (all threads) spent so far on a CPU, and with
    fields=2 also waiting for one, in ns."""
    total = 0
    for pid in pids:
        try:
            for tid in os.listdir("/proc/%d/task" % pid):
                with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as f:
                    total += sum(int(x) for x in f.read().split()[:fields])
        except (OSError, ValueError):
            pass
    return total


def _connect(port, timeout=5.0):
    end = time.monotonic() + timeout
    while True:
        try:
            s = socket.create_connection(("127.0.0.1", port), timeout=timeout)
            s.settimeout(None)
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            return s
        except OSError:
            if time.monotonic() > end:
                raise
            time.sleep(0.02)


class Peer:
    name = "?"

    def __init__(self, workdir, ports_dir):
        self.workdir = workdir
        self.ports_dir = ports_dir
        self.procs = []
        self.log = None

    def _spawn(self, argv, env=None):
        if self.log is None:
            self.log = open(os.path.join(self.workdir, "%s.log" % self.name), "ab")
        p = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=self.log,
                             stderr=self.log, env=env)
        self.procs.append(p)
        return p

    def _wait_listening(self, ports, timeout=10.0):
        end = time.monotonic() + timeout
        for port in ports:
            while not _listening(port):
                for p in self.procs:
                    if p.poll() is not None:
                        raise RuntimeError("%s exited with status %d at start-up"
                                           % (self.name, p.returncode))
                if time.monotonic() > end:
                    raise RuntimeError("%s does not listen on port %d" % (self.name, port))
                time.sleep(0.01)

    def pids(self):
        return _descendants([p.pid for p in self.procs if p.poll() is None])

    def cpu_ns(self):
        return sched_ns(self.pids())

    def peak_kib(self):
        """Peak resident memory (VmHWM).  For several processes (socat forks
        one per connection) the program and libraries, file-backed pages that
        all of them share, count once: every process after the first adds
        its peak less its file-backed pages."""
        total = 0
        for i, p in enumerate(self.pids()):
            peak = proc_field(p, "status", "VmHWM")
            if i > 0:
                peak -= proc_field(p, "status", "RssFile") + proc_field(p, "status", "RssShmem")
            total += max(0, peak)
        return total

    def has_open(self, path):
        """True when one of the peer's processes holds the device open."""
        for pid in self.pids():
            try:
                fds = os.listdir("/proc/%d/fd" % pid)
            except OSError:
                continue
            for fd in fds:
                try:
                    if os.readlink("/proc/%d/fd/%s" % (pid, fd)) == path:
                        return True
                except OSError:
                    pass
        return False

    def probe(self):
        """Counters a timed window reports the change of; none by default."""
        return None

    def stop(self):
        # Children first (socat's per-connection processes), so that their
        # parent is still there to reap them.
        roots = {p.pid for p in self.procs}
        kids = [pid for pid in self.pids() if pid not in roots]
        for pid in kids:
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        end = time.monotonic() + 2.0
        while time.monotonic() < end and any(os.path.exists("/proc/%d" % k) for k in kids):
            time.sleep(0.01)
        for p in self.procs:
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
        for p in self.procs:
            try:
                p.wait(timeout=5)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        self.procs = []
        if self.log:
            self.log.close()
            self.log = None

    def link(self, i):
        return os.path.join(self.ports_dir, "COM%d" % (i + 1))


class Velkor(Peer):
    name = "velkor"

    def __init__(self, workdir, ports_dir, binary, blocks_per_idle_turn=1):
        super().__init__(workdir, ports_dir)
        if not binary or not os.access(binary, os.X_OK):
            raise PeerUnavailable("no velkor binary at %s" % binary)
        self.binary = binary
        # An idle turn blocks once, in its wait; a velkor from before the
        # event-driven wait blocked twice (its idle sleep, then its wait).
        self.blocks_per_idle_turn = blocks_per_idle_turn

    def start(self, nports, tcp_target=None):
        self.port = free_port()
        env = dict(os.environ, VELKOR_PORTS=self.ports_dir)
        self._spawn([self.binary, "-b", "-p%d" % self.port], env=env)
        self._wait_listening([self.port])
        self.tcp_target = tcp_target

    def _command(self, line):
        s = _connect(self.port)
        s.settimeout(5.0)
        command(s, b"wobex", line)
        s.settimeout(None)
        return s

    def open_serial(self, i):
        return self._command(b"p COM%d 115200\r\n" % (i + 1))

    def open_tcp(self):
        return self._command(b"c 127.0.0.1 %d\r\n" % self.tcp_target)

    def probe(self):
        """reads: reads of serial ports so far (every turn reads each bridged
        port twice, once in each pump, while its input buffer has room);
        awake: ns spent running or ready to run, the rest of the time the
        loop was asleep or waiting."""
        pid = self.procs[0].pid
        return {"reads": proc_field(pid, "io", "syscr"), "awake": sched_ns([pid], fields=2)}

    def sleeps_counter(self):
        """Voluntary context switches (blocks_per_idle_turn of them a turn)."""
        return proc_field(self.procs[0].pid, "status", "voluntary_ctxt_switches")


class PortPerLine(Peer):
    """A tool installed on the system that listens on one TCP port per serial
    port, plus one for the relay, and bridges every connection at once."""

    def __init__(self, workdir, ports_dir):
        super().__init__(workdir, ports_dir)
        if not shutil.which(self.name):
            raise PeerUnavailable("%s is not installed" % self.name)

    def start(self, nports, tcp_target=None):
        self.ports = [free_port() for _ in range(nports)]
        self.tcp_port = free_port() if tcp_target is not None else None
        self.launch(tcp_target)
        self._wait_listening(self.ports + ([self.tcp_port] if self.tcp_port else []))

    def open_serial(self, i):
        return _connect(self.ports[i])

    def open_tcp(self):
        return _connect(self.tcp_port)


class Ser2net(PortPerLine):
    name = "ser2net"

    def launch(self, tcp_target):
        lines = []
        for i, port in enumerate(self.ports):
            lines += ["connection: &com%d" % (i + 1),
                      "  accepter: tcp,127.0.0.1,%d" % port,
                      "  connector: serialdev,%s,115200n81,local" % self.link(i)]
        if self.tcp_port:
            lines += ["connection: &relay",
                      "  accepter: tcp,127.0.0.1,%d" % self.tcp_port,
                      "  connector: tcp,127.0.0.1,%d" % tcp_target]
        conf = os.path.join(self.workdir, "ser2net.yaml")
        with open(conf, "w") as f:
            f.write("\n".join(lines) + "\n")
        self._spawn(["ser2net", "-n", "-u", "-c", conf,
                     "-P", os.path.join(self.workdir, "ser2net.pid")])


class Socat(PortPerLine):
    name = "socat"

    def launch(self, tcp_target):
        # One listener per port, each forking a child per connection: the
        # usual way to put several ttys on the network with socat.
        for i, port in enumerate(self.ports):
            self._spawn(["socat", "TCP-LISTEN:%d,bind=127.0.0.1,reuseaddr,fork" % port,
                         "%s,raw,echo=0,b115200" % self.link(i)])
        if self.tcp_port:
            self._spawn(["socat", "TCP-LISTEN:%d,bind=127.0.0.1,reuseaddr" % self.tcp_port,
                         "TCP:127.0.0.1:%d" % tcp_target])

"""What the Python tests and the benchmark scripts all do around a velkor
server: free loopback ports, a pseudo-terminal standing in for a serial
port, waiting for the server to listen, signing a client in, reading /proc.

Standard library only; Linux (pseudo-terminals, /proc).  The scripts find
this file by its place in the source tree (tests/support), with a
sys.path entry relative to their own file.
"""
import os
import socket
import subprocess
import time
import tty


def free_port():
    """A loopback TCP port nothing listens on right now."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(check, timeout=10, step=0.02):
    """check()'s first true value, asked every step seconds; None when it
    has not held within timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = check()
        if value:
            return value
        if time.monotonic() > deadline:
            return None
        time.sleep(step)


def wait_listening(port, timeout, proc=None):
    """True once 127.0.0.1:port takes a connection; False after timeout
    seconds, or as soon as proc (when given) has ended."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            if time.monotonic() > deadline or (proc is not None and proc.poll() is not None):
                return False
            time.sleep(0.05)


def write_all(fd, data, timeout=None, pause=0.01):
    """Writes data to a non-blocking descriptor, waiting pause seconds
    whenever it takes nothing more; gives up after timeout seconds (None:
    never)."""
    view = memoryview(data)
    deadline = None if timeout is None else time.monotonic() + timeout
    while view and (deadline is None or time.monotonic() < deadline):
        try:
            view = view[os.write(fd, view):]
        except BlockingIOError:
            time.sleep(pause)


class Pty:
    """A pseudo-terminal pair in raw mode, the far end of a serial port:
    its slave's path is linked as `link` (when given), this side reads and
    writes the master (non-blocking) and holds the slave open too, so the
    line never hangs up while the server closes and reopens the port."""

    def __init__(self, link=None):
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        os.set_blocking(self.master, False)
        self.path = os.ttyname(self.slave)
        self.link = link
        if link:
            if os.path.lexists(link):
                os.unlink(link)
            os.symlink(self.path, link)

    def write(self, data, timeout=10):
        write_all(self.master, data, timeout)

    def read(self, n, timeout=10):
        """Up to n bytes the port sent, fewer when timeout seconds pass first."""
        got = b""
        deadline = time.monotonic() + timeout
        while len(got) < n and time.monotonic() < deadline:
            try:
                got += os.read(self.master, n - len(got))
            except BlockingIOError:
                time.sleep(0.01)
        return got

    def close(self):
        os.close(self.master)
        os.close(self.slave)
        if self.link:
            try:
                os.unlink(self.link)
            except FileNotFoundError:
                pass


def read_line(sock):
    """One line from the server, up to and with its LF."""
    line = b""
    while not line.endswith(b"\n"):
        b = sock.recv(1)
        if not b:
            raise RuntimeError("connection closed after %r" % line)
        line += b
    return line


def sign_in(sock, identifier):
    """Takes the greeting of a fresh connection and gives the identifier."""
    greeting = read_line(sock)
    if not greeting.endswith(b"/velkor\r\n"):
        raise RuntimeError("unexpected greeting %r" % greeting)
    sock.sendall(identifier + b"\r\n")
    if read_line(sock) != b".\r\n":
        raise RuntimeError("identifier refused")


def command(sock, identifier, line):
    """Signs a fresh connection in and gives one command (line, with its
    end), which must be answered ".": after "p" or "c" every later byte on
    sock is the bridge's.  Returns sock."""
    sign_in(sock, identifier)
    sock.sendall(line)
    reply = read_line(sock)
    if reply != b".\r\n":
        raise RuntimeError("%r answered %r" % (line, reply))
    return sock


def server_command(server, ports_dir, wine_prefix=None):
    """The command line's start and the environment that run the server:
    the binary offering the ports linked in ports_dir, or velkor.exe under
    Wine in the given prefix (its ports are the prefix's)."""
    if wine_prefix:
        return ["wine", server], dict(os.environ, WINEPREFIX=wine_prefix, WINEDEBUG="-all")
    return [server], dict(os.environ, VELKOR_PORTS=ports_dir)


def wine_com1(prefix, tool, device, env, out):
    """COM1 of the Wine prefix on device, set up as the Wine tests do it:
    no other comN link left in dosdevices, the registry's port map written
    by the tests' tool (its output to out), com1 linked to the device."""
    devices = os.path.join(prefix, "dosdevices")
    for name in os.listdir(devices):
        if name.startswith("com") and name[3:].isdigit():
            os.unlink(os.path.join(devices, name))
    subprocess.run(["wine", tool, "ports", device, "COM1"], env=env, stdout=out,
                   stderr=subprocess.STDOUT, check=True, timeout=120)
    os.symlink(device, os.path.join(devices, "com1"))


def cpu_seconds(pid):
    """User and system time of a process so far, all its threads."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def proc_field(pid, table, field):
    """A number from /proc/<pid>/<table> ("status", "io"), 0 when it is gone."""
    try:
        with open("/proc/%d/%s" % (pid, table)) as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0

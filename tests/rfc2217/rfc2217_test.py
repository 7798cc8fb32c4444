#!/usr/bin/env python3
"""The port listeners (-R<tcpport>=COM<n>), end to end through the real binary.

pyserial's rfc2217:// client (Debian's python3-serial, not written here)
drives a port listener whose COM1 is a pseudo-terminal.  The terminal shows
the rate and the data; what it cannot show (DTR, RTS, breaks, data size,
parity, flow control) the server's calls show, recorded by a shim preloaded
into the server for the test (ttyshim.cpp), which also plays the modem
inputs a test sets.  Without the shim, pyserial must work against the bare
pseudo-terminal with no special options.

Usage: rfc2217_test.py --server PATH --shim PATH
"""
import argparse
import fcntl
import os
import socket
import struct
import subprocess
import sys
import tempfile
import termios
import time
import unittest
import warnings

import serial

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from velkor_support import (Pty, cpu_seconds, free_port, server_command, wait_for,  # noqa: E402
                            wine_com1)

SERVER = None
SHIM = None
WINE_PREFIX = None
WINE_TOOL = None
PORTABLE = False  # the server takes the portable paths (no termios2, no error counts)
IDENTIFIER = b"tangerine"
GREETING = b"velkor.example.org/velkor\r\n"
TCGETS2 = 0x802C542A  # _IOR('T', 0x2A, struct termios2) on Linux
CMSPAR = 0o10000000000  # mark or space parity; Python's termios does not name it


class Server:
    """velkor with a main listener and a port listener for COM1 on a pty.

    Under Wine (--wine-prefix) velkor.exe runs in the Wine tests' prefix,
    with COM1 set up as their tool does it; its log goes to a file, as a
    Wine program's always does."""

    def __init__(self, shim, more=()):
        self.dir = tempfile.TemporaryDirectory()
        self.pty = Pty(os.path.join(self.dir.name, "COM1"))
        self.log = os.path.join(self.dir.name, "calls")
        self.modem = os.path.join(self.dir.name, "modem")
        self.counts = os.path.join(self.dir.name, "counts")
        self.set_modem(0)
        self.set_counts(0, 0, 0, 0)
        self.port = free_port()
        self.rfc = free_port()
        command, env = server_command(SERVER, self.dir.name, WINE_PREFIX)
        if WINE_PREFIX:
            wine_com1(WINE_PREFIX, WINE_TOOL, self.pty.path, env, subprocess.DEVNULL)
        elif shim:
            # A sanitizer build wants its runtime first; the shim goes after.
            env.update(LD_PRELOAD=SHIM, VELKOR_SHIM_LOG=self.log, VELKOR_SHIM_MODEM=self.modem,
                       VELKOR_SHIM_COUNTS=self.counts,
                       ASAN_OPTIONS="verify_asan_link_order=0:" + os.environ.get("ASAN_OPTIONS", ""))
        # The log goes to a file and is read from there: a probe connection
        # to the port listener would open the port.
        self.out_path = os.path.join(self.dir.name, "server.log")
        self.out_file = open(self.out_path, "wb")
        self.proc = subprocess.Popen(
            command + ["-p%d" % self.port, "-R%d=COM1" % self.rfc, "-b",
                       "-w" + IDENTIFIER.decode()] + list(more),
            env=env, stdout=self.out_file, stderr=subprocess.STDOUT)
        if not wait_for(lambda: b"for COM1\n" in self.out() or self.proc.poll() is not None,
                        timeout=60):
            raise RuntimeError("server did not start")
        self.url = "rfc2217://127.0.0.1:%d" % self.rfc

    def out(self):
        with open(self.out_path, "rb") as f:
            return f.read()

    def stop(self):
        # SIGINT: velkor.exe under Wine is never killed.
        self.proc.send_signal(2)
        self.proc.wait(timeout=60)
        self.out_file.close()
        out = self.out().decode(errors="replace")
        self.pty.close()
        self.dir.cleanup()
        return self.proc.returncode, out

    def set_modem(self, bits):
        replace_file(self.modem, "%d\n" % bits)

    def set_counts(self, breaks, framing, parity, overrun):
        replace_file(self.counts, "%d %d %d %d\n" % (breaks, framing, parity, overrun))

    def calls(self):
        try:
            with open(self.log) as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def attrs(self):
        return termios.tcgetattr(self.pty.slave)

    def rate(self):
        """The rate as a number, also for one without a Bxxx name."""
        buf = fcntl.ioctl(self.pty.slave, TCGETS2, bytes(44))
        return struct.unpack("I", buf[40:44])[0]


def replace_file(path, text):
    """Writes a file the server may read at any moment: never half written."""
    with open(path + ".new", "w") as f:
        f.write(text)
    os.replace(path + ".new", path)


def flood(sock, seconds=1.0):
    """Sends until the connection takes no more (or `seconds` pass)."""
    sock.setblocking(False)
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            sock.send(b"x" * 65536)
        except BlockingIOError:
            time.sleep(0.05)


def last_cflag(calls):
    sets = [c for c in calls if c.startswith("tcsetattr ")]
    return int(sets[-1].split()[2], 8), int(sets[-1].split()[4], 8)


class BarePseudoTerminal(unittest.TestCase):
    """No shim: pyserial with no options against a device without modem lines."""

    def setUp(self):
        self.server = Server(shim=False)

    def tearDown(self):
        if self.server:
            code, out = self.server.stop()
            self.assertEqual(code, 0, out)

    def stop_server(self):
        code, out = self.server.stop()
        self.server = None
        self.assertEqual(code, 0, out)
        return out

    def test_rates_follow_and_every_byte_both_ways(self):
        s = self.server
        ser = serial.serial_for_url(s.url, timeout=5)
        self.assertEqual(s.attrs()[5], termios.B9600)
        for baud, speed in ((115200, termios.B115200), (460800, termios.B460800),
                            (921600, termios.B921600), (3000000, termios.B3000000)):
            ser.baudrate = baud
            self.assertEqual(s.attrs()[5], speed, baud)
        # A rate without a Bxxx name: set on Linux; refused by a portable
        # build, which answers the rate it kept.
        if PORTABLE:
            with self.assertRaises((serial.SerialException, ValueError)):
                ser.baudrate = 250000
            self.assertEqual(s.attrs()[5], termios.B3000000)
        else:
            ser.baudrate = 250000
            self.assertEqual(s.rate(), 250000)
        # DTR, RTS and a break on a line that has none: answered, logged once.
        ser.dtr = False
        ser.rts = False
        ser.send_break(0.05)
        self.assertFalse(ser.cts)
        data = bytes(range(256)) * 64
        ser.write(data)
        self.assertEqual(s.pty.read(len(data)), data)
        s.pty.write(data)
        self.assertEqual(ser.read(len(data)), data)
        ser.close()
        out = self.stop_server()
        self.assertEqual(out.count("no modem lines"), 1, out)

    def test_the_server_waits(self):
        # A client that stays connected keeps the modem lines looked at
        # every 50 ms, a pace, never a loop that spins: not while the client
        # is idle, nor while the port takes nothing more of what it sent
        # (the pseudo-terminal's other side is never read here).
        s = self.server
        for case in ("idle", "port full"):
            with self.subTest(case=case):
                with socket.create_connection(("127.0.0.1", s.rfc), timeout=5) as c:
                    c.sendall(b"\xff\xfb\x2c")  # WILL COM-PORT: the polls begin
                    if case == "port full":
                        flood(c)
                    time.sleep(0.3)
                    before = cpu_seconds(s.proc.pid)
                    time.sleep(3.0)  # a measuring window
                    self.assertLess(cpu_seconds(s.proc.pid) - before, 0.3)
                # The next client finds the port free again.
                self.assertTrue(wait_for(lambda: b"disconnected\n" in s.out()))
                s.pty.read(1 << 20, timeout=0.5)

    def test_a_client_holds_the_port_until_it_leaves(self):
        s = self.server
        first = serial.serial_for_url(s.url, baudrate=115200, timeout=5)
        # Another client of the listener: closed at once, one log line.
        with socket.create_connection(("127.0.0.1", s.rfc), timeout=5) as other:
            other.settimeout(5)
            self.assertEqual(other.recv(100), b"")
        # The main protocol's p refuses the port as it refuses any open port.
        with socket.create_connection(("127.0.0.1", s.port), timeout=5) as main:
            main.settimeout(5)
            self.assertEqual(main.recv(100), GREETING)
            main.sendall(IDENTIFIER + b"\r\np COM1 9600\r\n")
            got = b""
            while b"port" not in got:
                got += main.recv(100)
            self.assertEqual(got, b".\r\n! could not open port\r\n")
        first.write(b"one")
        self.assertEqual(s.pty.read(3), b"one")
        first.close()
        # Released: the next client has it, at 9600 again.
        second = None
        for _ in range(50):
            try:
                second = serial.serial_for_url(s.url, do_not_open=True, timeout=5)
                second.open()
                break
            except serial.SerialException:
                time.sleep(0.1)
        self.assertIsNotNone(second)
        self.assertEqual(s.attrs()[5], termios.B9600)
        s.pty.write(b"two")
        self.assertEqual(second.read(3), b"two")
        second.close()
        out = self.stop_server()
        self.assertEqual(out.count("COM1: port not opened, telnet client"), 1, out)


class RecordedLine(unittest.TestCase):
    """The shim records what the server asked of the line."""

    def setUp(self):
        self.server = Server(shim=True)
        self.ser = serial.serial_for_url(self.server.url, timeout=5)

    def tearDown(self):
        self.ser.close()
        code, out = self.server.stop()
        self.assertEqual(code, 0, out)

    def test_framing_and_flow_control(self):
        s = self.server
        cflag, iflag = last_cflag(s.calls())
        self.assertEqual(cflag & (termios.CSIZE | termios.PARENB | termios.CSTOPB), termios.CS8)
        cases = [
            ("bytesize", 7, termios.CSIZE, termios.CS7),
            ("bytesize", 5, termios.CSIZE, termios.CS5),
            ("bytesize", 8, termios.CSIZE, termios.CS8),
            ("parity", "E", termios.PARENB | termios.PARODD | CMSPAR, termios.PARENB),
            ("parity", "O", termios.PARENB | termios.PARODD | CMSPAR,
             termios.PARENB | termios.PARODD),
            ("parity", "M", termios.PARENB | termios.PARODD | CMSPAR,
             termios.PARENB | termios.PARODD | CMSPAR),
            ("parity", "S", termios.PARENB | termios.PARODD | CMSPAR,
             termios.PARENB | CMSPAR),
            ("parity", "N", termios.PARENB, 0),
            ("stopbits", 2, termios.CSTOPB, termios.CSTOPB),
            ("stopbits", 1, termios.CSTOPB, 0),
            ("rtscts", True, termios.CRTSCTS, termios.CRTSCTS),
            ("rtscts", False, termios.CRTSCTS, 0),
        ]
        for attr, value, mask, want in cases:
            with self.subTest(attr=attr, value=value):
                setattr(self.ser, attr, value)
                cflag, iflag = last_cflag(s.calls())
                self.assertEqual(cflag & mask, want)
        self.ser.xonxoff = True
        cflag, iflag = last_cflag(s.calls())
        self.assertEqual(iflag & (termios.IXON | termios.IXOFF), termios.IXON | termios.IXOFF)
        self.ser.xonxoff = False
        cflag, iflag = last_cflag(s.calls())
        self.assertEqual(iflag & (termios.IXON | termios.IXOFF), 0)

    def test_modem_lines_break_and_purge(self):
        s = self.server
        before = len(s.calls())
        self.ser.dtr = False
        self.ser.rts = False
        self.ser.dtr = True
        self.ser.rts = True
        self.ser.send_break(0.05)
        self.ser.reset_input_buffer()
        self.ser.reset_output_buffer()
        calls = s.calls()[before:]
        self.assertEqual(calls, [
            "modem clear %d" % termios.TIOCM_DTR, "modem clear %d" % termios.TIOCM_RTS,
            "modem set %d" % termios.TIOCM_DTR, "modem set %d" % termios.TIOCM_RTS,
            "break on", "break off",
            "flush %d" % termios.TCIFLUSH, "flush %d" % termios.TCOFLUSH])
        # Modem inputs: told as they change.
        self.assertFalse(self.ser.cts or self.ser.cd or self.ser.dsr or self.ser.ri)
        s.set_modem(termios.TIOCM_CTS | termios.TIOCM_CAR)
        self.assertTrue(wait_for(lambda: self.ser.cts and self.ser.cd))
        self.assertFalse(self.ser.dsr)
        s.set_modem(termios.TIOCM_DSR)
        self.assertTrue(wait_for(lambda: self.ser.dsr and not self.ser.cts and not self.ser.cd))

    def test_a_notice_while_the_port_takes_nothing(self):
        # The client's data fills the port's queue (the pseudo-terminal's
        # other side is never read), then a modem line changes: the notice
        # still reaches the client, and the server waits rather than spins.
        s = self.server
        self.ser.close()
        self.assertTrue(wait_for(lambda: b"disconnected\n" in s.out()))
        with socket.create_connection(("127.0.0.1", s.rfc), timeout=5) as c:
            c.sendall(b"\xff\xfb\x2c")  # WILL COM-PORT
            flood(c)
            before = cpu_seconds(s.proc.pid)
            s.set_modem(termios.TIOCM_CTS)
            notice = b"\xff\xfa\x2c\x6b\x11\xff\xf0"  # CTS on, CTS changed
            got = b""
            deadline = time.monotonic() + 5
            while notice not in got and time.monotonic() < deadline:
                try:
                    got += c.recv(4096)
                except BlockingIOError:
                    time.sleep(0.02)
            self.assertIn(notice, got)
            time.sleep(2.0)  # a measuring window
            self.assertLess(cpu_seconds(s.proc.pid) - before, 0.3)
        self.ser = serial.serial_for_url(s.url, do_not_open=True)

    def test_breaks_and_receive_errors_are_told(self):
        if PORTABLE:
            self.skipTest("no error counts on the portable path")
        s = self.server
        # The client's line-state mask: break, framing, parity, overrun.
        ser = self.ser
        ser.rfc2217_send_subnegotiation(serial.rfc2217.SET_LINESTATE_MASK, b"\x1e")
        time.sleep(0.2)
        for counts, bits in (((1, 0, 0, 0), 0x10), ((1, 1, 1, 0), 0x0c), ((1, 1, 1, 1), 0x02)):
            with self.subTest(counts=counts):
                ser._linestate = 0
                s.set_counts(*counts)
                self.assertTrue(wait_for(lambda: ser._linestate == bits), ser._linestate)

    def test_telnet_break_is_a_timed_serial_break(self):
        s = self.server
        before = len(s.calls())
        # IAC BRK on the raw socket under pyserial's connection.
        self.ser._internal_raw_write(b"\xff\xf3")
        self.assertTrue(wait_for(lambda: s.calls()[before:] == ["break on", "break off"]))

    def test_reset_sequence_of_a_boot_loader_tool(self):
        # DTR and RTS toggled seven times with short sleeps, as a flasher
        # resets a board into its boot loader.
        s = self.server
        before = len(s.calls())
        want = []
        for _ in range(7):
            self.ser.dtr = False
            self.ser.rts = True
            time.sleep(0.01)
            self.ser.dtr = True
            self.ser.rts = False
            time.sleep(0.01)
            want += ["modem clear %d" % termios.TIOCM_DTR, "modem set %d" % termios.TIOCM_RTS,
                     "modem set %d" % termios.TIOCM_DTR, "modem clear %d" % termios.TIOCM_RTS]
        self.assertEqual(s.calls()[before:], want)


class UnderWine(unittest.TestCase):
    """velkor.exe: the rate through SetCommState, data both ways, answers."""

    def setUp(self):
        self.server = Server(shim=False)

    def tearDown(self):
        code, out = self.server.stop()
        self.assertEqual(code, 0, out)

    def test_rates_data_and_answers(self):
        s = self.server
        ser = serial.serial_for_url(s.url, timeout=10)
        self.assertEqual(s.attrs()[5], termios.B9600)
        for baud, speed in ((115200, termios.B115200), (460800, termios.B460800)):
            ser.baudrate = baud
            self.assertEqual(s.attrs()[5], speed, baud)
        # Answered whether Wine's port has the line or not.
        ser.dtr = False
        ser.rts = False
        ser.bytesize = 8
        ser.stopbits = 1
        ser.reset_input_buffer()
        data = bytes(range(256)) * 16
        ser.write(data)
        self.assertEqual(s.pty.read(len(data), timeout=30), data)
        s.pty.write(data)
        self.assertEqual(ser.read(len(data)), data)
        ser.close()


class HeldPort(unittest.TestCase):
    """A port held and logged from start-up (-L): its listener's client
    takes it over, is logged, and leaves it at the speed it is held at."""

    def setUp(self):
        self.logs = tempfile.TemporaryDirectory()
        path = ("Z:" if WINE_PREFIX else "") + self.logs.name
        self.server = Server(shim=False, more=["-L" + path, "-B57600"])

    def tearDown(self):
        if self.server:
            code, out = self.server.stop()
            self.assertEqual(code, 0, out)
        self.logs.cleanup()

    def log(self):
        with open(os.path.join(self.logs.name, "COM1.log"), "rb") as f:
            return f.read()

    def test_a_client_takes_the_held_port_and_the_log_shows_it(self):
        s = self.server
        self.assertTrue(wait_for(lambda: b"COM1: held, logged to " in s.out()), s.out())
        self.assertEqual(s.attrs()[5], termios.B57600)
        ser = serial.serial_for_url(s.url, baudrate=115200, timeout=10)
        self.assertEqual(s.attrs()[5], termios.B115200)
        ser.write(b"print version")
        self.assertEqual(s.pty.read(13), b"print version")
        s.pty.write(b"v1.2 ready\r\n")
        self.assertEqual(ser.read(12), b"v1.2 ready\r\n")
        ser.close()
        self.assertTrue(wait_for(lambda: s.attrs()[5] == termios.B57600))
        s.pty.write(b"after the client\r\n")
        self.assertTrue(wait_for(lambda: b"after the client" in self.log()))
        code, out = s.stop()
        self.server = None
        self.assertEqual(code, 0, out)
        log = self.log()
        stamp = rb"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z "
        peer = rb"127\.0\.0\.1:\d+\n"
        lines = [rb"-- opened at 57600 baud\n", rb"-- writer attached " + peer,
                 rb"-- speed 9600 baud, set by " + peer, rb"-- speed 115200 baud, set by " + peer,
                 rb"v1\.2 ready\r\n", rb"-- writer left " + peer,
                 rb"after the client\r\n", rb"-- closed\n"]
        self.assertRegex(log, rb"\A" + b"".join(stamp + l for l in lines) + rb"\Z")


def main():
    global SERVER, SHIM, WINE_PREFIX, WINE_TOOL, PORTABLE
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    parser.add_argument("--shim")
    parser.add_argument("--wine-prefix")
    parser.add_argument("--wine-tool")
    parser.add_argument("--portable", action="store_true")
    args, rest = parser.parse_known_args()
    SERVER = os.path.abspath(args.server)
    PORTABLE = args.portable
    if args.wine_prefix:
        # Under Wine: what Wine shows of a pseudo-terminal.
        WINE_PREFIX = args.wine_prefix
        WINE_TOOL = args.wine_tool
        rest = ["UnderWine", "HeldPort"] + rest
    else:
        SHIM = os.path.abspath(args.shim)
        if not [a for a in rest if not a.startswith("-")]:
            rest = ["BarePseudoTerminal", "RecordedLine", "HeldPort"] + rest
    # pyserial's own use of older threading calls.
    warnings.filterwarnings("ignore", category=DeprecationWarning)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2, warnings=False)


if __name__ == "__main__":
    main()

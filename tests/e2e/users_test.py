#!/usr/bin/env python3
"""Named users with rights per port (-U), end to end through the real binary.

The users file is written with hashes made by tools nobody here wrote
(Debian's python3-passlib) and by `velkor -P`; each right is tried allowed
and refused, the port lists are filtered, the server's and the port's logs
name who did what, a reload (SIGHUP) brings new users while a session keeps
the rights it logged in with, and a port listener takes loopback clients
alone.  Under Wine (--wine-prefix) the same runs against velkor.exe, but
for the reload (Wine hands a POSIX signal to no service control) and the
port log's file.

Usage: users_test.py --server PATH [--wine-prefix DIR --wine-tool PATH]
"""
import argparse
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import warnings

from passlib.hash import pbkdf2_sha256

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from velkor_support import (Pty, free_port, read_line, server_command, wait_for,  # noqa: E402
                            wine_com1)

SERVER = None
WINE_PREFIX = None
WINE_TOOL = None
GREETING = b"velkor.example.org/velkor\r\n"


def velkor_hash(password):
    """A hash made by `velkor -P` from a password on standard input."""
    command, env = server_command(SERVER, ".", WINE_PREFIX)
    out = subprocess.run(command + ["-P"], input=password + b"\n", env=env,
                         capture_output=True, timeout=120, check=True).stdout
    return out.decode().strip()


class Server:
    """velkor with a users file, COM1 and COM2 on pseudo-terminals (COM1
    alone under Wine), a port listener for COM1 and, natively, -L logs."""

    def __init__(self, users_text, more=()):
        self.dir = tempfile.TemporaryDirectory()
        self.users = os.path.join(self.dir.name, "users")
        self.write_users(users_text)
        self.com1 = Pty(os.path.join(self.dir.name, "COM1"))
        self.com2 = None if WINE_PREFIX else Pty(os.path.join(self.dir.name, "COM2"))
        self.logs = os.path.join(self.dir.name, "logs")
        os.mkdir(self.logs)
        self.port = free_port()
        self.rfc = free_port()
        command, env = server_command(SERVER, self.dir.name, WINE_PREFIX)
        if WINE_PREFIX:
            wine_com1(WINE_PREFIX, WINE_TOOL, self.com1.path, env, subprocess.DEVNULL)
        self.out_path = os.path.join(self.dir.name, "server.log")
        self.out_file = open(self.out_path, "wb")
        switches = ["-p%d" % self.port, "-R%d=COM1" % self.rfc, "-b", "-a", "-U" + self.users]
        if not WINE_PREFIX:
            switches.append("-L" + self.logs)
        self.proc = subprocess.Popen(command + switches + list(more), env=env,
                                     stdout=self.out_file, stderr=subprocess.STDOUT)
        if not wait_for(lambda: b"for COM1\n" in self.out() or self.proc.poll() is not None,
                        timeout=60):
            raise RuntimeError("server did not start:\n" + self.out().decode(errors="replace"))

    def write_users(self, text):
        with open(self.users + ".new", "w") as f:
            f.write(text)
        os.replace(self.users + ".new", self.users)

    def out(self):
        with open(self.out_path, "rb") as f:
            return f.read()

    def connect(self, source="127.0.0.1"):
        s = socket.socket()
        s.bind((source, 0))
        s.connect(("127.0.0.1", self.port))
        s.settimeout(20)
        return s

    def login(self, name, password):
        """A connection logged in as name (asserted)."""
        s = self.connect()
        assert read_line(s) == GREETING
        s.sendall(b"%s %s\r\n" % (name, password))
        reply = read_line(s)
        if reply != b".\r\n":
            raise AssertionError("%s refused: %r" % (name, reply))
        return s

    def stop(self):
        self.proc.send_signal(signal.SIGINT)
        self.proc.wait(timeout=60)
        self.out_file.close()
        out = self.out().decode(errors="replace")
        for pty in (self.com1, self.com2):
            if pty:
                pty.close()
        return self.proc.returncode, out


def ask(sock, line):
    """The reply to one command line: its lines up to a "." or a "!" line."""
    sock.sendall(line + b"\r\n")
    lines = []
    while True:
        got = read_line(sock)
        lines.append(got)
        if got in (b".\r\n",) or got.startswith(b"!"):
            return b"".join(lines)


class Users(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.alice = pbkdf2_sha256.hash("alice's secret")
        cls.bob = velkor_hash(b"bob pass word")

    def users_text(self, more=""):
        return ("# lab users\n"
                "alice:%s:write=COM1 watch=* connect\n"
                "bob:%s:watch=COM1*   # reads only\n" % (self.alice, self.bob)) + more

    def setUp(self):
        self.server = Server(self.users_text())

    def tearDown(self):
        code, out = self.server.stop()
        self.assertEqual(code, 0, out)

    def test_each_right_is_allowed_or_refused(self):
        alice = self.server.login(b"alice", b"alice's secret")
        bob = self.server.login(b"bob", b"bob pass word")
        refused = b"! not allowed\r\n"
        for who, line, allowed in [
                (bob, b"p COM1 9600", False),
                (bob, b"c 127.0.0.1 9", False),
                (bob, b"k", False),
                (alice, b"k", False),
                (alice, b"p COM2 9600", False),
                (alice, b"v", True)]:
            with self.subTest(line=line):
                reply = ask(who, line)
                if allowed:
                    self.assertNotEqual(reply, refused)
                else:
                    self.assertEqual(reply, refused)
        # Watching is bob's right; writing COM1 and connecting are alice's.
        self.assertEqual(ask(bob, b"w COM1"), b".\r\n")
        self.assertEqual(ask(alice, b"p COM1 9600"), b".\r\n")
        self.server.com1.write(b"from the board\n")
        self.assertEqual(alice.recv(100), b"from the board\n")
        out = self.server.out()
        self.assertIn(b"bob 127.0.0.1:", out)
        self.assertRegex(out, rb"bob 127\.0\.0\.1:\d+: not allowed: p COM1 9600")
        self.assertRegex(out, rb"alice 127\.0\.0\.1:\d+: p COM1 9600")
        if not WINE_PREFIX:
            # Events are written out within a second.
            def log():
                with open(os.path.join(self.server.logs, "COM1.log"), "rb") as f:
                    return f.read()
            self.assertTrue(wait_for(lambda: b"writer attached" in log(), timeout=10), log())
            self.assertRegex(log(), rb"-- writer attached alice 127\.0\.0\.1:\d+\n")
            self.assertRegex(log(), rb"-- watcher attached bob 127\.0\.0\.1:\d+\n")

    def test_port_lists_hold_only_the_ports_a_user_may_see(self):
        bob = self.server.login(b"bob", b"bob pass word")
        listed = ask(bob, b"n")
        self.assertIn(b":COM1", listed)
        self.assertNotIn(b":COM2", listed)
        self.assertNotIn(b":COM2", ask(bob, b"r"))

    def test_wrong_name_or_password_is_a_wrong_identifier(self):
        for line in [b"alice wrong", b"mallory alice's secret", b"alice", b"wobex"]:
            with self.subTest(line=line):
                s = self.server.connect()
                read_line(s)
                s.sendall(line + b"\r\n")
                self.assertEqual(read_line(s), b"! wrong identifier\r\n")
        self.assertIn(b'wrong name or password for "mallory"', self.server.out())

    def test_port_listener_admits_loopback_alone(self):
        outside = socket.socket()
        outside.bind(("127.0.0.2", 0))
        outside.settimeout(10)
        outside.connect(("127.0.0.1", self.server.rfc))
        self.assertEqual(outside.recv(100), b"", "a client from 127.0.0.2 was served")
        inside = socket.create_connection(("127.0.0.1", self.server.rfc), timeout=10)
        self.assertNotEqual(inside.recv(100), b"")

    def test_reload_brings_new_users_and_keeps_sessions(self):
        if WINE_PREFIX:
            self.skipTest("Wine hands SIGHUP to no service control")
        alice = self.server.login(b"alice", b"alice's secret")
        carol = pbkdf2_sha256.hash("carol")
        # alice is gone from the file, carol is new.
        self.server.write_users("carol:%s:kill\n" % carol)
        self.server.proc.send_signal(signal.SIGHUP)
        self.assertTrue(wait_for(lambda: b": 1 users\n" in self.server.out(), timeout=20),
                        self.server.out())
        self.server.login(b"carol", b"carol")
        s = self.server.connect()
        read_line(s)
        s.sendall(b"alice alice's secret\r\n")
        self.assertEqual(read_line(s), b"! wrong identifier\r\n")
        # The session logged in before keeps its rights.
        self.assertEqual(ask(alice, b"p COM1 9600"), b".\r\n")

    def test_a_bad_file_on_reload_keeps_the_users(self):
        if WINE_PREFIX:
            self.skipTest("Wine hands SIGHUP to no service control")
        self.server.write_users(self.users_text("dave:nohash:write=*\n"))
        self.server.proc.send_signal(signal.SIGHUP)
        self.assertTrue(wait_for(lambda: b"the users read before stay" in self.server.out(),
                                 timeout=20))
        self.assertRegex(self.server.out(), rb"users:4: ")
        self.server.login(b"alice", b"alice's secret")


class Start(unittest.TestCase):
    def test_a_bad_users_file_stops_start_up(self):
        with tempfile.TemporaryDirectory() as d:
            users = os.path.join(d, "users")
            with open(users, "w") as f:
                f.write("ok:%s:watch=*\nbroken line\n" % pbkdf2_sha256.hash("x"))
            command, env = server_command(SERVER, d, WINE_PREFIX)
            for path in (users, os.path.join(d, "missing")):
                with self.subTest(path=path):
                    r = subprocess.run(command + ["-p%d" % free_port(), "-b", "-U" + path],
                                       env=env, capture_output=True, timeout=120)
                    self.assertEqual(r.returncode, 1, r)
            self.assertIn(b"users:2: ", subprocess.run(
                command + ["-p%d" % free_port(), "-b", "-U" + users], env=env,
                capture_output=True, timeout=120).stderr)


def main():
    global SERVER, WINE_PREFIX, WINE_TOOL
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    parser.add_argument("--wine-prefix")
    parser.add_argument("--wine-tool")
    args, rest = parser.parse_known_args()
    SERVER = args.server
    # Connections the tests leave open end with the server.
    warnings.simplefilter("ignore", ResourceWarning)
    WINE_PREFIX = args.wine_prefix
    WINE_TOOL = args.wine_tool
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()

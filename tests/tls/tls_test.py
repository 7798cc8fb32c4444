#!/usr/bin/env python3
"""TLS on the main port and the browser console (-T), end to end through
the real binary, with clients nobody here wrote: openssl s_client, socat
OPENSSL:, Python's ssl, python3-websockets over wss://.

The test makes its own CA and certificates with openssl req, x509 and ca in
a temporary directory; no key is kept anywhere else.

Usage: tls_test.py --server PATH [--no-memory-check]
"""
import argparse
import asyncio
import hashlib
import os
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import threading
import unittest
import urllib.request

import websockets

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from velkor_support import (Pty, cpu_seconds, free_port, proc_field, read_line,  # noqa: E402
                            server_command, sign_in, wait_for, wait_listening)

SERVER = None
MEMORY_CHECK = True
IDENTIFIER = b"tangerine"
GREETING = b"velkor.example.org/velkor\r\n"
EVERY_BYTE = bytes(range(256)) * 4


def openssl(*args, cwd):
    subprocess.run(["openssl"] + list(args), cwd=cwd, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class Certificates:
    """A test CA and, signed by it, server certificates for 127.0.0.1:
    each a PEM file of certificate then key, as -T takes it."""

    def __init__(self, where):
        self.dir = where
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key",
                "-out", "ca.pem", "-days", "2", "-subj", "/CN=velkor test CA", cwd=where)
        self.ca = os.path.join(where, "ca.pem")

    def server(self, name, expired=False):
        """name.pem: a certificate for 127.0.0.1 and its key."""
        d = self.dir
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", name + ".key",
                "-out", name + ".csr", "-subj", "/CN=127.0.0.1",
                "-addext", "subjectAltName=IP:127.0.0.1", cwd=d)
        if expired:
            # Only openssl ca sets dates in the past.
            conf = os.path.join(d, name + ".cnf")
            with open(conf, "w") as f:
                f.write("[ca]\ndefault_ca = test\n[test]\n"
                        "database = %s/%s.index\nnew_certs_dir = %s\nserial = %s/%s.serial\n"
                        "default_md = sha256\npolicy = any\ncopy_extensions = copy\n"
                        "[any]\ncommonName = supplied\n" % (d, name, d, d, name))
            open(os.path.join(d, name + ".index"), "w").close()
            with open(os.path.join(d, name + ".serial"), "w") as f:
                f.write("01\n")
            openssl("ca", "-batch", "-config", conf, "-cert", "ca.pem", "-keyfile", "ca.key",
                    "-in", name + ".csr", "-out", name + ".crt", "-notext",
                    "-startdate", "200101000000Z", "-enddate", "200102000000Z", cwd=d)
        else:
            with open(os.path.join(d, name + ".ext"), "w") as f:
                f.write("subjectAltName=IP:127.0.0.1\n")
            openssl("x509", "-req", "-in", name + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                    "-CAcreateserial", "-days", "2", "-extfile", name + ".ext",
                    "-out", name + ".crt", cwd=d)
        return self.pem(name, name)

    def pem(self, name, cert, key=None):
        """name.pem from cert's certificate and key's key (cert's own by
        default; None-key files hold the certificate alone)."""
        path = os.path.join(self.dir, name + ".pem")
        with open(path, "wb") as out:
            with open(os.path.join(self.dir, cert + ".crt"), "rb") as f:
                out.write(f.read())
            if key is not False:
                with open(os.path.join(self.dir, (key or cert) + ".key"), "rb") as f:
                    out.write(f.read())
        return path

    def fingerprint(self, name):
        out = subprocess.run(["openssl", "x509", "-noout", "-fingerprint", "-sha256", "-in",
                              os.path.join(self.dir, name + ".crt")],
                             check=True, capture_output=True, text=True).stdout
        return out.strip().split("=", 1)[1]


class Server:
    """velkor with -T, a main and a web listener, COM1 on a pseudo-terminal."""

    def __init__(self, pem):
        self.dir = tempfile.TemporaryDirectory()
        self.pty = Pty(os.path.join(self.dir.name, "COM1"))
        self.port = free_port()
        self.web = free_port()
        self.log = open(os.path.join(self.dir.name, "server.log"), "w+b")
        command, env = server_command(SERVER, self.dir.name)
        self.proc = subprocess.Popen(
            command + ["-p%d" % self.port, "-W%d" % self.web, "-b", "-T" + pem,
                       "-w" + IDENTIFIER.decode()],
            env=env, stdout=self.log, stderr=subprocess.STDOUT)
        if not wait_listening(self.web, 10, self.proc):
            raise RuntimeError("server did not start: %r" % self.output())

    def output(self):
        self.log.flush()
        with open(self.log.name, "rb") as f:
            return f.read()

    def stop(self):
        self.proc.send_signal(signal.SIGINT)
        self.proc.wait(timeout=15)
        self.pty.close()
        out = self.output()
        self.log.close()
        self.dir.cleanup()
        return self.proc.returncode, out


def tls_connect(port, ca, timeout=10, receive_buffer=0):
    """A TLS client socket, verified against the test CA; a small
    receive_buffer makes the server's sends come up against a full socket."""
    context = ssl.create_default_context(cafile=ca)
    raw = socket.socket()
    raw.settimeout(timeout)
    if receive_buffer:
        raw.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
    raw.connect(("127.0.0.1", port))
    return context.wrap_socket(raw, server_hostname="127.0.0.1")


def recv_exactly(sock, n):
    got = b""
    while len(got) < n:
        chunk = sock.recv(n - len(got))
        if not chunk:
            break
        got += chunk
    return got


class Fixture(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.certs = Certificates(cls.tmp.name)
        cls.good = cls.certs.server("good")

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def setUp(self):
        self.server = None

    def start(self, pem=None):
        self.server = Server(pem or self.good)
        return self.server

    def tearDown(self):
        if self.server:
            code, out = self.server.stop()
            self.assertEqual(code, 0, out)
            self.assertNotIn(b"Sanitizer", out)

    def bridge_every_byte(self, send, receive):
        """Through a client already bridged to COM1: every byte value both
        ways, checked on the pseudo-terminal."""
        send(EVERY_BYTE)
        self.assertEqual(self.server.pty.read(len(EVERY_BYTE)), EVERY_BYTE)
        self.server.pty.write(EVERY_BYTE)
        self.assertEqual(receive(len(EVERY_BYTE)), EVERY_BYTE)


class StartUp(unittest.TestCase):
    """A -T file that cannot serve stops the server with status 1 and says why."""

    def test_refused_files(self):
        with tempfile.TemporaryDirectory() as d:
            certs = Certificates(d)
            certs.server("one")
            certs.server("two")
            cases = [
                ("missing", os.path.join(d, "none.pem"), b"cannot read it"),
                ("certificate alone", certs.pem("alone", "one", key=False), b"no private key"),
                ("another key", certs.pem("mixed", "one", key="two"),
                 b"the private key does not match the certificate"),
                ("key alone", os.path.join(d, "one.key"), b"no certificate"),
            ]
            for what, path, message in cases:
                with self.subTest(what):
                    port = free_port()
                    r = subprocess.run([SERVER, "-b", "-p%d" % port, "-T" + path],
                                       capture_output=True, timeout=20)
                    self.assertEqual(r.returncode, 1, r)
                    self.assertIn(message, r.stderr)
                    self.assertIn(path.encode(), r.stderr)


class MainPort(Fixture):
    def test_python_ssl_session_and_bridge(self):
        self.start()
        with tls_connect(self.server.port, self.certs.ca) as s:
            self.assertEqual(s.version() in ("TLSv1.2", "TLSv1.3"), True)
            sign_in(s, IDENTIFIER)
            s.sendall(b"v\r\n")
            self.assertEqual(read_line(s) + read_line(s), b":1.19\r\n.\r\n")
            s.sendall(b"p COM1 115200\n")
            self.assertEqual(read_line(s), b".\r\n")
            self.bridge_every_byte(s.sendall, lambda n: recv_exactly(s, n))

    def test_megabytes_each_way(self):
        """Records cut short by a full socket lose nothing, in either
        direction."""
        self.start()
        up = os.urandom(1024 * 1024)
        # More than the kernel buffers on loopback (a few MiB) while the
        # client does not read.
        down = os.urandom(8 * 1024 * 1024)
        with tls_connect(self.server.port, self.certs.ca, timeout=30,
                         receive_buffer=4096) as s:
            sign_in(s, IDENTIFIER)
            s.sendall(b"p COM1 115200\n")
            self.assertEqual(read_line(s), b".\r\n")
            # One TLS session is not used by two threads at once: the
            # client sends, then receives, while a thread minds the port.
            at_port = []
            reader = threading.Thread(
                target=lambda: at_port.append(self.server.pty.read(len(up), timeout=60)))
            reader.start()
            s.sendall(up)
            reader.join()
            self.assertEqual(at_port[0], up)
            writer = threading.Thread(target=self.server.pty.write, args=(down, 60))
            writer.start()
            # The server's socket fills, and its records wait part-sent.
            time.sleep(2)
            at_client = recv_exactly(s, len(down))
            writer.join()
            self.assertEqual(at_client, down)

    def test_plain_client_gets_no_greeting(self):
        self.start()
        with socket.create_connection(("127.0.0.1", self.server.port), timeout=10) as s:
            s.sendall(IDENTIFIER + b"\r\nv\r\n")
            got = b""
            try:
                while True:
                    chunk = s.recv(4096)
                    if not chunk:
                        break
                    got += chunk
            except (ConnectionResetError, socket.timeout):
                pass
            self.assertNotIn(b"velkor", got)
            self.assertNotIn(b"1.19", got)
        # The server goes on serving TLS clients.
        with tls_connect(self.server.port, self.certs.ca) as s:
            sign_in(s, IDENTIFIER)
        self.assertTrue(wait_for(lambda: b"TLS handshake with 127.0.0.1:" in self.server.output()))
        # One line says why, not a failed write besides.
        self.assertNotIn(b"Kvb::write", self.server.output())

    def test_tls_versions(self):
        """TLS 1.2 and 1.3 are taken; 1.1 is not."""
        self.start()
        for version, taken in [(ssl.TLSVersion.TLSv1_2, True), (ssl.TLSVersion.TLSv1_3, True)]:
            with self.subTest(str(version)):
                context = ssl.create_default_context(cafile=self.certs.ca)
                context.minimum_version = context.maximum_version = version
                raw = socket.create_connection(("127.0.0.1", self.server.port), timeout=10)
                with context.wrap_socket(raw, server_hostname="127.0.0.1") as s:
                    self.assertEqual(read_line(s), GREETING)
        r = subprocess.run(["openssl", "s_client", "-connect", "127.0.0.1:%d" % self.server.port,
                            "-tls1_1", "-CAfile", self.certs.ca],
                           input=b"", capture_output=True, timeout=20)
        self.assertNotEqual(r.returncode, 0)
        self.assertNotIn(b"velkor", r.stdout)

    def test_openssl_s_client(self):
        self.start()
        p = subprocess.Popen(["openssl", "s_client", "-connect",
                              "127.0.0.1:%d" % self.server.port, "-CAfile", self.certs.ca,
                              "-verify_return_error", "-quiet", "-nocommands"],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL)
        os.set_blocking(p.stdout.fileno(), False)

        def receive(n, timeout=10):
            got = b""
            deadline = time.monotonic() + timeout
            while len(got) < n and time.monotonic() < deadline:
                chunk = p.stdout.read(n - len(got))
                if chunk:
                    got += chunk
                else:
                    time.sleep(0.01)
            return got

        def send(data):
            p.stdin.write(data)
            p.stdin.flush()

        try:
            self.assertEqual(receive(len(GREETING)), GREETING)
            send(IDENTIFIER + b"\r\np COM1 115200\n")
            self.assertEqual(receive(6), b".\r\n.\r\n")
            self.bridge_every_byte(send, receive)
        finally:
            # -quiet keeps it on past the end of its input.
            p.terminate()
            p.wait(timeout=10)
            p.stdin.close()
            p.stdout.close()

    def test_socat_openssl(self):
        """socat OPENSSL: carries a plain client's session, every byte."""
        self.start()
        local = free_port()
        relay = subprocess.Popen(
            ["socat", "TCP-LISTEN:%d,bind=127.0.0.1,reuseaddr" % local,
             "OPENSSL:127.0.0.1:%d,cafile=%s,commonname=127.0.0.1" % (self.server.port,
                                                                     self.certs.ca)],
            stderr=subprocess.DEVNULL)
        try:
            self.assertTrue(wait_for(lambda: _connectable(local, relay)))
            with socket.create_connection(("127.0.0.1", local), timeout=10) as s:
                sign_in(s, IDENTIFIER)
                s.sendall(b"p COM1 115200\n")
                self.assertEqual(read_line(s), b".\r\n")
                self.bridge_every_byte(s.sendall, lambda n: recv_exactly(s, n))
        finally:
            if relay.poll() is None:
                relay.terminate()
                relay.wait(timeout=10)


def served_fingerprint(port):
    """The SHA-256 fingerprint of the certificate a new client is shown."""
    context = ssl.create_default_context()
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    raw = socket.create_connection(("127.0.0.1", port), timeout=10)
    with context.wrap_socket(raw) as s:
        der = s.getpeercert(binary_form=True)
    return ":".join("%02X" % b for b in hashlib.sha256(der).digest())


class Faults(Fixture):
    def test_stalled_handshake_is_given_up_without_holding_anyone(self):
        self.start()
        hello = b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03"  # a ClientHello begun
        stalled = []
        for port, first in [(self.server.port, b""), (self.server.port, hello),
                            (self.server.web, hello)]:
            c = socket.create_connection(("127.0.0.1", port), timeout=20)
            c.sendall(first)
            stalled.append(c)
        began = time.monotonic()
        # Others are served meanwhile, and the loop does not spin on the
        # handshakes under way (the greeting queued for each must not make
        # the wait watch for room).
        with tls_connect(self.server.port, self.certs.ca) as s:
            sign_in(s, IDENTIFIER)
        cpu = cpu_seconds(self.server.proc.pid)
        time.sleep(2)
        self.assertLess(cpu_seconds(self.server.proc.pid) - cpu, 0.3)
        for c in stalled:
            with c:
                self.assertEqual(c.recv(100), b"")  # closed by the server
        self.assertLess(time.monotonic() - began, 15)
        # The browser console's connection may be given up by its request's
        # own deadline, which is as long.
        self.assertTrue(wait_for(
            lambda: self.server.output().count(b"not done within 10 s: given up") >= 2),
            self.server.output())

    def test_expired_certificate(self):
        """Clients refuse it; the server says so at start, logs each failed
        handshake and goes on."""
        self.start(self.certs.server("expired", expired=True))
        self.assertIn(b"the certificate has expired", self.server.output())
        with self.assertRaises(ssl.SSLCertVerificationError):
            tls_connect(self.server.port, self.certs.ca)
        self.assertTrue(wait_for(lambda: b"TLS handshake with 127.0.0.1:" in self.server.output()))
        context = ssl.create_default_context()
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
        raw = socket.create_connection(("127.0.0.1", self.server.port), timeout=10)
        with context.wrap_socket(raw) as s:
            self.assertEqual(read_line(s), GREETING)

    def test_thousand_handshakes_memory_flat(self):
        self.start()
        context = ssl.create_default_context(cafile=self.certs.ca)

        def handshakes(n):
            for _ in range(n):
                raw = socket.create_connection(("127.0.0.1", self.server.port), timeout=10)
                with context.wrap_socket(raw, server_hostname="127.0.0.1") as s:
                    self.assertEqual(read_line(s), GREETING)

        handshakes(100)  # the library's own tables and caches fill
        before = proc_field(self.server.proc.pid, "status", "VmRSS")
        # Under the sanitizers memory is not measured and each handshake
        # is slow: fewer show that nothing leaks by the exit's leak check.
        handshakes(1000 if MEMORY_CHECK else 200)
        after = proc_field(self.server.proc.pid, "status", "VmRSS")
        if MEMORY_CHECK:
            self.assertLess(after - before, 2048, "VmRSS %d kB then %d kB" % (before, after))


class Reload(Fixture):
    """SIGHUP reads the -T file again for new clients; connected ones keep
    their sessions."""

    def copy(self, source, to):
        with open(source, "rb") as f, open(to + ".new", "wb") as out:
            out.write(f.read())
        # As a renewal tool puts a new file in place.
        os.replace(to + ".new", to)

    def test_new_certificate_for_new_clients_old_sessions_go_on(self):
        live = os.path.join(self.tmp.name, "live.pem")
        self.copy(self.good, live)
        self.certs.server("renewed")
        renewed = os.path.join(self.tmp.name, "renewed.pem")
        self.start(live)
        self.assertEqual(served_fingerprint(self.server.port), self.certs.fingerprint("good"))
        with tls_connect(self.server.port, self.certs.ca) as old:
            sign_in(old, IDENTIFIER)
            self.copy(renewed, live)
            self.server.proc.send_signal(signal.SIGHUP)
            self.assertTrue(wait_for(lambda: b"reloaded" in self.server.output()),
                            self.server.output())
            self.assertEqual(served_fingerprint(self.server.port),
                             self.certs.fingerprint("renewed"))
            self.assertEqual(served_fingerprint(self.server.web),
                             self.certs.fingerprint("renewed"))
            old.sendall(b"v\n")
            self.assertEqual(read_line(old) + read_line(old), b":1.19\r\n.\r\n")

    def test_bad_file_keeps_the_certificate_in_use(self):
        live = os.path.join(self.tmp.name, "live-bad.pem")
        self.copy(self.good, live)
        self.start(live)
        cases = [("a truncated file", b"-----BEGIN CERTIFICATE-----\nMIIB\n"),
                 ("another key", None)]
        for what, content in cases:
            with self.subTest(what):
                if content is None:
                    self.certs.server("other")
                    self.copy(self.certs.pem("wrong-key", "good", key="other"), live)
                else:
                    with open(live, "wb") as f:
                        f.write(content)
                before = self.server.output().count(b"not reloaded")
                self.server.proc.send_signal(signal.SIGHUP)
                self.assertTrue(wait_for(
                    lambda: self.server.output().count(b"not reloaded") > before),
                    self.server.output())
                self.assertEqual(served_fingerprint(self.server.port),
                                 self.certs.fingerprint("good"))
                with tls_connect(self.server.port, self.certs.ca) as s:
                    sign_in(s, IDENTIFIER)


class Browser(Fixture):
    """The browser console with -T: the page at https://, its socket at wss://."""

    def test_page_over_https(self):
        self.start()
        context = ssl.create_default_context(cafile=self.certs.ca)
        url = "https://127.0.0.1:%d/" % self.server.web
        with urllib.request.urlopen(url, context=context, timeout=10) as r:
            self.assertEqual(r.status, 200)
            page = r.read()
        self.assertIn(b"<html", page.lower())
        # The page is not served in clear.
        with self.assertRaises(Exception):
            urllib.request.urlopen("http://127.0.0.1:%d/" % self.server.web, timeout=5).read()

    def test_wss_session_every_byte(self):
        self.start()
        context = ssl.create_default_context(cafile=self.certs.ca)
        url = "wss://127.0.0.1:%d/ws" % self.server.web
        every = bytes(range(256)) * 256  # 64 KiB: many records each way

        async def receive(ws, n):
            got = b""
            while len(got) < n:
                m = await asyncio.wait_for(ws.recv(), 10)
                self.assertIsInstance(m, bytes)
                got += m
            return got

        async def session():
            async with websockets.connect(url, ssl=context, max_size=None) as ws:
                self.assertEqual(await receive(ws, len(GREETING)), GREETING)
                await ws.send(IDENTIFIER + b"\r\np COM1 115200\n")
                self.assertEqual(await receive(ws, 6), b".\r\n.\r\n")
                await ws.send(every)
                loop = asyncio.get_running_loop()
                got = await loop.run_in_executor(None, self.server.pty.read, len(every))
                self.assertEqual(got, every)
                writing = loop.run_in_executor(None, self.server.pty.write, every)
                self.assertEqual(await receive(ws, len(every)), every)
                await writing

        asyncio.run(asyncio.wait_for(session(), 60))


def _connectable(port, relay):
    """socat listens once, for one client: wait for its listener without
    using it up."""
    try:
        out = subprocess.run(["ss", "-ltnH", "sport = :%d" % port], capture_output=True,
                             text=True).stdout
    except FileNotFoundError:
        time.sleep(0.5)
        return True
    return relay.poll() is None and str(port) in out


def main():
    global SERVER, MEMORY_CHECK
    p = argparse.ArgumentParser()
    p.add_argument("--server", required=True)
    p.add_argument("--no-memory-check", dest="memory_check", action="store_false")
    args, rest = p.parse_known_args()
    SERVER = os.path.abspath(args.server)
    MEMORY_CHECK = args.memory_check
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""The browser console's listener, end to end through the real binary.

A WebSocket client nobody here wrote (python3-websockets) drives a whole
session over /ws: greeting, identifier, port list, a bridge to a
pseudo-terminal, and every byte value both ways through it.  Plain sockets
send what no well-behaved client would: bad requests, unmasked or huge
frames, a request that never ends.

Usage: web_ws_test.py --server PATH
"""
import argparse
import asyncio
import os
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

import websockets

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from velkor_support import Pty, free_port, server_command, wait_listening  # noqa: E402

SERVER = None
IDENTIFIER = b"tangerine"
GREETING = b"velkor.example.org/velkor\r\n"


class Server:
    """velkor with a main and a web listener, and COM1 on a pseudo-terminal."""

    def __init__(self):
        self.dir = tempfile.TemporaryDirectory()
        self.pty = Pty(os.path.join(self.dir.name, "COM1"))
        self.port = free_port()
        self.web = free_port()
        command, env = server_command(SERVER, self.dir.name)
        self.proc = subprocess.Popen(
            command + ["-p%d" % self.port, "-W%d" % self.web, "-b", "-w" + IDENTIFIER.decode()],
            env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if not wait_listening(self.web, 10, self.proc):
            raise RuntimeError("server did not start")
        self.url = "ws://127.0.0.1:%d/ws" % self.web

    def stop(self):
        self.proc.send_signal(2)
        out, _ = self.proc.communicate(timeout=10)
        self.pty.close()
        self.dir.cleanup()
        return self.proc.returncode, out


def http(port, request, timeout=5):
    """Sends raw bytes; everything the server answers before it closes."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(request)
        got = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                return got
            got += chunk


async def receive_exactly(ws, n):
    got = b""
    while len(got) < n:
        m = await asyncio.wait_for(ws.recv(), 10)
        assert isinstance(m, bytes), "the server sends binary frames"
        got += m
    return got


async def receive_line(ws, pending):
    while b"\n" not in pending[0]:
        pending[0] += await receive_exactly(ws, 1)
    line, _, rest = pending[0].partition(b"\n")
    pending[0] = rest
    return line + b"\n"


class WebSocketSession(unittest.TestCase):
    def setUp(self):
        self.server = Server()

    def tearDown(self):
        code, out = self.server.stop()
        self.assertEqual(code, 0, out)

    def run_async(self, coro):
        asyncio.run(asyncio.wait_for(coro, 60))

    def test_whole_session_every_byte_both_ways(self):
        async def session():
            async with websockets.connect(self.server.url, max_size=None) as ws:
                pending = [b""]
                self.assertEqual(await receive_line(ws, pending), GREETING)
                await ws.send(IDENTIFIER + b"\r\n")
                self.assertEqual(await receive_line(ws, pending), b".\r\n")
                await ws.send(b"r\r\n")
                listing = []
                while True:
                    line = await receive_line(ws, pending)
                    if line == b".\r\n":
                        break
                    listing.append(line)
                self.assertTrue(any(l.rstrip(b"\r\n\0").endswith(b"COM1") for l in listing), listing)
                # A command split over frames, and a text frame taken as its bytes.
                # The command's terminator is one byte: what follows it is
                # already the bridge's.
                await ws.send(b"p COM1 ")
                await ws.send("115200\n")
                self.assertEqual(await receive_line(ws, pending), b".\r\n")
                self.assertEqual(pending[0], b"")

                every = bytes(range(256)) * 64
                await ws.send(every)
                got = await asyncio.get_running_loop().run_in_executor(
                    None, self.server.pty.read, len(every))
                self.assertEqual(got, every)
                writing = asyncio.get_running_loop().run_in_executor(
                    None, self.server.pty.write, every)
                self.assertEqual(await receive_exactly(ws, len(every)), every)
                await writing

                # Text frames carry their UTF-8 bytes; a fragmented message
                # is its fragments' bytes in order.
                await ws.send("grüße ✓")
                await ws.send([b"frag", b"ment", b"ed"])
                want = "grüße ✓".encode() + b"fragmented"
                got = await asyncio.get_running_loop().run_in_executor(
                    None, self.server.pty.read, len(want))
                self.assertEqual(got, want)
                pong = await ws.ping(b"still there")
                await asyncio.wait_for(pong, 10)
        self.run_async(session())

    def test_wrong_identifier(self):
        async def session():
            async with websockets.connect(self.server.url) as ws:
                pending = [b""]
                self.assertEqual(await receive_line(ws, pending), GREETING)
                await ws.send(b"papaya\r\n")
                self.assertEqual(await receive_line(ws, pending), b"! wrong identifier\r\n")
                await ws.send(IDENTIFIER + b"\r\n")
                self.assertEqual(await receive_line(ws, pending), b".\r\n")
        self.run_async(session())

    def test_ipv6_loopback(self):
        # The page's listener takes IPv6 clients as the main one does; the
        # page's own origin is then the bracketed address.
        try:
            socket.create_connection(("::1", self.server.web), timeout=2).close()
        except OSError as e:
            self.skipTest("no IPv6 loopback here: %s" % e)
        host = "[::1]:%d" % self.server.web

        async def session():
            async with websockets.connect("ws://%s/ws" % host, origin="http://" + host) as ws:
                self.assertEqual(await receive_exactly(ws, len(GREETING)), GREETING)
        self.run_async(session())

    def test_origin(self):
        host = "127.0.0.1:%d" % self.server.web
        cases = [
            ("http://" + host, None),
            ("http://evil.example", 403),
            ("http://" + host + ".evil.example", 403),
            ("null", 403),
        ]
        for origin, refused in cases:
            with self.subTest(origin=origin):
                async def session():
                    async with websockets.connect(self.server.url, origin=origin) as ws:
                        self.assertEqual(await receive_exactly(ws, len(GREETING)), GREETING)
                if refused is None:
                    self.run_async(session())
                else:
                    with self.assertRaises(websockets.exceptions.InvalidStatusCode) as caught:
                        self.run_async(session())
                    self.assertEqual(caught.exception.status_code, refused)

    def test_close_frame_is_answered(self):
        async def session():
            ws = await websockets.connect(self.server.url)
            self.assertEqual(await receive_exactly(ws, len(GREETING)), GREETING)
            await ws.close(code=1000)
            self.assertEqual(ws.close_code, 1000)
        self.run_async(session())


class BadInput(unittest.TestCase):
    def setUp(self):
        self.server = Server()

    def tearDown(self):
        code, out = self.server.stop()
        self.assertEqual(code, 0, out)

    def handshake(self):
        s = socket.create_connection(("127.0.0.1", self.server.web), timeout=10)
        s.sendall(b"GET /ws HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                  b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n")
        got = b""
        while b"\r\n\r\n" not in got:
            got += s.recv(4096)
        head, _, rest = got.partition(b"\r\n\r\n")
        self.assertIn(b"101", head.split(b"\r\n")[0])
        # RFC 6455's own example key and accept value.
        self.assertIn(b"Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=", head)
        return s, rest

    def closes_with(self, s, code):
        got = b""
        while True:
            chunk = s.recv(4096)
            if not chunk:
                break
            got += chunk
        close = b"\x88\x02" + struct.pack("!H", code)
        self.assertTrue(got.endswith(close), got)

    def test_requests(self):
        cases = [
            (b"GET / HTTP/1.1\r\nHost: localhost\r\n\r\n", b"200", b"<!DOCTYPE html>"),
            (b"GET /xterm.js HTTP/1.1\r\nHost: localhost\r\n\r\n", b"200", b"Terminal"),
            (b"GET /licenses/xterm.txt HTTP/1.0\r\n\r\n", b"200", b"Copyright"),
            (b"GET /nothing HTTP/1.1\r\nHost: localhost\r\n\r\n", b"404", b""),
            (b"GET /ws HTTP/1.1\r\nHost: localhost\r\n\r\n", b"400", b""),
            (b"POST / HTTP/1.1\r\nHost: localhost\r\nContent-Length: 0\r\n\r\n", b"405", b""),
            (b"hello\r\n\r\n", b"400", b""),
            (b"GET / HTTP/1.1\r\nX: " + b"a" * 8200, b"431", b""),
        ]
        for request, status, body in cases:
            with self.subTest(request=request[:40]):
                got = http(self.server.web, request)
                self.assertEqual(got.split(b"\r\n")[0].split(b" ")[1], status, got[:200])
                self.assertIn(body, got)

    def test_page_names_no_other_host(self):
        page = http(self.server.web, b"GET / HTTP/1.1\r\nHost: localhost\r\n\r\n")
        for attr in (b'src="', b'href="'):
            for piece in page.split(attr)[1:]:
                self.assertTrue(piece.startswith(b"/"), piece[:60])
        self.assertNotIn(b"//", page.partition(b"\r\n\r\n")[2].replace(b"://", b"").replace(b"// ", b""))

    def test_slow_request_is_closed(self):
        with socket.create_connection(("127.0.0.1", self.server.web), timeout=30) as s:
            s.sendall(b"GET / HTTP/1.1\r\n")
            start = time.monotonic()
            self.assertEqual(s.recv(100), b"")
            self.assertLess(time.monotonic() - start, 25)
        # Meanwhile and afterwards the main listener serves as ever.
        with socket.create_connection(("127.0.0.1", self.server.port), timeout=10) as s:
            self.assertEqual(s.recv(100), GREETING)

    def test_bad_frames_close_with_protocol_error(self):
        cases = [
            ("unmasked", b"\x82\x03abc"),
            ("reserved bit", b"\xc2\x80" + b"\0" * 4),
            ("length with its top bit", b"\x82\xff" + b"\x80" + b"\0" * 7 + b"\0" * 4),
            ("long ping", b"\x89\xfe\x00\x7e" + b"\0" * 4),
            ("continuation of nothing", b"\x80\x80" + b"\0" * 4),
            ("unknown opcode", b"\x83\x80" + b"\0" * 4),
        ]
        for name, frame in cases:
            with self.subTest(name):
                s, _ = self.handshake()
                s.sendall(frame)
                self.closes_with(s, 1002)
                s.close()

    def test_huge_frame_streams(self):
        # A frame that says it is far larger than memory: its payload is
        # handed on as it comes, and a close behind part of it is still read.
        s, rest = self.handshake()
        while len(rest) < len(GREETING):
            rest += s.recv(100)
        mask = b"\x01\x02\x03\x04"
        s.sendall(b"\x82\xff" + struct.pack("!Q", 1 << 40) + mask)
        s.sendall(bytes(c ^ mask[i % 4] for i, c in enumerate(b"x" * 100000)))
        s.close()
        with socket.create_connection(("127.0.0.1", self.server.port), timeout=10) as t:
            self.assertEqual(t.recv(100), GREETING)


def main():
    global SERVER
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    args, rest = parser.parse_known_args()
    SERVER = os.path.abspath(args.server)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()

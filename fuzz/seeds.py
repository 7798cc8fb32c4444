#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets: fuzz/corpus/<target>/seed-*
and the regression cases regress-* (each one an input that once crashed a
target, written out as the steps that make the fault happen).

The targets read their input through FuzzedDataProvider, which takes whole
numbers from the end of the input and byte strings from its front; the
classes below write each step the way the target reads it, so a seed reads
as the session it plays.  They follow the order in which fuzz_lines.cpp and
fuzz_commands.cpp consume their input: a change there needs the same change
here (the target still runs any input; only the seeds' meaning would drift).

Run: python3 fuzz/seeds.py   (rewrites the seed-* and regress-* files)
"""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


class Input:
    """An input in FuzzedDataProvider's layout."""

    def __init__(self):
        self.front = bytearray()
        self.back = bytearray()  # back[0] is the input's last byte

    def number(self, value, lo, hi):
        span = hi - lo
        v = value - lo
        assert 0 <= v <= span, (value, lo, hi)
        width = 0
        while width < 8 and (span >> (8 * width)) > 0:
            width += 1
        for i in reversed(range(width)):  # the first byte taken is the highest
            self.back.append((v >> (8 * i)) & 0xFF)

    def flag(self, on):
        self.number(1 if on else 0, 0, 255)

    def data(self, b):
        self.front += b

    def bytes(self):
        return bytes(self.front) + bytes(reversed(self.back))


class Lines(Input):
    """fuzz_lines: one endpoint and the operations on it."""

    SOCKET, SERIAL, CONSOLE = 0, 1, 2

    def __init__(self, kind):
        super().__init__()
        self.kind = kind
        self.number(kind, 0, 2)

    def op(self, n):
        self.number(n, 0, 12)
        return self

    def chunk(self, b):  # queued for reading, then one process
        self.op(0).number(len(b), 0, 1100)
        self.data(b)
        return self

    def run(self, n, byte):  # n copies of one byte queued for reading
        self.op(1).number(n, 1, 3000)
        self.number(byte, 0, 255)
        return self

    def process(self, times=1):
        if times == 1:
            return self.op(2)
        self.op(3).number(times, 1, 8)
        return self

    def consume(self):
        return self.op(4)

    def raw(self):
        return self.op(5)

    def line(self):
        return self.op(6)

    def echo(self, on):
        self.op(7).flag(on)
        return self

    def queue(self, b, size=None):  # an output chunk of size bytes, b committed
        size = len(b) if size is None else size
        self.op(8).number(size, 0, 3000)
        self.number(len(b), 0, size)
        self.data(b)
        return self

    def write_cap(self, n):
        self.op(9).number(n, -1, 64)
        return self

    def write_error(self):
        return self.op(10)

    def overlong(self):
        return self.op(11)

    def hang_up(self, read_error=False):
        self.op(12)
        if self.kind == Lines.SOCKET:
            self.flag(read_error)
        return self


ALL_OK = 0xFF
LOOKUP, SOCKET, CONNECT, COM_OPEN, COM_TIMEOUTS, SERIALCOMM, PRODUCT, PRODUCT_TYPE = (
    1 << i for i in range(8))


class Commands(Input):
    """fuzz_commands: a signed-in client and the lines handed to execute."""

    def __init__(self):
        super().__init__()
        self.sign_in()

    def drain(self, cap=-1):
        self.number(cap, -1, 64)

    def sign_in(self):  # greeting, then the identifier
        self.drain()
        self.drain()

    def text(self, s, most, nul):
        # The target maps each byte b to 0x20 + b % 0x5f.
        self.number(len(s), 0, most)
        self.data(bytes(ord(c) - 0x20 for c in s))
        self.flag(nul)

    def registry(self, ports, product="Linux", big=False):
        self.number(len(ports), 0, 6)
        for name, value in ports:
            large = len(name) > 40 or len(value) > 40
            self.number(0 if large else 1, 0, 15)
            most = 2100 if large else 40
            self.text(name, most, False)
            self.text(value, most, True)
        self.flag(big)
        self.text(product, 1100 if big else 20, True)

    def command(self, line, outcomes=ALL_OK, registry=None, split=(80, 70), cap=-1,
                looks=None, greeting=None):
        """One line handed to execute.  looks: the steps a connect waits for
        its outcome (a "c" line, each step drains once); greeting: what the
        host sends the moment the connect is made."""
        if isinstance(line, str):
            line = line.encode("latin-1")
        self.number(outcomes, 0, 255)
        self.number(0, 0, 3)  # a connect succeeds at its first look
        self.flag(greeting is not None)
        if greeting is not None:
            self.number(len(greeting), 1, 2500)
            self.data(greeting)
        if registry is None:
            self.number(1, 0, 7)
        else:
            self.number(0, 0, 7)
            self.registry(*registry)
        self.number(len(line), 0, 2100)
        self.data(line)
        self.number(split[0], 1, 80)
        self.number(split[1], 1, 70)
        self.drain(cap)
        if looks is None:
            looks = 1 if line[:1] == b"c" else 0
        for _ in range(looks):
            self.drain()
        return self

    def ended(self):  # after "d" or "k": a new client signs in
        self.sign_in()
        return self

    def bridge(self, up=b"", down=b"", chunks=None, socket=True, target_ends=False,
               read_error=False, last=b"", slow_user=False, last_up=b"", cap=-1):
        """After a successful "c" (socket) or "p": relay, then one side ends:
        the target (a socket's host sends `last` and closes, or its reads
        fail; a serial line's reads fail), with the user reading nothing
        meanwhile if slow_user; or else the user, after sending last_up,
        which the target takes `cap` bytes at a time."""
        self.number(len(up), 0, 3000)
        self.data(up)
        self.number(len(down), 0, 3000)
        self.data(down)
        chunks = chunks or [len(up)]
        at = 0
        for n in chunks:
            if at >= len(up):
                break
            self.number(n, 1, len(up) - at)
            at += n
        assert at == len(up)
        self.flag(target_ends)
        if target_ends:
            self.flag(slow_user)
            if socket:
                self.flag(not read_error)
                if not read_error:
                    self.number(len(last), 0, 3000)
                    self.data(last)
                    if slow_user:
                        # Bytes past the queue's bound: the endpoint reads
                        # 1023 at a time, so 65 whole reads take the queue
                        # over its bound just before the last part is read.
                        self.number(65 * 1023 - 65536, 1, 2048)
            self.drain()
            self.drain()  # signs in again
            return self
        # The user sends a last part and goes away; a new one comes.
        self.number(len(last_up), 0, 3000)
        self.data(last_up)
        self.number(cap, -1, 64)
        self.sign_in()
        return self


def lines_seeds():
    S, C, K = Lines.SOCKET, Lines.SERIAL, Lines.CONSOLE
    seeds = {
        "command-crlf": Lines(S).chunk(b"v\r\n").consume().process().consume(),
        "leading-blanks": Lines(S).chunk(b"  ab c \r\n").consume().chunk(b"x").consume(),
        "tab-ends-line": Lines(S).chunk(b"a\tb\r\n").consume().process().chunk(b" ").consume(),
        "two-lines-one-read": Lines(S).chunk(b"?\r\nv\r\n").consume().process().consume()
        .chunk(b"\n").consume(),
        "blank-lines": Lines(S).chunk(b"\r\n\r\n   \r\n\t\n").consume(),
        "high-bytes": Lines(S).chunk(b"\x80\xffwobex\x80p COM1 9600\xff\r\n").consume()
        .chunk(b"\xfe").consume(),
        "control-bytes": Lines(S).chunk(b"\x00\x01\x1b[Av\x7fx\x08y\r\n").consume().process()
        .consume().chunk(b"\x00").consume(),
        "longest-line": Lines(S).run(1022, ord("a")).process(2).chunk(b"\r\n").consume(),
        "overlong-line": Lines(S).run(1500, ord("x")).process(3).chunk(b"\r\nv\r\n")
        .overlong().consume().process().consume(),
        "overlong-exact": Lines(S).run(1023, ord("y")).process(2).chunk(b"\nok\n")
        .overlong().consume(),
        "overlong-behind-line": Lines(S).chunk(b"v\r\n").run(2000, ord("z")).process(4)
        .consume().process(4).chunk(b"\n").overlong().consume(),
        "ready-line-not-consumed": Lines(S).chunk(b"first\r\nsecond").process(2)
        .chunk(b" more\r\n").consume().process().consume(),
        "raw-all-bytes": Lines(S).raw().chunk(bytes(range(256))).consume()
        .chunk(bytes(range(255, -1, -1))).process().consume(),
        "raw-full-buffer": Lines(S).raw().run(1100, 0).process(3).consume().process(2).consume(),
        "command-then-raw": Lines(S).chunk(b"p COM1 9600\r\n").raw().consume()
        .chunk(b"\x00\r\n\xff").consume(),
        "raw-back-to-line": Lines(S).raw().chunk(b"\x01\x02").consume().line()
        .chunk(b"wobex\r\n").consume(),
        "console-keys": Lines(K).chunk(b"v").process().chunk(b"\r").process(3).consume()
        .chunk(b"ab\x08c\r").process(6).consume(),
        "console-echo": Lines(K).echo(True).chunk(b"e\r").process(3).consume().echo(False)
        .chunk(b"s\r").process(3).consume(),
        "echo-socket": Lines(S).echo(True).write_cap(3).chunk(b"hello\r\n").consume()
        .write_cap(-1).echo(False),
        "serial-output": Lines(C).queue(b"AT\r").queue(b"ATZ\r", 10).write_cap(2).process(4)
        .write_error().process(2).write_error().write_cap(-1).process()
        .chunk(b"OK\r\n").consume(),
        "serial-read-errors": Lines(C).chunk(b"x").hang_up().chunk(b"y\r").consume(),
        "socket-short-writes": Lines(S).queue(b"velkor/velkor\r\n").queue(b".\r\n")
        .write_cap(1).process(8).write_cap(0).process().write_cap(-1).process(),
        "socket-write-fails": Lines(S).queue(b":kill\r\n.\r\n").write_error().process()
        .chunk(b"v\r\n"),
        "socket-peer-closes": Lines(S).queue(b"bye\r\n").chunk(b"d\r\n").hang_up(),
        "socket-recv-error": Lines(S).raw().chunk(b"abc").hang_up(read_error=True),
        "console-stdout-fails": Lines(K).queue(b"x\r\n").write_error().process()
        .chunk(b"v\r"),
    }
    regressions = {
        # Raw data still ready when the endpoint went back to line mode, then
        # a read of bytes that line mode drops: the buffer was emptied while
        # the data stayed marked ready.
        "raw-ready-then-line": Lines(K).raw().chunk(b"\x01").line().chunk(b"\n"),
    }
    return seeds, regressions


def commands_seeds():
    no_com = ALL_OK & ~COM_OPEN
    seeds = {
        "help-version": Commands().command("?").command("?x").command("v").command("v a b c"),
        "echo": Commands().command("e").command("echo off").command("s"),
        "queries": Commands().command("i").command("n").command("r").command("l")
        .command("l Ports"),
        "test-lines": Commands().command("t 3").command("t 0").command("t -5").command("t x")
        .command("t 10001").command("t 2147483648").command("t 10000"),
        "unknown": Commands().command("V").command("help").command("foo bar")
        .command("C 127.0.0.1 23").command("x" * 300).command("\x7e").command("@"),
        "too-few": Commands().command("c 127.0.0.1").command("p COM1").command("t")
        .command("c\t127.0.0.1\t23"),
        "blank": Commands().command("").command("   ").command("\x01\x02\x1f").command("\xff\x80"),
        "many-tokens": Commands().command(" ".join(["v"] * 64))
        .command(" ".join(str(i) for i in range(600))[:1022]),
        "long-line": Commands().command("c " + "h" * 1990 + " 80 9", outcomes=0)
        .command(("ab " * 700)[:2100]),
        "connect-fails": Commands().command("c no.such.host 23", outcomes=ALL_OK & ~LOOKUP)
        .command("c 127.0.0.1 1", outcomes=ALL_OK & ~CONNECT)
        .command("c 127.0.0.1 1", outcomes=ALL_OK & ~SOCKET).command("c 127.0.0.1 x", outcomes=0),
        "connect-relay-target-ends": Commands().command("connect 127.0.0.1 65559")
        .bridge(up=b"GET / HTTP/1.0\r\n\r\n", down=b"HTTP/1.0 200 OK\r\n\r\n",
                chunks=[3, 10, 5], target_ends=True).command("v"),
        "connect-target-recv-error": Commands().command("cx 127.0.0.1 -1")
        .bridge(up=b"d\r\nk\r\n", target_ends=True, read_error=True).command("?"),
        "connect-host-talks-first": Commands()
        .command("c 127.0.0.1 25", greeting=b"HELLO\x00\xff\r\n")
        .bridge(down=b"more", target_ends=True, last=b"bye\r\n")
        .command("c 127.0.0.1 25", greeting=b"\r\n  220 ready\tx\r\n")
        .bridge(up=b"QUIT\r\n")
        .command("c 127.0.0.1 23", greeting=b"abcdefghijklmnopqrstuvwxyz0123456789").command("v"),
        "connect-target-ends-behind-full-queue": Commands().command("c 127.0.0.1 80")
        .bridge(down=b"x" * 100, target_ends=True, slow_user=True, last=bytes(range(256)) * 3)
        .command("v"),
        "connect-user-leaves": Commands().command("c localhost 23")
        .bridge(down=bytes(range(256)) * 8, last_up=b"last words\r\n" * 100, cap=7)
        .command("p COM1 9600").bridge(up=b"x", last_up=b"never taken", cap=0).command("v"),
        "open-fails": Commands().command("p COM1 9600", outcomes=no_com)
        .command("p COM1 9600", outcomes=ALL_OK & ~COM_TIMEOUTS).command("p LPT1 9600")
        .command("p COM12345 9600").command("p COM1 x", outcomes=no_com),
        "open-relay": Commands().command("p COM3 115200")
        .bridge(up=bytes(range(256)) * 6, down=b"login: ", chunks=[1, 1000, 535],
                socket=False).command("v"),
        "watch": Commands().command("w COM1").command("w COM1 4096").command("w COM2", outcomes=no_com)
        .command("w").command("w LPT1 10").command("v"),
        "echo-through-bridge": Commands().command("e").command("p COM1 9600")
        .bridge(up=b"typed\r\n", socket=False).command("s"),
        "disconnect": Commands().command("d").ended().command("v").command("disconnect now")
        .ended(),
        "kill": Commands().command("k").ended().command("v"),
        "registry": Commands().command(
            "r", registry=([("/dev/ttyS0", "COM1"), ("/dev/ttyUSB0", "COM100")], "Linux"))
        .command("n").command("i")
        .command("r", outcomes=ALL_OK & ~SERIALCOMM).command("n", outcomes=ALL_OK & ~SERIALCOMM)
        .command("i", outcomes=ALL_OK & ~PRODUCT).command("i", outcomes=ALL_OK & ~PRODUCT_TYPE),
        "registry-oversized": Commands().command(
            "r", registry=([("/dev/ttyS0", "COM1"), ("d" * 2090, "COM2"), ("/dev/x", "COM3")],
                           "P" * 1100, True))
        .command("n").command("i"),
        "short-writes": Commands().command("?", cap=1).command("t 5", cap=2).command("v", cap=7),
    }
    regressions = {
        # splitArgs with a buffer that fills up: the next token's pointer
        # lay one past the buffer's end, without a NUL.
        "split-buffer-end": Commands().command("ab c", split=(3, 64)),
    }
    return seeds, regressions


class Web:
    """An input of fuzz_web.cpp: the chunking, then what a client sends."""

    HANDSHAKE = (b"GET /ws HTTP/1.1\r\nHost: 127.0.0.1:8080\r\nUpgrade: websocket\r\n"
                 b"Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                 b"Origin: http://127.0.0.1:8080\r\nSec-WebSocket-Version: 13\r\n\r\n")

    def __init__(self, request, piece=16, room=64):
        self.data = bytearray([piece - 1, room - 1]) + request

    def frame(self, first, payload, mask=b"\x37\xfa\x21\x3d", length=None):
        n = len(payload) if length is None else length
        self.data.append(first)
        bit = 0x80 if mask else 0
        if n < 126:
            self.data.append(bit | n)
        elif n < 65536:
            self.data += bytes([bit | 126]) + n.to_bytes(2, "big")
        else:
            self.data += bytes([bit | 127]) + n.to_bytes(8, "big")
        if mask:
            self.data += mask
            payload = bytes(c ^ mask[i % 4] for i, c in enumerate(payload))
        self.data += payload
        return self

    def bytes(self):
        return bytes(self.data)


def web_seeds():
    h = Web.HANDSHAKE
    seeds = {
        "page": Web(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n"),
        "asset-with-query": Web(b"GET /xterm.js?v=6 HTTP/1.1\r\nHost: x\r\n\r\n", piece=1),
        "not-found": Web(b"GET /nothing HTTP/1.0\r\n\r\n"),
        "post": Web(b"POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\n"),
        "not-http": Web(b"hello there\r\n\r\n"),
        "too-large": Web(b"GET / HTTP/1.1\r\nX: " + b"a" * 8200, piece=200),
        "foreign-origin": Web(h.replace(b"Origin: http://127.0.0.1:8080", b"Origin: http://evil.example")),
        "handshake-missing-key": Web(h.replace(b"Sec-WebSocket-Key", b"X-Key")),
        "session": Web(h, piece=5, room=7).frame(0x82, b"tangerine\r\n").frame(0x81, b"p COM1 9600\n")
                   .frame(0x82, bytes(range(256))).frame(0x88, b"\x03\xe8"),
        "fragments-and-ping": Web(h, piece=3, room=2).frame(0x02, b"frag").frame(0x89, b"ping")
                              .frame(0x00, b"men").frame(0x80, b"ted").frame(0x8a, b""),
        "lengths": Web(h, piece=250, room=256).frame(0x82, b"m" * 300).frame(0x82, b"b" * 70000)
                   .frame(0x82, b"x" * 10, length=1 << 40),
        "unmasked": Web(h).frame(0x82, b"abc", mask=None),
        "long-ping": Web(h).frame(0x89, b"p" * 126),
        "reserved-bits": Web(h).frame(0xc2, b"abc"),
        "continuation-of-nothing": Web(h).frame(0x80, b"abc"),
        "frames-behind-handshake": Web(h, piece=255, room=256).frame(0x82, b"early"),
    }
    return seeds, {}


class Endpoint(Input):
    """fuzz_endpoints: one client of a kind, its body sent over and over.
    cap and other_cap: -1 takes all, 0 nothing, 1 to 64 that many times 64
    bytes a write."""

    LINE, HOST_BRIDGE, PORT_BRIDGE, TELNET, WEB, CONSOLE = range(6)
    NO_FRAMES, DATA_FRAMES, PINGS = range(3)

    def __init__(self, kind, body, cap=-1, other_cap=-1, piece=4096, repeat=1, seed=1,
                 introduce=True, far_talks=False, framing=0):
        super().__init__()
        self.number(kind, 0, 5)
        self.number(cap, -1, 64)
        self.number(other_cap, -1, 64)
        self.number(piece, 1, 16384)
        self.number(repeat, 1, 4000)
        self.number(seed, 0, (1 << 32) - 1)
        self.flag(introduce)
        self.flag(far_talks)
        self.number(framing, 0, 2)
        self.data(body)


def ws_frame(first, payload, mask=b"\x37\xfa\x21\x3d"):
    n = len(payload)
    if n < 126:
        head = bytes([first, 0x80 | n])
    else:
        head = bytes([first, 0x80 | 126, n >> 8, n & 0xFF])
    return head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload))


def endpoints_seeds():
    E = Endpoint
    iac_will_comport = b"\xff\xfb\x2c"
    signature_query = b"\xff\xfa\x2c\x00\xff\xf0"
    commands = b"v\r\n?\r\nt 3000\r\ni\r\nn\r\n"
    seeds = {
        # Line mode, a client that reads nothing: replies and made lines.
        "line-commands-never-read": E(E.LINE, commands, cap=0, repeat=2000),
        # Echo on, one endless line: discarded as overlong, echoed all the same.
        "line-echo-never-read": E(E.LINE, b"e\r\n" + b"a" * 2000, cap=0, repeat=4000, piece=3000),
        "line-echo-reads-little": E(E.LINE, b"e\r\nv\r\n" + b"b" * 500, cap=7, repeat=200,
                                    piece=100),
        # Echo on, bridged to a host that takes everything.
        "host-bridge-echo-never-read": E(E.HOST_BRIDGE, bytes(range(256)) * 8, cap=0,
                                         repeat=4000),
        # The host floods a client that reads nothing.
        "host-bridge-host-floods": E(E.HOST_BRIDGE, b"x" * 1000, cap=0, repeat=4000,
                                     far_talks=True),
        # A shared port: its writer reads nothing, its watcher reads, the
        # board talks.
        "port-writer-never-reads": E(E.PORT_BRIDGE, b"boot line\r\n" * 100, cap=0, other_cap=-1,
                                     repeat=4000, far_talks=True),
        "port-watcher-never-reads": E(E.PORT_BRIDGE, b"boot line\r\n" * 100, cap=-1, other_cap=0,
                                      repeat=4000, far_talks=True),
        # Signature queries whose answers nobody reads.
        "telnet-signature-never-read": E(E.TELNET, signature_query * 1000, cap=0,
                                         repeat=4000),
        # Option changes back and forth, each one answered.
        "telnet-options-never-read": E(E.TELNET, b"\xff\xfe\x00\xff\xfd\x00" * 1000, cap=0,
                                       repeat=4000, introduce=False),
        "telnet-data-and-commands": E(E.TELNET, b"data\xff\xff" + signature_query +
                                      b"\xff\xfa\x2c\x01\x00\x00\x4b\x00\xff\xf0", cap=3,
                                      repeat=500, piece=5, far_talks=True),
        # Pings whose pongs nobody reads.
        "web-pings-never-read": E(E.WEB, b"p" * 125 * 20, cap=0, repeat=4000,
                                  framing=E.PINGS),
        "web-commands-never-read": E(E.WEB, commands, cap=0, repeat=2000, framing=E.DATA_FRAMES),
        # The handshake and kilobytes of frames behind it in one read.
        "web-handshake-with-frames-behind": E(E.WEB, ws_frame(0x82, b"v\r\n") * 800,
                                              piece=16384, repeat=1, framing=E.NO_FRAMES),
        "web-split-frames": E(E.WEB, ws_frame(0x82, b"v\r\n?\r\n") + ws_frame(0x89, b"hi") +
                              ws_frame(0x02, b"v\r") + ws_frame(0x80, b"\n"), cap=2, piece=3,
                              repeat=300),
        "console-commands": E(E.CONSOLE, commands, cap=0, repeat=100, piece=7),
        "console-echo": E(E.CONSOLE, b"e\r\n" + b"z" * 300, cap=1, repeat=200),
    }
    return seeds, {}


def write(target, seeds, regressions):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    for f in os.listdir(d):
        if f.startswith("seed-"):
            os.remove(os.path.join(d, f))
    for prefix, table in (("seed-", seeds), ("regress-", regressions)):
        for name, inp in table.items():
            with open(os.path.join(d, prefix + name), "wb") as out:
                out.write(inp.bytes())


def main():
    write("lines", *lines_seeds())
    write("commands", *commands_seeds())
    write("web", *web_seeds())
    write("endpoints", *endpoints_seeds())
    return 0


if __name__ == "__main__":
    sys.exit(main())

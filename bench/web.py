#!/usr/bin/env python3
"""Browser console figures: a port's bytes per second into the page, and a
keystroke's round trip through the page (key down in the page, through
velkor to the port, the port's echo back into the page), in headless
chromium driven by puppeteer-core (bench/web.js).

    python3 bench/web.py --velkor build/velkor --modules build/web/node_modules

The port is a pseudo-terminal; this side writes the bytes into it and
echoes the keys.  Figures go to standard output.
"""
import argparse
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time
import tty


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def write_all(fd, data):
    while data:
        try:
            data = data[os.write(fd, data):]
        except BlockingIOError:
            time.sleep(0.001)


def echo(fd, stop):
    while not stop.is_set():
        try:
            got = os.read(fd, 4096)
        except BlockingIOError:
            time.sleep(0.0005)
            continue
        except OSError:
            return
        write_all(fd, got)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--velkor", default="build/velkor")
    ap.add_argument("--modules", default="build/web/node_modules")
    ap.add_argument("--megabytes", type=int, default=8)
    ap.add_argument("--keys", type=int, default=50)
    args = ap.parse_args()
    here = os.path.dirname(os.path.abspath(__file__))

    ports = tempfile.TemporaryDirectory()
    master, slave = os.openpty()
    tty.setraw(master)
    os.set_blocking(master, False)
    os.symlink(os.ttyname(slave), os.path.join(ports.name, "COM1"))
    web = free_port()
    server = subprocess.Popen([args.velkor, "-p%d" % free_port(), "-W%d" % web, "-b", "-wbench"],
                              env=dict(os.environ, VELKOR_PORTS=ports.name),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    stop = threading.Event()
    result = None
    try:
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", web), timeout=1).close()
                break
            except OSError:
                if time.monotonic() > deadline:
                    sys.exit("velkor did not start")
                time.sleep(0.05)
        total = args.megabytes * 1000 * 1000
        node = subprocess.Popen(
            ["node", os.path.join(here, "web.js"), "http://127.0.0.1:%d/" % web, "bench", "COM1",
             str(total), str(args.keys)],
            env=dict(os.environ, NODE_PATH=os.path.abspath(args.modules)),
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        for line in node.stdout:
            step = line.split()
            if step[0] == "send":
                # Printable bytes, in lines: what a console port sends.
                block = (b"0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ!\r\n" * 1024)
                data = (block * (total // len(block) + 1))[:total]
                threading.Thread(target=write_all, args=(master, data), daemon=True).start()
            elif step[0] == "echo":
                threading.Thread(target=echo, args=(master, stop), daemon=True).start()
            elif step[0] == "result":
                result = step[1:]
                continue
            node.stdin.write("ok\n")
            node.stdin.flush()
        node.wait(timeout=60)
    finally:
        stop.set()
        server.send_signal(2)
        server.wait(timeout=10)
        os.close(master)
        os.close(slave)
        ports.cleanup()
    if not result:
        sys.exit("no figures: bench/web.js failed")
    print("port -> browser page:          %s MB/s (%d MB)" % (result[0], args.megabytes))
    print("keystroke round trip via page: %s ms median, %s ms 90th percentile (%d keys)"
          % (result[1], result[2], args.keys))


if __name__ == "__main__":
    main()

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
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "tests", "support"))
from velkor_support import Pty, free_port, wait_listening, write_all  # noqa: E402


def echo(fd, stop):
    while not stop.is_set():
        try:
            got = os.read(fd, 4096)
        except BlockingIOError:
            time.sleep(0.0005)
            continue
        except OSError:
            return
        write_all(fd, got, pause=0.001)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--velkor", default="build/velkor")
    ap.add_argument("--modules", default="build/web/node_modules")
    ap.add_argument("--megabytes", type=int, default=8)
    ap.add_argument("--keys", type=int, default=50)
    args = ap.parse_args()
    here = os.path.dirname(os.path.abspath(__file__))

    ports = tempfile.TemporaryDirectory()
    com1 = Pty(os.path.join(ports.name, "COM1"))
    web = free_port()
    server = subprocess.Popen([args.velkor, "-p%d" % free_port(), "-W%d" % web, "-b", "-wbench"],
                              env=dict(os.environ, VELKOR_PORTS=ports.name),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    stop = threading.Event()
    result = None
    try:
        if not wait_listening(web, 10):
            sys.exit("velkor did not start")
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
                threading.Thread(target=write_all, args=(com1.master, data),
                                 kwargs=dict(pause=0.001), daemon=True).start()
            elif step[0] == "echo":
                threading.Thread(target=echo, args=(com1.master, stop), daemon=True).start()
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
        com1.close()
        ports.cleanup()
    if not result:
        sys.exit("no figures: bench/web.js failed")
    print("port -> browser page:          %s MB/s (%d MB)" % (result[0], args.megabytes))
    print("keystroke round trip via page: %s ms median, %s ms 90th percentile (%d keys)"
          % (result[1], result[2], args.keys))


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""The page in headless Chromium against the real binary (browser.js).

This side starts velkor with a pseudo-terminal as COM1 and plays the
port's far end; browser.js drives the page and reports each step on its
stdout, to which this side answers "ok" once the port saw what it should.
A screenshot of the terminal is left in --artefacts.

With --wine-prefix the server is velkor.exe under Wine, in the prefix the
Wine tests share (tests/support/wine-prefix.sh), with the port set up as
they do it: a link in dosdevices and the registry's port map written by
--wine-tool.  Wine programs write to files, never to a pipe.

Usage: browser_test.py --server PATH --modules NODE_MODULES --artefacts DIR
                       [--wine-prefix DIR --wine-tool WINETOOL.EXE]
"""
import argparse
import os
import subprocess
import sys
import tempfile
import termios
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from velkor_support import (Pty, free_port, server_command, wait_for, wait_listening,  # noqa: E402
                            wine_com1)

IDENTIFIER = "tangerine"
BAUD = 57600


def read_until(fd, want, timeout=15):
    got = b""
    deadline = time.monotonic() + timeout
    while want not in got:
        if time.monotonic() > deadline:
            raise AssertionError("port got %r, not %r" % (got, want))
        try:
            got += os.read(fd, 4096)
        except BlockingIOError:
            time.sleep(0.02)
    return got


def test_certificate(where):
    """A self-signed certificate for 127.0.0.1 with its key, as -T takes
    them, and the base64 SHA-256 of its public key, by which the browser is
    told to trust it."""
    key, cert, pem = (os.path.join(where, n) for n in ("tls.key", "tls.crt", "tls.pem"))
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                    "-out", cert, "-days", "2", "-subj", "/CN=127.0.0.1",
                    "-addext", "subjectAltName=IP:127.0.0.1"],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with open(pem, "wb") as out:
        for part in (cert, key):
            with open(part, "rb") as f:
                out.write(f.read())
    spki = subprocess.run(
        "openssl x509 -in '%s' -pubkey -noout | openssl pkey -pubin -outform der"
        " | openssl dgst -sha256 -binary | base64" % cert,
        shell=True, check=True, capture_output=True, text=True).stdout.strip()
    return pem, spki


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    parser.add_argument("--modules", required=True)
    parser.add_argument("--artefacts", required=True)
    parser.add_argument("--wine-prefix")
    parser.add_argument("--wine-tool")
    parser.add_argument("--tls", action="store_true",
                        help="serve the page over https (-T) with a certificate made here")
    args = parser.parse_args()
    here = os.path.dirname(os.path.abspath(__file__))
    os.makedirs(args.artefacts, exist_ok=True)
    screenshot = "web-console-wine.png" if args.wine_prefix else "web-console.png"
    if args.tls:
        screenshot = "web-console-https.png"

    ports = tempfile.TemporaryDirectory()
    com1 = Pty(os.path.join(ports.name, "COM1"))
    web = free_port()
    command, env = server_command(args.server, ports.name, args.wine_prefix)
    if args.wine_prefix:
        with open(os.path.join(args.artefacts, "winetool.log"), "wb") as out:
            wine_com1(args.wine_prefix, args.wine_tool, com1.path, env, out)
    log_path = os.path.join(args.artefacts, "web-console-server.log")
    switches = ["-p%d" % free_port(), "-W%d" % web, "-b", "-w" + IDENTIFIER]
    url = "http://127.0.0.1:%d/" % web
    browser_env = dict(os.environ, NODE_PATH=args.modules)
    if args.tls:
        log_path = os.path.join(args.artefacts, "web-console-https-server.log")
        pem, spki = test_certificate(ports.name)
        switches.append("-T" + pem)
        url = "https://127.0.0.1:%d/" % web
        browser_env["VELKOR_CHROMIUM_TRUST_SPKI"] = spki
    log_file = open(log_path, "wb")
    server = subprocess.Popen(command + switches, env=env, stdout=log_file,
                              stderr=subprocess.STDOUT)

    def log():
        with open(log_path, "rb") as f:
            return f.read().splitlines(keepends=True)

    failed = None
    try:
        if not wait_listening(web, 60, server):
            raise AssertionError("server did not start")
        browser = subprocess.Popen(
            ["node", os.path.join(here, "browser.js"), url, IDENTIFIER,
             "COM1", str(BAUD), os.path.join(args.artefacts, screenshot)],
            env=browser_env,
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        try:
            for line in browser.stdout:
                step = line.strip()
                print("browser:", step, flush=True)
                if step == "bridged":
                    speed = termios.tcgetattr(com1.slave)[4]
                    assert speed == getattr(termios, "B%d" % BAUD), "port speed %r" % speed
                elif step.startswith("typed "):
                    read_until(com1.master, step[len("typed "):].encode())
                    os.write(com1.master, b"port-to-the-page\r\n")
                elif step == "closed":
                    # The server drops the WebSocket's client once the tab is
                    # gone (each asset's connection has ended before).
                    if not wait_for(lambda: any(l.startswith(b"client disconnected")
                                                for l in log()), 10, step=0.05):
                        raise AssertionError("the client outlived its tab")
                browser.stdin.write("ok\n")
                browser.stdin.flush()
            browser.wait(timeout=60)
        finally:
            if browser.poll() is None:
                browser.terminate()
        if browser.returncode != 0:
            failed = "browser.js failed (%s)" % browser.returncode
    except AssertionError as e:
        failed = str(e)
    finally:
        # SIGINT: velkor.exe under Wine is never killed.
        server.send_signal(2)
        server.wait(timeout=60)
        log_file.close()
        com1.close()
        ports.cleanup()
    sys.stdout.write(b"".join(log()).decode(errors="replace"))
    if failed:
        print("FAIL:", failed)
        return 1
    if server.returncode != 0:
        print("FAIL: server ended with", server.returncode)
        return 1
    print("ok: screenshot in", args.artefacts)
    return 0


if __name__ == "__main__":
    sys.exit(main())

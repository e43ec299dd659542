#!/usr/bin/env python
"""Wall time of many HTTP exchanges over loopback: perform_http_request
(through ctypes) against a plain-socket Python client as the baseline, the
same number of calls each, on the same demo camera server in a child
process.  Prints figures; it is not a test.

    .venv/bin/python bench/exchange_loop.py [calls]
"""
from __future__ import print_function, division

import ctypes
import os
import socket
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests"))
from stages import BUF_SIZE, ERR_SIZE, ip_of, lib  # noqa: E402

REQUEST = b"GET /img.pgm HTTP/1.0\n\n"


def start_server(requests):
    proc = subprocess.Popen(
        [sys.executable, os.path.join(ROOT, "camserver", "lurvo_camserver.py"),
         "--port", "0", "--width", "1280", "--height", "1024", "--bits", "16",
         "--max-requests", str(requests), "--duration", "600"],
        stdout=subprocess.PIPE)
    line = proc.stdout.readline().decode()
    return proc, int(line.rsplit(":", 1)[1])


def plain_fetch(port):
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(REQUEST)
    chunks = []
    while True:
        chunk = s.recv(1 << 20)
        if not chunk:
            break
        chunks.append(chunk)
    s.close()
    return sum(len(c) for c in chunks)


def main():
    calls = max(100, int(sys.argv[1]) if len(sys.argv) > 1 else 1000) // 100 * 100
    proc, port = start_server(2 * calls + 2)
    try:
        buf = ctypes.create_string_buffer(BUF_SIZE)
        err = ctypes.create_string_buffer(ERR_SIZE)
        size = plain_fetch(port)

        baseline = ours = 0.0
        for _ in range(calls // 100):
            start = time.time()
            for _ in range(100):
                assert plain_fetch(port) == size
            baseline += time.time() - start
            start = time.time()
            for _ in range(100):
                n = lib.perform_http_request(ip_of("127.0.0.1"), port, b"/img.pgm",
                                             buf, BUF_SIZE, err, ERR_SIZE)
                assert n == size, err.value
            ours += time.time() - start
    finally:
        proc.terminate()
        proc.wait()
    print("%d calls of %d bytes each over loopback" % (calls, size))
    print("plain Python socket client: %.2f s (%.2f ms per call)" % (baseline, 1e3 * baseline / calls))
    print("perform_http_request:       %.2f s (%.2f ms per call)" % (ours, 1e3 * ours / calls))
    print("ratio perform_http_request / plain client: %.2f" % (ours / baseline))


if __name__ == "__main__":
    main()

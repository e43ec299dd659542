"""Frames per second and per-frame latency of lurvo's get_frame against what
a Python user would write instead, and against the floor of a client that
only receives and copies, all timed by this one harness on one local server
in one run.

    make bench                      (sets everything up, then runs this)
    tools/bench/run.sh frame_rate.py [--calls N] [--out DIR]

The server and the floor client are C++ programs the Makefile builds
(build/frame_server, build/liblimit_client.so); the peers come from
testkit/peers.py, in the bench environment (run.sh).

Frame kinds: 640x480 8-bit, 1280x1024 12-bit (maxval 4095), 1280x1024
16-bit.  Every contender must return the same uint16 array as get_frame
(each sample moved up so that its top bit is bit 15); that is checked
before anything is timed, and a contender that fails the check, or whose
library is missing, is reported and left out.

Calls are interleaved: each round runs a batch of every contender in turn,
so drift of the machine spreads over all of them.  Ratios are of median
latencies within this run.  Peak memory of one get_frame call is measured
in child processes (peak_memory.py).  This prints figures; it
checks nothing beyond the equality of the results.
"""
from __future__ import division, print_function

import argparse
from collections import OrderedDict
import ctypes
import gc
import os
import resource
import shutil
import socket
import struct
import tempfile
import time

import numpy as np

from project import ROOT, built      # first: it puts the project on the path
import lurvo
from lurvo_grab.limits import BUFFER_SIZE
from testkit import peers
from bench_server import FrameServer, Kind, server_binary
from peak_memory import measure_peak_memory, memory_table
from report import machine, pyplot

KINDS = [
    # name, width, height, maxval
    ("640x480 8-bit", 640, 480, 255),
    ("1280x1024 12-bit", 1280, 1024, 4095),
    ("1280x1024 16-bit", 1280, 1024, 65535),
]


# ---------------------------------------------------------------------------
# The contenders: each is made for one kind and returns a callable that
# fetches one frame and returns it as the uint16 array get_frame returns.

def make_lurvo(port, kind):
    cam = lurvo.cam("127.0.0.1", port)
    uri = kind.uri
    return lambda: cam.get_frame(uri)


def peer(make_fetch):
    """A contender of testkit/peers.py, fetching the kind from the server."""
    return lambda port, kind: make_fetch("http://127.0.0.1:%d%s" % (port, kind.uri))


def limit_library():
    return built("liblimit_client.so", "limit_client.cpp")


def make_limit(port, kind):
    lib = ctypes.CDLL(limit_library())
    fetch = lib.limit_fetch
    fetch.restype = ctypes.c_long
    fetch.argtypes = [ctypes.c_ulong, ctypes.c_int, ctypes.c_char_p, ctypes.c_void_p,
                      ctypes.c_ulong, ctypes.c_void_p, ctypes.c_ulong]
    ip = struct.unpack("=I", socket.inet_aton("127.0.0.1"))[0]
    request = ("GET %s HTTP/1.0\n\n" % kind.uri).encode("ascii")
    # The room get_frame allocates, so that the floor receives as it does.
    receive = ctypes.create_string_buffer(BUFFER_SIZE)
    dtype = np.uint8 if kind.maxval <= 255 else np.uint16
    shape = (kind.height, kind.width)
    nbytes = kind.pixel_bytes

    def run():
        out = np.empty(shape, dtype)
        if fetch(ip, port, request, receive, BUFFER_SIZE, out.ctypes.data, nbytes) < 0:
            raise RuntimeError("limit client failed")
        return out
    return run


CONTENDERS = [
    ("lurvo get_frame", make_lurvo),
    ("urllib2 + NumPy", peer(peers.urllib_numpy)),
    ("requests + NumPy", peer(peers.requests_numpy)),
    ("urllib2 + OpenCV imdecode", peer(peers.urllib_opencv)),
    ("urllib2 + Pillow", peer(peers.urllib_pillow)),
    ("limit (receive + memcpy)", make_limit),
]
BASE, LIMIT = CONTENDERS[0][0], CONTENDERS[-1][0]


def check(name, fetch, kind):
    """None when the contender returns the expected frame, else why not."""
    got = fetch()
    if name == LIMIT:
        # The floor only copies the file's raster; compare that.
        return None if got.tobytes() == kind.raster else "wrong bytes"
    if not isinstance(got, np.ndarray) or got.dtype != np.uint16:
        return "returned %r" % (getattr(got, "dtype", type(got)),)
    if got.shape != kind.expected.shape:
        return "shape %r" % (got.shape,)
    if not np.array_equal(got, kind.expected):
        return "%d samples differ" % int(np.count_nonzero(got != kind.expected))
    return None


# ---------------------------------------------------------------------------
# Timing

def time_kind(kind, fetchers, calls, rounds):
    per_round = max(1, calls // rounds)
    stats = dict((name, {"lat": [], "wall": 0.0, "minflt": 0}) for name in fetchers)
    for fetch in fetchers.values():        # warm-up: imports, caches, allocator
        for _ in range(5):
            fetch()
    gc.collect()
    gc.disable()
    try:
        for _ in range(rounds):
            for name, fetch in fetchers.items():
                s = stats[name]
                lat = s["lat"]
                flt0 = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
                start = time.time()
                for _ in range(per_round):
                    t0 = time.time()
                    frame = fetch()
                    lat.append(time.time() - t0)
                    del frame
                s["wall"] += time.time() - start
                s["minflt"] += resource.getrusage(resource.RUSAGE_SELF).ru_minflt - flt0
    finally:
        gc.enable()
    out = {}
    for name, s in stats.items():
        lat = np.sort(np.array(s["lat"]))
        out[name] = {
            "fps": len(lat) / s["wall"],
            "median": float(np.median(lat)),
            "p99": float(np.percentile(lat, 99)),
            "faults": s["minflt"] / len(lat),
        }
    return out


# ---------------------------------------------------------------------------
# Output

def table(kinds, results):
    lines = ["| frame | contender | frames/s | median ms | p99 ms | faults/call "
             "| x get_frame | x limit |",
             "|---|---|---:|---:|---:|---:|---:|---:|"]
    for kind in kinds:
        res = results[kind.name]
        base = res[BASE]["median"]
        limit = res[LIMIT]["median"] if LIMIT in res else float("nan")
        for name, _ in CONTENDERS:
            if name not in res:
                continue
            r = res[name]
            lines.append("| %s | %s | %.0f | %.3f | %.3f | %.2f | %.2f | %.2f |" % (
                kind.name, name, r["fps"], r["median"] * 1e3, r["p99"] * 1e3, r["faults"],
                r["median"] / base, r["median"] / limit))
    return "\n".join(lines)


def chart(kinds, results, path):
    plt = pyplot()
    if plt is None:
        return None
    names = [n for n, _ in CONTENDERS]
    fig, axes = plt.subplots(1, len(kinds), figsize=(5 * len(kinds), 4.5), sharey=False)
    for ax, kind in zip(axes, kinds):
        res = results[kind.name]
        shown = [n for n in names if n in res]
        limit = res[LIMIT]["median"]
        ratios = [res[n]["median"] / limit for n in shown]
        colours = ["#1f77b4" if n == BASE else "#7f7f7f" if n == LIMIT else "#ff7f0e"
                   for n in shown]
        bars = ax.bar(range(len(shown)), ratios, color=colours)
        for bar, ratio in zip(bars, ratios):
            ax.text(bar.get_x() + bar.get_width() / 2, bar.get_height(), "%.2f" % ratio,
                    ha="center", va="bottom", fontsize=8)
        ax.set_xticks(range(len(shown)))
        ax.set_xticklabels(shown, rotation=35, ha="right", fontsize=8)
        ax.set_title(kind.name, fontsize=10)
        ax.set_ylabel("median latency / limit's (lower is better)", fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)
    return path


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=300, help="timed calls per contender and kind")
    parser.add_argument("--rounds", type=int, default=10)
    parser.add_argument("--out", default=os.path.join(ROOT, "out"))
    parser.add_argument("--only", default=None, help="comma-separated contender names to keep")
    args = parser.parse_args()

    server_bin = server_binary()
    limit_library()         # both refused before anything starts, when missing
    kinds = [Kind(i, *k) for i, k in enumerate(KINDS)]
    if not os.path.isdir(args.out):
        os.makedirs(args.out)
    folder = tempfile.mkdtemp(prefix="lurvo-bench-")
    server = None
    try:
        server = FrameServer(server_bin, kinds, folder)
        print("machine: %s" % machine())
        print("server: %s on 127.0.0.1:%d (pid %d)" % (os.path.relpath(server_bin, ROOT), server.port,
                                                        server.proc.pid))
        results = {}
        served = 0
        cpu0 = server.cpu_seconds()
        for kind in kinds:
            fetchers = {}
            for name, make in CONTENDERS:
                if args.only and name not in (BASE, LIMIT) and name not in args.only.split(","):
                    continue
                try:
                    fetch = make(server.port, kind)
                    problem = check(name, fetch, kind)
                except Exception as error:       # a missing library, a failed decode
                    problem = "%s: %s" % (type(error).__name__, error)
                if problem:
                    print("%s / %s: left out (%s)" % (kind.name, name, problem))
                    continue
                fetchers[name] = fetch
            # Interleaved in the listed order.
            ordered = OrderedDict((n, fetchers[n]) for n, _ in CONTENDERS if n in fetchers)
            results[kind.name] = time_kind(kind, ordered, args.calls, args.rounds)
            served += (args.calls // args.rounds * args.rounds + 5) * len(ordered) + len(fetchers)
            print("%s: timed %d calls each" % (kind.name, args.calls))
        # The server answers one request at a time; its CPU time per
        # response, set beside the fastest client's latency, shows how much
        # of a frame's time is the server's at most.
        print("server: %.3f ms of CPU per response on average (all kinds)"
              % ((server.cpu_seconds() - cpu0) / served * 1e3))

        text = table(kinds, results)
        print()
        print(text)
        mem = memory_table(measure_peak_memory(server.port, kinds))
        print("\n".join(mem))
        with open(os.path.join(args.out, "bench_frames.md"), "w") as f:
            f.write("machine: %s\n\n%s\n%s\n" % (machine(), text, "\n".join(mem)))
        png = chart(kinds, results, os.path.join(args.out, "bench_frames.png"))
        if png:
            print("\nchart: %s" % os.path.relpath(png, ROOT))
    finally:
        if server is not None:
            server.stop()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()

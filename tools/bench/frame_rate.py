"""Frames per second and per-frame latency of lurvo's get_frame against what
a Python user would write instead, and against the floor of a client that
only receives and copies, all timed by this one harness on one local server
in one run.

    make bench                      (sets everything up, then runs this)
    python tools/bench/frame_rate.py [--calls N] [--out DIR]

Frame kinds: 640x480 8-bit, 1280x1024 12-bit (maxval 4095), 1280x1024
16-bit.  Every contender must return the same uint16 array as get_frame
(each sample moved up so that its top bit is bit 15); that is checked
before anything is timed, and a contender that fails the check, or whose
library is missing, is reported and left out.

Calls are interleaved: each round runs a batch of every contender in turn,
so drift of the machine spreads over all of them.  Ratios are of median
latencies within this run.  Peak memory of one get_frame call is measured
in child processes (see measure_peak_memory).  This prints figures; it
checks nothing beyond the equality of the results.
"""
from __future__ import division, print_function

import argparse
from collections import OrderedDict
import ctypes
import gc
import io
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.path.join(ROOT, "build")
sys.path.insert(0, ROOT)
sys.path.insert(0, os.path.join(ROOT, "python"))

import lurvo  # noqa: E402
from lurvo_camserver import pgm_bytes  # noqa: E402

CXXFLAGS = ["-std=c++17", "-O2", "-Wall", "-Wextra", "-Werror"]
RECEIVE_BUFFER = 2621696        # the size get_frame allocates
SERVER_SECONDS = 900
SERVER_CONNECTIONS = 200000

KINDS = [
    # name, width, height, maxval
    ("640x480 8-bit", 640, 480, 255),
    ("1280x1024 12-bit", 1280, 1024, 4095),
    ("1280x1024 16-bit", 1280, 1024, 65535),
]


# ---------------------------------------------------------------------------
# Building the C++ parts

def compile_cxx(source, target, extra):
    if not os.path.isdir(BUILD):
        os.makedirs(BUILD)
    out = os.path.join(BUILD, target)
    src = os.path.join(ROOT, "tools", "bench", source)
    if not os.path.exists(out) or os.path.getmtime(out) < os.path.getmtime(src):
        subprocess.check_call(["g++"] + CXXFLAGS + extra + ["-o", out, src])
    return out


# ---------------------------------------------------------------------------
# Frames and the server

class Kind(object):
    def __init__(self, index, name, width, height, maxval):
        self.name, self.width, self.height, self.maxval = name, width, height, maxval
        self.uri = "/frame%d.pgm" % index
        self.bpp = maxval.bit_length()
        rng = np.random.RandomState(1234 + index)
        dtype = np.uint8 if maxval <= 255 else np.uint16
        self.samples = rng.randint(0, maxval + 1, size=(height, width)).astype(dtype)
        self.pgm = pgm_bytes(self.samples, maxval)
        self.pixel_bytes = self.samples.size * (1 if maxval <= 255 else 2)
        self.expected = self.samples.astype(np.uint16) << (16 - self.bpp)


class FrameServer(object):
    """bench/frame_server in its own process, bounded in time and count by
    itself and stopped by its PID on exit."""

    def __init__(self, binary, kinds, folder):
        routes = []
        for kind in kinds:
            path = os.path.join(folder, kind.uri.strip("/"))
            with open(path, "wb") as f:
                f.write(kind.pgm)
            routes.append("%s=%s" % (kind.uri, path))
        self.proc = subprocess.Popen([binary, str(SERVER_SECONDS), str(SERVER_CONNECTIONS)] + routes,
                                     stdout=subprocess.PIPE)
        line = self.proc.stdout.readline()
        if not line.strip():
            self.stop()
            raise RuntimeError("frame server did not start")
        self.port = int(line)

    def cpu_seconds(self):
        with open("/proc/%d/stat" % self.proc.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait()


# ---------------------------------------------------------------------------
# The contenders: each is made for one kind and returns a callable that
# fetches one frame and returns it as the uint16 array get_frame returns.

def pgm_header(data):
    """What a user writes for the strict header: (width, height, maxval,
    offset of the samples)."""
    end1 = data.index(b"\n")
    end2 = data.index(b"\n", end1 + 1)
    end3 = data.index(b"\n", end2 + 1)
    width, height = [int(v) for v in data[end1 + 1:end2].split()]
    return width, height, int(data[end2 + 1:end3]), end3 + 1


def to_frame(array, maxval):
    """uint8/uint16 samples (native order) to the get_frame layout."""
    shift = 16 - maxval.bit_length()
    if array.dtype != np.uint16:
        array = array.astype(np.uint16)
    if shift:
        array <<= shift
    return array


def numpy_decode(data):
    width, height, maxval, offset = pgm_header(data)
    if maxval <= 255:
        samples = np.frombuffer(data, np.uint8, width * height, offset).astype(np.uint16)
    else:
        samples = np.frombuffer(data, np.uint16, width * height, offset).byteswap()
    return to_frame(samples, maxval).reshape(height, width)


def make_lurvo(port, kind):
    cam = lurvo.cam("127.0.0.1", port)
    uri = kind.uri
    return lambda: cam.get_frame(uri)


def make_urllib2(port, kind):
    import urllib2
    url = "http://127.0.0.1:%d%s" % (port, kind.uri)
    return lambda: numpy_decode(urllib2.urlopen(url).read())


def make_requests(port, kind):
    import requests
    url = "http://127.0.0.1:%d%s" % (port, kind.uri)
    return lambda: numpy_decode(requests.get(url).content)


def make_opencv(port, kind):
    import urllib2
    import cv2
    url = "http://127.0.0.1:%d%s" % (port, kind.uri)

    def fetch():
        data = urllib2.urlopen(url).read()
        maxval = pgm_header(data)[2]
        image = cv2.imdecode(np.frombuffer(data, np.uint8), cv2.IMREAD_UNCHANGED)
        return to_frame(image, maxval)
    return fetch


def make_pillow(port, kind):
    import urllib2
    from PIL import Image
    url = "http://127.0.0.1:%d%s" % (port, kind.uri)

    def fetch():
        data = urllib2.urlopen(url).read()
        maxval = pgm_header(data)[2]
        image = Image.open(io.BytesIO(data))
        # 16-bit PGM comes back as mode "I", 32-bit integers: the narrowing
        # to uint16 is part of what the user pays.
        return to_frame(np.asarray(image), maxval)
    return fetch


def make_limit(port, kind):
    path = compile_cxx("limit_client.cpp", "liblimit_client.so", ["-fPIC", "-shared"])
    lib = ctypes.CDLL(path)
    fetch = lib.limit_fetch
    fetch.restype = ctypes.c_long
    fetch.argtypes = [ctypes.c_ulong, ctypes.c_int, ctypes.c_char_p, ctypes.c_void_p,
                      ctypes.c_ulong, ctypes.c_void_p, ctypes.c_ulong]
    import socket
    import struct
    ip = struct.unpack("=I", socket.inet_aton("127.0.0.1"))[0]
    request = ("GET %s HTTP/1.0\n\n" % kind.uri).encode("ascii")
    receive = ctypes.create_string_buffer(RECEIVE_BUFFER)
    dtype = np.uint8 if kind.maxval <= 255 else np.uint16
    shape = (kind.height, kind.width)
    nbytes = kind.pixel_bytes

    def run():
        out = np.empty(shape, dtype)
        if fetch(ip, port, request, receive, RECEIVE_BUFFER, out.ctypes.data, nbytes) < 0:
            raise RuntimeError("limit client failed")
        return out
    return run


CONTENDERS = [
    ("lurvo get_frame", make_lurvo),
    ("urllib2 + NumPy", make_urllib2),
    ("requests + NumPy", make_requests),
    ("urllib2 + OpenCV imdecode", make_opencv),
    ("urllib2 + Pillow", make_pillow),
    ("limit (receive + memcpy)", make_limit),
]
BASE, LIMIT = CONTENDERS[0][0], CONTENDERS[-1][0]


def check(name, fetch, kind):
    """None when the contender returns the expected frame, else why not."""
    got = fetch()
    if name == LIMIT:
        # The floor only copies the file's bytes; compare those.
        raw = kind.samples.astype(">u2") if kind.maxval > 255 else kind.samples
        return None if got.tobytes() == raw.tobytes() else "wrong bytes"
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
# Peak memory of one get_frame call

PEAK_CHILD = r"""
import ctypes, gc, sys
import lurvo

libc = ctypes.CDLL(None)

def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])

cam = lurvo.cam("127.0.0.1", int(sys.argv[1]))
uri = sys.argv[2]
results = []
for attempt in range(2):
    gc.collect()
    # Free heap memory goes back to the system first, so that pages the
    # call reuses count as well as new ones.
    libc.malloc_trim(0)
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")            # resets VmHWM to the current VmRSS
    before = status("VmRSS")
    frame = cam.get_frame(uri)
    results.append(status("VmHWM") - before)
    kept = frame.nbytes // 1024
    del frame
print("%d %d %d" % (results[0], results[1], kept))
"""


def measure_peak_memory(port, kinds):
    """Growth of the resident set's peak (VmHWM, after resetting it through
    /proc/self/clear_refs) across one get_frame call, in a fresh child
    process: the first call, then a second one.  Before each call
    malloc_trim(0) hands free heap memory back to the system, so that every
    page the call touches counts: the receive buffer's touched pages, the
    error text's, the array and anything the allocator or NumPy added; the
    array is still alive when the peak is read."""
    rows = []
    for kind in kinds:
        out = subprocess.check_output([sys.executable, "-c", PEAK_CHILD, str(port), kind.uri])
        first, second, array_kb = [int(v) for v in out.split()]
        rows.append((kind.name, first, second, array_kb))
    return rows


# ---------------------------------------------------------------------------
# Output

def machine():
    model = "unknown CPU"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    return "%d cores (nproc), %s, Linux %s" % (os.sysconf("SC_NPROCESSORS_ONLN"), model,
                                               os.uname()[2])


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
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is missing: no chart written")
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

    server_bin = compile_cxx("frame_server.cpp", "frame_server", [])
    kinds = [Kind(i, *k) for i, k in enumerate(KINDS)]
    if not os.path.isdir(args.out):
        os.makedirs(args.out)
    folder = tempfile.mkdtemp(prefix="lurvo-bench-")
    server = None
    try:
        server = FrameServer(server_bin, kinds, folder)
        print("machine: %s" % machine())
        print("server: bench/frame_server on 127.0.0.1:%d (pid %d)" % (server.port, server.proc.pid))
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
        peak = measure_peak_memory(server.port, kinds)
        mem = ["", "Peak memory of one get_frame call (growth of VmHWM over VmRSS in a fresh child,"
               " after malloc_trim(0)):",
               "| frame | first call KiB | second call KiB | of which the returned array KiB |",
               "|---|---:|---:|---:|"]
        for name, first, second, array_kb in peak:
            mem.append("| %s | %d | %d | %d |" % (name, first, second, array_kb))
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

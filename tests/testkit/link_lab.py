"""A real link for get_frame: two network namespaces joined by a veth pair,
the camera server in one, the client in the other.

Both ends have addresses inside 127.0.0.0/8 (route_localnet on), so every
packet stays in the loopback range.  Each end is shaped with tbf, and an
nftables rule drops a share of the server's packets at random as they
arrive in the client namespace.  Generic segmentation is off on the veth,
so shaping and loss count real packets of at most one MTU, as on a wire.

    with Lab("bench") as lab:
        lab.shape(25 * 10**6, loss_permille=10)
        port = lab.start_camserver(folder)
        result = lab.client_calls(["lurvo"], port, "/img.pgm", kind, 20)

Everything the lab makes lives inside its two namespaces (qdiscs, rules,
addresses) or is a process it started; close() ends those by their PIDs
and deletes the namespaces.  Names carry the creating process's PID, so
concurrent labs never collide, and a lab whose creator is gone (a killed
run) is swept away when the next one starts.

The client side runs as a program of its own in the client namespace
(testkit/lab_client.py); run as a program, this module is a filler that
holds the server's queue (`filler`).
"""
from __future__ import print_function, division

import json
import os
import re
import select
import signal
import socket
import subprocess
import sys
import time

# Run as a program, it finds its package by the project's folder, placed
# last so that it never hides the module build on PYTHONPATH.
sys.path.append(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from testkit.processes import CAMSERVER, end, plain_env, read_line, wait_exit  # noqa: E402
from testkit.responses import pgm, top_bits  # noqa: E402

CLIENT_ADDR = "127.77.0.1"
SERVER_ADDR = "127.77.0.2"
CLIENT_DEV, SERVER_DEV = "cli0", "srv0"
PREFIX = "lurvo-lab-"
STALE = re.compile(r"^%s[a-z0-9]+-(\d+)-(srv|cli)\b" % PREFIX)
# Texts of a call that the link, not the server's content, made fail.
TRANSPORT_TEXTS = ("cannot connect: timeout (", "cannot send: ",
                   "receive timeout (", "receive error: ")
FILLER_DATAGRAM = 1400
# The one-second budget, and what a call may take beyond it to hand over
# what it has (the frame's conversion, the sanitizer's slower code).
CALL_LIMIT = 1.1
CLIENT_PROGRAM = os.path.join(os.path.dirname(os.path.abspath(__file__)), "lab_client.py")


class LabUnavailable(Exception):
    """Network namespaces cannot be made here."""


def ip(*args, **kw):
    """Runs ip with `args` through `run` (check_call unless given), and
    returns what that returns."""
    run = kw.pop("run", subprocess.check_call)
    return run(("ip",) + args, env=plain_env(), **kw)


def in_ns(ns, *argv, **kw):
    return ip("netns", "exec", ns, *argv, **kw)


def has_nft():
    path = os.environ.get("PATH", "").split(os.pathsep) + ["/usr/sbin", "/sbin"]
    return any(os.access(os.path.join(d, "nft"), os.X_OK) for d in path)


def alive(pid):
    try:
        os.kill(pid, 0)
    except OSError:
        return False
    return True


def sweep_stale():
    """Deletes lab namespaces whose creating process is gone (a run that
    was killed), after ending by PID the servers it left inside."""
    for line in ip("netns", "list", run=subprocess.check_output).decode().splitlines():
        m = STALE.match(line)
        if m and not alive(int(m.group(1))):
            ns = line.split()[0]
            for pid in ip("netns", "pids", ns, run=subprocess.check_output).split():
                try:
                    os.kill(int(pid), signal.SIGKILL)
                except OSError:     # ended meanwhile
                    pass
            ip("netns", "del", ns, run=subprocess.call)


class Lab(object):
    def __init__(self, tag):
        self.server_ns = "%s%s-%d-srv" % (PREFIX, tag, os.getpid())
        self.client_ns = "%s%s-%d-cli" % (PREFIX, tag, os.getpid())
        self.made = []
        self.procs = []

    def __enter__(self):
        if os.geteuid() != 0:
            raise LabUnavailable("network namespaces need root")
        if not has_nft():
            raise LabUnavailable("nft is not installed: tools/packages.sh netlab installs it")
        try:
            sweep_stale()
            for ns in (self.server_ns, self.client_ns):
                ip("netns", "add", ns, run=subprocess.check_output, stderr=subprocess.STDOUT)
                self.made.append(ns)
        except (OSError, subprocess.CalledProcessError) as e:
            self.close()
            raise LabUnavailable("cannot make a network namespace: %s"
                                 % (getattr(e, "output", None) or e))
        try:
            self._wire()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def _wire(self):
        ip("link", "add", CLIENT_DEV, "netns", self.client_ns, "type", "veth",
           "peer", "name", SERVER_DEV, "netns", self.server_ns)
        for ns, dev, addr, peer in ((self.client_ns, CLIENT_DEV, CLIENT_ADDR, SERVER_ADDR),
                                    (self.server_ns, SERVER_DEV, SERVER_ADDR, CLIENT_ADDR)):
            ip("-n", ns, "link", "set", "lo", "up")
            in_ns(ns, "sysctl", "-q", "-w", "net.ipv4.conf.all.route_localnet=1",
                  "net.ipv4.conf.%s.route_localnet=1" % dev)
            # Without this the whole of 127/8 is local and never leaves by
            # the veth; 127.0.0.1 keeps a local route of its own.
            ip("-n", ns, "route", "del", "local", "127.0.0.0/8", "dev", "lo", "table", "local")
            ip("-n", ns, "addr", "add", addr + "/32", "dev", dev)
            ip("-n", ns, "link", "set", dev, "gso_max_segs", "1", "up")
            ip("-n", ns, "route", "add", peer + "/32", "dev", dev, "src", addr)
        # The server's packets are lost on arrival, as on a wire: a drop on
        # the server's own way out would be reported to its TCP, which
        # would just send again at once.
        in_ns(self.client_ns, "nft", "add table inet lab; "
              "add chain inet lab in { type filter hook prerouting priority -300; }")

    def shape(self, rate_bits, loss_permille=0, queue_seconds=0.05):
        """Both ends at `rate_bits` per second, with a queue of
        `queue_seconds` at that rate; of the server's packets, a random
        `loss_permille` in a thousand are dropped."""
        burst = max(rate_bits // 8 // 500, 4096)    # 2 ms at the rate
        for ns, dev in ((self.client_ns, CLIENT_DEV), (self.server_ns, SERVER_DEV)):
            in_ns(ns, "tc", "qdisc", "replace", "dev", dev, "root", "tbf",
                  "rate", "%dbit" % rate_bits, "burst", str(burst),
                  "latency", "%dms" % (queue_seconds * 1000))
        rules = "flush chain inet lab in; add rule inet lab in iifname %s counter" % CLIENT_DEV
        if loss_permille:
            rules += ("; add rule inet lab in iifname %s numgen random mod 1000 < %d counter drop"
                      % (CLIENT_DEV, loss_permille))
        in_ns(self.client_ns, "nft", rules)

    def server_packets(self):
        """(server packets that reached the client, server packets the
        loss rule dropped) since the last shape()."""
        out = in_ns(self.client_ns, "nft", "list", "chain", "inet", "lab", "in",
                    run=subprocess.check_output)
        counts = [int(n) for n in re.findall(r"counter packets (\d+)", out.decode())]
        return counts[0], sum(counts[1:])

    def start(self, ns, argv, preload=False):
        """A process in namespace `ns`, ended by its PID at close().  With
        `preload`, a sanitizer runtime preloaded into this process is
        preloaded into that one too."""
        if preload and os.environ.get("LD_PRELOAD"):
            argv = ["env", "LD_PRELOAD=" + os.environ["LD_PRELOAD"]] + list(argv)
        proc = in_ns(ns, *argv, run=subprocess.Popen, stdout=subprocess.PIPE)
        self.procs.append(proc)
        return proc

    def start_server(self, argv, pattern):
        """A server in the server namespace whose first line, matching
        `pattern`, names its port."""
        proc = self.start(self.server_ns, argv)
        line = read_line(proc.stdout.fileno(), 30)
        m = re.match(pattern, line)
        if not m:
            raise RuntimeError("%s did not start: %r" % (argv[1], line))
        return int(m.group(1))

    def start_camserver(self, folder, seconds=900, requests=100000):
        """The demo camera server, serving the PGM files of `folder`."""
        return self.start_server(
            CAMSERVER + ["--host", SERVER_ADDR, "--port", "0", "--dir", folder,
             "--duration", str(seconds), "--max-requests", str(requests)],
            r"listening on [\d.]+:(\d+)\n$")

    def start_filler(self, nbytes, seconds=120):
        return self.start_server(
            [sys.executable, os.path.abspath(__file__), "filler", str(nbytes), str(seconds)],
            r"filler on (\d+)\n$")

    def client_calls(self, contenders, port, uri, kind, count, python=None, trigger=None):
        """Runs `count` calls of each contender in the client namespace;
        returns {contender: {"calls": [[seconds, outcome]], "fds": [before,
        after], "rss_kb": [after the first call, after the last]}}."""
        argv = [python or sys.executable, CLIENT_PROGRAM, ",".join(contenders), str(port), uri,
                "%d,%d,%d" % kind, str(count), str(trigger or 0)]
        proc = self.start(self.client_ns, argv, preload=True)
        seconds = 10 + 10 * count * len(contenders)
        line = read_line(proc.stdout.fileno(), seconds)
        status = wait_exit(proc, 5)
        if status is None:      # close() ends it by its PID
            raise RuntimeError("client did not end: %r" % line[-2000:])
        proc.stdout.close()
        self.procs.remove(proc)
        if status != 0 or not line.endswith("\n"):
            raise RuntimeError("client failed (%r): %r" % (status, line[-2000:]))
        return json.loads(line)

    def close(self):
        for proc in self.procs:
            end(proc)
        self.procs = []
        for ns in self.made:
            ip("netns", "del", ns, run=subprocess.call)
        self.made = []


# ---------------------------------------------------------------------------
# Frames

def samples(kind, seed=7):
    """The served frame's samples, seeded random: no two chunks of the
    raster alike, so a misplaced piece shows."""
    import numpy as np
    width, height, maxval = kind
    return np.random.RandomState(seed).randint(0, maxval + 1, size=width * height)


def expected_frame(kind):
    """The array get_frame must return for the served frame."""
    width, height, maxval = kind
    return top_bits(samples(kind), maxval).reshape(height, width)


def write_frame(folder, kind):
    """Writes the frame of `kind` (width, height, maxval) as the only PGM
    of `folder`, which a camera server started with --dir then serves."""
    if not os.path.isdir(folder):
        os.makedirs(folder)
    with open(os.path.join(folder, "frame.pgm"), "wb") as f:
        f.write(pgm(kind[0], kind[1], kind[2], samples(kind).tolist()))
    return folder


# ---------------------------------------------------------------------------
# The filler, run in the server namespace

def run_filler(nbytes, seconds):
    """On each datagram, sends `nbytes` back to its sender in datagrams of
    FILLER_DATAGRAM bytes: they fill the server's shaped queue ahead of
    whatever it sends next.  Ends after `seconds` or 100 triggers."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4 * nbytes)
    sock.bind((SERVER_ADDR, 0))
    print("filler on %d" % sock.getsockname()[1])
    sys.stdout.flush()
    deadline = time.time() + seconds
    for _ in range(100):
        left = deadline - time.time()
        if left <= 0 or not select.select([sock], [], [], left)[0]:
            break
        _, sender = sock.recvfrom(64)
        for _ in range(nbytes // FILLER_DATAGRAM):
            sock.sendto(b"\0" * FILLER_DATAGRAM, sender)


def main(argv):
    if len(argv) != 3 or argv[0] != "filler":
        raise SystemExit("usage: link_lab.py filler BYTES SECONDS")
    run_filler(int(argv[1]), float(argv[2]))


if __name__ == "__main__":
    main(sys.argv[1:])

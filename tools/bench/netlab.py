"""get_frame over a real link: TCP through a veth pair between two network
namespaces, shaped to a rate with tbf and made lossy with nftables
(testkit/link_lab.py), against urllib2/urllib + NumPy and requests + NumPy
with timeout=1 (testkit/peers.py).

    make netlab                     (sets everything up, then runs this as root)
    tools/bench/run.sh netlab.py [--calls N] [--out DIR]

The demo camera server (python -m lurvo_camserver --dir) serves one
seeded-random frame per kind in the server namespace; every client runs,
one call after another, in its own process in the client namespace and
compares each frame with the served one.  Per link, frame kind and client:
frames that arrived and were equal, each failure and its count, median and
worst call time, descriptors before and after, resident memory after the
first call and after the last.  For get_frame it also checks what the
module promises: every call ends within 1.1 s, with the frame or one of the
transport texts; a breach is listed and makes the exit status 1.
"""
from __future__ import division, print_function

import argparse
from collections import Counter
import os
import shutil
import signal
import sys
import tempfile
import time

import numpy as np

from project import ROOT      # first: it puts the project on the path
from report import machine, pyplot
from testkit import link_lab
from testkit.link_lab import CALL_LIMIT

MBIT = 10**6
LINKS = [
    # label, rate in bit/s, server packets dropped per thousand
    ("1 Gbit/s", 1000 * MBIT, 0),
    ("100 Mbit/s", 100 * MBIT, 0),
    ("25 Mbit/s", 25 * MBIT, 0),
    ("15 Mbit/s", 15 * MBIT, 0),
    ("1 Gbit/s, 0.1% loss", 1000 * MBIT, 1),
    ("1 Gbit/s, 1% loss", 1000 * MBIT, 10),
    ("1 Gbit/s, 3% loss", 1000 * MBIT, 30),
    ("1 Gbit/s, 10% loss", 1000 * MBIT, 100),
]
KINDS = [("640x480 8-bit", (640, 480, 255)), ("1280x1024 16-bit", (1280, 1024, 65535))]
CLIENTS = [("lurvo get_frame", "lurvo"),
           ("urllib2 + NumPy" if sys.version_info[0] == 2 else "urllib + NumPy", "urllib"),
           ("requests + NumPy", "requests")]


def run(args):
    folder = tempfile.mkdtemp(prefix="lurvo-netlab-")
    rows, packets = [], {}
    try:
        with link_lab.Lab("netlab") as lab:
            ports = dict((kind, lab.start_camserver(
                link_lab.write_frame(os.path.join(folder, str(i)), kind), seconds=1800))
                for i, (_, kind) in enumerate(KINDS))
            for label, rate, loss in LINKS:
                lab.shape(rate, loss)
                for kind_name, kind in KINDS:
                    for client, contender in CLIENTS:
                        result = lab.client_calls([contender], ports[kind], "/img.pgm", kind,
                                                  args.calls, python=sys.executable)[contender]
                        rows.append(summarise(label, kind_name, kind, client, result))
                        print_progress(rows[-1])
                packets[label] = lab.server_packets()
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    return rows, packets


def response_bytes(kind):
    width, height, maxval = kind
    return width * height * (1 if maxval < 256 else 2)


def summarise(link, kind_name, kind, client, result):
    times = np.array([c[0] for c in result["calls"]])
    outcomes = [c[1] for c in result["calls"]]
    ok_times = times[[o == "frame" for o in outcomes]]
    breaches = []
    if client.startswith("lurvo"):
        breaches = [c for c in result["calls"] if c[0] >= CALL_LIMIT
                    or not (c[1] == "frame" or c[1].startswith(link_lab.TRANSPORT_TEXTS))]
    return {
        "link": link, "kind": kind_name, "bytes": response_bytes(kind), "client": client,
        "calls": len(outcomes), "frames": outcomes.count("frame"),
        "failures": Counter(o for o in outcomes if o != "frame"),
        "median": float(np.median(times)), "worst": float(times.max()),
        "median_ok": float(np.median(ok_times)) if len(ok_times) else None,
        "late": int((times >= CALL_LIMIT).sum()), "fds": result["fds"], "rss": result["rss_kb"],
        "breaches": breaches,
    }


def print_progress(row):
    print("%-22s %-17s %-17s %2d/%d frames, median %6.1f ms, worst %6.1f ms"
          % (row["link"], row["kind"], row["client"], row["frames"], row["calls"],
             row["median"] * 1e3, row["worst"] * 1e3))
    sys.stdout.flush()


def failures_text(failures):
    return "; ".join("%s x%d" % (text, n) for text, n in
                     sorted(failures.items(), key=lambda item: -item[1])) or "-"


def table(rows):
    lines = ["| link | frame | client | frames equal | failures (count) | median ms | worst ms "
             "| calls >= 1.1 s | descriptors before, after | RSS KiB after 1st, last |",
             "|---|---|---|---:|---|---:|---:|---:|---:|---:|"]
    for r in rows:
        lines.append("| %s | %s | %s | %d/%d | %s | %.1f | %.1f | %d | %d, %d | %d, %d |" % (
            r["link"], r["kind"], r["client"], r["frames"], r["calls"],
            failures_text(r["failures"]), r["median"] * 1e3, r["worst"] * 1e3, r["late"],
            r["fds"][0], r["fds"][1], r["rss"][0], r["rss"][1]))
    return "\n".join(lines)


def envelope(rows):
    """Per rate without loss: get_frame's goodput, from the median time of
    the largest frame kind that arrived every time, and so the largest
    response that one second carries."""
    lines = ["| link | goodput (from) | largest response in 1 s | 16-bit pixels | 8-bit pixels |",
             "|---|---|---:|---:|---:|"]
    for label, _, loss in LINKS:
        if loss:
            continue
        whole = [r for r in rows if r["link"] == label and r["client"].startswith("lurvo")
                 and r["frames"] == r["calls"]]
        if not whole:
            continue
        best = max(whole, key=lambda r: r["bytes"])
        rate = best["bytes"] / best["median_ok"]
        lines.append("| %s | %.1f Mbit/s (%s, %.0f ms) | %.2f MB | %.2f M | %.2f M |" % (
            label, rate * 8 / 1e6, best["kind"], best["median_ok"] * 1e3, rate / 1e6,
            rate / 2e6, rate / 1e6))
    return "\n".join(lines)


def packet_lines(packets):
    return ["- %s: the server sent %d packets, the loss rule dropped %d (%.2f%%)"
            % (label, sent + dropped, dropped, 100.0 * dropped / max(1, sent + dropped))
            for label, (sent, dropped) in ((l, packets[l]) for l, _, _ in LINKS)]


def chart(rows, path):
    plt = pyplot()
    if plt is None:
        return None
    links = [label for label, _, _ in LINKS]
    fig, axes = plt.subplots(len(KINDS), 2, figsize=(13, 4 * len(KINDS)))
    width = 0.8 / len(CLIENTS)
    colours = ["#1f77b4", "#ff7f0e", "#2ca02c"]
    for row_axes, (kind_name, _) in zip(axes, KINDS):
        for i, (client, _) in enumerate(CLIENTS):
            mine = dict((r["link"], r) for r in rows if r["kind"] == kind_name
                        and r["client"] == client)
            xs = [j + (i - 1) * width for j in range(len(links))]
            row_axes[0].bar(xs, [100.0 * mine[l]["frames"] / mine[l]["calls"] for l in links],
                            width, color=colours[i], label=client)
            row_axes[1].bar(xs, [mine[l]["worst"] for l in links], width, color=colours[i],
                            label=client)
        row_axes[0].set_ylabel("frames equal, % of calls", fontsize=8)
        row_axes[1].set_ylabel("worst call, s", fontsize=8)
        row_axes[1].axhline(1.0, color="black", linestyle="--", linewidth=0.8)
        for ax, what in zip(row_axes, ("frames that arrived", "worst call time (dashed: 1 s)")):
            ax.set_title("%s: %s" % (kind_name, what), fontsize=10)
            ax.set_xticks(range(len(links)))
            ax.set_xticklabels(links, rotation=30, ha="right", fontsize=8)
    handles, labels = axes[0][0].get_legend_handles_labels()
    fig.legend(handles, labels, loc="upper center", ncol=len(CLIENTS), fontsize=9)
    fig.tight_layout(rect=(0, 0, 1, 0.95))
    fig.savefig(path, dpi=80)
    plt.close(fig)
    return path


def stop_on_signal(signum, frame):
    # Unwinds through the lab's `with`, which removes everything it made.
    raise SystemExit("netlab: signal %d" % signum)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=20,
                        help="calls per link, frame kind and client (default 20)")
    parser.add_argument("--out", default=os.path.join(ROOT, "out"))
    args = parser.parse_args()
    for signum in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, stop_on_signal)
    if not os.path.isdir(args.out):
        os.makedirs(args.out)

    started, load = time.time(), os.getloadavg()[0]
    try:
        rows, packets = run(args)
    except link_lab.LabUnavailable as e:
        sys.exit("netlab: %s" % e)
    conditions = ("made by `make netlab`; machine: %s; server: python -m lurvo_camserver --dir (Python %d.%d); "
                  "%d calls per cell; run took %.0f s; load average %.2f at start, %.2f at end"
                  % (machine(), sys.version_info[0], sys.version_info[1], args.calls,
                     time.time() - started, load, os.getloadavg()[0]))
    breaches = [(r["link"], r["kind"], c) for r in rows for c in r["breaches"]]
    verdict = ("get_frame: every call ended within %.1f s with the served frame or a transport "
               "text" % CALL_LIMIT if not breaches else
               "get_frame broke its promise in %d calls: %r" % (len(breaches), breaches[:10]))
    text = "\n".join([conditions, "", table(rows), "", verdict, "",
                      "Largest response that fits the budget, by rate (get_frame, no loss):", "",
                      envelope(rows), "", "Packets of the server:", ""] + packet_lines(packets))
    print()
    print(text)
    with open(os.path.join(args.out, "netlab.md"), "w") as f:
        f.write(text + "\n")
    png = chart(rows, os.path.join(args.out, "netlab.png"))
    if png:
        print("\ntable: %s, chart: %s" % (os.path.relpath(os.path.join(args.out, "netlab.md"), ROOT),
                                          os.path.relpath(png, ROOT)))
    return 1 if breaches else 0


if __name__ == "__main__":
    sys.exit(main())

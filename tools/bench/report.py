"""What the benchmarks' reports share: the machine they ran on, and
matplotlib for their charts when the environment has it."""
from __future__ import print_function

import os


def machine():
    model = "unknown CPU"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    return "%d cores (nproc), %s, Linux %s" % (os.sysconf("SC_NPROCESSORS_ONLN"), model,
                                               os.uname()[2])


def pyplot():
    """matplotlib.pyplot drawing to files, or None (said on stdout) when
    matplotlib is missing."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is missing: no chart written")
        return None
    return plt

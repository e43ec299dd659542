"""Peak memory of one get_frame call, measured in fresh child processes."""
import subprocess
import sys

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
    array is still alive when the peak is read.  The child finds the module
    by PYTHONPATH (tools/bench/project.py)."""
    rows = []
    for kind in kinds:
        out = subprocess.check_output([sys.executable, "-c", PEAK_CHILD, str(port), kind.uri])
        first, second, array_kb = [int(v) for v in out.split()]
        rows.append((kind.name, first, second, array_kb))
    return rows


def memory_table(rows):
    """The lines of the peak-memory table, its title first."""
    lines = ["", "Peak memory of one get_frame call (growth of VmHWM over VmRSS in a fresh child,"
             " after malloc_trim(0)):",
             "| frame | first call KiB | second call KiB | of which the returned array KiB |",
             "|---|---:|---:|---:|"]
    for name, first, second, array_kb in rows:
        lines.append("| %s | %d | %d | %d |" % (name, first, second, array_kb))
    return lines

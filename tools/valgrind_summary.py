"""Reads memcheck's XML output and tells our code's findings apart from the
interpreter's.

A finding is ours when the innermost frame that is neither valgrind's
replacement of an allocator or a mem*/str* function nor libc belongs to
our module.  Prints the figures; exits 1 if any finding is ours.

    python tools/valgrind_summary.py memcheck.xml path/to/lurvo.so
"""
from __future__ import print_function

import collections
import os
import sys
import xml.etree.ElementTree as ET

SRC = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src")


def source_folders():
    """The folders of the module's files, as src/sources.txt lists them."""
    with open(os.path.join(SRC, "sources.txt")) as listing:
        files = [line.split()[0] for line in listing if line.strip() and not line.startswith("#")]
    return set(os.path.basename(os.path.dirname(os.path.join(SRC, f))) for f in files)


OUR_SOURCES = source_folders()


def is_plumbing(frame):
    obj = frame.findtext("obj") or ""
    return "vgpreload" in os.path.basename(obj) or os.path.basename(obj).startswith("libc.so")


def is_ours(frame, module):
    obj = frame.findtext("obj") or ""
    folder = frame.findtext("dir") or ""
    return (os.path.realpath(obj) == os.path.realpath(module)
            or os.path.basename(folder) in OUR_SOURCES)


def describe(frame):
    return "%s (%s:%s)" % (frame.findtext("fn") or "?", frame.findtext("file") or
                           os.path.basename(frame.findtext("obj") or "?"),
                           frame.findtext("line") or "?")


def main(xml_path, module):
    root = ET.parse(xml_path).getroot()
    kinds = collections.Counter()
    lost = 0
    ours = []
    involving = 0
    for error in root.iter("error"):
        kind = error.findtext("kind")
        kinds[kind] += 1
        xwhat = error.find("xwhat")
        if kind == "Leak_DefinitelyLost" and xwhat is not None:
            lost += int(xwhat.findtext("leakedbytes") or 0)
        frames = error.find("stack").findall("frame")
        if any(is_ours(f, module) for f in frames):
            involving += 1
        first = next((f for f in frames if not is_plumbing(f)), None)
        if first is not None and is_ours(first, module):
            ours.append((kind, [describe(f) for f in frames[:6]]))
    print("memcheck: %d findings in all (%s); %d bytes definitely lost in all"
          % (sum(kinds.values()),
             ", ".join("%s %d" % kv for kv in sorted(kinds.items())) or "none", lost))
    print("memcheck: %d findings with our module anywhere in the stack, %d attributed to it"
          % (involving, len(ours)))
    for kind, stack in ours:
        print("  %s\n    %s" % (kind, "\n    ".join(stack)))
    return 1 if ours else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))

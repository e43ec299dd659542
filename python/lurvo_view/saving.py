"""The frame shown, saved as it was received: a 16-bit PNG and a PGM of
maxval 65535, named by the time."""
import os
import time

from lurvo_camserver.pgm import pgm_bytes
from lurvo_view.png16 import png16_bytes


def stem(folder, when):
    """folder/lurvo-YYYYmmdd-HHMMSS-mmm, local time, with -2, -3... after it
    when a file of that name is there already."""
    name = "lurvo-%s-%03d" % (time.strftime("%Y%m%d-%H%M%S", time.localtime(when)),
                              int(when * 1000) % 1000)
    base, n = os.path.join(folder, name), 1
    while any(os.path.exists(base + suffix) for suffix in (".png", ".pgm")):
        n += 1
        base = os.path.join(folder, "%s-%d" % (name, n))
    return base


def _write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def save(frame, folder, when=None):
    """Writes the frame (a uint16 array) beside each other as PNG and PGM;
    returns their paths."""
    base = stem(folder, time.time() if when is None else when)
    paths = (base + ".png", base + ".pgm")
    _write(paths[0], png16_bytes(frame))
    _write(paths[1], pgm_bytes(frame, 65535))
    return paths

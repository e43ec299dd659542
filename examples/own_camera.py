#!/usr/bin/env python
"""Serve your own camera's frames to lurvo.

Replace grab() with your camera's call: it returns the next frame as a 2-D
NumPy array of uint8 or uint16 with its maxval (or as the bytes of a binary
PGM).  Here it makes a 1280x1024 12-bit gradient that moves by one step per
frame, so that the example runs without a camera.

    python examples/own_camera.py --port 5557         # --help: the options
    python -c "import lurvo; print(lurvo.cam('127.0.0.1', 5557).get_frame())"

lurvo_camserver comes with `pip install lurvo`; from a checkout, put
python/ on PYTHONPATH.
"""
import itertools

import numpy as np

import lurvo_camserver

GRADIENT = np.add.outer(np.arange(1024), np.arange(1280)).astype(np.uint16)
steps = itertools.count()


def grab():
    return (GRADIENT + next(steps)) % 4096, 4095


if __name__ == "__main__":
    lurvo_camserver.main(frames=grab)

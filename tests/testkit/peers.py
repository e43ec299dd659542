"""What a Python user would write instead of get_frame, for the benchmarks
and the link lab: fetch the frame over HTTP with a library, decode the
PGM and return the array get_frame returns (uint16, each sample moved up
so that its top bit is bit 15).

Each maker takes the frame's URL, and the library's options (timeout=1,
say), and returns a callable that fetches one frame.  The libraries other
than urllib are imported by their maker, so that a missing one fails the
maker alone.  The header is read by the camera server's reader, which
looks at the header only: the raster is decoded where it lies in the
response, as a user intent on speed would."""
import io

import numpy as np

from lurvo_camserver.pgm import read_header

try:
    from urllib2 import urlopen
except ImportError:             # Python 3
    from urllib.request import urlopen


def to_frame(array, maxval):
    """uint8/uint16 samples (native order) to the get_frame layout."""
    shift = 16 - maxval.bit_length()
    if array.dtype != np.uint16:
        array = array.astype(np.uint16)
    if shift:
        array <<= shift
    return array


def numpy_decode(data):
    """The PGM's raster as get_frame's array: frombuffer at the raster's
    offset, the 16-bit samples swapped from big-endian."""
    width, height, maxval, offset = read_header(data)
    if maxval <= 255:
        samples = np.frombuffer(data, np.uint8, width * height, offset).astype(np.uint16)
    else:
        samples = np.frombuffer(data, np.uint16, width * height, offset).byteswap()
    return to_frame(samples, maxval).reshape(height, width)


def urllib_numpy(url, **options):
    return lambda: numpy_decode(urlopen(url, **options).read())


def requests_numpy(url, **options):
    import requests
    return lambda: numpy_decode(requests.get(url, **options).content)


def urllib_opencv(url, **options):
    import cv2

    def fetch():
        data = urlopen(url, **options).read()
        maxval = read_header(data)[2]
        image = cv2.imdecode(np.frombuffer(data, np.uint8), cv2.IMREAD_UNCHANGED)
        return to_frame(image, maxval)
    return fetch


def urllib_pillow(url, **options):
    from PIL import Image

    def fetch():
        data = urlopen(url, **options).read()
        maxval = read_header(data)[2]
        image = Image.open(io.BytesIO(data))
        # 16-bit PGM comes back as mode "I", 32-bit integers: the narrowing
        # to uint16 is part of what the user pays.
        return to_frame(np.asarray(image), maxval)
    return fetch

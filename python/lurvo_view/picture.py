"""From a frame to what the window shows, in NumPy alone: the size that
fits the window, the samples picked for each shown pixel, and the 8-bit
grey levels of a contrast stretch or of the full 16-bit range."""
from __future__ import division

import numpy as np

# The contrast stretch maps these percentiles of the shown samples to
# black and white.
LOW_PERCENT, HIGH_PERCENT = 1.0, 99.0
LEVELS = 65536


def fit(height, width, box_height, box_width):
    """The largest (height, width) of the frame's aspect within the box, at
    least one pixel each way."""
    scale = min(box_height / height, box_width / width)
    return max(1, int(height * scale + 0.5)), max(1, int(width * scale + 0.5))


class Scaler(object):
    """Nearest-neighbour resampling of frames of one shape to one shown
    size: shown pixel (r, c) takes the sample whose area holds its centre.
    The picks are made once for a shape and size, since they are the same
    for every frame."""

    def __init__(self, shape, shown):
        self.shape, self.shown = tuple(shape), tuple(shown)
        self.rows = self._picks(shape[0], shown[0])
        self.cols = self._picks(shape[1], shown[1])

    @staticmethod
    def _picks(samples, pixels):
        centres = (np.arange(pixels) + 0.5) * (samples / pixels)
        return np.minimum(centres.astype(np.intp), samples - 1)

    def __call__(self, frame):
        return frame.take(self.rows, axis=0).take(self.cols, axis=1)

    def sample_of(self, x, y):
        """The frame's (column, row) under shown pixel (x, y), or None off
        the picture."""
        if not (0 <= y < self.shown[0] and 0 <= x < self.shown[1]):
            return None
        return int(self.cols[x]), int(self.rows[y])


def stretch_bounds(samples, low=LOW_PERCENT, high=HIGH_PERCENT):
    """The samples at the low and high percentiles (ranks rounded down and
    up), from a histogram of the uint16 samples."""
    counts = np.bincount(samples.ravel(), minlength=LEVELS)
    below = np.cumsum(counts)
    total = int(below[-1])
    low_rank = int(np.floor((total - 1) * low / 100.0))
    high_rank = int(np.ceil((total - 1) * high / 100.0))
    return (int(np.searchsorted(below, low_rank + 1)),
            int(np.searchsorted(below, high_rank + 1)))


def stretch_table(low, high):
    """Grey level for every 16-bit sample: black up to low, white from
    high, evenly between.  A flat picture (low == high) is mid-grey."""
    if high <= low:
        return np.full(LEVELS, 128, dtype=np.uint8)
    levels = (np.arange(LEVELS, dtype=np.float64) - low) * (255.0 / (high - low))
    return np.clip(np.rint(levels), 0, 255).astype(np.uint8)


FULL_RANGE = (np.arange(LEVELS) >> 8).astype(np.uint8)


def grey_levels(shown_samples, full_range):
    """The shown samples as 8-bit grey: the full 16-bit range, or the
    contrast stretch of their own percentiles."""
    table = FULL_RANGE if full_range else stretch_table(*stretch_bounds(shown_samples))
    return table.take(shown_samples)


def pgm_data(grey):
    """A binary PGM of 8-bit grey levels, as Tk's photo image reads it."""
    height, width = grey.shape
    return ("P5 %d %d 255\n" % (width, height)).encode("ascii") + grey.tobytes()


def bit_depth(frame):
    """The bits a frame's samples use, as far as they show it: get_frame
    puts a sample's top bit on bit 15, so the lowest bit any sample sets
    tells the PGM's depth (a frame whose samples all have low bits clear
    looks shallower than it is; an all-black one shows as 1 bit)."""
    used = int(np.bitwise_or.reduce(frame, axis=None))
    if used == 0:
        return 1
    lowest = (used & -used).bit_length() - 1
    return 16 - lowest

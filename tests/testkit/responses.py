"""What a camera server sends, built for the tests: binary PGM bodies in
the strict form the module accepts, HTTP responses around them, the one
good frame that serves wherever any good answer will do, and the array
that get_frame makes of a frame's samples.  The PGMs are written by the
camera server's own writer."""
import numpy as np

from lurvo_camserver.pgm import encode_samples, pgm_header

STATUS_OK = b"HTTP/1.0 200 OK\r\n"
PGM_TYPE = b"image/x-portable-graymap"
PGM_TYPE_LINE = b"Content-Type: " + PGM_TYPE + b"\r\n"


def pgm(width, height, maxval, samples):
    """A strict binary PGM.  samples: ints, written big-endian when maxval
    is above 255, or the raster's bytes, taken as they are."""
    if isinstance(samples, (bytes, bytearray)):
        raster = bytes(samples)
    else:
        raster = encode_samples(samples, maxval)
    return pgm_header(width, height, maxval) + raster


def http_response(body, content_type=PGM_TYPE, status=b"200 OK", version=b"HTTP/1.0", extra=b""):
    head = version + b" " + status + b"\r\n"
    if content_type is not None:
        head += b"Content-Type: " + content_type + b"\r\n"
    return head + extra + b"\r\n" + body


def frame_response(width, height, maxval, samples, **kw):
    return http_response(pgm(width, height, maxval, samples), **kw)


# Wherever any good answer will do: 16-bit samples, both extremes among them.
GOOD = frame_response(3, 2, 65535, [1, 2, 3, 0xfffe, 0x8000, 0])
GOOD_FRAME = [[1, 2, 3], [0xfffe, 0x8000, 0]]


def top_bits(samples, maxval):
    """The array get_frame makes of the samples (any shape): each moved up
    so that the top bit of maxval lands on bit 15."""
    shift = 16 - int(maxval).bit_length()
    return (np.asarray(samples).astype(np.uint32) << shift).astype(np.uint16)

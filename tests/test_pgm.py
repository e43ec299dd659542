"""extract_pgm through ctypes: header parsing, the in-place move of the
samples, and the failures with their texts.  Every call runs on a copy of
the data followed by guard bytes (stages.extract)."""
import ctypes
import struct

import pytest

from testkit.responses import pgm_header as header
from testkit.stages import ERR_SIZE, extract, lib

INT_MAX = 2 ** 31 - 1
UNTOUCHED = b"#" * ERR_SIZE
SIX = b"\x12\x34\x56\x78\x9a\xbc"


def pattern(count):
    """Bytes that differ from their neighbours, so misplaced ones show."""
    return bytes(bytearray((i * 37 + 11) & 0xFF for i in range(count)))


def native(data, count):
    return list(struct.unpack("=%dH" % count, data[:2 * count]))


def ok8(head, pixels, width, height, bpp, count):
    """(data, result, width, height, bpp, the bytes that must lead the buffer)."""
    return head + pixels, count, width, height, bpp, pixels[:count]


def ok16(head, pixels, width, height, bpp, count):
    """As ok8, with the samples as the numbers their big-endian pairs give."""
    return (head + pixels, len(head), width, height, bpp,
            list(struct.unpack(">%dH" % count, pixels[:2 * count])))


MAXVALS = [0, 1, 2, 127, 128, 255, 256, 1023, 1024, 4095, 32768, 65535]
# Around the block sizes of the 16-bit conversion, on both header parities.
SAMPLE_COUNTS = [0, 1, 2, 3, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65, 1000, 1001]

ACCEPTED = [
    ok8(header(2, 2, 255), b"\x01\x02\x03\x04", 2, 2, 8, 4),
    ok16(header(2, 1, 65535), b"\x01\x02\x03\x04", 2, 1, 16, 2),        # 258, 772
    (b"P5\n \n\n", 0, 0, 0, 0, b""),                                      # every field empty
    ok8(b"P5\n65537 2\n255\n", pattern(16), 1, 2, 8, 2),                # width wraps to 1
    ok8(b"P5\n2 131075\n255\n", pattern(16), 2, 3, 8, 6),               # height wraps to 3
    ok8(b"P5\n0002 0001\n0000255\n", pattern(16), 2, 1, 8, 2),          # leading zeros
    ok8(b"P5\n2 1\n65791\n", pattern(16), 2, 1, 8, 2),                  # maxval wraps to 255
    ok16(b"P5\n1 1\n131071\n", b"\xab\xcd", 1, 1, 16, 1),               # ... and to 65535
    ok8(header(2, 1, 255), b"\x07\x08extra", 2, 1, 8, 2),               # bytes beyond ignored
    ok16(header(1, 1, 65535), b"\x01\x02\x03", 1, 1, 16, 1),            # a stray odd byte
    ok8(header(2, 1, 1), b"\xff\x80", 2, 1, 1, 2),                      # above maxval: kept
    ok16(header(2, 1, 4095), b"\xff\xff\x10\x00", 2, 1, 12, 2),
    ok8(header(4, 4, 255), pattern(16), 4, 4, 8, 16),                   # exactly enough data
    ok16(header(2, 2, 65535), pattern(8), 2, 2, 16, 4),
] + [(ok16 if m > 255 else ok8)(header(3, 1, m), SIX, 3, 1, m.bit_length(), 3) for m in MAXVALS] \
  + [ok8(header(1, n, 200), pattern(n), 1, n, 8, n) for n in (0, 1, 17, 1000)] \
  + [ok16(header(n, 1, m), pattern(2 * n), n, 1, m.bit_length(), n)
     for m in (65535, 4095, 256) for n in SAMPLE_COUNTS] \
  + [ok16(header(1280, 1024, m), pattern(2 * 1280 * 1024), 1280, 1024, m.bit_length(), 1280 * 1024)
     for m in (65535, 4095)]


@pytest.mark.parametrize("data,result,width,height,bpp,samples", ACCEPTED,
                         ids=[str(i) for i in range(len(ACCEPTED))])
def test_accepted(data, result, width, height, bpp, samples):
    n, w, h, b, err, after = extract(data)
    assert (n, w, h, b) == (result, width, height, bpp)
    if isinstance(samples, list):
        size = 2 * len(samples)
        assert native(after, len(samples)) == samples
    else:
        size = len(samples)
        assert after[:size] == samples
    assert after[size:] == data[size:], "wrote past the samples"
    assert err == UNTOUCHED


def too_small(data, need):
    return data, "buffer too small (%d, need %d)" % (len(data), need)


FOUR = b"\x01\x02\x03\x04"
REFUSED = [(data, "cannot extract PGM, header not valid") for data in [
    b"", b"P", b"Q5\n2 2\n255\n" + FOUR, b"p5\n2 2\n255\n" + FOUR]] + [
    (b"P6\n2 2\n255\n" + FOUR, "unknown PGM type P6"),
    (b"P2\n2 2\n255\n1 2 3 4\n", "unknown PGM type P2"),
    (b"PA", "unknown PGM type P17"),
    (b"P\x00", "unknown PGM type P-48"),
    (b"P\xff", "unknown PGM type P207"),
] + [(data, "error in PGM") for data in [
    b"P5", b"P5\n", b"P5 2 2 255 " + FOUR, b"P5\r\n2 2\n255\n" + FOUR,
    b"P5\n2\n2\n255\n" + FOUR, b"P5\n# c\n2 2\n255\n" + FOUR, b"P5\n2  2\n255\n" + FOUR,
    b"P5\n2\t2\n255\n" + FOUR, b"P5\n2 2 \n255\n" + FOUR, b"P5\n2 2\r\n255\n" + FOUR,
    b"P5\n2 2\n255\r\n" + FOUR, b"P5\n+2 2\n255\n" + FOUR, b"P5\n2 2\n255", b"P5\n2 2", b"P5\n2",
]] + [
    too_small(b"P5\n4 4\n255\n\x01\x02\x03", 16),
    too_small(header(2, 2, 255) + b"\x01\x02\x03", 4),
    too_small(header(2, 2, 65535) + b"\x01\x02", 4),
    too_small(header(2, 2, 65535) + pattern(7), 4),
    too_small(header(65535, 65535, 65535) + pattern(8), 4294836225),
    too_small(header(65535, 65535, 255) + pattern(8), 4294836225),
    # 2 * 65535 * 32769 is 2**32 + 65534: a 32-bit sum with the header would
    # be tiny, so this data would pass such a check and be overrun.
    too_small(header(65535, 32769, 65535) + pattern(65534 + 64), 2147516415),
    # 65535 * 65535 + a 131079-byte header (leading zeros) is 8 in 32 bits.
    too_small(b"P5\n" + b"0" * 131060 + b"65535 65535\n255\n" + pattern(16), 4294836225),
]


@pytest.mark.parametrize("data,text", REFUSED, ids=[str(i) for i in range(len(REFUSED))])
def test_refused_with_text_and_data_unchanged(data, text):
    n, _, _, bpp, err, after = extract(data)
    assert (n, err.split(b"\0")[0].decode("ascii"), bpp) == (-1, text, 0xEE)
    assert after == data


@pytest.mark.parametrize("data,width,height", [
    (b"P5\n12 3x\n255\n\x01", 12, 3),          # width whole, height partial
    (b"P5\n12 34", 12, 34),                     # height never ended
    (b"P5\n12x 3\n255\n\x01", 12, 0xBEEF),
    (b"P5\n12 3\n25x\n\x01", 12, 3),
])
def test_fields_are_written_as_parsed_before_a_failure(data, width, height):
    assert extract(data)[:4] == (-1, width, height, 0xEE)


def test_error_buffer_is_cut_to_size_or_left_alone():
    assert extract(b"P5\n2\n", err_size=5)[4] == b"erro\0" + UNTOUCHED[5:]
    assert extract(b"P6\n", err_size=0)[::4] == (-1, UNTOUCHED)


def test_null_outputs_error_buffer_and_data():
    head = header(2, 1, 65535)
    buf = ctypes.create_string_buffer(head + b"\x01\x02\x03\x04")
    assert lib.extract_pgm(buf, len(head) + 4, None, None, None, None, 0) == len(head)
    assert native(buf.raw, 2) == [258, 772]
    for bad in (b"P5\n2 x\n", b"P6\n"):
        assert lib.extract_pgm(ctypes.create_string_buffer(bad), len(bad),
                               None, None, None, None, ERR_SIZE) == -1
    err = ctypes.create_string_buffer(ERR_SIZE)
    assert lib.extract_pgm(None, 100, None, None, None, err, ERR_SIZE) == -1
    assert err.value == b"cannot extract PGM, header not valid"


def test_result_above_int_max_reads_int_max():
    # 65535 * 32769 samples is just over INT_MAX; the buffer needs 2 GB.
    head = header(65535, 32769, 255)
    count = 65535 * 32769
    size = len(head) + count
    try:
        buf = (ctypes.c_char * size)()
    except MemoryError:
        pytest.skip("2 GB buffer not available")
    ctypes.memmove(buf, head, len(head))
    ctypes.memmove(ctypes.addressof(buf) + len(head), b"\x01\x02\x03", 3)
    ctypes.memmove(ctypes.addressof(buf) + size - 1, b"\x09", 1)
    width, height, bpp = ctypes.c_uint16(), ctypes.c_uint16(), ctypes.c_uint8()
    result = lib.extract_pgm(buf, size, ctypes.byref(width), ctypes.byref(height),
                             ctypes.byref(bpp), None, 0)
    assert (result, width.value, height.value, bpp.value) == (INT_MAX, 65535, 32769, 8)
    assert ctypes.string_at(buf, 3) == b"\x01\x02\x03"
    assert ctypes.string_at(ctypes.addressof(buf) + count - 1, 1) == b"\x09"
    del buf

"""extract_pgm through ctypes: header parsing, the in-place move of the
samples, and the failures with their texts.

LURVO_PGM_LIBRARY may name another shared object exporting extract_pgm
(for example a build with -DLURVO_SCALAR_SWAP) to run the same cases
against it; by default the module itself is loaded."""
import ctypes
import os
import struct

import pytest

from stages import module_path

LIBRARY = os.environ.get('LURVO_PGM_LIBRARY') or module_path()

# Written after the data so that any write past len shows up.
GUARD = b'\xa5' * 32
ERR_FILL = b'#'
ERR_SIZE = 128
INT_MAX = 2 ** 31 - 1
# Values the outputs hold before the call, so that writes are visible.
WIDTH_BEFORE = 0xBEEF
HEIGHT_BEFORE = 0xBEEF
BPP_BEFORE = 0xEE


def load_extract_pgm():
    function = ctypes.CDLL(LIBRARY).extract_pgm
    function.restype = ctypes.c_int
    function.argtypes = [ctypes.c_void_p, ctypes.c_size_t,
                         ctypes.POINTER(ctypes.c_uint16), ctypes.POINTER(ctypes.c_uint16),
                         ctypes.POINTER(ctypes.c_uint8), ctypes.c_void_p, ctypes.c_size_t]
    return function


extract_pgm = load_extract_pgm()


class Outcome(object):
    def __init__(self, result, width, height, bpp, err_raw, data):
        self.result = result
        self.width = width
        self.height = height
        self.bpp = bpp
        self.err_raw = err_raw
        self.data = data

    @property
    def error(self):
        return self.err_raw.split(b'\0')[0].decode('ascii')

    @property
    def err_untouched(self):
        return self.err_raw == ERR_FILL * len(self.err_raw)


def run(data, err_size=ERR_SIZE, err_capacity=ERR_SIZE):
    """Calls extract_pgm on a copy of data followed by guard bytes."""
    buf = ctypes.create_string_buffer(data + GUARD, len(data) + len(GUARD))
    width = ctypes.c_uint16(WIDTH_BEFORE)
    height = ctypes.c_uint16(HEIGHT_BEFORE)
    bpp = ctypes.c_uint8(BPP_BEFORE)
    err = ctypes.create_string_buffer(ERR_FILL * err_capacity, err_capacity)
    result = extract_pgm(buf, len(data), ctypes.byref(width), ctypes.byref(height),
                         ctypes.byref(bpp), err, err_size)
    raw = buf.raw
    assert raw[len(data):] == GUARD, 'wrote past len'
    return Outcome(result, width.value, height.value, bpp.value, err.raw, raw[:len(data)])


def header(width, height, maxval):
    return ('P5\n%s %s\n%s\n' % (width, height, maxval)).encode('ascii')


def pattern(count):
    """Bytes that differ from their neighbours, so misplaced ones show."""
    return bytes(bytearray((i * 37 + 11) & 0xFF for i in range(count)))


def native_samples(data, count):
    return list(struct.unpack('=%dH' % count, data[:2 * count]))


def big_endian_samples(data, count):
    return list(struct.unpack('>%dH' % count, data[:2 * count]))


# --- success ---------------------------------------------------------------

def test_8bit_2x2_moves_samples_to_start():
    out = run(header(2, 2, 255) + b'\x01\x02\x03\x04')
    assert (out.result, out.width, out.height, out.bpp) == (4, 2, 2, 8)
    assert out.data[:4] == b'\x01\x02\x03\x04'
    assert out.err_untouched


def test_16bit_pair_becomes_native_values():
    out = run(header(2, 1, 65535) + b'\x01\x02\x03\x04')
    assert (out.result, out.width, out.height, out.bpp) == (13, 2, 1, 16)
    assert native_samples(out.data, 2) == [258, 772]
    assert out.err_untouched


@pytest.mark.parametrize('maxval, bpp, sixteen_bit', [
    (0, 0, False), (1, 1, False), (2, 2, False), (127, 7, False), (128, 8, False),
    (255, 8, False), (256, 9, True), (1023, 10, True), (1024, 11, True),
    (4095, 12, True), (32768, 16, True), (65535, 16, True),
])
def test_maxval_sets_bit_length_and_path(maxval, bpp, sixteen_bit):
    head = header(3, 1, maxval)
    pixels = b'\x12\x34\x56\x78\x9a\xbc'
    out = run(head + pixels)
    assert out.bpp == bpp
    if sixteen_bit:
        assert out.result == len(head)
        assert native_samples(out.data, 3) == [0x1234, 0x5678, 0x9abc]
    else:
        assert out.result == 3
        assert out.data[:3] == pixels[:3]
    assert out.err_untouched


def test_empty_fields_read_zero():
    out = run(b'P5\n \n\n')
    assert (out.result, out.width, out.height, out.bpp) == (0, 0, 0, 0)
    assert out.err_untouched


@pytest.mark.parametrize('head, width, height, result', [
    (b'P5\n65537 2\n255\n', 1, 2, 2),                # width wraps to 1
    (b'P5\n2 131075\n255\n', 2, 3, 6),               # height wraps to 3
    (b'P5\n0002 0001\n0000255\n', 2, 1, 2),          # leading zeros
    (b'P5\n2 1\n65791\n', 2, 1, 2),                  # maxval wraps to 255: 8-bit
])
def test_fields_wrap_modulo_65536(head, width, height, result):
    out = run(head + pattern(16))
    assert (out.result, out.width, out.height) == (result, width, height)
    assert out.data[:result] == pattern(16)[:result]


def test_maxval_wrapping_into_16bit_range():
    head = b'P5\n1 1\n131071\n'                      # 65535
    out = run(head + b'\xab\xcd')
    assert (out.result, out.bpp) == (len(head), 16)
    assert native_samples(out.data, 1) == [0xabcd]


def test_bytes_beyond_image_ignored():
    out8 = run(header(2, 1, 255) + b'\x07\x08' + b'extra')
    assert (out8.result, out8.data[:2]) == (2, b'\x07\x08')
    head = header(1, 1, 65535)
    out16 = run(head + b'\x01\x02' + b'\x03')       # a stray odd byte
    assert out16.result == len(head)
    assert native_samples(out16.data, 1) == [0x0102]


def test_samples_above_maxval_pass_unchanged():
    out8 = run(header(2, 1, 1) + b'\xff\x80')
    assert (out8.bpp, out8.data[:2]) == (1, b'\xff\x80')
    out16 = run(header(2, 1, 4095) + b'\xff\xff\x10\x00')
    assert out16.bpp == 12
    assert native_samples(out16.data, 2) == [0xffff, 0x1000]


SAMPLE_COUNTS = [0, 1, 2, 3, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65, 1000, 1001]


# maxval 65535 vs 4095 (and the width's own digits) give both header parities.
@pytest.mark.parametrize('maxval', [65535, 4095, 256])
@pytest.mark.parametrize('count', SAMPLE_COUNTS)
def test_16bit_conversion_matches_scalar_reading(count, maxval):
    head = header(count, 1, maxval)
    pixels = pattern(2 * count)
    data = head + pixels
    out = run(data)
    assert out.result == len(head)
    assert native_samples(out.data, count) == big_endian_samples(pixels, count)
    # Past the converted samples nothing is written.
    assert out.data[2 * count:] == data[2 * count:]


@pytest.mark.parametrize('head', [header(1280, 1024, 65535), header(1280, 1024, 4095)])
def test_16bit_full_camera_frame(head):
    count = 1280 * 1024
    pixels = pattern(2 * count)
    out = run(head + pixels)
    assert (out.result, out.width, out.height) == (len(head), 1280, 1024)
    assert native_samples(out.data, count) == big_endian_samples(pixels, count)


@pytest.mark.parametrize('count', [0, 1, 17, 1000])
def test_8bit_move_on_several_lengths(count):
    head = header(1, count, 200)
    pixels = pattern(count)
    data = head + pixels
    out = run(data)
    assert (out.result, out.bpp) == (count, 8)
    assert out.data[:count] == pixels
    assert out.data[count:] == data[count:]


def test_result_above_int_max_reads_int_max():
    # 65535 * 32769 samples is just over INT_MAX; the buffer needs 2 GB.
    head = header(65535, 32769, 255)
    count = 65535 * 32769
    size = len(head) + count
    try:
        buf = (ctypes.c_char * size)()
    except MemoryError:
        pytest.skip('2 GB buffer not available')
    ctypes.memmove(buf, head, len(head))
    marks = b'\x01\x02\x03'
    ctypes.memmove(ctypes.addressof(buf) + len(head), marks, len(marks))
    ctypes.memmove(ctypes.addressof(buf) + size - 1, b'\x09', 1)
    width, height = ctypes.c_uint16(), ctypes.c_uint16()
    bpp = ctypes.c_uint8()
    result = extract_pgm(buf, size, ctypes.byref(width), ctypes.byref(height),
                         ctypes.byref(bpp), None, 0)
    assert (result, width.value, height.value, bpp.value) == (INT_MAX, 65535, 32769, 8)
    assert ctypes.string_at(buf, 3) == marks
    assert ctypes.string_at(ctypes.addressof(buf) + count - 1, 1) == b'\x09'
    del buf


# --- failure ---------------------------------------------------------------

@pytest.mark.parametrize('data, message', [
    (b'', 'cannot extract PGM, header not valid'),
    (b'P', 'cannot extract PGM, header not valid'),
    (b'Q5\n2 2\n255\n\x01\x02\x03\x04', 'cannot extract PGM, header not valid'),
    (b'p5\n2 2\n255\n\x01\x02\x03\x04', 'cannot extract PGM, header not valid'),
    (b'P6\n2 2\n255\n\x01\x02\x03\x04', 'unknown PGM type P6'),
    (b'P2\n2 2\n255\n1 2 3 4\n', 'unknown PGM type P2'),
    (b'PA', 'unknown PGM type P17'),
    (b'P\x00', 'unknown PGM type P-48'),
    (b'P\xff', 'unknown PGM type P207'),
    (b'P5', 'error in PGM'),
    (b'P5\n', 'error in PGM'),
    (b'P5 2 2 255 \x01\x02\x03\x04', 'error in PGM'),
    (b'P5\r\n2 2\n255\n\x01\x02\x03\x04', 'error in PGM'),
    (b'P5\n2\n2\n255\n\x01\x02\x03\x04', 'error in PGM'),
    (b'P5\n# c\n2 2\n255\n\x01\x02\x03\x04', 'error in PGM'),
    (b'P5\n2  2\n255\n\x01\x02\x03\x04', 'error in PGM'),
    (b'P5\n2\t2\n255\n\x01\x02\x03\x04', 'error in PGM'),
    (b'P5\n2 2 \n255\n\x01\x02\x03\x04', 'error in PGM'),
    (b'P5\n2 2\r\n255\n\x01\x02\x03\x04', 'error in PGM'),
    (b'P5\n2 2\n255\r\n\x01\x02\x03\x04', 'error in PGM'),
    (b'P5\n+2 2\n255\n\x01\x02\x03\x04', 'error in PGM'),
    (b'P5\n2 2\n255', 'error in PGM'),
    (b'P5\n2 2', 'error in PGM'),
    (b'P5\n2', 'error in PGM'),
    (b'P5\n4 4\n255\n\x01\x02\x03', 'buffer too small (14, need 16)'),
    (header(2, 2, 255) + b'\x01\x02\x03', 'buffer too small (14, need 4)'),
    (header(2, 2, 65535) + b'\x01\x02', 'buffer too small (15, need 4)'),
    (header(2, 2, 65535) + pattern(7), 'buffer too small (20, need 4)'),
    (header(65535, 65535, 65535) + pattern(8), 'buffer too small (29, need 4294836225)'),
    (header(65535, 65535, 255) + pattern(8), 'buffer too small (27, need 4294836225)'),
])
def test_refused_with_text_and_buffer_unchanged(data, message):
    out = run(data)
    assert (out.result, out.error) == (-1, message)
    assert out.data == data
    assert out.bpp == BPP_BEFORE


def test_16bit_size_check_cannot_wrap_in_32_bits():
    # 2 * 65535 * 32769 is 2**32 + 65534: a 32-bit sum with the header would
    # be tiny, so this buffer would pass such a check and be overrun.
    head = header(65535, 32769, 65535)
    data = head + pattern(65534 + 64)
    out = run(data)
    assert (out.result, out.error) == (-1, 'buffer too small (%d, need 2147516415)' % len(data))
    assert out.data == data


def test_8bit_size_check_cannot_wrap_in_32_bits():
    # 65535 * 65535 + header wraps a 32-bit sum to 8 when the header is
    # 131079 bytes long (leading zeros in the width).
    head = b'P5\n' + b'0' * 131060 + b'65535 65535\n255\n'
    assert len(head) == 131079
    data = head + pattern(16)
    out = run(data)
    assert (out.result, out.error) == (-1, 'buffer too small (%d, need 4294836225)' % len(data))
    assert out.data == data


@pytest.mark.parametrize('data, width, height', [
    (b'P5\n12 3x\n255\n\x01', 12, 3),          # width whole, height partial
    (b'P5\n12 34', 12, 34),                     # height never ended
    (b'P5\n12x 3\n255\n\x01', 12, HEIGHT_BEFORE),
    (b'P5\n12 3\n25x\n\x01', 12, 3),
])
def test_fields_written_as_parsed_before_failure(data, width, height):
    out = run(data)
    assert (out.result, out.error) == (-1, 'error in PGM')
    assert (out.width, out.height, out.bpp) == (width, height, BPP_BEFORE)


def test_minimal_buffer_exactly_fits():
    out8 = run(header(4, 4, 255) + pattern(16))
    assert out8.result == 16
    out16 = run(header(2, 2, 65535) + pattern(8))
    assert out16.result == len(header(2, 2, 65535))


# --- the outputs and the error buffer ----------------------------------------

def test_error_text_truncated_and_terminated():
    out = run(b'P5\n2\n', err_size=5, err_capacity=16)
    assert out.err_raw == b'erro\0' + ERR_FILL * 11


def test_error_buffer_of_size_zero_or_null_is_left_alone():
    bad = b'P6\n'
    out = run(bad, err_size=0, err_capacity=8)
    assert out.result == -1 and out.err_untouched
    buf = ctypes.create_string_buffer(bad, len(bad))
    assert extract_pgm(buf, len(bad), None, None, None, None, ERR_SIZE) == -1


def test_null_outputs_are_accepted():
    head = header(2, 1, 65535)
    buf = ctypes.create_string_buffer(head + b'\x01\x02\x03\x04')
    assert extract_pgm(buf, len(head) + 4, None, None, None, None, 0) == len(head)
    assert native_samples(buf.raw, 2) == [258, 772]
    broken = ctypes.create_string_buffer(b'P5\n2 x\n')
    assert extract_pgm(broken, 7, None, None, None, None, 0) == -1


def test_null_buffer_is_refused():
    err = ctypes.create_string_buffer(ERR_SIZE)
    assert extract_pgm(None, 100, None, None, None, err, ERR_SIZE) == -1
    assert err.value == b'cannot extract PGM, header not valid'

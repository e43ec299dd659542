"""The lurvo module as a Python program sees it, against loopback servers
in child processes (get_frame keeps the interpreter lock while it waits)."""
import os
import socket
import subprocess
import sys
import time

import numpy as np
import pytest

import lurvo
from scripted_server import (ScriptedServer, closed_port, frame_response,
                             http_response, pgm)
from stages import UNDER_SANITIZER, module_dir, open_sockets

BUFFER_SIZE = 2621696


def serve(*responses, **kw):
    return ScriptedServer([[("send", r)] for r in responses], process=True, **kw)


def grab(response, uri=None):
    with serve(response) as srv:
        cam = lurvo.cam("127.0.0.1", srv.port)
        return cam.get_frame() if uri is None else cam.get_frame(uri)


def refusal(response):
    with pytest.raises(RuntimeError) as info:
        grab(response)
    return str(info.value)


class TestModule(object):
    def test_attributes(self):
        assert lurvo.__version__ == "MAJOR_VERSION.MINOR_VERSION"
        assert lurvo.cam.__name__ == "lurvoport"
        assert lurvo.cam.__doc__ == "LURVOPORT object"
        assert lurvo.cam.get_frame.__doc__ == "get frame."
        assert [n for n in dir(lurvo) if not n.startswith("__")] == ["cam"]

    def test_the_module_is_the_build_under_test(self):
        # LURVO_MODULE_DIR (make sanitize) must not end up testing ./lurvo.so.
        assert (os.path.dirname(os.path.realpath(lurvo.__file__))
                == os.path.realpath(module_dir()))

    def test_instance_exposes_no_fields(self):
        cam = lurvo.cam("127.0.0.1", 1)
        assert not hasattr(cam, "ip") and not hasattr(cam, "port")

    def test_type_can_be_subclassed(self):
        class Mine(lurvo.cam):
            pass
        with serve(frame_response(1, 1, 255, [7])) as srv:
            mine = Mine("127.0.0.1", srv.port)
            mine.extra = 1      # subclasses get their own size and a dict
            assert mine.get_frame().tolist() == [[7 << 8]]

    @pytest.mark.parametrize("args,kwargs", [
        ((1,), {}), (("127.0.0.1", "5557"), {}), (("127.0.0.1", 1, 2), {}),
        ((), {"host": "127.0.0.1"}),
    ])
    def test_bad_constructor_arguments(self, args, kwargs):
        with pytest.raises(TypeError):
            lurvo.cam(*args, **kwargs)

    def test_text_with_a_nul_is_refused_by_the_interpreter(self):
        # Python 3's argument parsing calls this a ValueError, Python 2's a
        # TypeError; either way nothing truncated reaches the network.
        with pytest.raises(ValueError if sys.version_info[0] >= 3 else TypeError):
            lurvo.cam("127.0.0.1\0junk")
        with pytest.raises(ValueError if sys.version_info[0] >= 3 else TypeError):
            lurvo.cam("127.0.0.1", closed_port()).get_frame("/img.pgm\0junk")

    def test_bad_get_frame_arguments(self):
        cam = lurvo.cam("127.0.0.1", closed_port())
        with pytest.raises(TypeError):
            cam.get_frame(uri="/img.pgm")       # positional only
        with pytest.raises(TypeError):
            cam.get_frame("/a", "/b")
        with pytest.raises(TypeError):
            cam.get_frame(5)


class TestAddressing(object):
    def test_defaults_are_loopback_5557_and_img_pgm(self):
        try:
            srv = ScriptedServer([[("send", frame_response(1, 1, 255, [1]))]],
                                 process=True, port=5557)
        except socket.error:
            pytest.skip("port 5557 is in use")
        with srv:
            assert lurvo.cam().get_frame().tolist() == [[256]]
        assert srv.requests() == [b"GET /img.pgm HTTP/1.0\n\n"]

    def test_port_keeps_its_low_16_bits(self):
        with serve(frame_response(1, 1, 255, [2])) as srv:
            cam = lurvo.cam(ip="127.0.0.1", port=srv.port + 3 * 65536)
            assert cam.get_frame().tolist() == [[512]]

    def test_path_is_requested_exactly(self):
        with serve(frame_response(1, 1, 255, [3])) as srv:
            lurvo.cam("127.0.0.1", srv.port).get_frame("/cams/2/frame.pgm?x=1")
        assert srv.requests() == [b"GET /cams/2/frame.pgm?x=1 HTTP/1.0\n\n"]

    def test_text_that_is_no_address_fails_in_the_exchange(self):
        cam = lurvo.cam("camera.local", 80)     # accepted; 255.255.255.255
        start = time.time()
        with pytest.raises(RuntimeError) as info:
            cam.get_frame()
        assert str(info.value).startswith("cannot send: ")
        assert time.time() - start < 0.5

    def test_closed_port(self):
        with pytest.raises(RuntimeError) as info:
            lurvo.cam("127.0.0.1", closed_port()).get_frame()
        assert str(info.value) == "cannot send: Connection refused"

    def test_init_arguments_given_again_are_ignored(self):
        with serve(frame_response(1, 1, 255, [4])) as srv:
            cam = lurvo.cam("127.0.0.1", srv.port)
            cam.__init__("10.9.9.9", 1)
            assert cam.get_frame().tolist() == [[1024]]


class TestRefusals(object):
    @pytest.mark.parametrize("content_type", [b"image/png", b"image/jpeg", None, b"text/plain"])
    def test_wrong_content_type(self, content_type):
        body = pgm(1, 1, 255, [1])
        response = http_response(body, content_type=content_type, extra=b"Server: cam\r\n")
        assert refusal(response) == "wrong content type"

    def test_not_found(self):
        response = http_response(b"no such frame", content_type=b"text/plain",
                                 status=b"404 Not Found")
        assert refusal(response) == "HTTP response: 404 Not Found"

    def test_status_text_that_is_not_utf8_is_still_a_runtime_error(self):
        response = b"HTTP/1.0 500 \xff\xfe\r\n\r\n"
        assert refusal(response).startswith("HTTP response: 500 ")

    def test_empty_response(self):
        assert refusal(b"") == "no error"

    def test_header_without_end(self):
        text = refusal(b"HTTP/1.0 200 OK\r\nContent-Type: image/x-portable-graymap\r\n")
        assert text and text != "no error"

    @pytest.mark.parametrize("body,text", [
        (b"P5 2 2 255\n\x01\x02\x03\x04", "error in PGM"),
        (b"P6\n1 1\n255\n\x00\x00\x00", "unknown PGM type P6"),
        (b"", "cannot extract PGM, header not valid"),
        (b"P5\n4 4\n255\n\x01\x02\x03", "buffer too small (14, need 16)"),
    ])
    def test_pgm_refusals(self, body, text):
        assert refusal(http_response(body)) == text

    def test_response_longer_than_the_buffer_is_cut(self):
        # 1281 x 1024 16-bit samples do not fit after the headers.
        width, height = 1281, 1024
        head = ("P5\n%d %d\n65535\n" % (width, height)).encode("ascii")
        response = http_response(head + b"\x12" * (2 * width * height))
        body_len = BUFFER_SIZE - (len(response) - len(head) - 2 * width * height)
        assert refusal(response) == "buffer too small (%d, need %d)" % (body_len, width * height)


class TestFrames(object):
    def test_8_bit(self):
        frame = grab(frame_response(2, 2, 255, [1, 2, 3, 4]))
        assert frame.dtype == np.uint16 and frame.shape == (2, 2)
        assert frame.tolist() == [[256, 512], [768, 1024]]

    def test_12_bit_samples_fill_the_top_bits(self):
        frame = grab(frame_response(3, 1, 4095, [4095, 1, 0]))
        assert frame.tolist() == [[0xfff0, 0x0010, 0]]

    def test_maxval_1_lands_on_bit_15(self):
        assert grab(frame_response(2, 1, 1, [0, 1])).tolist() == [[0, 0x8000]]

    def test_maxval_0_gives_zeros(self):
        assert grab(frame_response(2, 1, 0, [0, 9])).tolist() == [[0, 0]]

    @pytest.mark.parametrize("width,height", [(0, 0), (0, 3), (5, 0)])
    def test_empty_frames_keep_their_shape(self, width, height):
        frame = grab(frame_response(width, height, 255, []))
        assert frame.shape == (height, width) and frame.dtype == np.uint16

    @pytest.mark.parametrize("maxval", [65535, 4095, 255])
    def test_full_frame_equals_numpy_on_the_same_bytes(self, maxval):
        width, height = 1280, 1024
        rng = np.random.RandomState(maxval)
        wide = maxval > 255
        samples = rng.randint(0, maxval + 1, size=(height, width)).astype(">u2" if wide else "u1")
        head = ("P5\n%d %d\n%d\n" % (width, height, maxval)).encode("ascii")
        frame = grab(http_response(head + samples.tobytes()))
        bits = int(maxval).bit_length()
        expected = (samples.astype(np.uint32) << (16 - bits)).astype(np.uint16)
        assert frame.dtype == np.dtype("=u2") and frame.flags["C_CONTIGUOUS"]
        assert frame.flags["OWNDATA"]
        assert np.array_equal(frame, expected)

    def test_every_depth_and_tail_length(self):
        # The array is filled 16 samples at a time with the rest one by one:
        # lengths around that block size, each bit depth (0..16), and the
        # extremes of every depth must all come out as the plain shift.
        rng = np.random.RandomState(7)
        cases = []
        for maxval in [0] + [(1 << bits) - 1 for bits in range(1, 17)] + [1000, 300]:
            for count in (1, 15, 16, 17, 31, 33, 250):
                values = rng.randint(0, maxval + 1, size=count)
                values[:2] = [maxval, 0][:count]
                cases.append((maxval, values))
        with serve(*[frame_response(len(v), 1, m, [int(x) for x in v]) for m, v in cases],
                   duration=60) as srv:
            cam = lurvo.cam("127.0.0.1", srv.port)
            for maxval, values in cases:
                shift = 16 - int(maxval).bit_length()
                expected = (values.astype(np.uint32) << shift).astype(np.uint16)
                frame = cam.get_frame()
                assert frame.shape == (1, len(values))
                assert np.array_equal(frame[0], expected), (maxval, len(values))

    def test_http_1_1_and_extra_headers(self):
        body = pgm(1, 2, 65535, [0x1234, 0xfedc])
        response = http_response(body, version=b"HTTP/1.1",
                                 extra=b"Content-Length: %d\r\nServer: cam\r\n" % len(body))
        assert grab(response).tolist() == [[0x1234], [0xfedc]]


@pytest.mark.skipif(UNDER_SANITIZER,
                    reason="AddressSanitizer's own mappings fail under an address-space cap")
def test_failed_buffer_allocation_is_a_runtime_error():
    # Run in a child whose address space is capped just above what it uses,
    # so that the frame buffer cannot be had.
    code = "\n".join([
        "import resource, lurvo",
        "cam = lurvo.cam('127.0.0.1', 9)",
        "vm = int([l.split()[1] for l in open('/proc/self/status') if l.startswith('VmSize')][0])",
        "resource.setrlimit(resource.RLIMIT_AS, ((vm + 1024) * 1024, resource.RLIM_INFINITY))",
        "try:",
        "    cam.get_frame()",
        "except RuntimeError as e:",
        "    print(e)",
    ])
    out = subprocess.check_output([sys.executable, "-c", code])
    assert out.strip() == b"cannot allocate memory"


def resident_kb():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS"):
                return int(line.split()[1])


def test_many_mixed_calls_leak_neither_descriptors_nor_memory():
    big = frame_response(640, 480, 65535, [7] * (640 * 480))
    kinds = [
        big,
        frame_response(2, 2, 255, [1, 2, 3, 4]),
        http_response(b"x", status=b"404 Not Found"),
        http_response(pgm(1, 1, 255, [1]), content_type=b"image/png"),
        http_response(b"P5\n9 9\n255\n\x01"),
        b"",
    ]
    calls = 2000

    def run(count, srv, cam, results):
        for i in range(count):
            try:
                results.append(cam.get_frame().shape)
            except RuntimeError as e:
                results.append(str(e))

    warm = 200
    scripts = [kinds[i % len(kinds)] for i in range(warm + calls)]
    results = []
    with serve(*scripts, duration=120) as srv:
        cam = lurvo.cam("127.0.0.1", srv.port)
        run(warm, srv, cam, results)
        sockets, rss = open_sockets(), resident_kb()
        run(calls, srv, cam, results)
        grown = resident_kb() - rss
        assert open_sockets() == sockets
    if not UNDER_SANITIZER:     # LeakSanitizer checks that run instead
        assert grown < 4 * 1024, "resident memory grew by %d kB" % grown
    assert {(480, 640), (2, 2), "HTTP response: 404 Not Found", "wrong content type",
            "buffer too small (12, need 81)", "no error"} == set(results)

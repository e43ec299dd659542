"""The lurvo module as a Python program sees it, against loopback servers
in child processes (get_frame keeps the interpreter lock while it waits)."""
import os
import socket
import subprocess
import sys

import numpy as np
import pytest

import lurvo
from testkit.responses import GOOD, GOOD_FRAME, frame_response, http_response, pgm, top_bits
from testkit.scripted_server import closed_port, serving
from testkit.stages import UNDER_EMULATOR, UNDER_SANITIZER, caught, module_dir


def grab(response):
    """What get_frame gives for the response: the array, or the text of
    its RuntimeError."""
    with serving(response) as srv:
        return caught(lurvo.cam("127.0.0.1", srv.port).get_frame)


class TestModule(object):
    def test_attributes(self):
        assert lurvo.__version__ == "MAJOR_VERSION.MINOR_VERSION"
        assert lurvo.cam.__name__ == "lurvoport"
        assert lurvo.cam.__doc__ == "LURVOPORT object"
        assert lurvo.cam.get_frame.__doc__ == "get frame."
        assert [n for n in dir(lurvo) if not n.startswith("__")] == ["cam"]
        assert [n for n in dir(lurvo.cam) if not n.startswith("_")] == ["get_frame"]

    def test_the_module_is_the_build_under_test(self):
        # LURVO_MODULE_DIR (make sanitize) must not end up testing ./lurvo.so.
        assert (os.path.dirname(os.path.realpath(lurvo.__file__))
                == os.path.realpath(module_dir()))

    def test_instance_exposes_no_fields(self):
        cam = lurvo.cam("127.0.0.1", 1)
        assert not hasattr(cam, "ip") and not hasattr(cam, "port")

    @pytest.mark.parametrize("args,kwargs", [
        ((1,), {}), (("127.0.0.1", "5557"), {}), (("127.0.0.1", 1, 2), {}),
        ((), {"host": "127.0.0.1"}),
    ])
    def test_bad_constructor_arguments(self, args, kwargs):
        with pytest.raises(TypeError):
            lurvo.cam(*args, **kwargs)

    def test_bad_get_frame_arguments(self):
        cam = lurvo.cam("127.0.0.1", closed_port())
        with pytest.raises(TypeError):
            cam.get_frame(uri="/img.pgm")       # positional only
        with pytest.raises(TypeError):
            cam.get_frame("/a", "/b")
        with pytest.raises(TypeError):
            cam.get_frame(5)


class Subclass(lurvo.cam):
    def __init__(self, *args):
        lurvo.cam.__init__(self, *args)
        self.extra = 1          # subclasses get their own size and a dict


def initialised_again(port):
    cam = lurvo.cam("127.0.0.1", port)
    cam.__init__("10.9.9.9", 1)     # ignored: the address was settled at creation
    return cam


class TestAddressing(object):
    def test_defaults_are_loopback_5557_and_img_pgm(self):
        try:
            srv = serving(GOOD, port=5557)
        except socket.error:
            pytest.skip("port 5557 is in use")
        with srv:
            assert lurvo.cam().get_frame().tolist() == GOOD_FRAME
        assert srv.requests() == [b"GET /img.pgm HTTP/1.0\n\n"]

    @pytest.mark.parametrize("make,uri", [
        (lambda port: Subclass("127.0.0.1", port), "/img.pgm"),
        (lambda port: lurvo.cam(ip="127.0.0.1", port=port + 3 * 65536), "/img.pgm"),
        (initialised_again, "/img.pgm"),
        (lambda port: lurvo.cam("127.0.0.1", port), "/cams/2/frame.pgm?x=1"),
    ], ids=["subclass", "port keeps its low 16 bits", "init again", "path as given"])
    def test_address_and_path(self, make, uri):
        with serving(GOOD) as srv:
            assert make(srv.port).get_frame(uri).tolist() == GOOD_FRAME
        assert srv.requests() == [b"GET " + uri.encode("ascii") + b" HTTP/1.0\n\n"]


class TestRefusals(object):
    @pytest.mark.parametrize("content_type", [b"image/png", b"image/jpeg", None, b"text/plain"])
    def test_wrong_content_type(self, content_type):
        body = pgm(1, 1, 255, [1])
        response = http_response(body, content_type=content_type, extra=b"Server: cam\r\n")
        assert grab(response) == "wrong content type"


class TestFrames(object):
    @pytest.mark.parametrize("response,frame", [
        (frame_response(2, 2, 255, [1, 2, 3, 4]), [[256, 512], [768, 1024]]),
        (frame_response(3, 1, 4095, [4095, 1, 0]), [[0xfff0, 0x0010, 0]]),  # the top 12 bits
        (frame_response(2, 1, 1, [0, 1]), [[0, 0x8000]]),                  # maxval 1: bit 15
        (frame_response(2, 1, 0, [0, 9]), [[0, 0]]),                       # maxval 0: zeros
        (http_response(pgm(1, 2, 65535, [0x1234, 0xfedc]), version=b"HTTP/1.1",
                       extra=b"Content-Length: 17\r\nServer: cam\r\n"), [[0x1234], [0xfedc]]),
    ])
    def test_samples_land_on_the_top_bits(self, response, frame):
        array = grab(response)
        assert (array.dtype, array.tolist()) == (np.uint16, frame)

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
        frame = grab(frame_response(width, height, maxval, samples.tobytes()))
        assert frame.dtype == np.dtype("=u2") and frame.flags["C_CONTIGUOUS"]
        assert frame.flags["OWNDATA"]
        assert np.array_equal(frame, top_bits(samples, maxval))


@pytest.mark.skipif(UNDER_SANITIZER,
                    reason="AddressSanitizer's own mappings fail under an address-space cap")
@pytest.mark.skipif(UNDER_EMULATOR != "",
                    reason="under %s the address-space cap is the emulator's own: "
                           "the emulated allocation does not fail" % UNDER_EMULATOR)
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

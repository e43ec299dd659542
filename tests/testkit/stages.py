"""The module's exported stage functions, called through ctypes.

ctypes releases the interpreter lock during a call, so servers in threads
of the test process can answer these calls."""
import contextlib
import ctypes
import gc
import os
import resource
import socket
import struct
import time

from lurvo_grab.limits import BUFFER_SIZE as BUF_SIZE, ERR_SIZE
from testkit import ROOT
# The one waiting budget of a call, in seconds.
BUDGET = 1.0

# Texts that tests of several layers expect.  A timeout's text names the
# errno left by the non-blocking connect.
RECEIVE_TIMEOUT = "receive timeout (Operation now in progress)"
CONNECT_TIMEOUT = "cannot connect: timeout (Operation now in progress)"
RESET = "receive error: Connection reset by peer"
CONNECTION_REFUSED = "cannot send: Connection refused"
STATUS_ONLY = "HTTP response ends after the status line"
NO_END = "HTTP header block does not end"


# Set when the sanitizer runtime is preloaded (tools/sanitize.sh): its
# quarantine keeps freed memory resident on purpose, and it cannot live
# under a cap on the address space.
UNDER_SANITIZER = "asan" in os.environ.get("LD_PRELOAD", "")

# Set by tools/chroot.sh when the chroot's programs run under an emulator
# (qemu-user for arm64 on an x86-64 machine).
UNDER_EMULATOR = os.environ.get("LURVO_EMULATOR", "")


def module_dir():
    """Where the module under test lives: LURVO_MODULE_DIR names another
    build of it (the sanitizer build, for one); by default the project's."""
    return os.environ.get("LURVO_MODULE_DIR") or ROOT


def module_path():
    """The built module of this interpreter, which exports the stages too."""
    try:
        from importlib.machinery import EXTENSION_SUFFIXES
    except ImportError:  # Python 2
        import imp
        EXTENSION_SUFFIXES = [s for s, _, kind in imp.get_suffixes() if kind == imp.C_EXTENSION]
    for suffix in EXTENSION_SUFFIXES:
        path = os.path.join(module_dir(), "lurvo" + suffix)
        if os.path.exists(path):
            return path
    raise RuntimeError("lurvo is not built in %s: run make build" % module_dir())


def _library():
    lib = ctypes.CDLL(module_path())
    lib.perform_http_request.restype = ctypes.c_int
    lib.perform_http_request.argtypes = [
        ctypes.c_ulong, ctypes.c_int, ctypes.c_char_p, ctypes.c_void_p,
        ctypes.c_size_t, ctypes.c_char_p, ctypes.c_size_t]
    lib.process_http_response.restype = ctypes.c_int
    lib.process_http_response.argtypes = [
        ctypes.c_void_p, ctypes.c_size_t, ctypes.POINTER(ctypes.c_uint8),
        ctypes.c_char_p, ctypes.c_size_t]
    lib.extract_pgm.restype = ctypes.c_int
    lib.extract_pgm.argtypes = [
        ctypes.c_void_p, ctypes.c_size_t, ctypes.POINTER(ctypes.c_uint16),
        ctypes.POINTER(ctypes.c_uint16), ctypes.POINTER(ctypes.c_uint8),
        ctypes.c_void_p, ctypes.c_size_t]
    return lib


lib = _library()

# The process-wide malloc: under the sanitizer runtime, its own.
_libc = ctypes.CDLL(None)
_libc.malloc.restype = ctypes.c_void_p
_libc.malloc.argtypes = [ctypes.c_size_t]
_libc.free.argtypes = [ctypes.c_void_p]


def ip_of(dotted):
    """The address as inet_addr gives it: network byte order in an int."""
    return struct.unpack("=I", socket.inet_aton(dotted))[0]


def fetch(port, uri=b"/img.pgm", size=BUF_SIZE, ip="127.0.0.1", err_size=ERR_SIZE):
    """Returns (result, response bytes, error text)."""
    buf = ctypes.create_string_buffer(max(size, 1))
    err = ctypes.create_string_buffer(max(err_size, 1))
    n = lib.perform_http_request(ip_of(ip), port, uri, buf, size, err, err_size)
    data = buf.raw[:n] if n > 0 else b""
    return n, data, err.value


def both_ways(call, data, guard=b"\xa5" * 64):
    """call(buffer) on a copy of data, twice: in a malloc'd buffer of
    exactly its length (under make sanitize any read past it is a report),
    and followed by guard bytes, which must come back unchanged (any write
    past it shows in every build).  Both must give the same.  Returns
    (what the call gave, the data after the call)."""
    exact = _libc.malloc(max(len(data), 1))
    assert exact
    try:
        ctypes.memmove(exact, data, len(data))
        first = call(exact), ctypes.string_at(exact, len(data))
    finally:
        _libc.free(exact)
    guarded = ctypes.create_string_buffer(data + guard, len(data) + len(guard))
    second = call(guarded), guarded.raw[:len(data)]
    assert guarded.raw[len(data):] == guard, "wrote past the data"
    assert first == second
    return second


def parse(raw, err_size=ERR_SIZE, guard=b"\xa5" * 64):
    """process_http_response on raw (both ways).  Returns (result, data
    after the call, type code, text)."""
    def process(buf):
        err = ctypes.create_string_buffer(max(err_size, 1))
        code = ctypes.c_uint8(255)
        n = lib.process_http_response(buf, len(raw), ctypes.byref(code), err, err_size)
        return n, code.value, err.value
    (n, code, text), after = both_ways(process, raw, guard)
    return n, after, code, text


def extract(data, err_size=ERR_SIZE, err_fill=b"#"):
    """extract_pgm on data (both ways).  The outputs start as 0xBEEF,
    0xBEEF, 0xEE and the error buffer as err_fill, so that what the call
    writes shows.  Returns (result, width, height, bpp, error buffer, data
    after the call)."""
    def extract_in(buf):
        err = ctypes.create_string_buffer(err_fill * ERR_SIZE, ERR_SIZE)
        width, height, bpp = ctypes.c_uint16(0xBEEF), ctypes.c_uint16(0xBEEF), ctypes.c_uint8(0xEE)
        n = lib.extract_pgm(buf, len(data), ctypes.byref(width), ctypes.byref(height),
                            ctypes.byref(bpp), err, err_size)
        return n, width.value, height.value, bpp.value, err.raw
    result, after = both_ways(extract_in, data)
    return result + (after,)


def timed(call, *args, **kw):
    """(what the call returns, seconds it took)."""
    start = time.time()
    result = call(*args, **kw)
    return result, time.time() - start


def spent_the_budget(took, slack=0.15):
    """Whether a call that ran out of time took its budget, and at most
    `slack` seconds more."""
    return BUDGET - 0.05 < took < BUDGET + slack


def caught(call, *args):
    """What call(*args) returns, or the text of the RuntimeError it raises."""
    try:
        return call(*args)
    except RuntimeError as e:
        return str(e)


def outcome(cam, *uri):
    """What one get_frame call gives: the frame's shape, or the text of its
    RuntimeError."""
    result = caught(cam.get_frame, *uri)
    return getattr(result, "shape", result)


def open_fds():
    # Descriptors that only garbage still holds (an earlier test's server
    # pipes, say) are closed first: the cycle collector would otherwise
    # close them at a moment of its own, between two counts.
    gc.collect()
    return len(os.listdir("/proc/self/fd"))


def resident_kb():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS"):
                return int(line.split()[1])


@contextlib.contextmanager
def descriptors_open(count):
    """Holds sockets open until the process has at least `count`
    descriptors, so that the next ones are past what select() can watch;
    raises the soft limit for the duration, and skips the test when the
    hard limit is too low."""
    import pytest
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    want = count + 200
    if hard != resource.RLIM_INFINITY and hard < want:
        pytest.skip("descriptor limit %d below %d" % (hard, want))
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, want), hard))
    held = []
    try:
        while len(os.listdir("/proc/self/fd")) < count:
            held.append(socket.socket())
        yield
    finally:
        for s in held:
            s.close()
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))

"""A virtual screen for the view's tests and benchmark: Xvfb on a display
of its own, its frame buffer read as a picture, and a window asked to
close as a window manager asks it (WM_DELETE_WINDOW)."""
from __future__ import division

import ctypes
import ctypes.util
import os
import re
import shutil
import struct
import subprocess
import tempfile
import time

import numpy as np

from testkit.processes import ENDS_WITH_US, end, plain_env, read_line

SIZE = (1024, 1280)             # the screen's height and width
XWD_HEADER = struct.Struct(">25I")


class Screen(object):
    """Xvfb with one 24-bit screen, listening on no TCP port; it ends with
    stop() (by its PID), and with the process that made it."""

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="lurvo-screen-")
        read_end, write_end = os.pipe()
        argv = ENDS_WITH_US + ["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                "%dx%dx24" % (SIZE[1], SIZE[0]), "-nolisten", "tcp", "-fbdir", self.folder]
        try:
            kw = {"pass_fds": (write_end,)} if hasattr(os, "set_inheritable") else {}
            self.proc = subprocess.Popen(argv, stdout=open(os.devnull, "w"), env=plain_env(),
                                         stderr=subprocess.STDOUT, close_fds=bool(kw), **kw)
        finally:
            os.close(write_end)
        number = read_line(read_end, 15).strip()
        os.close(read_end)
        if not number.isdigit():
            self.stop()
            raise RuntimeError("Xvfb gave no display number")
        self.display = ":" + number

    def picture(self):
        """The screen as an (height, width, 3) uint8 RGB array."""
        with open(os.path.join(self.folder, "Xvfb_screen0"), "rb") as f:
            data = f.read()
        fields = XWD_HEADER.unpack_from(data)
        header_size, width, height = fields[0], fields[4], fields[5]
        bits_per_pixel, bytes_per_line, colours = fields[11], fields[12], fields[19]
        assert bits_per_pixel == 32, bits_per_pixel
        start = header_size + 12 * colours
        rows = np.frombuffer(data, np.uint8, height * bytes_per_line, start)
        pixels = rows.reshape(height, bytes_per_line)[:, :4 * width].reshape(height, width, 4)
        return pixels[:, :, 2::-1] if fields[7] == 0 else pixels[:, :, 1:]     # byte order

    def stop(self):
        if getattr(self, "proc", None) is not None:
            end(self.proc)
            self.proc = None
        shutil.rmtree(self.folder, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def turn(root, seconds, pause=0.005):
    """Turns a Tk root's event loop for seconds, resting pause between
    turns."""
    deadline = time.time() + seconds
    while time.time() < deadline:
        root.update()
        time.sleep(pause)


class _ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
                ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("data", ctypes.c_long * 5),
                ("pad", ctypes.c_long * 12)]     # an XEvent is 24 longs


def ask_to_close(display, window):
    """Sends the window the WM_DELETE_WINDOW message of a window manager's
    close button."""
    x = ctypes.CDLL(ctypes.util.find_library("X11"))
    x.XOpenDisplay.restype = ctypes.c_void_p
    x.XInternAtom.restype = ctypes.c_ulong
    x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                             ctypes.c_void_p]
    x.XCloseDisplay.argtypes = [ctypes.c_void_p]
    connection = x.XOpenDisplay(display.encode("ascii"))
    assert connection, "cannot open display %s" % display
    try:
        event = _ClientMessage(type=33, window=window, format=32,       # ClientMessage
                               message_type=x.XInternAtom(connection, b"WM_PROTOCOLS", 0))
        event.data[0] = x.XInternAtom(connection, b"WM_DELETE_WINDOW", 0)
        assert x.XSendEvent(connection, window, 0, 0, ctypes.byref(event))
    finally:
        x.XCloseDisplay(connection)     # flushes the event out


def send_key(display, window, key):
    subprocess.call(["xdotool", "key", "--window", str(window), key],
                    env=plain_env(DISPLAY=display))


def window_of(display, name, timeout=20):
    """The id of the visible window of that exact name, waited for."""
    out = subprocess.check_output(
        ["timeout", str(timeout), "xdotool", "search", "--sync", "--onlyvisible", "--name",
         "^%s$" % re.escape(name)], env=plain_env(DISPLAY=display))
    return int(out.split()[0])

"""The command line: python -m lurvo_view [--ip IP] [--port PORT] [--uri URI]
(or lurvo-view), which opens the window."""
from __future__ import print_function

import argparse
import sys


def make_parser():
    parser = argparse.ArgumentParser(
        prog="lurvo-view",
        description="A live view of a lurvo camera: its frames as they come, scaled to fit "
                    "the window, and a status line. Keys: r switches between the contrast "
                    "stretch and the full 16-bit range, s saves the frame shown (PNG and "
                    "PGM), q or Escape ends the view.")
    parser.add_argument("--ip", default="127.0.0.1",
                        help="the camera server's IPv4 address (default 127.0.0.1)")
    parser.add_argument("--port", type=int, default=5557,
                        help="its port (default 5557)")
    parser.add_argument("--uri", default="/img.pgm", help="the frame's path (default /img.pgm)")
    parser.add_argument("--save-dir", default=".", metavar="DIR",
                        help="where s saves frames (default: the current folder)")
    return parser


def main(argv=None):
    args = make_parser().parse_args(argv)
    from lurvo_view import window
    try:
        return window.main_window(args.ip, args.port, args.uri, args.save_dir)
    except window.tk.TclError as error:     # no display, most often
        print("lurvo-view: cannot open a window: %s" % error, file=sys.stderr)
        return 2
    except (TypeError, ValueError) as error:    # an address lurvo refuses
        print("lurvo-view: %s" % error, file=sys.stderr)
        return 2

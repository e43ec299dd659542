"""The demo camera server's command line: the options, their checks, and
the choice of frame source."""
import argparse
import os

from lurvo_camserver.frames import DirFrames, FunctionFrames, Pattern
from lurvo_camserver.http import valid_path
from lurvo_camserver.server import DEFAULT_HOST, DEFAULT_PATH, DEFAULT_PORT, Server, Settings, run

MAX_SIDE = 8192
MAX_PIXELS = 4096 * 4096


def positive_int(limit):
    def check(text):
        try:
            v = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError("%r is not a whole number" % text)
        if not 1 <= v <= limit:
            raise argparse.ArgumentTypeError("%d is outside 1..%d" % (v, limit))
        return v
    return check


def port_number(text):
    try:
        v = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("%r is not a port number" % text)
    if not 0 <= v <= 65535:
        raise argparse.ArgumentTypeError("%d is outside 0..65535" % v)
    return v


def positive_seconds(text):
    try:
        v = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("%r is not a number of seconds" % text)
    if not v > 0 or v != v or v == float("inf"):
        raise argparse.ArgumentTypeError("%r must be above 0" % text)
    return v


def make_parser():
    p = argparse.ArgumentParser(
        prog="lurvo_camserver.py",
        description="Demo camera server for lurvo: answers GET <path> over "
                    "HTTP/1.0 with a binary PGM frame (a moving test pattern, "
                    "or the .pgm files of a folder) and closes the connection.")
    p.add_argument("--host", default=DEFAULT_HOST,
                   help="address to listen on (default %(default)s)")
    p.add_argument("--port", type=port_number, default=DEFAULT_PORT,
                   help="port to listen on; 0 picks a free one (default "
                        "%(default)s). The first line on stdout is always "
                        "'listening on HOST:PORT'")
    p.add_argument("--path", default=DEFAULT_PATH,
                   help="path of the image (default %(default)s); any other "
                        "path gets 404")
    p.add_argument("--width", type=positive_int(MAX_SIDE), default=1280,
                   help="pattern width (default %(default)s)")
    p.add_argument("--height", type=positive_int(MAX_SIDE), default=1024,
                   help="pattern height (default %(default)s)")
    p.add_argument("--bits", type=int, choices=(8, 12, 16), default=16,
                   help="pattern sample depth: maxval 255, 4095 or 65535 "
                        "(default %(default)s)")
    p.add_argument("--dir", metavar="DIR",
                   help="serve the .pgm files of DIR in name order, cycling, "
                        "instead of the pattern")
    p.add_argument("--log", action="store_true",
                   help="print one line per request to stderr")
    p.add_argument("--max-requests", type=positive_int(10 ** 9), metavar="N",
                   help="stop after N connections")
    p.add_argument("--duration", type=positive_seconds, metavar="S",
                   help="stop after S seconds")
    p.add_argument("--request-timeout", type=positive_seconds, default=2.0,
                   metavar="S",
                   help="time a client has to send its request (default "
                        "%(default)s); a late one gets 408")
    p.add_argument("--send-timeout", type=positive_seconds, default=10.0,
                   metavar="S", help=argparse.SUPPRESS)
    return p


def frame_source(parser, args, frames):
    """The source the options choose, or exits through the parser."""
    if frames is not None:
        return FunctionFrames(frames)
    if args.dir is not None:
        if not os.path.isdir(args.dir):
            parser.error("--dir %s is not a folder" % args.dir)
        try:
            return DirFrames(args.dir)
        except (ValueError, OSError) as e:
            parser.error("--dir: %s" % e)
    if args.width * args.height > MAX_PIXELS:
        parser.error("--width x --height is above %d pixels" % MAX_PIXELS)
    return Pattern(args.width, args.height, args.bits)


def main(argv=None, frames=None):
    """The demo server's command line; with frames, a function as serve()
    takes it, serves that function's frames instead of the pattern."""
    parser = make_parser()
    args = parser.parse_args(argv)
    if not valid_path(args.path):
        parser.error("--path must start with / and hold no space")
    source = frame_source(parser, args, frames)
    settings = Settings(host=args.host, port=args.port, path=args.path,
                        max_requests=args.max_requests, duration=args.duration,
                        request_timeout=args.request_timeout,
                        send_timeout=args.send_timeout, log=args.log)
    return run(Server(settings, source))

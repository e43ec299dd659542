"""A camera server for lurvo: answers "GET <path>" with a binary PGM frame.

Serving your own camera's frames: give serve() (or main(), for the same
command line as the demo) a function that returns the next frame, either
as a 2-D NumPy array of uint8 or uint16 with its maxval, or as the bytes
of a binary PGM:

    import lurvo_camserver

    def grab():
        return camera.read(), 4095          # say, 12-bit samples in uint16

    lurvo_camserver.serve(grab, port=5557)  # or: lurvo_camserver.main(frames=grab)

Each frame goes out as a PGM in the one header form lurvo accepts, in an
HTTP/1.0 response whose header block is small enough for a 1280x1024
16-bit frame in lurvo's buffer; the connection is closed after it.  The
function is called once per request, one call at a time, on the thread
that answers the request.  When it raises, or returns something that is
no frame, the client gets "500 Internal Server Error", the reason goes to
stderr as one line, and the server goes on serving.  It stops after
max_requests connections or duration seconds when they are given, and on
SIGTERM or SIGINT when it runs on the main thread.

Run as a program (python -m lurvo_camserver), it is the demo camera server.

Without --dir it serves a moving synthetic test pattern, each request the
next frame.  A frame is, from top to bottom:

  * a counter band (the top rows, at most 16): the frame number in binary,
    most significant bit on the left, one block of columns per bit (up to
    32 bits); a block is maxval for a 1 and 0 for a 0;
  * below it a diagonal ramp, sample (x, y) rising from 0 at the top left
    to maxval at the bottom right, crossed by a vertical bar at maxval
    that steps across the width over 16 frames.

With --dir DIR it serves the .pgm files of DIR in name order, cycling.

Every response is HTTP/1.0 and the connection is closed after it.  The
package uses only the standard library (and NumPy for the arrays a frame
function returns) and runs on Python 2.7 and 3.  Its modules: pgm (PGM
written and read), http (the response head and the request line), frames
(the sources), server (the loop and its Settings) and cli (the command
line).
"""
from lurvo_camserver.cli import main
from lurvo_camserver.frames import FunctionFrames
from lurvo_camserver.http import valid_path
from lurvo_camserver.pgm import parse_pgm, pgm_bytes, pgm_header, pgm_parts
from lurvo_camserver.server import DEFAULT_HOST, DEFAULT_PATH, DEFAULT_PORT, Server, Settings, run

__all__ = ["serve", "main", "Settings", "pgm_bytes", "pgm_parts", "pgm_header", "parse_pgm",
           "DEFAULT_HOST", "DEFAULT_PORT", "DEFAULT_PATH"]


def serve(frames, host=DEFAULT_HOST, port=DEFAULT_PORT, path=DEFAULT_PATH,
          max_requests=None, duration=None, request_timeout=2.0, log=False):
    """Serves frames() to GET path on host:port until max_requests
    connections or duration seconds (each when given) or a signal, then
    returns 0.  frames returns (2-D uint8 or uint16 array, maxval) or PGM
    bytes.  Port 0 picks a free port; the first line on stdout is always
    'listening on HOST:PORT'."""
    if not valid_path(path):
        raise ValueError("path %r must start with / and hold no space" % path)
    settings = Settings(host=host, port=port, path=path, max_requests=max_requests,
                        duration=duration, request_timeout=request_timeout, log=log)
    return run(Server(settings, FunctionFrames(frames)))

"""Python's own file server (http.server, SimpleHTTPServer on 2.7) serving
lurvo's frames from one folder on one address, which Python 2.7's command
line cannot choose:

    python python_http.py HOST PORT ROOT

Its type table maps .pgm to image/x-portable-graymap already."""
import os
import sys

try:
    from http.server import HTTPServer, SimpleHTTPRequestHandler
except ImportError:
    from BaseHTTPServer import HTTPServer
    from SimpleHTTPServer import SimpleHTTPRequestHandler

host, port, root = sys.argv[1], int(sys.argv[2]), sys.argv[3]
os.chdir(root)
HTTPServer((host, port), SimpleHTTPRequestHandler).serve_forever()

"""The HTTP/1.0 of the camera server: the head of every response, and the
request line it reads."""

STATUS_TEXT = {
    200: "OK",
    400: "Bad Request",
    404: "Not Found",
    405: "Method Not Allowed",
    408: "Request Timeout",
    500: "Internal Server Error",
}
PGM_TYPE = "image/x-portable-graymap"


def http_head(status, content_type, length, extra=()):
    lines = ["HTTP/1.0 %d %s" % (status, STATUS_TEXT[status]),
             "Content-Type: " + content_type,
             "Content-Length: %d" % length]
    lines.extend(extra)
    return ("\r\n".join(lines) + "\r\n\r\n").encode("ascii")


def text_reply(status, text, extra=()):
    body = text.encode("ascii", "replace")
    return http_head(status, "text/plain; charset=us-ascii", len(body), extra) + body


def find_header_end(buf):
    """Index just past the empty line that ends the request, or -1.
    Lines may end in LF or CRLF."""
    ends = [i for i in (buf.find(b"\n\n"), buf.find(b"\n\r\n")) if i >= 0]
    if not ends:
        return -1
    i = min(ends)
    return i + (2 if buf[i:i + 2] == b"\n\n" else 3)


def _is_version(version):
    return (version.startswith(b"HTTP/") and len(version) == 8
            and version[5:6].isdigit() and version[6:7] == b"."
            and version[7:8].isdigit())


def parse_request_line(head):
    """Returns (method, path) or None when the request line is not
    "<METHOD> <path> HTTP/<x>.<y>"."""
    line = head.split(b"\n", 1)[0]
    if line.endswith(b"\r"):
        line = line[:-1]
    parts = line.split(b" ")
    if len(parts) != 3:
        return None
    method, path, version = parts
    if not method.isalpha() or not method.isupper():
        return None
    if not path.startswith(b"/") or not _is_version(version):
        return None
    try:
        return method.decode("ascii"), path.decode("ascii")
    except UnicodeDecodeError:
        return None


def valid_path(path):
    """A path that a request line can carry as it is."""
    return path.startswith("/") and " " not in path

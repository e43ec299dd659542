"""The strict check of an HTTP response and its in-place header scan."""
import pytest

from testkit.responses import PGM_TYPE_LINE, STATUS_OK
from testkit.stages import NO_END, STATUS_ONLY, parse

BODY = b"\x01\x02\x03\x04"
UNSCANNED = b"a:b\r\n\r\n\x00\n\nContent-Type: image/png\r\n\r\n\x00"


def accepted(raw):
    n, buf, code, text = parse(raw)
    assert n >= 0, text
    assert text == b"no error"
    return buf[:n], code


class TestAccepted(object):
    @pytest.mark.parametrize("status", [STATUS_OK, b"HTTP/1.1 200 OK\r\n"])
    @pytest.mark.parametrize("name", [b"Content-Type", b"Content-type"])
    def test_body_moves_to_the_start(self, status, name):
        raw = status + name + b": image/x-portable-graymap\r\n\r\n" + BODY
        assert accepted(raw) == (BODY, 3)

    @pytest.mark.parametrize("line,code", [
        (b"Content-Type: image/png", 1),
        (b"Content-Type: image/jpeg", 2),
        (b"Content-Type:image/png", 1),
        (b"Content-Type:    image/png", 1),
        (b"content-type: image/png", 0),
        (b"CONTENT-TYPE: image/png", 0),
        (b"Content-Type : image/png", 0),
        (b"Content-Type: image/png ", 0),
        (b"Content-Type: image/png; q=1", 0),
        (b"Content-Type:\timage/png", 0),
        (b" Content-Type: image/png", 1),
        (b"Content-Type: IMAGE/PNG", 0),
        (b"Content-Type: text/plain", 0),
        (b"X-Content-Type: image/png", 0),
        (b"Content-Type:", 0),
        (b"Content-Type", 0),
        (b": image/png", 0),
    ])
    def test_content_type_is_matched_exactly(self, line, code):
        raw = STATUS_OK + b"Server: x\r\n" + line + b"\r\n\r\n" + BODY
        assert accepted(raw) == (BODY, code)

    @pytest.mark.parametrize("second,code", [
        (b"Content-Type: text/plain", 3),
        (b"Content-Type: image/jpeg", 2),
        (b"Content-type: image/png", 1),
    ])
    def test_last_recognised_content_type_wins(self, second, code):
        raw = STATUS_OK + PGM_TYPE_LINE + second + b"\r\n\r\n" + BODY
        assert accepted(raw) == (BODY, code)

    @pytest.mark.parametrize("raw,body", [
        (STATUS_OK + PGM_TYPE_LINE.rstrip() + end + BODY, BODY)
        for end in (b"\r\n\r\n", b"\n\n", b"\n\r\n", b"\r\n\r\r\n")] + [
        (STATUS_OK + PGM_TYPE_LINE + line + b"\r\n" + BODY, BODY)     # a line of colons
        for line in (b":", b"::", b":\r:")] + [
        # A line of spaces and a colon does not end it.
        (STATUS_OK + PGM_TYPE_LINE + b"  :\r\nX: y\r\n\r\n" + BODY, BODY),
        # Nor does an empty line right after the status: the scan goes on
        # into what follows as if it were header lines.
        (STATUS_OK + b"\r\n" + PGM_TYPE_LINE + b"\r\n" + BODY, BODY),
        (STATUS_OK + PGM_TYPE_LINE + b"\r\n", b""),                 # an empty body
        (STATUS_OK + PGM_TYPE_LINE + b"\r\n" + UNSCANNED, UNSCANNED),  # never scanned
    ])
    def test_header_block_ends_at_an_empty_line(self, raw, body):
        assert accepted(raw) == (body, 3)

    def test_bytes_after_the_response_are_untouched(self):
        # Bytes a scan past the end would change; parse checks that they
        # come back as they were.
        raw = STATUS_OK + PGM_TYPE_LINE + b"\r\n" + BODY
        n, buf, _, _ = parse(raw, guard=b"\n\r:GUARD")
        assert buf[:n] == BODY


class TestRefused(object):
    @pytest.mark.parametrize("raw,text", [(raw, b"cannot dispatch response") for raw in [
        b"", b"HTTP/1.0 200", b"HTTP/1.0 200 ",             # fewer than 14 bytes
        b"HTTP/1.2 200 OK\r\n\r\n", b"http/1.0 200 OK\r\n\r\n",
        b"HTTP/1.0\t200 OK\r\n\r\n",
        b"ICY 200 OK\r\n\r\n\r\n\r\n",
        b"HTTP/1.0 200 OK\n" + PGM_TYPE_LINE.rstrip(b"\r\n") + b"\n\n" + BODY,  # no CR anywhere
    ]] + [(raw, b"HTTP response: " + status) for raw, status in [      # not 200 OK
        (b"HTTP/1.0 404 Not Found\r\nContent-Type: text/plain\r\n\r\nnope", b"404 Not Found"),
        (b"HTTP/1.1 500 Internal Server Error\r\n\r\n", b"500 Internal Server Error"),
        (b"HTTP/1.0 200 Ok\r\n" + PGM_TYPE_LINE + b"\r\n" + BODY, b"200 Ok"),
        (b"HTTP/1.0 200 OK\r", b"200 OK"),
        (b"HTTP/1.0 200\r\n", b"200"),                  # 14 bytes: long enough
        (b"HTTP/1.0  200 OK\r\n\r\n", b" 200 OK"),
        (b"HTTP/1.0 200 OK \r\n" + PGM_TYPE_LINE + b"\r\n", b"200 OK "),
        # A status line ended by LF alone runs on to the next CR.
        (b"HTTP/1.0 200 OK\n" + PGM_TYPE_LINE + b"\r\n", b"200 OK\n" + PGM_TYPE_LINE[:-2]),
    ]] + [(STATUS_OK, STATUS_ONLY.encode())] + [(STATUS_OK + tail, NO_END.encode()) for tail in [
        PGM_TYPE_LINE, PGM_TYPE_LINE + b"\r", PGM_TYPE_LINE + b"X-A: b",
        PGM_TYPE_LINE + b"\x00\r\n\r\n" + BODY,      # NUL stops the scan
        b"X-A: b\x00\r\n" + PGM_TYPE_LINE + b"\r\n" + BODY,
        b"\r\nP5\n2 2\n255\n" + BODY,                # an empty line right after the status
    ]])
    def test_refused_with_its_text(self, raw, text):
        assert parse(raw)[::3] == (-1, text)

    def test_long_status_text_is_cut_to_the_error_buffer(self):
        raw = b"HTTP/1.0 404 " + b"x" * 3000 + b"\r\n\r\n"
        n, _, _, text = parse(raw, err_size=32)
        assert (n, text) == (-1, (b"HTTP response: 404 " + b"x" * 3000)[:31])

    def test_type_is_reset_on_entry_even_when_refused(self):
        assert parse(b"garbage")[2] == 0

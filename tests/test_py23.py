# -*- coding: utf-8 -*-
"""What a caller sees differ between Python 2.7 and 3 (the README's table):
the exception, or the request line that reaches the server."""
import sys

import pytest

import lurvo
from testkit.responses import GOOD, GOOD_FRAME
from testkit.scripted_server import closed_port, serving

PY2 = sys.version_info[0] == 2

# what is passed: ip, uri;                 Python 2.7;                 Python 3
ROWS = [
    ("127.0.0.1\0x", "/a",                 TypeError,                  ValueError),
    ("127.0.0.1", "/a\0x",                 TypeError,                  ValueError),
    ("127.0.0.1", u"/\u00e9",              UnicodeEncodeError,         b"GET /\xc3\xa9 HTTP/1.0"),
    (b"127.0.0.1", "/a",                   b"GET /a HTTP/1.0",         TypeError),
    ("127.0.0.1", b"/\xc3\xa9",            b"GET /\xc3\xa9 HTTP/1.0",  TypeError),
]


@pytest.mark.parametrize("ip,uri,py2,py3", ROWS)
def test_python_2_and_3(ip, uri, py2, py3):
    expected = py2 if PY2 else py3
    if isinstance(expected, bytes):
        with serving(GOOD) as srv:
            assert lurvo.cam(ip, srv.port).get_frame(uri).tolist() == GOOD_FRAME
        assert srv.requests() == [expected + b"\n\n"]
    else:
        with pytest.raises(expected) as info:
            lurvo.cam(ip, closed_port()).get_frame(uri)
        assert info.type is expected

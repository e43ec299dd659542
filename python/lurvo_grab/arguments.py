"""What lurvo makes of a grabber's arguments, found in the caller's process
before anything reaches the child: a bad argument raises here, at once,
exactly what lurvo.cam or get_frame would raise, and a good one crosses to
the child as the bytes the module would use.

get_frame reads its uri with the interpreter's argument parser and the
format "|s:get_frame"; calling that same parser with the same format,
through ctypes.pythonapi (which keeps the interpreter lock and raises the
exception the parser sets), gives the same exception type and text on
every Python without copying any of them here.
"""
import ctypes

import lurvo



def _parser(*outputs):
    """PyArg_ParseTuple for these output types (a function object of its
    own: the parser takes a variable argument list)."""
    parse = ctypes.pythonapi["PyArg_ParseTuple"]
    parse.restype = ctypes.c_int
    parse.argtypes = [ctypes.py_object, ctypes.c_char_p] + [ctypes.POINTER(o) for o in outputs]
    return parse


_parse_uri = _parser(ctypes.c_char_p)
_parse_address = _parser(ctypes.c_char_p, ctypes.c_ushort)


def uri_bytes(uri):
    """The bytes get_frame(uri) would put in its request line."""
    text = ctypes.c_char_p()
    _parse_uri((uri,), b"|s:get_frame", ctypes.byref(text))
    return text.value


def address(ip, port):
    """(ip bytes, port number) as lurvo.cam(ip, port) keeps them; raises
    what lurvo.cam raises for them."""
    lurvo.cam(ip, port)
    text, number = ctypes.c_char_p(), ctypes.c_ushort()
    _parse_address((ip, port), b"|sH", ctypes.byref(text), ctypes.byref(number))
    return text.value, number.value

"""What crosses between a grabber and its child besides the frames: the
messages on their socket, and how an exception is written into a slot.

A message is 8 bytes, written whole: a kind, a slot and a value (the
length of the uri waiting in the shared memory).  The parent sends

    GRAB slot len     grab the uri into the slot, answer DONE slot
    STREAM len        grab the uri back to back into the slots lent to the
    STREAM_LATEST len   child: each outcome in order (FRAME slot), or only
                      the newest, through the control block (NEWS)
    RELEASE slot      lend the slot to the streaming child
    STOP              end the stream: answered by STOPPED, after which every
                      slot is the parent's again

and the child READY once it runs.  Nothing is pickled: an outcome lies in
its slot's header, with an exception's type as a code and its text as
bytes, and rebuilt by the parent as the same type with the same text.
"""
import struct
import sys

MESSAGE = struct.Struct("<BBxxI")

GRAB, STREAM, STREAM_LATEST, RELEASE, STOP = range(1, 6)
READY, DONE, FRAME, NEWS, STOPPED = range(11, 16)

PY3 = sys.version_info[0] >= 3

# Code 0 is a frame; get_frame raises the first two; the others cover any
# other exception a grab could meet.  A type not listed arrives as a
# RuntimeError whose text starts with the type's name.
FRAME_CODE = 0
EXCEPTIONS = [RuntimeError, MemoryError, ValueError, TypeError, OverflowError, EnvironmentError]
OTHER_CODE = len(EXCEPTIONS) + 1


def pack(kind, slot=0, value=0):
    return MESSAGE.pack(kind, slot, value)


class Reader(object):
    """Cuts what the socket gives into messages, keeping a part of one for
    the next read."""

    def __init__(self):
        self._rest = b""

    def feed(self, data):
        data = self._rest + data
        whole = len(data) - len(data) % MESSAGE.size
        self._rest = data[whole:]
        return [MESSAGE.unpack_from(data, at) for at in range(0, whole, MESSAGE.size)]


def _text_bytes(text):
    if PY3 or not isinstance(text, bytes):
        return text.encode("utf-8", "surrogatepass" if PY3 else "strict")
    return text


def _text_of(data):
    return data.decode("utf-8", "surrogatepass") if PY3 else data


def describe(error):
    """(code, text bytes) of an exception raised by a grab."""
    kind = type(error)
    try:
        text = str(error)
    except UnicodeError:            # Python 2: text beyond ASCII
        text = repr(error.args)
    if kind in EXCEPTIONS:
        return EXCEPTIONS.index(kind) + 1, _text_bytes(text)
    return OTHER_CODE, _text_bytes("%s: %s" % (kind.__name__, text))


def rebuild(code, data):
    """The exception that `describe` wrote down."""
    kind = EXCEPTIONS[code - 1] if 0 < code <= len(EXCEPTIONS) else RuntimeError
    return kind(_text_of(data))

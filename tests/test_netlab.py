"""get_frame over a real, shaped and lossy TCP link (tests/testkit/link_lab.py):
whatever the link does, every call ends within the budget and a little,
with the served frame or a transport text, and leaves no descriptor open.

The lab runs in the Python 2.7 suites, the plain one and the sanitizer's:
the Python 3 build shares every line the link exercises."""
import shutil
import sys
import tempfile

import pytest

from testkit import link_lab, unavailable
from testkit.link_lab import CALL_LIMIT, TRANSPORT_TEXTS

BIG = (1280, 1024, 65535)       # 2.6 MB: 0.87 s at 25 Mbit/s, 1.4 s at 15
SMALL = (300, 250, 255)         # 75 kB: 0.6 s at 1 Mbit/s
pytestmark = [pytest.mark.root, pytest.mark.netns]


@pytest.fixture(scope="module")
def lab():
    if sys.version_info[0] >= 3:
        pytest.skip("the link lab runs in the Python 2.7 suites only")
    folder = tempfile.mkdtemp(prefix="lurvo-lab-")
    try:
        with link_lab.Lab("t") as made:
            made.ports = dict((kind, made.start_camserver(
                link_lab.write_frame("%s/%d" % (folder, kind[0]), kind), seconds=120))
                for kind in (BIG, SMALL))
            yield made
    except link_lab.LabUnavailable as e:
        unavailable(str(e))
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def calls(lab, kind, count, contenders=("lurvo",), **kw):
    return lab.client_calls(list(contenders), lab.ports[kind], "/img.pgm", kind, count, **kw)


@pytest.mark.parametrize("rate, loss_permille, count, only", [
    (25 * 10**6, 10, 8, None),
    (15 * 10**6, 0, 3, "receive timeout ("),    # the frame needs more than the budget
])
def test_every_call_ends_in_time_with_the_frame_or_a_transport_text(
        lab, rate, loss_permille, count, only):
    lab.shape(rate, loss_permille)
    result = calls(lab, BIG, count)["lurvo"]
    for seconds, outcome in result["calls"]:
        assert seconds < CALL_LIMIT, (seconds, outcome)
        assert outcome.startswith(only or TRANSPORT_TEXTS) or (not only and outcome == "frame")
    assert result["fds"][0] == result["fds"][1]


def test_connect_late_in_the_budget_leaves_the_response_only_the_rest(lab):
    # At 1 Mbit/s the filler holds the server's queue for 0.75 s, so its
    # answer to the connection attempt arrives 0.7 s into the call; the
    # response then needs 0.6 s more, past the one budget of the call.
    lab.shape(10**6, queue_seconds=2)
    filler = lab.start_filler(93750)
    result = calls(lab, SMALL, 1, ("connect", "lurvo"), trigger=filler)
    assert 0.5 < result["connect"]["calls"][0][0] < 0.95
    seconds, outcome = result["lurvo"]["calls"][0]
    assert seconds < CALL_LIMIT, (seconds, outcome)
    assert outcome == "frame" or outcome.startswith(TRANSPORT_TEXTS)

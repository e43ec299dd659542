"""lurvo_grab: get_frame in child processes.  What a grab gives equals what
get_frame gives; several cameras run at once; streams keep their order or
only the newest, with their counters; a child killed, crashed or stopped
makes the call raise, bounded in time; children end with their parent
however it ends; nothing is left in /dev/shm.  Test servers run in
processes of their own (get_frame keeps the lock while it waits)."""
import os
import re
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import lurvo
from lurvo_grab import Grabber, as_ready, first_ready, grab_all
from lurvo_grab.many import outcome
from lurvo_grab.process import SESSION
from testkit.mixed_calls import KINDS, LONG_URI
from testkit.processes import end, eventually, read_line, wait_exit
from testkit.responses import GOOD, frame_response
from testkit.grabbing import (NOT_FOUND, PARENT, SILENT, await_ready, gone, number_of, numbered,
                              page_faults, same, server, sixteen_bit)
from testkit.scripted_server import closed_port
from testkit.stages import CONNECTION_REFUSED, RECEIVE_TIMEOUT, UNDER_EMULATOR, UNDER_SANITIZER

PY3 = sys.version_info[0] >= 3
SHM = "/dev/shm"


@pytest.fixture(autouse=True)
def shm_unchanged():
    before = set(os.listdir(SHM))
    yield
    # Other processes of the machine come and go in /dev/shm: only what
    # stays counts.
    assert eventually(lambda: not set(os.listdir(SHM)) - before, 3, step=0.1)


# -- what a grab gives ------------------------------------------------------

BIG_8BIT = frame_response(1620, 1618, 255, (np.arange(1620 * 1618) % 251).astype(np.uint8).tobytes())
# (what the server plays for each of the three calls, or None where no
# connection is made; the uri)
OUTCOMES = [(script, "/kind%d.pgm" % i) for i, (script, _) in enumerate(KINDS)] + [
    ([("send", BIG_8BIT)], "/big.pgm"),             # near the largest frame a slot holds
    (None, 5),
    (None, "/a\0b"),
    (None, LONG_URI),
    ([("send", GOOD)] if PY3 else None, u"/\u00e9"),  # UTF-8 on 3, UnicodeEncodeError on 2.7
]


def test_grabs_and_views_equal_get_frame():
    scripts = [script for script, _ in OUTCOMES if script is not None for _ in range(3)]
    with server(*scripts, duration=30) as srv:
        cam = lurvo.cam("127.0.0.1", srv.port)
        copies, views, direct = [], [], []
        with Grabber("127.0.0.1", srv.port) as grabber:
            for _, uri in OUTCOMES:
                copies.append(outcome(grabber.grab, uri))
                view = outcome(grabber.grab, uri, True)
                if isinstance(view, np.ndarray):    # valid until the next grab hands out
                    assert not view.flags["OWNDATA"] and not view.flags["WRITEABLE"]
                    view = view.copy()
                views.append(view)
                direct.append(outcome(cam.get_frame, uri))
        requests = srv.requests()
    # compared at the end: a frame must not change with the next grabs
    for i, (copy, view, want) in enumerate(zip(copies, views, direct)):
        assert same(copy, want) and same(view, want), (i, copy, view, want)
        if isinstance(copy, np.ndarray):
            assert copy.flags["OWNDATA"] and copy.flags["C_CONTIGUOUS"]
    assert requests == [b"GET " + (uri.encode("utf-8")) + b" HTTP/1.0\n\n"
                        for script, uri in OUTCOMES if script is not None for _ in range(3)]


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizer's allocator has a policy of its own")
def test_the_child_reuses_the_memory_of_its_last_frame():
    # glibc maps a block larger than any it has freed before in pages of
    # its own and hands them back on free: each taller frame would fault
    # its megabytes in again, more than the copy of the frame costs.  The
    # heap may still grow once, where a Python object took part of a
    # frame's old place, hence the median grab.
    taller = [frame_response(1620, h, 255, b"\x07" * (1620 * h)) for h in range(1500, 1620, 16)]
    with server(*[[("send", frame)] for frame in taller]) as srv, Grabber("127.0.0.1", srv.port) as grabber:
        grabber.grab()
        faults = []
        for _ in taller[1:]:
            before = page_faults(grabber.pid)
            grabber.grab()
            faults.append(page_faults(grabber.pid) - before)
    assert sorted(faults)[len(faults) // 2] < 100, faults


@pytest.mark.parametrize("args,kw,wanted", [
    ((1,), {}, None),
    (("127.0.0.1", "5557"), {}, None),
    ((), {"ip": "127.0.0.1\0"}, None),
    (("127.0.0.1", 5557, 2), {}, ValueError("slots must be 3 to 32")),
    ((), {"timeout": 0}, ValueError("timeout must be positive")),
], ids=["ip not text", "port not a number", "NUL in ip", "too few slots", "no time"])
def test_bad_arguments_raise_at_once(args, kw, wanted):
    """None: what lurvo.cam raises for them."""
    if wanted is None:
        wanted = outcome(lambda: lurvo.cam(*args, **kw))
    assert same(outcome(lambda: Grabber(*args, **kw)), wanted)


# -- several cameras --------------------------------------------------------

# (what each camera's server plays, twice; what a grab gives: a frame's
# values or the exact text), the fast ones first.
CAMERAS = [
    ([("send", GOOD)], [[1, 2, 3], [0xfffe, 0x8000, 0]]),
    ([("send", NOT_FOUND)], "HTTP response: 404 Not Found"),
    (None, CONNECTION_REFUSED),
    ([("sleep", 0.6), ("send", numbered(7))], [[7 << 8, 7 << 8]]),
    (SILENT, RECEIVE_TIMEOUT),
]


def test_many_cameras_at_once_some_failing():
    servers = [server(script, script) if script else None for script, _ in CAMERAS]
    for srv in servers:
        if srv:
            srv.__enter__()
    try:
        ports = [srv.port if srv else closed_port() for srv in servers]
        grabbers = [Grabber("127.0.0.1", port) for port in ports]
        for grabber in grabbers:
            await_ready(grabber)
        started = time.time()
        together = grab_all(grabbers)
        took = time.time() - started
        order = [i for i, answer in as_ready(grabbers)]
        for grabber in grabbers:
            grabber.close()
    finally:
        for srv in servers:
            if srv:
                srv.stop(abandon=True)
    for answer, (_, want) in zip(together, CAMERAS):
        assert (answer.tolist() if isinstance(answer, np.ndarray) else str(answer)) == want
    assert took < 1.5, "the grabs took their sum (%.2f s), not the slowest one's time" % took
    assert sorted(order[:3]) == [0, 1, 2] and order[3:] == [3, 4]


def test_first_ready_leaves_the_others_pending():
    with server([("send", GOOD)]) as fast, server([("sleep", 0.4), ("send", GOOD)]) as slow:
        with Grabber("127.0.0.1", slow.port) as late, Grabber("127.0.0.1", fast.port) as early:
            first = first_ready([late, early])
            assert first[0] == 1 and late.pending and not early.pending
            assert late.result().tolist() == first[1].tolist()
            with pytest.raises(ValueError):
                grab_all([early, early])


def test_other_threads_run_while_a_grab_waits():
    gaps, done = [0.0], threading.Event()

    def tick():
        last = time.time()
        while not done.wait(0.001):
            gaps[0] = max(gaps[0], time.time() - last)
            last = time.time()

    with server([("sleep", 0.5), ("send", GOOD)]) as srv, Grabber("127.0.0.1", srv.port) as grabber:
        await_ready(grabber)
        ticker = threading.Thread(target=tick)
        ticker.start()
        try:
            frame = grabber.grab()
        finally:
            done.set()
            ticker.join()
    assert frame.tolist() == [[1, 2, 3], [0xfffe, 0x8000, 0]]
    assert gaps[0] < 0.1, "the other thread stopped for %.3f s" % gaps[0]


# -- streams ----------------------------------------------------------------

def test_every_frame_in_order_even_when_the_caller_falls_behind():
    scripts = [[("send", numbered(i) if i != 3 else NOT_FOUND)] for i in range(7)]
    with server(*scripts) as srv, Grabber("127.0.0.1", srv.port, slots=4) as grabber:
        got = []
        with grabber.frames(on_error="yield") as stream:
            for answer in stream:
                got.append(answer)
                if len(got) == 1:
                    time.sleep(0.3)     # the child fills every slot, then waits
                if len(got) == 7:
                    break
            seen = stream.grabbed
        assert [number_of(a) if isinstance(a, np.ndarray) else str(a) for a in got] == [
            0, 1, 2, "HTTP response: 404 Not Found", 4, 5, 6]
        # Past the seventh the server is gone: every later grab fails.
        assert (seen, stream.grabbed, stream.dropped) == (6, 6, 0) and stream.failed >= 1


@pytest.mark.parametrize("on_error", ["skip", "raise"])
def test_a_failed_grab_is_skipped_or_ends_the_stream(on_error):
    # The failures last longer than the grabber's bound: each is an answer.
    failures = [[("sleep", 0.2), ("send", NOT_FOUND)]] * 4
    scripts = [[("send", numbered(0))]] + failures + [[("send", numbered(5))]]
    with server(*scripts) as srv, Grabber("127.0.0.1", srv.port, timeout=0.5) as grabber:
        stream = grabber.frames(on_error=on_error)
        first = next(stream)
        if on_error == "skip":
            assert number_of(next(stream)) == 5 and stream.failed >= 4
        else:
            with pytest.raises(RuntimeError, match="^HTTP response: 404 Not Found$"):
                next(stream)
            assert list(stream) == []
            srv.stop(abandon=True)      # the rest of its scripts are not asked for
        stream.close()
    assert number_of(first) == 0


def test_latest_only_drops_what_the_caller_has_no_time_for():
    scripts = [[("sleep", 0.005), ("send", sixteen_bit(i))] for i in range(400)]
    with server(*scripts, duration=20) as srv, Grabber("127.0.0.1", srv.port) as grabber:
        taken = []
        with grabber.frames(latest=True, on_error="yield") as stream:
            for answer in stream:
                taken.append(answer)
                if len(taken) == 5:
                    break
                time.sleep(0.1)
        srv.stop(abandon=True)
        numbers = [int(frame[0, 0]) for frame in taken]
    assert numbers == sorted(set(numbers)) and numbers[-1] - numbers[0] > 4 * 5
    assert stream.dropped > 0
    # Every outcome of the stream was handed out or dropped.
    assert stream.grabbed + stream.failed == len(taken) + stream.dropped


# -- a child that dies or stops; a parent that ends ---------------------------

@pytest.mark.parametrize("signum, text", [
    (signal.SIGKILL, r"^lurvo_grab: the grabbing child \(pid \d+\) was killed by signal 9 \(SIGKILL\)$"),
    (signal.SIGSTOP, r"^lurvo_grab: the grabbing child \(pid \d+\) gave no answer within 1\.5 s, "
                     r"and was ended with SIGKILL$"),
], ids=["killed", "stopped"])
def test_a_lost_child_fails_the_call_and_the_next_one_starts_another(signum, text):
    with server([("sleep", 0.9), ("send", GOOD)], [("send", GOOD)]) as srv, \
            Grabber("127.0.0.1", srv.port, timeout=1.5) as grabber:
        await_ready(grabber)
        grabber.request()
        first = grabber.pid
        time.sleep(0.2)                 # in get_frame
        os.kill(first, signum)
        answers = []
        waiter = threading.Thread(target=lambda: answers.append(outcome(grabber.result)))
        started = time.time()
        waiter.daemon = True
        waiter.start()
        waiter.join(10)
        took = time.time() - started
        assert answers, "the call did not end"
        assert isinstance(answers[0], RuntimeError) and re.match(text, str(answers[0])), answers
        assert took < 3 and gone(first)
        assert grabber.grab().shape == (2, 3) and grabber.pid != first


@pytest.mark.parametrize("signum, waits", [
    (signal.SIGKILL, "time.sleep(30)"),
    (signal.SIGINT, "grabbers[0].result()"),       # Ctrl-C in the middle of a wait
], ids=["parent killed", "parent interrupted"])
def test_children_end_with_their_parent(signum, waits):
    with server(*[[("sleep", 2.5), ("send", GOOD)]] * 2, duration=10) as srv:
        # A process group of its own, which a Ctrl-C reaches whole, as from
        # a terminal: the children, in sessions of their own, are not in it.
        parent = subprocess.Popen([sys.executable, "-c", PARENT % (closed_port(), srv.port, waits)],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, **SESSION)
        try:
            children = [int(pid) for pid in read_line(parent.stdout.fileno(), 30).split()]
            assert len(children) == 3 and not any(gone(pid) for pid in children)
            os.killpg(parent.pid, signum)
            assert wait_exit(parent, 5) is not None
            started = time.time()
            # Natively well within the second, which tells the kernel's
            # signal at the parent's death from the end of the child's grab
            # (get_frame's budget, about half a second on); an emulated
            # process takes longer to end, the more so on a busy machine.
            assert eventually(lambda: all(gone(pid) for pid in children),
                              5.0 if UNDER_EMULATOR else 1.0)
            assert UNDER_EMULATOR or time.time() - started < 0.5
            err = parent.stderr.read().decode()
            # One KeyboardInterrupt, the parent's: none of the children got one.
            assert err.count("Traceback") == (signum == signal.SIGINT), err
        finally:
            end(parent)
        srv.stop(abandon=True)


def test_close_lets_an_idle_child_end_by_itself():
    grabber = Grabber("127.0.0.1", closed_port(), timeout=1)
    assert str(outcome(grabber.grab)) == CONNECTION_REFUSED
    child = grabber._link.proc
    started = time.time()
    grabber.close()
    grabber.close()
    # It saw the end of the socket: no copy of this end stayed open in it
    # (close() would then wait out its bound, 1 s, and kill it).  An
    # emulated child takes most of that second to exit: its status says it.
    assert (child.returncode, UNDER_EMULATOR or time.time() - started < 0.5) == (0, True)
    assert same(outcome(grabber.grab), ValueError("the grabber is closed"))


def test_a_grabber_made_in_a_passing_thread_keeps_its_child():
    # The kernel's signal at the parent's death fires when the thread that
    # started the child ends, not the process.
    with server([("send", GOOD)], [("send", GOOD)]) as srv:
        made = []

        def make():
            made.append(Grabber("127.0.0.1", srv.port))
            made[0].grab()              # the child runs, and has asked for the signal
        maker = threading.Thread(target=make)
        maker.start()
        maker.join(30)
        with made[0] as grabber:
            first = grabber.pid
            time.sleep(0.1)
            assert grabber.grab().shape == (2, 3) and grabber.pid == first


# -- asyncio ----------------------------------------------------------------

@pytest.mark.skipif(not PY3, reason="asyncio is Python 3's")
def test_asyncio_waits_in_the_event_loop():
    from testkit.grab_aio import grab_in_the_loop
    scripts = [[("sleep", 0.3), ("send", GOOD)]] + [[("send", numbered(i))] for i in range(3)]
    with server(*scripts) as srv, server([("send", NOT_FOUND)]) as failing, \
            Grabber("127.0.0.1", srv.port) as grabber, Grabber("127.0.0.1", failing.port) as other:
        await_ready(grabber)
        first, (ticked, took), both, numbers, executor = grab_in_the_loop(grabber, other, number_of)
    assert first.tolist() == [[1, 2, 3], [0xfffe, 0x8000, 0]]
    # The answer wakes the loop as soon as it comes, and the loop ran meanwhile.
    assert took < 1.0 and ticked > 50, (took, ticked)
    assert number_of(both[0]) == 0 and str(both[1]) == "HTTP response: 404 Not Found"
    assert numbers == [1, 2] and executor is None

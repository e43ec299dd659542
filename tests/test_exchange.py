"""The HTTP exchange against loopback servers that behave and misbehave
(through ctypes, with servers in threads), and the budget of get_frame's
waits when the host process is signalled or stopped."""
import ctypes
import os
import signal
import subprocess
import sys
import time

import pytest

import lurvo
from testkit.processes import end
from testkit.responses import GOOD, http_response, pgm_header
from testkit.scripted_server import DroppingListener, ScriptedServer, closed_port
from testkit.stages import (BUDGET, CONNECT_TIMEOUT, RECEIVE_TIMEOUT, RESET, fetch, ip_of, lib,
                            outcome, spent_the_budget, timed)

# A frame and 1 kB after it, all of which the exchange must hand over.
RESPONSE = http_response(pgm_header(2, 1, 255) + b"\x00\x01" + bytes(bytearray(range(256))) * 4)
WHOLE = (len(RESPONSE), RESPONSE, b"no error")
TIMED_OUT = "a receive timeout after the whole budget"
# Servers in this process's threads, and signals, make these calls slower.
SLACK = 0.3


@pytest.mark.parametrize("uri", [b"/img.pgm", b"/cam/2?x=1&y=%20"])
def test_request_is_exact_and_response_verbatim(uri):
    with ScriptedServer([[("send", RESPONSE)]]) as srv:
        result = fetch(srv.port, uri=uri)
    assert srv.requests() == [b"GET " + uri + b" HTTP/1.0\n\n"]
    assert result == WHOLE


@pytest.mark.parametrize("script,result", [
    ([s for i in range(0, len(RESPONSE), 7) for s in (("send", RESPONSE[i:i + 7]), ("sleep", 0.001))],
     WHOLE),                                                            # pieces are joined
    ([], (0, b"", b"no error")),                                        # accept, then close
    ([("send", RESPONSE[:20]), ("sleep", 0.1), ("reset",)], (-1, b"", RESET.encode())),
    # All the waits of a call share one budget.
    ([("send", RESPONSE[:30]), ("sleep", 2.0)], TIMED_OUT),             # part, then silence
    ([("trickle", RESPONSE[:60], 0.05)], TIMED_OUT),                    # short gaps add up
    ([("sleep", 0.6), ("send", RESPONSE[:10]), ("sleep", 0.6), ("send", RESPONSE[10:])],
     TIMED_OUT),
    ([("sleep", 0.3), ("send", RESPONSE[:10]), ("sleep", 0.3), ("send", RESPONSE[10:])], WHOLE),
])
def test_response_ends_and_all_waits_share_one_budget(script, result):
    with ScriptedServer([script]) as srv:
        got, took = timed(fetch, srv.port)
    if result == TIMED_OUT:
        assert (got[0], got[2], spent_the_budget(took, SLACK)) == (
            -1, RECEIVE_TIMEOUT.encode(), True)
    else:
        assert got == result


def test_host_that_drops_packets_times_out_at_connect():
    with DroppingListener() as host:
        (n, _, text), took = timed(fetch, host.port)
    assert (n, text, spent_the_budget(took, SLACK)) == (-1, CONNECT_TIMEOUT.encode(), True)


@pytest.mark.parametrize("script,expected", [
    # A transfer in pieces: its waits are interrupted many times over.
    ([("send", GOOD[:20]), ("sleep", 0.15), ("send", GOOD[20:40]), ("sleep", 0.15),
      ("send", GOOD[40:])], (2, 3)),
    # A silent server: the resumed waits still end with the budget.
    ([("send", GOOD[:20]), ("sleep", BUDGET + 0.3)], RECEIVE_TIMEOUT),
])
def test_a_signal_storm_neither_fails_nor_stretches_a_call(script, expected):
    signals = []
    previous = signal.signal(signal.SIGALRM, lambda *args: signals.append(args[0]))
    try:
        with ScriptedServer([script], process=True) as srv:
            cam = lurvo.cam("127.0.0.1", srv.port)
            signal.setitimer(signal.ITIMER_REAL, 0.002, 0.002)
            try:
                result, took = timed(outcome, cam)
            finally:
                signal.setitimer(signal.ITIMER_REAL, 0)
    finally:
        signal.signal(signal.SIGALRM, previous)
    assert signals and result == expected
    assert took < BUDGET + SLACK


def test_data_waiting_when_the_budget_ends_is_still_taken():
    # get_frame runs in a child that is stopped before the rest of the
    # response and the close arrive, and continued once its budget has
    # run out: only a last read after the deadline can take them.
    code = ("import sys, lurvo; from testkit.stages import outcome\n"
            "sys.stdout.write(repr(outcome(lurvo.cam('127.0.0.1', int(sys.argv[1])))))")
    asked, children = [], []

    def stop_the_child():
        os.kill(children[0].pid, signal.SIGSTOP)
        os.waitpid(children[0].pid, os.WUNTRACED)
    script = [("call", lambda: asked.append(time.time())),     # the child's budget has begun
              ("send", GOOD[:20]), ("sleep", 0.3), ("call", stop_the_child), ("send", GOOD[20:])]
    try:
        with ScriptedServer([script]) as srv:
            children.append(subprocess.Popen([sys.executable, "-c", code, str(srv.port)],
                                             stdout=subprocess.PIPE))
        time.sleep(max(0, asked[0] + BUDGET + 0.2 - time.time()))
        os.kill(children[0].pid, signal.SIGCONT)
        out = children[0].communicate()[0]
    finally:
        for child in children:
            end(child)
    assert out == b"(2, 3)"


def test_text_that_is_no_address_fails_at_send_without_sigpipe():
    # inet_addr makes the text 255.255.255.255, where the kernel refuses to
    # connect, so the send meets an unconnected socket.  Python ignores
    # SIGPIPE; a host program may not: the child restores the default
    # action, under which a plain send() would kill it.
    code = ("import signal, sys, time, lurvo; from testkit.stages import outcome, timed\n"
            "signal.signal(signal.SIGPIPE, signal.SIG_DFL)\n"
            "text, took = timed(outcome, lurvo.cam('camera.local', 80))\n"
            "sys.stdout.write('%s %s' % (text, took < 0.5))")
    proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE)
    assert (proc.communicate()[0], proc.returncode) == (b"cannot send: Broken pipe True", 0)


@pytest.mark.parametrize("size", [0, 1, 22, 23])
def test_request_that_does_not_fit_is_refused_without_traffic(size):
    # 'GET /img.pgm HTTP/1.0\n\n' is 23 bytes and needs 24 with its NUL.
    with ScriptedServer([[("send", RESPONSE)]], duration=0.5) as srv:
        n, _, text = fetch(srv.port, size=size)
    assert (n, text) == (-1, b"request too long for buffer (%d bytes)" % size)
    assert srv.requests() == []


def test_error_text_is_cut_to_fit_and_terminated():
    err = ctypes.create_string_buffer(b"\xff" * 16, 16)
    n = lib.perform_http_request(ip_of("127.0.0.1"), closed_port(), b"/img.pgm",
                                 ctypes.create_string_buffer(64), 64, err, 8)
    assert n < 0
    assert err.raw == b"cannot \x00" + b"\xff" * 8

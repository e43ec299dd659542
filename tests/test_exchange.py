"""The HTTP exchange against loopback servers that behave and misbehave."""
import ctypes
import os
import subprocess
import sys
import time

import pytest

from scripted_server import (NO_READ, DroppingListener, ScriptedServer,
                             closed_port, http_response)
from stages import ROOT, descriptors_open, fetch, ip_of, lib

RESPONSE = http_response(b"P5\n2 1\n255\n\x00\x01" + bytes(bytearray(range(256))) * 4)
BUDGET = 1.0
SLACK = 0.3


def timed(call, *args, **kw):
    start = time.time()
    result = call(*args, **kw)
    return result, time.time() - start


class TestSuccess(object):
    def test_request_is_exact_and_response_verbatim(self):
        with ScriptedServer([[("send", RESPONSE)]]) as srv:
            n, data, text = fetch(srv.port)
        assert srv.requests() == [b"GET /img.pgm HTTP/1.0\n\n"]
        assert (n, data, text) == (len(RESPONSE), RESPONSE, b"no error")

    def test_uri_is_sent_verbatim(self):
        with ScriptedServer([[("send", RESPONSE)]]) as srv:
            fetch(srv.port, uri=b"/cam/2?x=1&y=%20")
        assert srv.requests() == [b"GET /cam/2?x=1&y=%20 HTTP/1.0\n\n"]

    def test_response_in_pieces_is_joined(self):
        pieces = [("send", RESPONSE[i:i + 7]) for i in range(0, len(RESPONSE), 7)]
        script = [s for p in pieces for s in (p, ("sleep", 0.001))]
        with ScriptedServer([script]) as srv:
            n, data, _ = fetch(srv.port)
        assert data == RESPONSE

    @pytest.mark.parametrize("extra", [0, 1, 4096])
    def test_response_longer_than_buffer_is_cut_at_its_size(self, extra):
        size = 1000
        body = bytes(bytearray(i % 251 for i in range(size + extra)))
        with ScriptedServer([[("send", body)]]) as srv:
            n, data, text = fetch(srv.port, size=size)
        assert (n, data, text) == (size, body[:size], b"no error")

    def test_accept_then_close_gives_zero_and_no_error(self):
        with ScriptedServer([[]]) as srv:
            assert fetch(srv.port) == (0, b"", b"no error")


class TestBudget(object):
    """Every wait of one call shares a single one-second budget."""

    def test_partial_response_then_silence_times_out(self):
        with ScriptedServer([[("send", RESPONSE[:30]), ("sleep", 2.0)]]) as srv:
            (n, data, text), took = timed(fetch, srv.port)
        assert n == -1
        assert text == b"receive timeout (Operation now in progress)"
        assert BUDGET - 0.05 < took < BUDGET + SLACK

    def test_trickle_with_short_gaps_times_out_on_the_total(self):
        with ScriptedServer([[("trickle", RESPONSE[:60], 0.05)]]) as srv:
            (n, _, text), took = timed(fetch, srv.port)
        assert n == -1 and text.startswith(b"receive timeout (")
        assert BUDGET - 0.05 < took < BUDGET + SLACK

    def test_waits_add_up_to_one_budget_not_one_each(self):
        script = [("sleep", 0.6), ("send", RESPONSE[:10]), ("sleep", 0.6),
                  ("send", RESPONSE[10:])]
        with ScriptedServer([script]) as srv:
            (n, _, text), took = timed(fetch, srv.port)
        assert n == -1 and text.startswith(b"receive timeout (")
        assert took < BUDGET + SLACK

    def test_slow_but_within_budget_succeeds(self):
        script = [("sleep", 0.3), ("send", RESPONSE[:10]), ("sleep", 0.3),
                  ("send", RESPONSE[10:])]
        with ScriptedServer([script]) as srv:
            n, data, _ = fetch(srv.port)
        assert data == RESPONSE

    def test_host_that_drops_packets_times_out_at_connect(self):
        with DroppingListener() as host:
            (n, data, text), took = timed(fetch, host.port)
        assert (n, text) == (-1, b"cannot connect: timeout (Operation now in progress)")
        assert BUDGET - 0.05 < took < BUDGET + SLACK


class TestFailures(object):
    def test_closed_port_fails_at_send(self):
        (n, data, text), took = timed(fetch, closed_port())
        assert n < 0
        assert text == b"cannot send: Connection refused"
        assert took < 0.5

    def test_unusable_address_fails_without_hanging(self):
        # inet_addr's answer for text that is no address; the kernel refuses
        # to connect there, so nothing leaves the machine.
        (n, _, text), took = timed(fetch, 80, ip="255.255.255.255")
        assert n < 0 and text.startswith(b"cannot send: ")
        assert took < 0.5

    def test_reset_during_response_is_a_receive_error(self):
        with ScriptedServer([[("send", RESPONSE[:20]), ("sleep", 0.1), ("reset",)]]) as srv:
            n, _, text = fetch(srv.port)
        assert n < 0 and text == b"receive error: Connection reset by peer"

    @pytest.mark.parametrize("size", [0, 1, 22, 23])
    def test_request_that_does_not_fit_is_refused_without_traffic(self, size):
        # 'GET /img.pgm HTTP/1.0\n\n' is 23 bytes and needs 24 with its NUL.
        with ScriptedServer([[("send", RESPONSE)]], duration=0.5) as srv:
            n, _, text = fetch(srv.port, size=size)
        assert n < 0 and text.startswith(b"request too long")
        assert srv.requests() == []

    def test_error_text_is_cut_to_fit_and_terminated(self):
        err = ctypes.create_string_buffer(b"\xff" * 16, 16)
        n = lib.perform_http_request(ip_of("127.0.0.1"), closed_port(), b"/img.pgm",
                                     ctypes.create_string_buffer(64), 64, err, 8)
        assert n < 0
        assert err.raw[:8] == b"cannot \x00" and err.raw[8:] == b"\xff" * 8

    def test_reset_peer_does_not_raise_sigpipe(self):
        # Python ignores SIGPIPE; a host program may not.  The child restores
        # the default action, under which a plain send() would kill it.
        code = (
            "import signal, sys; sys.path.insert(0, %r)\n"
            "signal.signal(signal.SIGPIPE, signal.SIG_DFL)\n"
            "from stages import fetch\n"
            "print(fetch(80, ip='255.255.255.255')[2].decode())\n" % os.path.join(ROOT, "tests"))
        proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE)
        out, _ = proc.communicate()
        assert proc.returncode == 0
        assert out.startswith(b"cannot send: ")


def open_fds():
    return len(os.listdir("/proc/self/fd"))


class TestDescriptors(object):
    def test_descriptors_above_select_limit_are_waited_on_safely(self):
        with descriptors_open(1100):
            scripts = [[("send", RESPONSE)], [("send", RESPONSE[:5]), ("sleep", 1.5)]]
            with ScriptedServer(scripts) as srv:
                ok = fetch(srv.port)
                (n, _, text), took = timed(fetch, srv.port)
        assert ok[1] == RESPONSE
        assert n == -1 and text.startswith(b"receive timeout (")
        assert BUDGET - 0.05 < took < BUDGET + SLACK

    def test_no_descriptor_leaks_over_a_thousand_mixed_calls(self):
        kinds = [
            [("send", RESPONSE)],                                   # success
            [],                                                      # accept, close
            [("send", RESPONSE[:10]), ("reset",)],                  # reset
            [NO_READ, ("reset",)],                                   # reset at once
        ]
        calls = 1000
        scripts = [kinds[i % len(kinds)] for i in range(calls)]
        refused = closed_port()
        before = open_fds()
        outcomes = set()
        with ScriptedServer(scripts, duration=60) as srv:
            for i in range(calls):
                n, _, text = fetch(srv.port)
                outcomes.add(n > 0)
                outcomes.add(text[:12])
                if i % 50 == 0:
                    outcomes.add(fetch(refused)[2][:12])
                    outcomes.add(fetch(srv.port, size=5)[2][:12])
        with ScriptedServer([[("send", RESPONSE[:5]), ("sleep", 1.5)]]) as srv:
            outcomes.add(fetch(srv.port)[2][:12])
        with DroppingListener() as host:
            outcomes.add(fetch(host.port)[2][:12])
        assert open_fds() == before
        assert {True, False, b"no error", b"receive erro", b"cannot send:",
                b"request too ", b"receive time", b"cannot conne"} <= outcomes

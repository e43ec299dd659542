"""Puts small faults into the sources on purpose, one at a time, and checks
that the tests meant to catch each one fail.

Every mutant is a literal search and replace that must match exactly once
in its file, so that a source change that moves the anchor fails loudly
here instead of quietly testing nothing.  The work happens in a scratch
copy of the tree (build/mutants); the working tree is never touched.  For
each mutant the copy's file is restored, the replacement applied, the
module built for the mutant's Python and the mutant's tests run against
that build.  Before any mutant, the unchanged copy must pass every test
named below, on each Python used.

    python tools/mutants.py [NAME_PART ...]     (Python 2.7 or 3)

Outcomes: caught (with the first test that failed; pytest dying of a
signal or hanging counts too), MISSED (the tests passed), no test (the test
file is not in this tree), not run (all its tests skipped), build failed.
The run fails unless every mutant with a test file here is caught.
"""
from __future__ import print_function

import os
import shutil
import signal
import subprocess
import sys
import time
import xml.etree.ElementTree as ElementTree

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCRATCH = os.path.join(TOP, "build", "mutants")
PYTHONS = {"2": os.path.join(TOP, ".venv", "bin", "python"),
           "3": os.path.join(TOP, ".venv-" + os.environ.get("PY3", "3.11"), "bin", "python")}
TEST_SECONDS = 300

EXCHANGE = "src/transport/exchange.cpp"
RESPONSE = "src/transport/response.cpp"
PGM = "src/image/pgm.cpp"
FRAME = "src/binding/frame.cpp"
BINDING = "src/binding/lurvo.cpp"
CAMSERVER_PGM = "python/lurvo_camserver/pgm.py"
CAMSERVER_FRAMES = "python/lurvo_camserver/frames.py"
CAMSERVER_LOOP = "python/lurvo_camserver/server.py"
FUNCTION_TEST = "tests/test_camserver.py::test_frames_of_a_function_and_its_failures"

# (name, file, search, replace, Python series, tests)
MUTANTS = [
    ("a signal ends a wait", EXCHANGE,
     "        if (n < 0 && errno == EINTR) {\n            errno = saved;\n            continue;\n        }\n",
     "        (void)saved;\n", "2",
     ["tests/test_exchange.py::test_a_signal_storm_neither_fails_nor_stretches_a_call"]),
    ("the text of a Python 3 error is leaked", BINDING,
     "        Py_DECREF(msg);\n", "", "3",
     ["tests/test_load.py::test_no_outcome_keeps_python_memory_or_descriptors"]),
    ("the deadline is checked before each recv", EXCHANGE,
     "        if (total == capacity)\n            return static_cast<int>(total);\n",
     "        if (total == capacity)\n            return static_cast<int>(total);\n"
     "        if (budget.remaining_ms() == 0) {\n"
     "            set_error(err_buf, err_size, \"receive timeout (%s)\", std::strerror(errno));\n"
     "            return -1;\n        }\n", "2",
     ["tests/test_exchange.py::test_data_waiting_when_the_budget_ends_is_still_taken"]),
    ("the budget restarts after the connect wait", EXCHANGE,
     "receive_all(fd, buf, size, budget, err_buf, err_size)",
     "receive_all(fd, buf, size, Budget(), err_buf, err_size)", "2",
     ["tests/test_netlab.py::test_connect_late_in_the_budget_leaves_the_response_only_the_rest"]),
    ("memcpy for the body's overlapping move", RESPONSE,
     "std::memmove(buf, buf + header_end, body_len);",
     "std::memcpy(buf, buf + header_end, body_len);", "2",
     ["tests/test_tables.py::test_overlapping_moves_do_not_rely_on_memcpy"]),
    ("every wait gets a budget of its own", EXCHANGE,
     "if (wait_for(fd, POLLIN, budget) <= 0)", "if ((void)budget, wait_for(fd, POLLIN, Budget()) <= 0)",
     "2",
     ["tests/test_exchange.py::test_response_ends_and_all_waits_share_one_budget"]),
    ("a missed close after a failed send", EXCHANGE,
     "    if (sent <= 0) {\n", "    if (sent <= 0) {\n        guard.fd = -1;\n", "2",
     ["tests/test_load.py::test_ten_thousand_mixed_calls"]),
    ("a missed close after a connect timeout", EXCHANGE,
     "    if (wait_for(fd, POLLOUT, budget) != 1) {\n",
     "    if (wait_for(fd, POLLOUT, budget) != 1) {\n        guard.fd = -1;\n", "2",
     ["tests/test_load.py::test_no_outcome_keeps_python_memory_or_descriptors"]),
    ("SIGPIPE on a send to a reset peer", EXCHANGE,
     "static_cast<std::size_t>(request_len), MSG_NOSIGNAL)", "static_cast<std::size_t>(request_len), 0)",
     "2", ["tests/test_exchange.py::test_text_that_is_no_address_fails_at_send_without_sigpipe"]),
    ("a request that fills the whole buffer is sent", EXCHANGE,
     "static_cast<std::size_t>(request_len) >= size", "static_cast<std::size_t>(request_len) > size",
     "2", ["tests/test_exchange.py::test_request_that_does_not_fit_is_refused_without_traffic"]),
    ("the buffer's last byte is never filled", EXCHANGE,
     "size > INT_MAX ? INT_MAX : size;", "size > INT_MAX ? INT_MAX : size - 1;", "2",
     ["tests/test_hostile.py::test_a_response_longer_than_the_buffer_is_cut_at_its_size"]),
    ("a 14-byte response is too short", RESPONSE,
     "if (len < kMinResponse", "if (len <= kMinResponse", "2", ["tests/test_response.py"]),
    ("the status text search stops one byte short", RESPONSE,
     "'\\r', len - kCodeOffset)", "'\\r', len - kCodeOffset - 1)", "2", ["tests/test_response.py"]),
    ("a colon clears the line start", RESPONSE,
     "        } else if (c == ':') {\n",
     "        } else if (c == ':') {\n            at_line_start = false;\n", "2",
     ["tests/test_response.py"]),
    ("the scan starts at a line start", RESPONSE,
     "bool colon_seen = false, at_line_start = false;", "bool colon_seen = false, at_line_start = true;",
     "2", ["tests/test_response.py"]),
    ("the first Content-Type wins", RESPONSE,
     "if (name != kNone && value != kNone", "if (*type == LURVO_TYPE_NONE && name != kNone && value != kNone",
     "2", ["tests/test_response.py"]),
    ("a one-byte PGM is read past its end", PGM,
     "if (len <= 1 || buf[0] != 'P')", "if (len < 1 || buf[0] != 'P')", "2", ["tests/test_pgm.py"]),
    ("a two-byte PGM counts as no header", PGM,
     "if (len <= 1 || buf[0] != 'P')", "if (len <= 2 || buf[0] != 'P')", "2",
     ["tests/test_tables.py::test_every_prefix_of_a_pgm_is_refused_and_left_unchanged"]),
    ("a field may end with the data", PGM,
     "        *out = static_cast<std::uint16_t>(*out * 10u + (c - '0'));\n    }\n    return false;\n",
     "        *out = static_cast<std::uint16_t>(*out * 10u + (c - '0'));\n    }\n    *pos = len;\n    return true;\n",
     "2", ["tests/test_pgm.py"]),
    ("the PGM size check is one byte short", PGM,
     "if (static_cast<std::uint64_t>(len) >= static_cast<std::uint64_t>(header) + sample_bytes)",
     "if (static_cast<std::uint64_t>(len) > static_cast<std::uint64_t>(header) + sample_bytes)",
     "2", ["tests/test_pgm.py"]),
    ("the PGM size check in 32 bits", PGM,
     "if (static_cast<std::uint64_t>(len) >= static_cast<std::uint64_t>(header) + sample_bytes)",
     "if (static_cast<std::uint32_t>(len) >= static_cast<std::uint32_t>(header + sample_bytes))",
     "2", ["tests/test_pgm.py"]),
    ("the bit length counts from one", PGM,
     "    std::uint8_t bits = 0;\n", "    std::uint8_t bits = 1;\n", "2", ["tests/test_pgm.py"]),
    ("the last samples' bytes swapped the wrong way", PGM,
     "(src[2 * i] << 8) | src[2 * i + 1]", "(src[2 * i + 1] << 8) | src[2 * i]", "2", ["tests/test_pgm.py"]),
    ("a wrong shift in the vector byte swap", PGM,
     "_mm_srli_epi16(pairs, 8)", "_mm_srli_epi16(pairs, 7)", "2", ["tests/test_pgm.py"]),
    ("a wrong shift in the portable conversion", PGM,
     "shifted_sample(src, i + k, wide, shift)", "shifted_sample(src, i + k, wide, shift + 1)", "2",
     ["tests/test_one_pass.py::test_route_table_of_every_depth_count_and_alignment"]),
    ("the last 8-bit samples shifted one bit too far", PGM,
     ": src[i];", ": src[i] << 1u;",
     "2", ["tests/test_module.py"]),
    ("an empty response is a frame", BINDING,
     "if (received < 1\n", "if (received < 0\n", "2", ["tests/test_load.py::test_ten_thousand_mixed_calls"]),
    ("any content type is taken", FRAME,
     "if (type != LURVO_TYPE_PGM) {", "if (type == LURVO_TYPE_NONE) {", "2", ["tests/test_module.py"]),
    ("the frame's samples read from the body's start", FRAME,
     "frame->samples = body + frame->pgm.length;", "frame->samples = body;", "2",
     ["tests/test_one_pass.py"]),
    ("width and height swapped", BINDING,
     "npy_intp dims[2] = {frame.pgm.height, frame.pgm.width};",
     "npy_intp dims[2] = {frame.pgm.width, frame.pgm.height};", "2",
     ["tests/test_module.py"]),
    ("the type's text signature under another name", BINDING,
     "WITH_SIGNATURE(\"lurvoport(ip=", "WITH_SIGNATURE(\"cam(ip=", "3", ["tests/test_signatures.py"]),
    ("Python 2 shows the text signature in the doc", BINDING,
     "#define WITH_SIGNATURE(signature, doc) doc\n",
     "#define WITH_SIGNATURE(signature, doc) signature \"\\n--\\n\\n\" doc\n", "2",
     ["tests/test_module.py::TestModule::test_attributes"]),
    ("NumPy imported for a source archive", "setup.py",
     "import io\n", "import io\nimport numpy\n", "2", ["tests/test_packaging.py"]),
    ("the grabbing child keeps the parent's pipe end", "examples/grab_in_child.py",
     "    parent_end.close()", "    parent_end.fileno()", "3",
     ["tests/test_examples.py::test_child_ends_with_a_killed_parent_and_leaves_no_shared_memory"]),
    ("a failing frame function ends its connection unanswered", CAMSERVER_LOOP,
     "        except Exception as e:\n            # The server outlives",
     "        except ArithmeticError as e:\n            # The server outlives", "2",
     [FUNCTION_TEST]),
    ("a frame function's samples go out little-endian", CAMSERVER_PGM,
     '">u1" if maxval <= 255 else ">u2"', '">u1" if maxval <= 255 else "<u2"', "3",
     [FUNCTION_TEST, "tests/test_servers.py"]),
    ("samples above maxval are served", CAMSERVER_PGM,
     "    if maxval < np.iinfo(samples.dtype).max:", "    if False:", "2", [FUNCTION_TEST]),
    ("a PGM header that netpbm allows is passed on as it is", CAMSERVER_FRAMES,
     "            header = pgm_header(width, height, maxval)\n",
     "            header = frame[:len(frame) - len(raster)]\n", "3", [FUNCTION_TEST]),
]


def fail(message):
    sys.exit("mutants: " + message)


def read(path):
    with open(path, "rb") as f:
        return f.read().decode("utf-8")


def write(path, text):
    with open(path, "wb") as f:
        f.write(text.encode("utf-8"))


def check_anchors(mutants):
    problems = []
    for name, path, search, _, _, _ in mutants:
        count = read(os.path.join(TOP, path)).count(search)
        if count != 1:
            problems.append("%s: the anchor occurs %d times in %s" % (name, count, path))
    if problems:
        fail("anchors no longer match; fix the list in tools/mutants.py:\n  "
             + "\n  ".join(problems))


def copy_tree():
    """The project's files as they are now, committed or not."""
    listed = subprocess.check_output(["git", "ls-files", "--cached", "--others", "--exclude-standard"],
                                     cwd=TOP).decode("utf-8").splitlines()
    if os.path.isdir(SCRATCH):
        shutil.rmtree(SCRATCH)
    for name in listed:
        source = os.path.join(TOP, name)
        if os.path.isfile(source):
            target = os.path.join(SCRATCH, name)
            if not os.path.isdir(os.path.dirname(target)):
                os.makedirs(os.path.dirname(target))
            shutil.copy2(source, target)


def build(series):
    """Builds the scratch copy's module for one Python; True on success."""
    python = PYTHONS[series]
    with open(os.devnull, "wb") as quiet:
        return subprocess.call([python, "setup.py", "--quiet", "build_ext", "--inplace", "--force",
                                "--build-temp", os.path.join("build", "temp-" + series)],
                               cwd=SCRATCH, stdout=quiet, stderr=quiet) == 0


def run_tests(series, tests):
    """Runs pytest on the scratch copy; returns 'failed' (with the first
    failing test when pytest got to write its report), 'passed', 'skipped',
    'hung' or 'error N' (pytest could not run them)."""
    report = os.path.join(SCRATCH, "build", "report.xml")
    if os.path.exists(report):
        os.remove(report)
    env = dict(os.environ, LURVO_MODULE_DIR=SCRATCH)
    with open(os.path.join(SCRATCH, "build", "pytest.log"), "wb") as log:
        proc = subprocess.Popen([PYTHONS[series], "-m", "pytest", "-q", "-x", "-p", "no:cacheprovider",
                                 "--junitxml", report] + tests,
                                cwd=SCRATCH, env=env, stdout=log, stderr=log)
        deadline = time.time() + TEST_SECONDS
        while proc.poll() is None and time.time() < deadline:
            time.sleep(0.1)
        if proc.poll() is None:
            # The test servers it started stop by themselves.
            os.kill(proc.pid, signal.SIGKILL)
            proc.wait()
            return "hung"
    cases = []
    if os.path.exists(report):
        cases = list(ElementTree.parse(report).getroot().iter("testcase"))
    failed = [c.get("name") for c in cases if c.find("failure") is not None or c.find("error") is not None]
    if proc.returncode < 0:
        return "failed (pytest died of signal %d)" % -proc.returncode
    if proc.returncode == 1:
        return "failed" + (" in " + failed[0] if failed else "")
    if proc.returncode != 0 or not cases:
        return "error %d" % proc.returncode
    return "skipped" if all(c.find("skipped") is not None for c in cases) else "passed"


def has_tests(tests):
    return all(os.path.exists(os.path.join(SCRATCH, t.split("::")[0])) for t in tests)


def baseline(mutants):
    """The unchanged copy must build and pass every named test."""
    for series in sorted(set(m[4] for m in mutants)):
        if not os.path.exists(PYTHONS[series]):
            fail("%s is missing: run make build build-py3" % PYTHONS[series])
        tests = sorted(set(t for m in mutants if m[4] == series and has_tests(m[5]) for t in m[5]))
        if not build(series):
            fail("the unchanged sources do not build for Python %s" % series)
        if not tests:
            continue
        outcome = run_tests(series, tests)
        if outcome != "passed":
            fail("the unchanged sources: Python %s tests %s (see build/mutants/build/pytest.log)"
                 % (series, outcome))


def try_mutant(mutant):
    name, path, search, replace, series, tests = mutant
    target = os.path.join(SCRATCH, path)
    pristine = read(os.path.join(TOP, path))
    write(target, pristine.replace(search, replace))
    try:
        if not has_tests(tests):
            return "no test"
        if not build(series):
            return "build failed"
        outcome = run_tests(series, tests)
        if outcome.startswith("failed"):
            return "caught" + outcome[len("failed"):]
        return {"hung": "caught (hung)", "passed": "MISSED", "skipped": "not run (skipped)"}.get(
            outcome, outcome)
    finally:
        write(target, pristine)


def main(patterns):
    mutants = [m for m in MUTANTS if not patterns or any(p in m[0] for p in patterns)]
    if not mutants:
        fail("no mutant matches %s" % " ".join(patterns))
    check_anchors(mutants)
    started = time.time()
    copy_tree()
    baseline(mutants)
    results = []
    for mutant in mutants:
        begun = time.time()
        result = try_mutant(mutant)
        results.append(result)
        print("%-46s %-22s py%s %5.1f s  %s" % (mutant[0], mutant[1], mutant[4], time.time() - begun,
                                                  result))
        sys.stdout.flush()
    bad = [r for r in results if not r.startswith("caught") and r != "no test"]
    print("%d mutants: %d caught, %d without a test here, %d not caught; %.0f s in all"
          % (len(results), sum(r.startswith("caught") for r in results),
             results.count("no test"), len(bad), time.time() - started))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

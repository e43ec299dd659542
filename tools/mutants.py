"""Puts small faults into the sources on purpose, one at a time, and checks
that the tests meant to catch each one fail.

The faults are the table of tools/mutant_list.py.  Every mutant is a
literal search and replace that must match exactly once in its file, so
that a source change that moves the anchor fails loudly here instead of
quietly testing nothing.  The work happens in a scratch
copy of the tree (build/mutants); the working tree is never touched.  For
each mutant the copy's file is restored, the replacement applied, the
module built for the mutant's Python and the mutant's tests run against
that build.  Before any mutant, the unchanged copy must pass every test
named in the table, on each Python used.

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

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from mutant_list import MUTANTS  # noqa: E402

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
        fail("anchors no longer match; fix the list in tools/mutant_list.py:\n  "
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

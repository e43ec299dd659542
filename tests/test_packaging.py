"""The source archive: either interpreter makes it, without NumPy, and it
holds every file of the project."""
import glob
import os
import subprocess
import sys
import tarfile

import pytest

from testkit import ROOT

# What the archive adds of its own: its metadata and setuptools' options.
GENERATED = {"PKG-INFO", "setup.cfg"}


def tracked_files():
    """The checkout's files; None where the project is no checkout of its
    own (an unpacked archive, a scratch copy inside a checkout)."""
    def git(*args):
        return subprocess.check_output(("git",) + args, cwd=ROOT, stderr=subprocess.STDOUT).decode()
    try:
        if os.path.realpath(git("rev-parse", "--show-toplevel").strip()) != os.path.realpath(ROOT):
            return None
        listed = git("ls-files", "--cached", "--others", "--exclude-standard")
    except (OSError, subprocess.CalledProcessError):
        return None
    return set(listed.splitlines()) - {".gitignore"}


def test_sdist_holds_every_file_and_needs_no_numpy(tmpdir):
    blocker = tmpdir.mkdir("blocker")
    blocker.join("numpy.py").write("raise ImportError('an sdist must not need NumPy')\n")
    env = dict(os.environ, PYTHONPATH=str(blocker))
    out = str(tmpdir.mkdir("out"))
    subprocess.check_call([sys.executable, "setup.py", "-q", "egg_info", "--egg-base", out,
                           "sdist", "-d", out], cwd=ROOT, env=env)
    archive, = glob.glob(os.path.join(out, "lurvo-*.tar.gz"))
    with tarfile.open(archive) as tar:
        archived = {m.name.split("/", 1)[1] for m in tar.getmembers() if m.isfile()}
    assert GENERATED <= archived
    expected = tracked_files()
    if expected is None:
        pytest.skip("no checkout: no list of the project's files")
    assert archived - GENERATED == expected

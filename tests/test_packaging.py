"""The source archive: either interpreter makes it, without NumPy, and it
holds every file of the project."""
import glob
import os
import subprocess
import sys
import tarfile

import pytest

from stages import ROOT

# What the archive adds of its own: its metadata and setuptools' options.
GENERATED = {"PKG-INFO", "setup.cfg"}


def tracked_files():
    try:
        out = subprocess.check_output(["git", "ls-files", "--cached", "--others", "--exclude-standard"], cwd=ROOT, stderr=subprocess.STDOUT)
    except (OSError, subprocess.CalledProcessError):
        return None   # an unpacked archive: it is what it is
    return set(out.decode().splitlines()) - {".gitignore"}


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
        pytest.skip("not a git checkout: no list of the project's files")
    assert archived - GENERATED == expected

"""pip install . from the checkout, as the README offers it: Python 2.7's
pip copies the whole tree first, so the tree must hold no device node and
no mount (the chroots, which have both, live in the cache outside it), and
the installed module and packages import from elsewhere.  make ci runs this
again at its end, in the checkout that every other step has used."""
import os
import stat
import subprocess
import sys

import pytest

from testkit import ROOT
from testkit.processes import plain_env
from test_packaging import tracked_files

PACKAGES = ("lurvo_camserver", "lurvo_grab", "lurvo_view", "lurvo-stubs", "lurvo_grab-stubs")


def special_files():
    """Device nodes, sockets and pipes anywhere under the checkout."""
    found = []
    for folder, dirs, files in os.walk(ROOT):
        for name in dirs + files:
            path = os.path.join(folder, name)
            mode = os.lstat(path).st_mode
            if not (stat.S_ISREG(mode) or stat.S_ISDIR(mode) or stat.S_ISLNK(mode)):
                found.append(path)
    return found


def mounts_inside():
    with open("/proc/mounts") as f:
        return [line.split()[1] for line in f
                if line.split()[1].startswith(os.path.realpath(ROOT) + os.sep)]


def test_pip_install_from_the_checkout(tmpdir):
    if tracked_files() is None:
        pytest.skip("no checkout of its own")
    assert special_files() == [] and mounts_inside() == []
    target = str(tmpdir.join("site"))
    # Built in isolation, with the build requirements of pyproject.toml,
    # as a user's pip builds it.
    subprocess.check_call([sys.executable, "-m", "pip", "install", "--quiet", "--no-deps",
                           "--disable-pip-version-check",
                           "--target", target, ROOT], env=plain_env(), cwd=str(tmpdir))
    installed = set(os.listdir(target))
    assert any(name.startswith("lurvo.") and name.endswith(".so") for name in installed)
    assert set(PACKAGES) <= installed
    code = ("import lurvo, lurvo_camserver, lurvo_view.window; "
            "print(lurvo.__file__); print(lurvo_camserver.__file__); "
            "print(lurvo_view.window.__file__)")
    env = plain_env(PYTHONPATH=target)
    out = subprocess.check_output([sys.executable, "-c", code], env=env, cwd=str(tmpdir))
    assert all(line.startswith(target) for line in out.decode().splitlines())
    # The view's command, which needs no screen to say how it is used.
    usage = subprocess.check_output([os.path.join(target, "bin", "lurvo-view"), "--help"],
                                    env=env, cwd=str(tmpdir))
    assert usage.decode().startswith("usage: lurvo-view [-h] [--ip IP] [--port PORT]")

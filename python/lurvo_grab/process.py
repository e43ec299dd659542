"""Starting a grabbing child and ending it.

The child is a fresh interpreter, `python -m lurvo_grab.child`, started
with subprocess on both Pythons: nothing of this process's state comes
along, so the locks that this process's other threads held at the moment
(a GUI's, a logger's) cannot leave the child stuck, as a fork without exec
can; and it needs no pickling of anything.  On Python 3 subprocess starts
it without running Python between fork and exec.  Python 2.7's subprocess
runs a few lines of Python in the forked copy before exec (closing
descriptors, setsid); they take no lock that another thread could hold,
and exec replaces the copy at once.

Its two descriptors come as standard input and output, which both
Pythons' subprocess can hand over with every other descriptor closed: the
socket to this process as input, the shared memory file as output (the
child moves both elsewhere first thing).  So it holds no copy of this
process's end of the socket, and sees end of file as soon as this process
closes it or ends.  It runs in a session of its own, so that a Ctrl-C at
the terminal reaches this process alone, which then ends its children.

PR_SET_PDEATHSIG, which the child sets, fires when the *thread* that
started it ends, not the process: children are started from a thread of
this module that lives as long as the process, so that a grabber made in a
short-lived worker thread keeps its child.
"""
import os
import signal
import socket
import subprocess
import sys
import threading
import time

try:
    import queue
except ImportError:                     # Python 2
    import Queue as queue

LAUNCH_SECONDS = 30.0
PY3 = sys.version_info[0] >= 3
# A session of its own: start_new_session runs setsid in C on Python 3.
SESSION = {"start_new_session": True} if PY3 else {"preexec_fn": os.setsid}


class _Launcher(object):
    """Runs Popen calls in one long-lived daemon thread (made again in a
    forked copy of this process, which has no threads)."""

    def __init__(self):
        self._lock = threading.Lock()
        self._pid = None
        self._jobs = None

    def _serve(self, jobs):
        while True:
            call, done, result = jobs.get()
            try:
                result.append(call())
            except BaseException as e:          # handed to the caller
                result.append(e)
            done.set()

    def call(self, function):
        with self._lock:
            if self._pid != os.getpid():
                self._jobs = queue.Queue()
                thread = threading.Thread(target=self._serve, args=(self._jobs,),
                                          name="lurvo_grab launcher")
                thread.daemon = True
                thread.start()
                self._pid = os.getpid()
            jobs = self._jobs
        done, result = threading.Event(), []
        jobs.put((function, done, result))
        if not done.wait(LAUNCH_SECONDS):
            raise RuntimeError("lurvo_grab: no child started within %.0f s" % LAUNCH_SECONDS)
        if isinstance(result[0], BaseException):
            raise result[0]
        return result[0]


_launcher = _Launcher()


def _search_path():
    """This process's module search path, for the child to import the same
    lurvo_grab, lurvo and NumPy."""
    return os.pathsep.join(os.path.abspath(p) if p else os.getcwd() for p in sys.path)


def _close_on_exec(sock):
    """Python 2 makes descriptors that other programs started from this
    process would inherit; Python 3 already does not."""
    if not PY3:
        import fcntl
        flags = fcntl.fcntl(sock.fileno(), fcntl.F_GETFD)
        fcntl.fcntl(sock.fileno(), fcntl.F_SETFD, flags | fcntl.FD_CLOEXEC)


def start(ip, port, shared):
    """(Popen, this process's end of the socket, non-blocking) of a new
    child grabbing from ip (bytes) and port into shared's slots."""
    ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        _close_on_exec(ours)
        argv = [sys.executable, "-m", "lurvo_grab.child", ip.hex() if PY3 else ip.encode("hex"),
                str(port), str(os.getpid()), str(shared.slots)]
        env = dict(os.environ, PYTHONPATH=_search_path())
        proc = _launcher.call(lambda: subprocess.Popen(
            argv, stdin=theirs.fileno(), stdout=shared.fd, close_fds=True, env=env, **SESSION))
    except BaseException:
        ours.close()
        raise
    finally:
        theirs.close()
    ours.setblocking(False)
    return proc, ours


def signal_name(number):
    if PY3:
        try:
            return signal.Signals(number).name
        except ValueError:
            return "an unnamed signal"
    names = sorted(n for n, v in vars(signal).items()
                   if v == number and n.startswith("SIG") and not n.startswith("SIG_"))
    return names[0] if names else "an unnamed signal"


def exit_text(status):
    if status is None:
        return "did not end even after SIGKILL"
    if status < 0:
        return "was killed by signal %d (%s)" % (-status, signal_name(-status))
    return "exited with status %d" % status


KILL_SECONDS = 5.0


def _ended(proc, seconds):
    deadline = time.time() + seconds
    while proc.poll() is None and time.time() < deadline:
        time.sleep(0.002)
    return proc.poll() is not None


def reap(proc, seconds):
    """The exit status, once the child has ended by itself within seconds,
    or after it was ended with SIGKILL."""
    if not _ended(proc, seconds):
        kill(proc)
    return proc.returncode


def kill(proc):
    """Ends the child by its PID and reaps it.  SIGKILL cannot be held off,
    not even by a stopped process; the wait is bounded all the same (a
    process stuck in the kernel ends when the kernel lets it, and is then
    reaped by subprocess's own clean-up)."""
    if proc.poll() is None:
        try:
            os.kill(proc.pid, signal.SIGKILL)
        except OSError:
            pass
        _ended(proc, KILL_SECONDS)
    return proc.returncode

"""Child processes: reading their first lines, waiting for their end,
each bounded in time, and ending them by their PID."""
import os
import select
import signal
import time


def plain_env(**changes):
    """The environment, with `changes`, for programs that are not under
    test: without a preloaded sanitizer runtime, which would report the
    program's own leaks."""
    env = dict((k, v) for k, v in os.environ.items() if k != "LD_PRELOAD")
    env.update(changes)
    return env


def read_line(fd, timeout):
    buf = b""
    deadline = time.time() + timeout
    while b"\n" not in buf:
        left = deadline - time.time()
        if left <= 0:
            break
        ready, _, _ = select.select([fd], [], [], left)
        if ready:
            chunk = os.read(fd, 4096)
            if not chunk:
                break
            buf += chunk
    return buf.decode("ascii", "replace")


def wait_exit(proc, timeout):
    """The exit status, or None if the process still runs after timeout."""
    deadline = time.time() + timeout
    while proc.poll() is None and time.time() < deadline:
        time.sleep(0.02)
    return proc.poll()


def end(proc, close_pipes=True):
    """Ends the process by its PID if it still runs, reaps it, and closes
    the pipes to it."""
    if proc.poll() is None:
        os.kill(proc.pid, signal.SIGKILL)
    proc.wait()
    for pipe in (proc.stdin, proc.stdout, proc.stderr):
        if pipe and close_pipes:
            pipe.close()

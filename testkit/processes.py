"""Child processes: reading their first lines and waiting for their end,
each bounded in time."""
import os
import select
import time


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

"""The view's window: the newest frame of one camera, scaled to fit, and a
status line.  Frames come through lurvo_grab, whose child process does
the network waits: the window only ever polls, from a timer of its own
event loop, and so answers at once whatever the camera does."""
from __future__ import division

import signal

try:
    import tkinter as tk
except ImportError:             # Python 2.7
    import Tkinter as tk

from lurvo_grab import Grabber
from lurvo_grab.link import now
from lurvo_view import picture, saving

TICK_MS = 5                 # how often the window looks for a new frame
RETRY_SECONDS = 1.0         # from a camera's failure to the next try
RATE_SECONDS = 1.0          # the frame rates are counted over this long
STATUS_SECONDS = 0.25       # the status line follows new frames this often
START_SIZE = (640, 800)     # the image area's height and width to begin with
BACKGROUND = "black"


class Counter(object):
    """Frames per second of a count that only grows, measured over the
    last RATE_SECONDS or so."""

    def __init__(self):
        self.mark, self.at, self.rate = 0, now(), 0.0

    def update(self, count):
        elapsed = now() - self.at
        if elapsed >= RATE_SECONDS:
            self.rate = (count - self.mark) / elapsed
            self.mark, self.at = count, now()
        return self.rate


class View(object):
    """A window on the camera at ip:port, path uri.

    Keys: r switches between the contrast stretch (the default: the 1st to
    the 99th percentile of the shown samples, black to white) and the full
    16-bit range; s saves the frame shown, as received, into `folder`; q
    or Escape ends the view, as closing the window does.  run() returns
    the exit status: 0, or 130 after Ctrl-C (SIGINT) and 143 after SIGTERM,
    each of which ends the view as cleanly."""

    def __init__(self, root, ip="127.0.0.1", port=5557, uri="/img.pgm", folder="."):
        self.root, self.uri, self.folder = root, uri, folder
        self.grabber = Grabber(ip, port)
        self.pending, self.retry_at = False, 0.0
        self.frame = None               # the frame shown, as received
        self.scaler = None
        self.offset = (0, 0)            # of the picture in the image area
        self.full_range = False
        self.shown = self.grabbed = 0   # frames shown, and frames that came
        self.shown_rate, self.grabbed_rate = Counter(), Counter()
        self.pointer = None             # (x, y) on the image area
        self.problem = None             # the camera's failure, while it lasts
        self.note = ""                  # what the last key did
        self.stats = None               # (min, max, bits) of the frame shown
        self.status_at = 0.0
        self.exit_status = None
        self._build(root, "lurvo view: %s:%d%s" % (ip, port, uri))

    def _build(self, root, title):
        root.title(title)
        root.configure(background=BACKGROUND)
        self.status = tk.Label(root, anchor="w", justify="left", text="connecting")
        self.status.pack(side="bottom", fill="x")
        self.canvas = tk.Canvas(root, width=START_SIZE[1], height=START_SIZE[0], borderwidth=0,
                                highlightthickness=0, background=BACKGROUND)
        self.canvas.pack(side="top", fill="both", expand=True)
        self.photo = tk.PhotoImage()
        self.item = self.canvas.create_image(0, 0, anchor="nw", image=self.photo)
        self.canvas.bind("<Configure>", lambda event: self.render())
        self.canvas.bind("<Motion>", self._on_motion)
        self.canvas.bind("<Leave>", self._on_leave)
        root.bind("<Key-r>", lambda event: self.switch_range())
        root.bind("<Key-s>", lambda event: self.save())
        for key in ("<Key-q>", "<Escape>"):
            root.bind(key, lambda event: self.end(0))
        root.protocol("WM_DELETE_WINDOW", lambda: self.end(0))

    # -- the camera -------------------------------------------------------
    def tick(self):
        """Takes what the camera's child has for the window, never waiting,
        and comes back in TICK_MS."""
        if self.exit_status is not None:
            return
        try:
            self._step()
        except Exception as error:      # get_frame's, or the child lost (lurvo_grab says how)
            self._failed(error)
        if now() - self.status_at >= STATUS_SECONDS:
            self._show_status()
        self.root.after(TICK_MS, self.tick)

    def _step(self):
        """One grab at a time: the next is asked for as soon as a frame has
        come, so that the child receives it while this one is drawn (and
        grabs no frame the window would not show); after a failure, one a
        second."""
        if not self.pending:
            if now() >= self.retry_at:
                self._request()
            return
        frame = self.grabber.poll()     # raises get_frame's exception
        if frame is None:
            return
        self.pending = False
        self.grabbed += 1
        if self.problem is not None:
            self.problem, self.status_at = None, 0.0
        try:
            self._request()
        finally:
            self.show(frame)

    def _request(self):
        self.grabber.request(self.uri)
        self.pending = True

    def _failed(self, error):
        """Shows get_frame's text (or lurvo_grab's) until a grab succeeds,
        and tries again in RETRY_SECONDS: a camera that is gone fails at
        once, and would be asked again and again."""
        if self.problem is None:
            self.status_at = 0.0        # shown at once
        self.problem = str(error)
        self.pending = False            # a failed grab is no longer pending
        self.retry_at = now() + RETRY_SECONDS

    # -- the picture ------------------------------------------------------
    def show(self, frame):
        self.frame, self.stats = frame, None
        self.render()
        self.shown += 1

    def frame_stats(self):
        """(min, max, bits) of the frame shown, worked out when the status
        line needs them rather than for every frame."""
        if self.stats is None:
            frame = self.frame
            self.stats = (int(frame.min()), int(frame.max()), picture.bit_depth(frame))
        return self.stats

    def render(self):
        """Draws the frame shown to fit the image area, centred."""
        if self.frame is None:
            return
        box = (self.canvas.winfo_height(), self.canvas.winfo_width())
        size = picture.fit(self.frame.shape[0], self.frame.shape[1], box[0], box[1])
        if self.scaler is None or (self.scaler.shape, self.scaler.shown) != (self.frame.shape, size):
            self.scaler = picture.Scaler(self.frame.shape, size)
        grey = picture.grey_levels(self.scaler(self.frame), self.full_range)
        if (self.photo.height(), self.photo.width()) != size:
            self.photo.configure(width=size[1], height=size[0])
        self.photo.configure(data=picture.pgm_data(grey), format="PPM")
        offset = ((box[1] - size[1]) // 2, (box[0] - size[0]) // 2)
        if offset != self.offset:
            self.offset = offset
            self.canvas.coords(self.item, offset[0], offset[1])

    def switch_range(self):
        self.full_range = not self.full_range
        self.render()

    def sample_under_pointer(self):
        """(column, row, value) of the frame under the pointer, or None."""
        if self.pointer is None or self.frame is None or self.scaler is None:
            return None
        place = self.scaler.sample_of(self.pointer[0] - self.offset[0],
                                      self.pointer[1] - self.offset[1])
        if place is None:
            return None
        return place + (int(self.frame[place[1], place[0]]),)

    def _on_motion(self, event):
        self.pointer = (event.x, event.y)
        self._show_status()

    def _on_leave(self, event):
        self.pointer = None
        self._show_status()

    # -- the status line --------------------------------------------------
    def status_text(self):
        parts = []
        if self.problem is not None:
            parts.append("%s; trying again every second" % self.problem)
        else:
            parts.append("%.1f fps shown, %.1f fps grabbed" % (
                self.shown_rate.update(self.shown), self.grabbed_rate.update(self.grabbed)))
        if self.frame is not None:
            height, width = self.frame.shape
            low, high, bits = self.frame_stats()
            parts.append("%dx%d, %d bit, min %d max %d" % (width, height, bits, low, high))
            parts.append("full range" if self.full_range else "stretch %g-%g%%" % (
                picture.LOW_PERCENT, picture.HIGH_PERCENT))
            under = self.sample_under_pointer()
            if under is not None:
                parts.append("x %d y %d: %d" % under)
        elif self.problem is None:
            parts.append("waiting for the first frame")
        if self.note:
            parts.append(self.note)
        return " | ".join(parts)

    def _show_status(self):
        self.status_at = now()
        text = self.status_text()
        if self.status.cget("text") != text:
            self.status.configure(text=text)

    # -- keys and the end -------------------------------------------------
    def save(self):
        if self.frame is None:
            self.note = "nothing to save yet"
        else:
            try:
                paths = saving.save(self.frame, self.folder)
                self.note = "saved %s and %s" % paths
            except (IOError, OSError) as error:
                self.note = "cannot save: %s" % error
        self._show_status()

    def end(self, status):
        """Ends the view: the child process, then the window."""
        if self.exit_status is not None:
            return
        self.exit_status = status
        self.grabber.close()
        self.root.quit()

    def run(self):
        """Shows frames until the view is ended; returns the exit status."""
        handlers = {}
        for signum, status in ((signal.SIGINT, 130), (signal.SIGTERM, 143)):
            handlers[signum] = signal.signal(
                signum, lambda number, frame, status=status: self._on_signal(status))
        try:
            self.root.after(0, self.tick)
            self.root.mainloop()
        finally:
            for signum, handler in handlers.items():
                signal.signal(signum, handler)
            self.grabber.close()
        return self.exit_status if self.exit_status is not None else 0

    def _on_signal(self, status):
        # Runs between two of Python's steps, in a timer's callback at
        # the latest: ending from here leaves Tk in a state it can end in.
        self.root.after(0, lambda: self.end(status))


def main_window(ip, port, uri, folder):
    """Opens the window and runs the view; the exit status."""
    root = tk.Tk()
    try:
        return View(root, ip, port, uri, folder).run()
    finally:
        root.destroy()


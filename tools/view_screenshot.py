"""The README's picture of the view: the view on a virtual screen (Xvfb,
tests/testkit/screen.py) showing the camera server's moving test pattern,
the pointer on the picture, its window written as a greyscale PNG.

    make view-screenshot            (docs/view.png)
    .venv/bin/python tools/view_screenshot.py OUT.png
"""
from __future__ import division, print_function

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
for _path in (os.path.join(ROOT, "tests"), os.path.join(ROOT, "python"), ROOT):
    if _path not in sys.path:
        sys.path.insert(0, _path)
os.environ["PYTHONPATH"] = os.pathsep.join([ROOT, os.path.join(ROOT, "python")])

from testkit.processes import Server       # noqa: E402
from testkit.screen import Screen, turn    # noqa: E402


def main(out):
    with Screen() as screen, Server("--width", "640", "--height", "512", "--bits", "12") as cam:
        os.environ["DISPLAY"] = screen.display
        from lurvo_view import window
        from lurvo_view.png16 import write_png16
        root = window.tk.Tk()
        view = window.View(root, port=cam.port)
        root.after(0, view.tick)
        turn(root, 2.0)
        view.canvas.event_generate("<Motion>", x=420, y=300)
        view._show_status()
        turn(root, 0.3)
        if not view.shown:
            sys.exit("view_screenshot: no frame was shown: %s" % view.status_text())
        x, y = root.winfo_rootx(), root.winfo_rooty()
        pixels = screen.picture()[y:y + root.winfo_height(), x:x + root.winfo_width()]
        view.end(0)
        root.destroy()
    grey = pixels.astype("uint32").sum(axis=2) // 3
    write_png16(out, (grey * 257).astype("uint16"))
    print("%s: %dx%d" % (out, grey.shape[1], grey.shape[0]))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "docs", "view.png"))

"""A live view of a lurvo camera, in a Tk window:

    python -m lurvo_view --ip 127.0.0.1 --port 5557 --uri /img.pgm

(or lurvo-view).  Frames come through lurvo_grab, so the window never
waits on the network: a camera that is slow, gone or answering wrong
leaves it answering, its failure in the status line, tried again every
second.  The frame is scaled to fit the window; 16-bit samples are shown
with a contrast stretch, or in their full range (key r).  s saves the
frame shown as received, q or Escape ends the view.  Standard library
(Tk) and NumPy only; Python 2.7 and 3.

lurvo_view.window has the View, lurvo_view.picture the NumPy steps from
frame to grey levels, lurvo_view.png16 the PNG writer.
"""

"""What the tests, the benchmarks and the scripts of make valgrind share:
the module's stages through ctypes (stages), the responses a camera
server sends (responses), a loopback server that plays them (scripted_server),
child processes and the demo camera server among them (processes), every
quick way a call can end (mixed_calls) and a shaped, lossy link between two
network namespaces (link_lab).

Importing the package loads nothing: stages loads the module under test
when it is imported, and some callers (the link lab's filler) must not."""
import os

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

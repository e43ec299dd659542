"""python -m lurvo_camserver: the demo camera server."""
import sys

from lurvo_camserver.cli import main

sys.exit(main())

import sys

from lurvo_view.cli import main

sys.exit(main())

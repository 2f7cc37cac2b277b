"""``python3 -m kestrix.vantle.molvar``: the command-line tool (see cli.py).

This file runs as ``__main__`` after the package itself has been imported
under its own name, so there is one companion and one ``MolvarError``.
"""

import sys

from kestrix.vantle.molvar.cli import main

if __name__ == "__main__":
    sys.exit(main())

"""``python3 -m kestrix.vantle.molvar``: the command-line tool (see cli.py),
also installed as the ``molvar`` command.

This file runs as ``__main__`` after the package itself has been imported
under its own name, so there is one companion and one ``MolvarError``.
"""

import os
import sys

from kestrix.vantle.molvar.cli import main

if __name__ == "__main__":
    # Named as it was run, with the interpreter that runs it: "python3.12 -m ...".
    sys.exit(main(prog="%s -m kestrix.vantle.molvar" % (os.path.basename(sys.executable or "") or "python3")))

"""Writes examples/sample.molvar, a short stream of the kind a peer sends.

Run it again after a change to the format:
    .venv/bin/python examples/make_sample.py
"""

import os

from kestrix.vantle.molvar import dumps

# The encoder never writes vocabulary words, but peers may: index 26 is
# "message", 27 "answer".
MESSAGE = b"\x1a\x87"
ANSWER = b"\x1b\x87"

STREAM = b"".join(
    [
        MESSAGE + dumps([7, b"login", [b"alice", b"\x00\xff\x10"]]),
        ANSWER + dumps([7, [2147483647, -2147483648, 2**100, -(2**64)], [1.5, -0.1, 5e-324]]),
        dumps((b"nested", [[], [[b"deep"]]])),
        dumps(300),
    ]
)

if __name__ == "__main__":
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sample.molvar")
    with open(path, "wb") as sample:
        sample.write(STREAM)
    print("wrote %d bytes to %s" % (len(STREAM), path))

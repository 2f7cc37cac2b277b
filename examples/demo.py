"""Encode a realistic message, show its wire bytes, decode it in small chunks."""

import cMolvar
import kestrix.vantle.molvar  # noqa: F401  (installs the big-integer converters)

MESSAGE = [
    b"answer",
    7,
    [2147483647, -2147483648, 2**100, -(2**64)],
    [1.5, -0.1, 5e-324],
    (b"payload", b"\x00\xff" * 4),
    [],
]

buf = cMolvar.newBuf()
cMolvar.encode(MESSAGE, buf)
cMolvar.encode(b"second message", buf)
wire = buf.get()

print(f"{len(wire)} wire bytes:")
for offset in range(0, len(wire), 16):
    print(f"  {offset:04x}  {wire[offset:offset + 16].hex(' ')}")

print("decoded, fed 5 bytes at a time:")
state = cMolvar.newState()
pending = b""
for offset in range(0, len(wire), 5):
    pending += wire[offset : offset + 5]
    consumed = cMolvar.dataReceived(state, pending, lambda value: print("  ", value))
    pending = pending[consumed:]
assert pending == b""

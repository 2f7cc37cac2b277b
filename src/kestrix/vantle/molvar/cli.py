"""The command-line tool: ``molvar``, or ``python3 -m kestrix.vantle.molvar``.

``decode`` prints the values of a wire stream, or an annotated dump of its
elements with ``--hex``; ``encode`` turns Python literals into wire bytes.
Bad input ends the tool with a one-line message and exit status 1; a
command line it cannot carry out (binary output to a terminal, say) with
exit status 2.
"""

from __future__ import annotations

import argparse
import ast
import contextlib
import os
import re
import sys
from typing import Any, BinaryIO, Callable, ContextManager, Iterator, List, Optional, Sequence

from kestrix.vantle.molvar import Decoder, MolvarError, __version__, dumps, iter_load

PROG = "molvar"  # the console script's name; ``python -m`` passes its own (see __main__.py)
READ_SIZE = 1 << 16
PREVIEW_BYTES = 24
SHOWN_DIGITS = 5
INDENTED_LEVELS = 16  # --hex: deeper elements stay in this level's column, led by their depth

TYPE_NAMES = {
    0x80: "LIST",
    0x81: "INT",
    0x82: "STRING",
    0x83: "NEGINT",
    0x84: "FLOAT",
    0x85: "LONG",
    0x86: "NEGLONG",
    0x87: "VOCAB",
}
TYPE_LIST = 0x80
TYPE_STRING = 0x82
TYPE_FLOAT = 0x84
TYPE_VOCAB = 0x87
FLOAT_BODY_SIZE = 8
HEADER_LIMIT = 64

DESCRIPTION = """\
Look at and make cMolvar wire streams.

examples:
  %(prog)s decode examples/sample.molvar
  %(prog)s decode --hex examples/sample.molvar
  %(prog)s encode "[1, b'ab']" 2.5 --hex
  %(prog)s encode "[1, b'ab']" -o message.molvar
  %(prog)s decode < message.molvar
  %(prog)s --version
"""

DECODE_HELP = """\
Read a wire stream from FILE (or standard input) and print each top-level
value on its own line, as a Python literal. Byte strings print as b'...',
lists as [...]; `encode` reads these lines back.

With --hex, print one line per element instead: its byte offset (decimal),
its header digits and type byte (hex), the type's name, and its value (for a
list its item count, for a byte string its length and first bytes), with
the items of a list indented under it. From 16 enclosing lists on, the
indentation stays put and the number of enclosing lists leads the name, as
"17> INT". The whole input is read first.

Malformed or truncated input ends with one line on standard error, naming
the byte offset of the element at fault, and exit status 1.

examples:
  %(prog)s examples/sample.molvar
  %(prog)s --hex examples/sample.molvar
  cat examples/sample.molvar | %(prog)s
"""

ENCODE_HELP = """\
Encode each EXPR, a Python literal (read with ast.literal_eval, never
evaluated as code), as one top-level value. Without EXPR, read one literal
per line from standard input (the output of `decode`). Ints, floats, bytes
(b'...'), lists and tuples can be encoded; str, None and dicts cannot.

The bytes go to FILE with -o, or to standard output (also with -o -) when
it is redirected; like a compressor, the tool refuses to write them to a
terminal (--hex shows them there as an annotated dump).

examples:
  %(prog)s "[1, b'ab']" > message.molvar
  %(prog)s "[1, b'ab']" 2.5 --hex
  %(prog)s -5 1267650600228229401496703205376 -o ints.molvar
  {tool} decode a.molvar | %(prog)s -o b.molvar
"""


class UsageError(Exception):
    """A command line the tool cannot carry out: exit status 2, as argparse's own."""


def main(argv: Optional[Sequence[str]] = None, prog: str = PROG) -> int:
    """Runs the tool on ``argv`` (default: the process's arguments) and returns
    its exit status; ``prog`` is the name its usage and messages give it."""
    parser = build_parser(prog)
    args = parser.parse_args(argv)
    try:
        run: Callable[[argparse.Namespace], int] = args.run
        return run(args)
    except KeyboardInterrupt:
        if args.debug:
            raise
        return 130
    except UsageError as error:
        return fail(args, str(error), status=2)
    except MolvarError as error:
        if args.debug:
            raise
        return fail(args, str(error))
    except (OSError, RecursionError, ValueError, SyntaxError, MemoryError) as error:
        if args.debug:
            raise
        if isinstance(error, BrokenPipeError):
            return quiet_broken_pipe()
        if isinstance(error, RecursionError):  # repr() of a decoded value
            return fail(args, "a value nested too deeply to print as a literal (--hex shows it element by element)")
        return fail(args, describe(error))


def build_parser(prog: str = PROG) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=prog, description=DESCRIPTION, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.set_defaults(tool=prog)
    parser.add_argument("--version", action="version", version="%(prog)s " + __version__)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--debug", action="store_true", help="show a traceback on errors")

    def command(name, summary, description):
        return commands.add_parser(
            name,
            help=summary,
            description=description,
            parents=[common],
            formatter_class=argparse.RawDescriptionHelpFormatter,
        )

    decode = command("decode", "print the values of a wire stream", DECODE_HELP)
    decode.add_argument("file", nargs="?", metavar="FILE", help="the stream to read (default: standard input)")
    decode.add_argument("--hex", action="store_true", help="print an annotated dump, one element a line")
    decode.set_defaults(run=run_decode)

    encode = command("encode", "encode Python literals as a wire stream", ENCODE_HELP.format(tool=prog))
    encode.add_argument("exprs", nargs="*", metavar="EXPR", help="a Python literal (default: one per line on stdin)")
    encode.add_argument("-o", "--output", metavar="FILE", help="write the bytes to FILE (default, or -: standard output)")
    encode.add_argument("--hex", action="store_true", help="print an annotated dump instead of the bytes")
    encode.add_argument("--strict", action="store_true",
                        help="refuse what no reader accepts: ints of 2**448 and more, lists and byte strings over 655360")
    encode.set_defaults(run=run_encode)
    return parser


def run_decode(args: argparse.Namespace) -> int:
    with open_input(args.file) as stream:
        if args.hex:
            for line in annotate(stream.read()):
                print(line)
            return 0
        # Each value as soon as it is complete (on a pipe too); those before
        # an error are printed before it is raised.
        for value in iter_load(stream, READ_SIZE):
            print(repr(value), flush=True)
    return 0


def run_encode(args: argparse.Namespace) -> int:
    to_stdout = args.output is None or args.output == "-"
    if not args.hex and to_stdout and stdout_is_a_terminal():
        raise UsageError(
            "refusing to write binary output to a terminal: "
            "give -o FILE, redirect standard output (> FILE or | ...), or show the bytes with --hex"
        )
    if args.exprs:
        sources = [(index, expr) for index, expr in enumerate(args.exprs, 1)]
        where = "argument"
    else:
        if sys.stdin is None:
            raise OSError("no standard input to read")
        sources = [(number, line) for number, line in enumerate(sys.stdin, 1) if line.strip()]
        where = "line"
    wire = bytearray()
    for number, source in sources:
        try:
            value = ast.literal_eval(source.strip())
            wire += dumps(value, strict=args.strict)
        except (ValueError, SyntaxError, TypeError, MolvarError, OverflowError, SystemError, RecursionError) as error:
            if args.debug:
                raise
            return fail(args, "%s %d: %s" % (where, number, describe(error)))
    if args.hex and not to_stdout:
        with open(args.output, "w", encoding="utf-8") as output:
            output.writelines(line + "\n" for line in annotate(bytes(wire)))
    elif args.hex:
        for line in annotate(bytes(wire)):
            print(line)
    elif not to_stdout:
        with open(args.output, "wb") as output:
            output.write(wire)
    else:
        sys.stdout.buffer.write(wire)
        sys.stdout.buffer.flush()
    return 0


def stdout_is_a_terminal() -> bool:
    try:
        return sys.stdout is not None and sys.stdout.isatty()
    except (AttributeError, ValueError):  # a replaced or closed stdout
        return False


def open_input(path: Optional[str]) -> ContextManager[BinaryIO]:
    if path is not None and path != "-":
        return open(path, "rb")
    if sys.stdin is None:
        raise OSError("no standard input to read")
    return contextlib.nullcontext(sys.stdin.buffer)


def annotate(data: bytes) -> Iterator[str]:
    """One line per element of ``data``: offset, header digits, type, value.

    Each element is decoded on its own by a Decoder, so the values and the
    refusals are exactly the decoder's. Raises MolvarError at the first
    malformed or truncated element.
    """
    yield "%8s  %-18s %-5s %s" % ("offset", "header", "type", "element")
    remaining: List[int] = []  # items still due in each open list, innermost last
    pos = 0
    while pos < len(data):
        start = pos
        while pos < len(data) and data[pos] < TYPE_LIST and pos - start <= HEADER_LIMIT:
            pos += 1
        if pos - start > HEADER_LIMIT or pos == len(data):
            check_element(data[start:pos], start)
            raise _error(start, INCOMPLETE % plural(len(data) - start, "byte"))
        digits = data[start:pos]
        element_type = data[pos]
        pos += 1
        if element_type == TYPE_STRING and 0 <= _header_value(digits):
            pos += _header_value(digits)
        elif element_type == TYPE_FLOAT:
            pos += FLOAT_BODY_SIZE
        element = data[start:pos]
        values = check_element(element, start)
        if pos > len(data):
            raise _error(start, INCOMPLETE % plural(len(data) - start, "byte"))
        indent = indentation(len(remaining))
        name = TYPE_NAMES[element_type]
        yield "%8d  %-18s %02x    %s%-8s%s" % (
            start,
            show_digits(digits),
            element_type,
            indent,
            name,
            describe_element(element_type, digits, element, values),
        )
        if element_type == TYPE_LIST and _header_value(digits) > 0:
            remaining.append(_header_value(digits))
            continue
        # A finished item may finish its list, and that list its own.
        while remaining:
            remaining[-1] -= 1
            if remaining[-1]:
                break
            remaining.pop()
    if remaining:
        raise _error(len(data), "incomplete input: a list is still open at the end")



# What loads and Decoder.close say of an element cut off by the end.
INCOMPLETE = "incomplete input: %s of an element that needs more"

def indentation(depth: int) -> str:
    """What leads the name of an element inside ``depth`` lists: two spaces
    per list, up to INDENTED_LEVELS of them; deeper, the same width, ending
    with the depth (``17> ``). So a line's length never grows with the depth,
    and the dump stays within a constant factor of its input."""
    if depth < INDENTED_LEVELS:
        return "  " * depth
    return ("%d> " % depth).rjust(2 * INDENTED_LEVELS)


def _error(offset: int, message: str) -> MolvarError:
    """A MolvarError located at ``offset``, as the decoder raises them."""
    error = MolvarError("byte offset %d: %s" % (offset, message))
    error.offset = offset
    error.values = []
    return error


def _located(error: BaseException, offset: int) -> MolvarError:
    """The decoder's refusal of one element, located at ``offset`` in the
    whole input instead of in the element."""
    message = _OFFSET_PREFIX.sub("", str(error).strip(), count=1)
    return _error(offset, message or type(error).__name__)


_OFFSET_PREFIX = re.compile(r"^byte offset \d+: ")


def _header_value(digits: bytes) -> int:
    """The signed 32-bit number that header ``digits`` denote.

    Digit i is shifted left by (7 * i) mod 32 bits and the sum wraps at
    32 bits, exactly as the decoder reads headers.
    """
    total = 0
    for index, digit in enumerate(digits):
        total = (total + (digit << ((7 * index) % 32))) & 0xFFFFFFFF
    return total - (1 << 32) if total & 0x80000000 else total


def check_element(element: bytes, offset: int) -> List[Any]:
    """The values that one element decodes to on its own (none for a list's
    header), or the decoder's refusal, located at ``offset``."""
    try:
        return Decoder().feed(element)
    except MolvarError as error:
        raise _located(error, offset + getattr(error, "offset", 0)) from error


def show_digits(digits: bytes) -> str:
    shown = digits[:SHOWN_DIGITS].hex(" ")
    if len(digits) > SHOWN_DIGITS:
        shown += " +%d" % (len(digits) - SHOWN_DIGITS)
    return shown or "-"


def describe_element(element_type: int, digits: bytes, element: bytes, values: List[Any]) -> str:
    if element_type == TYPE_LIST:
        return plural(_header_value(digits), "item")
    value = values[0]
    if element_type == TYPE_STRING:
        body = element[len(digits) + 1 :]
        preview = repr(body[:PREVIEW_BYTES]) + ("..." if len(body) > PREVIEW_BYTES else "")
        return "%d bytes %s" % (len(body), preview)
    if element_type == TYPE_FLOAT:
        return repr(value) + (" (header digits ignored)" if digits else "")
    if element_type == TYPE_VOCAB:
        return "%d %r" % (_header_value(digits), value)
    return repr(value)


def plural(count: int, noun: str) -> str:
    return "%d %s%s" % (count, noun, "" if count == 1 else "s")


def describe(error: BaseException) -> str:
    if isinstance(error, RecursionError):
        return "nested too deeply: %s" % error
    if isinstance(error, SyntaxError):
        return "not a Python literal: %s" % (error.msg or "invalid syntax")
    if isinstance(error, ValueError) and "malformed node" in str(error):
        return "not a Python literal (only constants, lists and tuples, no names or operators)"
    if isinstance(error, OSError) and error.filename:
        return "%s: %s" % (error.filename, error.strerror or error)
    return str(error).strip() or type(error).__name__


def fail(args: argparse.Namespace, message: str, status: int = 1) -> int:
    sys.stdout.flush()
    print("%s %s: error: %s" % (args.tool, args.command, message), file=sys.stderr)
    return status


def quiet_broken_pipe() -> int:
    # The reader went away (``| head``): stop without a second error at exit.
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    return 1

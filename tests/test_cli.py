"""The command-line tool, run as `python3 -m kestrix.vantle.molvar` and as `molvar`."""

import os
import pty
import subprocess
import sys

import pytest

from kestrix.vantle.molvar import __version__, dumps
from kestrix.vantle.molvar.cli import main

from conftest import OUTSIDE, REPO

SAMPLE = os.path.join(REPO, "examples", "sample.molvar")
STREAM_VALUES = [[1, b"ab"], -5, 2**100, 2.5, [[], [b"\x00\xff"]]]
STREAM = b"".join(dumps(value) for value in STREAM_VALUES)
STREAM_LINES = [repr(value) for value in STREAM_VALUES]
AS_MODULE = [sys.executable, "-m", "kestrix.vantle.molvar"]
AS_SCRIPT = [os.path.join(os.path.dirname(sys.executable), "molvar")]  # the console script pip installed


def molvar(*args, stdin=b"", command=AS_MODULE):
    return subprocess.run(
        [*command, *args],
        cwd=OUTSIDE,
        input=stdin,
        capture_output=True,
        timeout=60,
    )


def one_error_line(result):
    assert result.returncode == 1
    assert b"Traceback" not in result.stderr
    lines = result.stderr.decode().splitlines()
    assert len(lines) == 1, lines
    return lines[0]


class TestDecode:
    def test_file_and_stdin(self, tmp_path):
        path = tmp_path / "stream.molvar"
        path.write_bytes(STREAM)
        from_file = molvar("decode", str(path))
        from_stdin = molvar("decode", stdin=STREAM)
        for result in (from_file, from_stdin):
            assert result.returncode == 0, result.stderr
            assert result.stdout.decode().splitlines() == STREAM_LINES

    def test_malformed_input(self):
        result = molvar("decode", stdin=STREAM + b"\x02\x80\x05\x81\x99")
        assert result.stdout.decode().splitlines() == STREAM_LINES  # what came before is kept
        line = one_error_line(result)
        assert "byte offset %d: invalid type byte 0x99" % (len(STREAM) + 4) in line

    def test_truncated_input(self):
        # The last element is the string 02 82 00 ff, cut short.
        line = one_error_line(molvar("decode", stdin=STREAM[:-1]))
        assert "byte offset %d: incomplete input: 3 bytes" % (len(STREAM) - 4) in line
        line = one_error_line(molvar("decode", stdin=STREAM[:-4]))
        assert "byte offset %d: incomplete input: a list is still open" % (len(STREAM) - 4) in line

    def test_debug_shows_the_traceback(self):
        result = molvar("decode", "--debug", stdin=b"\x88")
        assert result.returncode != 0
        assert b"Traceback" in result.stderr and b"MolvarError" in result.stderr

    def test_missing_file(self, tmp_path):
        line = one_error_line(molvar("decode", str(tmp_path / "absent")))
        assert "absent: No such file or directory" in line

    def test_too_deep_to_print(self, tmp_path, capsys):
        code, _, err = run_main(["decode"], b"\x01\x80" * 100000 + b"\x81", tmp_path, capsys)
        assert code == 1 and "nested too deeply" in err


class TestHexDump:
    def test_sample(self):
        result = molvar("decode", "--hex", SAMPLE)
        assert result.returncode == 0, result.stderr
        lines = result.stdout.decode().splitlines()
        assert lines[0].split() == ["offset", "header", "type", "element"]
        assert lines[1].split() == ["0", "1a", "87", "VOCAB", "26", "b'message'"]
        assert lines[-1].split() == ["127", "2c", "02", "81", "INT", "300"]

    def test_elements_and_nesting(self, tmp_path, capsys):
        wire = dumps([1, [b"ab", []], 2**40]) + b"\x07\x84" + dumps(1.5)[1:] + b"\x1f\x87" + dumps(-5)
        code, out, _ = run_main(["decode", "--hex"], wire, tmp_path, capsys)
        assert code == 0
        rows = [line.split() for line in out.splitlines()[1:]]
        assert rows == [
            ["0", "03", "80", "LIST", "3", "items"],
            ["2", "01", "81", "INT", "1"],
            ["4", "02", "80", "LIST", "2", "items"],
            ["6", "02", "82", "STRING", "2", "bytes", "b'ab'"],
            ["10", "00", "80", "LIST", "0", "items"],
            ["12", "00", "00", "00", "00", "00", "+1", "85", "LONG", str(2**40)],
            ["19", "07", "84", "FLOAT", "1.5", "(header", "digits", "ignored)"],
            ["29", "1f", "87", "VOCAB", "31", "b'uncache'"],
            ["31", "05", "83", "NEGINT", "-5"],
        ]
        indents = [len(line) - len(line.lstrip()) for line in (line[35:] for line in out.splitlines()[1:])]
        assert indents == [0, 2, 2, 4, 4, 2, 0, 0, 0]

    def test_deep_nesting_keeps_the_dump_linear(self, tmp_path, capsys):
        # Indented up to 16 enclosing lists; deeper, the same column, led by the depth.
        wire = b"\x01\x80" * 3000 + b"\x81"
        code, out, _ = run_main(["decode", "--hex"], wire, tmp_path, capsys)
        assert code == 0
        elements = [line[35:] for line in out.splitlines()[1:]]
        assert len(elements) == 3001
        assert [element.index("LIST") for element in elements[14:18]] == [28, 30, 32, 32]
        assert [element.split()[0] for element in elements[14:18]] == ["LIST", "LIST", "16>", "17>"]
        assert elements[-1].split() == ["3000>", "INT", "0"] and elements[-1].index("INT") == 32
        assert len(out) < 50 * len(wire)

    @pytest.mark.parametrize(
        "wire, offset, message",
        [
            # The decoder's own refusals, located in the whole input.
            (b"\x05\x81\x88", 2, ""),
            (b"\x05\x81" + b"\x01" * 65 + b"\x81", 2, ""),
            (b"\x05\x81\x01\x00\x28\x82", 2, ""),
            (b"\x05\x81\x20\x87", 2, ""),
            (b"\x05\x81\x04\x82ab", 2, "incomplete input: 4 bytes of an element that needs more"),
            (b"\x05\x81\x7f", 2, "incomplete input: 1 byte of an element that needs more"),
            (b"\x02\x80\x05\x81", 4, "incomplete input: a list is still open at the end"),
            (b"\x01\x80\x02\x80\x05\x81", 6, "incomplete input: a list is still open at the end"),
        ],
    )
    def test_bad_input(self, wire, offset, message, tmp_path, capsys):
        code, _, error = run_main(["decode", "--hex"], wire, tmp_path, capsys)
        assert code == 1 and error.count("\n") == 1
        assert "byte offset %d: " % offset in error and message in error
        assert error.count("byte offset") == 1


class TestEncode:
    def test_arguments_to_stdout_file_and_hex(self, tmp_path):
        exprs = ["[1, b'ab']", "-5", str(2**100), "2.5", "[(), [b'\\x00\\xff']]"]
        result = molvar("encode", *exprs)
        assert result.returncode == 0, result.stderr
        assert result.stdout == STREAM

        path = tmp_path / "out.molvar"
        assert molvar("encode", *exprs, "-o", str(path)).returncode == 0
        assert path.read_bytes() == STREAM
        assert molvar("encode", *exprs, "-o", "-").stdout == STREAM  # as `decode -` reads stdin
        assert not os.path.exists(os.path.join(OUTSIDE, "-"))

        shown = molvar("encode", *exprs, "--hex")
        assert shown.stdout.decode().splitlines()[1].split() == ["0", "02", "80", "LIST", "2", "items"]
        dump = tmp_path / "out.txt"  # the dump goes where -o says, as the bytes do
        assert molvar("encode", *exprs, "--hex", "-o", str(dump)).stdout == b""
        assert dump.read_text() == shown.stdout.decode()

    def test_reads_what_decode_prints(self):
        printed = molvar("decode", stdin=STREAM).stdout
        assert molvar("encode", stdin=printed).stdout == STREAM

    @pytest.mark.parametrize(
        "expr, message",
        [
            ("'text'", "argument 2: "),
            ("None", "argument 2: "),
            ("1e999", "argument 2: "),
            ("[1,", "argument 2: not a Python literal"),
            ("__import__('os').system('echo HACKED')", "argument 2: not a Python literal"),
            ("[%d]" % 2**448, "argument 2: cannot encode an int of 2**448 or more at [0]"),
        ],
    )
    def test_refusals(self, expr, message, capsys):
        assert main(["encode", "--strict", "-o", os.devnull, "1", expr]) == 1
        captured = capsys.readouterr()
        assert captured.out == "" and "HACKED" not in captured.out
        assert captured.err.count("\n") == 1 and message in captured.err


    def test_refuses_to_write_binary_to_a_terminal(self, tmp_path):
        def on_a_terminal(*args):
            controller, terminal = open_a_terminal()
            try:
                return subprocess.run(
                    [sys.executable, "-m", "kestrix.vantle.molvar", "encode", *args],
                    cwd=tmp_path, stdin=subprocess.DEVNULL, stdout=terminal, stderr=subprocess.PIPE, timeout=60,
                )
            finally:
                os.close(terminal)
                os.close(controller)

        refused = on_a_terminal("[1, b'ab']")
        assert refused.returncode == 2
        assert b"terminal" in refused.stderr and b"-o FILE" in refused.stderr and b"Traceback" not in refused.stderr
        assert on_a_terminal("[1, b'ab']", "-o", "-").returncode == 2
        assert on_a_terminal("[1, b'ab']", "--hex").returncode == 0
        assert on_a_terminal("[1, b'ab']", "-o", "out.molvar").returncode == 0
        assert (tmp_path / "out.molvar").read_bytes() == dumps([1, b"ab"])


def open_a_terminal():
    """A pseudo-terminal's two ends; the test is skipped where none can be
    opened (a chroot without /dev/pts)."""
    try:
        return pty.openpty()
    except OSError as error:
        pytest.skip("no pseudo-terminal: %s" % error)


def test_version():
    result = molvar("--version")
    assert result.returncode == 0 and result.stdout.decode().split() == [
        os.path.basename(sys.executable), "-m", "kestrix.vantle.molvar", __version__
    ]


def test_the_installed_script_runs_and_names_itself():
    assert molvar("--version", command=AS_SCRIPT).stdout.decode().split() == ["molvar", __version__]
    result = molvar("decode", stdin=STREAM, command=AS_SCRIPT)
    assert result.returncode == 0 and result.stdout.decode().splitlines() == STREAM_LINES
    assert one_error_line(molvar("decode", stdin=b"\x88", command=AS_SCRIPT)).startswith("molvar decode: error: ")


@pytest.mark.parametrize("args", [[], ["decode"], ["encode"]])
def test_help(args):
    result = molvar(*args, "--help")
    assert result.returncode == 0
    usage = "usage: %s -m kestrix.vantle.molvar" % os.path.basename(sys.executable)
    assert b"examples:" in result.stdout and usage.encode() in result.stdout


def test_no_command():
    result = molvar()
    assert result.returncode == 2 and b"usage:" in result.stderr


def run_main(args, data, tmp_path, capsys):
    """Runs the tool in this process on `data`; returns (exit code, out, err)."""
    path = tmp_path / "input.molvar"
    path.write_bytes(data)
    code = main(args + [str(path)])
    captured = capsys.readouterr()
    return code, captured.out, captured.err

"""The encoder: exact bytes at every boundary, type rules, failures."""

import struct

import pytest

import cMolvar
from kestrix.vantle.molvar import MolvarError

from conftest import encode

H = bytes.fromhex


@pytest.mark.parametrize(
    "value, wire",
    [
        (0, "00 81"),
        (5, "05 81"),
        (-5, "05 83"),
        (True, "01 81"),
        (False, "00 81"),
        (127, "7f 81"),
        (128, "00 01 81"),
        (300, "2c 02 81"),
        (16383, "7f 7f 81"),
        (16384, "00 00 01 81"),
        (2**31 - 1, "7f 7f 7f 7f 07 81"),
        (-(2**31), "00 00 00 00 08 83"),
        (-(2**31) + 1, "7f 7f 7f 7f 07 83"),
        # Past the 32-bit range: the companion's digits, then a long type byte.
        (2**31, "00 00 00 00 08 85"),
        (-(2**31) - 1, "01 00 00 00 08 86"),
        (2**64, "00 00 00 00 00 00 00 00 00 02 85"),
        (b"", "00 82"),
        (b"ab", "02 82 61 62"),
        ([], "00 80"),
        ((), "00 80"),
        ([1, b"ab"], "02 80 01 81 02 82 61 62"),
        ((1, 2), "02 80 01 81 02 81"),
        ([[[]]], "01 80 01 80 00 80"),
        (1.5, "84 3f f8 00 00 00 00 00 00"),
    ],
)
def test_golden_bytes(value, wire):
    assert encode(value) == H(wire)


@pytest.mark.parametrize("size, header", [(127, "7f"), (128, "00 01"), (655360, "00 00 28"), (655361, "01 00 28")])
def test_length_headers_at_boundaries(size, header):
    assert encode(b"z" * size) == H(header + "82") + b"z" * size
    assert encode([0] * size)[: len(H(header)) + 1] == H(header + "80")


def test_subclasses_encode_as_their_base():
    class Flag(int):
        pass

    class Blob(bytes):
        pass

    class Row(list):
        pass

    class Pair(tuple):
        pass

    class Real(float):
        pass

    value = [Flag(3), Blob(b"q"), Row([Pair((Real(1.5),))])]
    assert encode(value) == encode([3, b"q", [[1.5]]])


@pytest.mark.parametrize("bad", [None, "text", {}, set(), object(), 1j, bytearray(b"x")])
def test_unknown_types_are_refused_with_their_name(bad):
    buf = cMolvar.newBuf()
    with pytest.raises(MolvarError) as caught:
        cMolvar.encode(bad, buf)
    assert str(caught.value) == f"Unknown Python Type: {type(bad).__name__}"
    assert buf.get() == b""


def test_long_type_names_are_cut_to_fit_the_message():
    weird = type("W" * 400, (), {})()
    with pytest.raises(MolvarError) as caught:
        encode(weird)
    assert str(caught.value) == "Unknown Python Type: " + "W" * (255 - len("Unknown Python Type: "))


def test_failure_keeps_what_was_already_appended():
    buf = cMolvar.newBuf()
    with pytest.raises(MolvarError):
        cMolvar.encode([1, None], buf)
    assert buf.get() == H("02 80 01 81")


@pytest.mark.parametrize("target", [b"bytes", None, cMolvar.newState(), bytearray()])
def test_encoding_needs_a_buffer(target):
    with pytest.raises(MolvarError, match="^Encoding only accepts MolvarBufs$"):
        cMolvar.encode(5, target)


@pytest.mark.parametrize(
    "value, error, message",
    [
        (float("inf"), SystemError, "frexp() result out of range"),
        (float("-inf"), SystemError, "frexp() result out of range"),
        (float("nan"), SystemError, "frexp() result out of range"),
    ],
)
def test_unpackable_floats_append_nothing(value, error, message):
    buf = cMolvar.newBuf()
    with pytest.raises(error) as caught:
        cMolvar.encode([2, value], buf)
    assert str(caught.value) == message
    assert buf.get() == H("02 80 02 81")


def test_floats_match_big_endian_binary64():
    samples = [0.0, 1.0, -2.0, 0.1, 5e-324, 2.2250738585072014e-308, 2.225073858507201e-308, 1.7976931348623157e308]
    for value in samples + [-v for v in samples[1:]]:
        assert encode(value) == b"\x84" + struct.pack(">d", value)
    assert encode(-0.0) == H("84 00 00 00 00 00 00 00 00")


def test_self_containing_and_too_deep_values_raise_recursion_error():
    loop = [1]
    loop.append(loop)
    with pytest.raises(RecursionError):
        encode(loop)
    deep = []
    for _ in range(100_000):
        deep = [deep]
    with pytest.raises(RecursionError):
        encode(deep)


def test_big_ints_go_through_the_installed_converter(monkeypatch):
    calls = []

    def converter(magnitude, write):
        calls.append(magnitude)
        write(b"\x01\x02")

    monkeypatch.setattr(cMolvar, "pyint2b128", converter)
    assert encode([-(2**40), 2**40]) == H("02 80 01 02 86 01 02 85")
    assert calls == [2**40, 2**40]


def test_missing_or_failing_converter_fails_the_call(monkeypatch):
    monkeypatch.delattr(cMolvar, "pyint2b128")
    with pytest.raises(AttributeError):
        encode(2**40)
    monkeypatch.setattr(cMolvar, "pyint2b128", lambda magnitude, write: 1 / 0, raising=False)
    buf = cMolvar.newBuf()
    with pytest.raises(ZeroDivisionError):
        cMolvar.encode([7, 2**40], buf)
    assert buf.get() == H("02 80 07 81")


def test_int_subclass_is_asked_its_sign_and_negation(monkeypatch):
    class Odd(int):
        def __lt__(self, other):
            return True

        def __neg__(self):
            return 99

    seen = []
    monkeypatch.setattr(cMolvar, "pyint2b128", lambda magnitude, write: seen.append(magnitude))
    assert encode(Odd(2**40)) == H("86")
    assert seen == [99]


def test_a_length_past_32_bits_is_refused_not_wrapped():
    buf = cMolvar.newBuf()
    huge = bytes(2**32 + 2)  # zero pages that are never touched
    with pytest.raises(MolvarError, match="too long"):
        cMolvar.encode(huge, buf)
    assert buf.get() == b""


class TestRefusalsOfDumps:
    """dumps records a refusal where the encoder raises it, so its path and
    kind are never guessed from the exception's class afterwards."""

    def test_a_converters_own_exception_passes_through_unchanged(self, monkeypatch):
        from kestrix.vantle.molvar import dumps

        def failing(magnitude, write):
            raise SystemError("converter failed")

        monkeypatch.setattr(cMolvar, "pyint2b128", failing)
        for value in ([2**80, float("nan")], [[1, [2**80]], None]):
            with pytest.raises(SystemError, match="^converter failed$"):
                dumps(value)

    def test_lists_nested_too_deep_name_the_path(self):
        from kestrix.vantle.molvar import dumps
        from kestrix.vantle.molvar._native import _thresholds

        deep = []
        for _ in range(_thresholds["MAX_DEPTH"] + 1000):
            deep = [deep]
        with pytest.raises(RecursionError, match=r"^maximum depth of \d+ nested lists exceeded while encoding "
                                                 r"the list at \[2\]\[0\]\[0\].*\.\.\.\(\d+ levels\)\.\.\.\[0\]"):
            dumps([1, 2, deep])

    @pytest.mark.parametrize("strict", [False, True])
    def test_a_list_that_contains_itself_twice_is_refused_in_one_pass(self, strict):
        # Under strict this walked every path of the value: 2**5000 of them.
        from kestrix.vantle.molvar import dumps

        loop = []
        loop += [loop, loop]
        for value, message in ((loop, "the list contains itself"), ((b"", (loop,)), r"the list at \[1\]\[0\] contains itself")):
            with pytest.raises(RecursionError, match="^%s$" % message):
                dumps(value, strict=strict)

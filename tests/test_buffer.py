"""The output buffer: content across growth, reuse after clear, arguments, limits."""

import os
import tracemalloc

import pytest

import cMolvar

from conftest import encode

PAYLOAD = bytes(range(256)) * 40  # 10240 bytes, every byte value


def block_growth(*writes):
    """Bytes the buffer's block grew by while taking `writes` (the block
    comes from the interpreter's allocator, so tracemalloc sees it)."""

    def traced_after(chunks):
        buf = cMolvar.newBuf()
        before = tracemalloc.get_traced_memory()[0]
        for chunk in chunks:
            buf.write(chunk)
        return tracemalloc.get_traced_memory()[0] - before, buf

    tracemalloc.start()
    try:
        baseline, _ = traced_after([b""] * len(writes))
        grown, buf = traced_after(writes)
        return grown - baseline, buf
    finally:
        tracemalloc.stop()


@pytest.mark.parametrize(
    "writes, growth",
    [
        ([PAYLOAD[:1024]], 0),
        ([PAYLOAD[:1024], PAYLOAD[:1]], 1024),
        ([PAYLOAD[:5000]], 8192 - 1024),  # 1024 -> 2048 -> 4096 -> 8192 in one append
        ([PAYLOAD[:700], PAYLOAD[:700], PAYLOAD[:700]], 4096 - 1024),
    ],
)
def test_block_doubles_only_when_full_and_keeps_content(writes, growth):
    grown, buf = block_growth(*writes)
    assert abs(grown - growth) < 64
    assert buf.get() == b"".join(writes)


def test_clear_empties_but_keeps_the_block():
    buf = cMolvar.newBuf()
    assert buf.get() == b""
    buf.write(PAYLOAD[:5000])
    buf.clear()
    assert buf.get() == b""
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        buf.write(PAYLOAD[:8000])
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 64
    assert buf.get() == PAYLOAD[:8000]


def test_get_returns_a_copy_and_leaves_the_buffer():
    buf = cMolvar.newBuf()
    buf.write(b"abc")
    first = buf.get()
    buf.write(b"def")
    assert (first, buf.get()) == (b"abc", b"abcdef")


def test_a_large_content_given_out_whole_is_never_written_again():
    # Content that fills its block is given out without a copy; whatever
    # the buffer does next must leave that result as it was.
    buf = cMolvar.newBuf()
    big = PAYLOAD * 8
    buf.write(big)
    given = buf.get()
    assert given == big and buf.get() == big
    buf.write(b"tail")
    assert (given, buf.get()) == (big, big + b"tail")
    buf.clear()
    assert buf.get() == b""
    buf.write(big)
    again = buf.get()
    buf.clear()
    buf.write(PAYLOAD[::-1] * 8)
    assert (given, again, buf.get()) == (big, big, PAYLOAD[::-1] * 8)


def test_a_payload_then_small_items_is_handed_over_cut_to_size_and_never_written_again():
    # The block made for the payload is given out cut to the content: the
    # result must not change whatever the buffer does next.
    buf = cMolvar.newBuf()
    payload = bytes(range(256)) * 200  # 51200 bytes
    cMolvar.encode([payload, 7], buf)
    given = buf.get()
    assert given == encode([payload, 7])
    buf.write(b"tail")
    cMolvar.encode([payload[::-1], 8], buf)
    assert given == encode([payload, 7])
    assert buf.get() == encode([payload, 7]) + b"tail" + encode([payload[::-1], 8])
    buf.clear()
    cMolvar.encode([b"z" * 40000, 9], buf)
    assert given == encode([payload, 7]) and buf.get() == encode([b"z" * 40000, 9])


def test_write_takes_any_bytes_like_object():
    buf = cMolvar.newBuf()
    buf.write(bytearray(b"ab"))
    buf.write(memoryview(b"xcdx")[1:3])
    buf.write(b"")
    assert buf.get() == b"abcd"


@pytest.mark.parametrize(
    "call, name",
    [
        (lambda buf: buf.write(5), "write"),
        (lambda buf: buf.write("text"), "write"),
        (lambda buf: buf.write(), "write"),
        (lambda buf: buf.write(b"a", b"b"), "write"),
        (lambda buf: buf.get(1), "get"),
        (lambda buf: buf.clear(1), "clear"),
    ],
)
def test_argument_errors_name_the_method(call, name):
    buf = cMolvar.newBuf()
    with pytest.raises(TypeError, match=name):
        call(buf)
    assert buf.get() == b""


def test_unknown_attributes_raise_attribute_error():
    with pytest.raises(AttributeError):
        cMolvar.newBuf().read


@pytest.mark.skipif(bool(os.environ.get("MOLVAR_SANITIZE")), reason="too large for a sanitizer run")
@pytest.mark.parametrize("size", [2**31, 2**32 + 5])
def test_growth_past_the_32_bit_counts_raises_memory_error_and_changes_nothing(size):
    buf = cMolvar.newBuf()
    buf.write(b"x")
    huge = bytes(size)  # zero pages that are never touched
    with pytest.raises(MemoryError):
        buf.write(huge)
    del huge
    assert buf.get() == b"x"

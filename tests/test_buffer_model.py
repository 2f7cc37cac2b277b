"""The output buffer and the encoder against a plain model, over many calls.

The buffer keeps its block in one of two owners (a PyMem block, a bytes
object it may hand over) and moves between them at sizes that the speed
work chose. Any sequence of writes, encodes, gets, clears and dumps, of any
sizes, must give exactly the bytes written, and a result once returned
never changes. The sizes are drawn at and around every threshold the
native module names, and past them.
"""

import io

from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

import cMolvar
from kestrix.vantle.molvar import dump, dumps
from kestrix.vantle.molvar._native import _thresholds

from test_against_model import model_encode

EDGES = sorted(
    {
        edge + shift
        for edge in (
            _thresholds["INITIAL_CAPACITY"],
            _thresholds["FIT_SIZE"],
            _thresholds["HAND_OVER_SIZE"],
            2 * _thresholds["HAND_OVER_SIZE"],
            _thresholds["SIZE_LIMIT"],
        )
        for shift in (-_thresholds["TAIL_ROOM"] - 1, -7, -1, 0, 1, 7, _thresholds["TAIL_ROOM"] + 1)
    }
)
sizes = st.one_of(st.integers(0, 64), st.sampled_from(EDGES), st.integers(0, 3 * 2**20))


@st.composite
def payloads(draw):
    size = draw(sizes)
    return bytes([draw(st.integers(0, 255))]) * size


scalars = st.one_of(
    payloads(),
    st.integers(-(2**70), 2**70),
    st.floats(allow_nan=False, allow_infinity=False),
)
values = st.one_of(scalars, st.lists(scalars, max_size=4), st.lists(st.lists(scalars, max_size=3), max_size=3))


class BufferMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.buf = cMolvar.newBuf()
        self.expected = bytearray()
        self.results = []  # (a bytes returned, what it held when returned)

    def keep(self, result, expected):
        assert result == expected
        self.results.append((result, bytes(expected)))

    @rule(data=payloads())
    def write(self, data):
        self.buf.write(data)
        self.expected += data

    @rule(value=values)
    def encode(self, value):
        cMolvar.encode(value, self.buf)
        self.expected += model_encode(value)

    @rule()
    def get(self):
        self.keep(self.buf.get(), self.expected)

    @rule()
    def clear(self):
        self.buf.clear()
        self.expected.clear()

    @rule(value=values)
    def dumps(self, value):
        self.keep(dumps(value), model_encode(value))

    @rule(value=values)
    def dump(self, value):
        stream = io.BytesIO()
        dump(value, stream)
        self.keep(stream.getvalue(), model_encode(value))

    @invariant()
    def results_never_change(self):
        for result, held in self.results[-4:]:
            assert result == held


BufferMachine.TestCase.settings = settings(max_examples=60, stateful_step_count=12, deadline=None)
test_buffer_and_encoder_match_the_model = BufferMachine.TestCase


def test_blocks_handed_over_then_grown_keep_every_byte():
    # A block made for one large request belongs to a bytes object; growing
    # it again, below the hand-over size or past it, must not treat it as a
    # plain block (this aborted the process).
    fit, tail = _thresholds["FIT_SIZE"], _thresholds["TAIL_ROOM"]
    value = [b"x" * fit, b"y" * (2 * tail - 48)]
    assert dumps(value) == model_encode(value)
    buf = cMolvar.newBuf()
    cMolvar.encode(value, buf)
    assert buf.get() == model_encode(value)
    for between, left in ((lambda buf: None, b"x" * fit), (lambda buf: buf.get(), b"x" * fit), (lambda buf: buf.clear(), b"")):
        buf = cMolvar.newBuf()
        buf.write(b"x" * fit)
        between(buf)
        kept = buf.get()
        buf.write(b"y" * 2000)
        buf.write(b"z" * fit * 5)
        assert (kept, buf.get()) == (left, left + b"y" * 2000 + b"z" * fit * 5)

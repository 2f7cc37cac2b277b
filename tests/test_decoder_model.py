"""The companion's Decoder over many calls, against a plain model.

A stream (whole values, then maybe a malformed tail) is fed in pieces of
any size, with and without limits, and closed at any point. The model is
the same stream decoded in one call by the plain model of the format, and
a Decoder with the same limits fed the stream whole: whatever the pieces,
the values delivered, the refusal (its text, offset and values), what
follows it, and what `consumed` and `pending` say must be the same, and
what the decoder holds stays within the documented bound.
"""

import tracemalloc

from hypothesis import assume, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

from kestrix.vantle.molvar import Decoder, MolvarError, dumps

from test_against_model import model_decode

scalars = st.one_of(st.integers(-(2**80), 2**80), st.floats(allow_nan=False, allow_infinity=False), st.binary(max_size=300))
values = st.recursive(scalars, lambda inner: st.lists(inner, max_size=6), max_leaves=25)
tails = st.sampled_from([b"", b"", b"\x88", b"\x05", b"\x03\x80\x01\x81", b"\x00" * 70 + b"\x81", b"\x7f\x7f\x7f\x7f\x7f\x82"])


def outcome(decoder, chunks):
    """Values delivered, and the MolvarError that stopped the stream (or None)."""
    received = []
    try:
        for chunk in chunks:
            received += decoder.feed(chunk)
    except MolvarError as error:
        received += error.values
        return received, error
    return received, None


class DecoderMachine(RuleBasedStateMachine):
    @initialize(sent=st.lists(values, max_size=6), tail=tails, max_depth=st.sampled_from([None, 3, 64]),
                max_buffer_size=st.sampled_from([None, 600, 4096, 1 << 20]))
    def start(self, sent, tail, max_depth, max_buffer_size):
        self.stream = b"".join(map(dumps, sent)) + tail
        self.limits = {"max_depth": max_depth, "max_buffer_size": max_buffer_size}
        self.decoder = Decoder(**self.limits)
        self.whole = outcome(Decoder(**self.limits), [self.stream])
        if max_depth is None and max_buffer_size is None:
            model_values, _, model_error = model_decode(self.stream)
            assert self.whole[0] == model_values or (model_error and self.whole[1])
        self.fed = 0
        self.received = []
        self.error = None
        self.closed = False

    @precondition(lambda self: not self.closed)
    @rule(size=st.integers(0, 700))
    def feed(self, size):
        chunk = self.stream[self.fed : self.fed + size]
        self.fed += len(chunk)
        tracemalloc.start()
        try:
            got = self.decoder.feed(chunk)
        except MolvarError as error:
            self.check_refusal(error)
            return
        finally:
            _, peak = tracemalloc.get_traced_memory()
            tracemalloc.stop()
        assert self.error is None, "a stopped decoder fed again must raise"
        self.received += got
        assert self.received == self.whole[0][: len(self.received)]
        limit = self.limits["max_buffer_size"]
        if limit is not None:
            # What is held, and the values made from one read, stay within
            # about twice the limit, plus the read and the list returned.
            assert peak <= 2 * limit + len(chunk) + 64 * len(got) + 16384, peak

    def check_refusal(self, error):
        if self.error is not None:
            assert error.offset == self.error.offset and str(self.error) in str(error)
            return
        self.error = error
        self.received += error.values
        assert self.whole[1] is not None and str(error) == str(self.whole[1])
        assert (error.offset, self.received) == (self.whole[1].offset, self.whole[0])

    @precondition(lambda self: not self.closed)
    @rule()
    def close(self):
        self.closed = True
        try:
            self.decoder.close()
        except MolvarError as error:
            if self.error is not None:
                return
            # Stopped inside an element or a list: where the decoding stands.
            assert error.offset == self.decoder.consumed
            self.error = error
            return
        assert self.error is None
        assert self.received == self.whole[0][: len(self.received)]
        if self.fed == len(self.stream) and self.whole[1] is None:
            assert self.received == self.whole[0]

    @precondition(lambda self: self.closed)
    @rule()
    def feed_after_close(self):
        try:
            self.decoder.feed(b"\x05\x81")
        except MolvarError as error:
            assert "closed" in str(error) or (self.error is not None and str(self.error) in str(error))
        else:
            raise AssertionError("a closed decoder took more bytes")

    @invariant()
    def counts_follow_the_stream(self):
        if getattr(self, "decoder", None) is None or self.error is not None:
            return
        assert self.decoder.consumed + self.decoder.pending == self.fed
        assert self.decoder.error is None


DecoderMachine.TestCase.settings = settings(max_examples=150, stateful_step_count=25, deadline=None)
test_decoder_matches_the_model_over_many_calls = DecoderMachine.TestCase

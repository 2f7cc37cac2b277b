"""The decoder state: open lists across calls, delivery, release."""

import gc
import weakref

import pytest

import cMolvar

from conftest import decode, decode_chunks, encode

H = bytes.fromhex


class Marker:
    """A value that can be watched for release."""


@pytest.fixture
def markers(monkeypatch):
    """Make every big integer decode as a fresh Marker; returns their weakrefs."""
    made = []

    def convert(digits):
        marker = Marker()
        made.append(weakref.ref(marker))
        return marker

    monkeypatch.setattr(cMolvar, "pyb1282int", convert)
    return made


def test_destroying_a_state_releases_open_lists_and_their_items(markers):
    state = cMolvar.newState()
    # An outer list of 2 holding one marker, and an inner empty list of 3.
    assert decode(H("02 80 85 03 80"), state) == ([], 5)
    assert markers[0]() is not None
    del state
    assert markers[0]() is None


def test_states_destroyed_with_open_lists_come_back_clean(monkeypatch):
    # Destroyed states are kept for reuse. Each one here dies holding open
    # lists, whose item's release makes and uses another state meanwhile.
    seen = []

    class MakesAState:
        def __del__(self):
            seen.append(decode(H("05 81"), cMolvar.newState()))

    monkeypatch.setattr(cMolvar, "pyb1282int", lambda digits: MakesAState())
    for _ in range(4):
        state = cMolvar.newState()
        assert decode(H("02 80 85 03 80"), state) == ([], 5)
        del state
    assert seen == [([5], 2)] * 4
    assert decode(H("05 81 01 80 06 81")) == ([5, [6]], 6)


def test_a_failed_list_delivery_leaves_an_empty_stack(markers):
    state = cMolvar.newState()

    def refuse(value):
        raise ValueError(value)

    with pytest.raises(ValueError):
        cMolvar.dataReceived(state, H("01 80 85"), refuse)
    gc.collect()
    assert markers[0]() is None  # the refused list went with the exception
    assert decode(H("05 81"), state) == ([5], 2)  # top level again


def test_one_item_closes_every_list_it_completes():
    calls = []
    state = cMolvar.newState()
    assert cMolvar.dataReceived(state, H("01 80 01 80 01 80"), calls.append) == 6
    assert calls == []
    assert cMolvar.dataReceived(state, H("2a 81"), calls.append) == 2
    assert calls == [[[[42]]]]


def test_lists_fill_across_many_calls_as_one():
    items = [list(range(n)) for n in range(40)] + list(range(-500, 1000))
    wire = encode(items)
    assert decode_chunks(wire[offset : offset + 7] for offset in range(0, len(wire), 7)) == ([items], b"")


def test_no_partly_filled_list_is_reachable_between_calls():
    state = cMolvar.newState()
    assert decode(H("05 80 01 81 02 81"), state) == ([], 6)
    partial = [obj for obj in gc.get_objects() if type(obj) is list and obj[:2] == [1, 2] and len(obj) == 5]
    assert partial == []
    calls = []
    cMolvar.dataReceived(state, H("03 81 04 81 05 81"), calls.append)
    assert calls == [[1, 2, 3, 4, 5]]


def test_a_cycle_through_an_open_list_is_collected(monkeypatch):
    class Holder:
        pass

    holder = Holder()
    holder.state = cMolvar.newState()
    monkeypatch.setattr(cMolvar, "pyb1282int", lambda digits: holder)
    # A list of 2 stays open with the holder, which holds the state, in it.
    assert cMolvar.dataReceived(holder.state, H("02 80 01 85"), pytest.fail) == 4
    assert gc.get_referents(holder.state) == [holder]
    watch = weakref.ref(holder)
    del holder
    gc.collect()
    assert watch() is None

"""Threads: on a free-threaded build, with no global lock, every object is
locked per call, so threads with their own objects get exactly what one
thread gets, and threads sharing an object are serialised, never unsafe.
On other builds the same tests check that nothing relies on one thread."""

import os
import random
import subprocess
import sys
import sysconfig
import threading
import time

import pytest

import cMolvar
from kestrix.vantle import molvar

from conftest import OUTSIDE

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
THREADS = 4
# The stress session repeats the races below for many rounds, bounded in
# time (MOLVAR_STRESS_ROUNDS, MOLVAR_STRESS_SECONDS); the suite runs a few.
STRESS_ROUNDS = int(os.environ.get("MOLVAR_STRESS_ROUNDS", "3"))
STRESS_SECONDS = float(os.environ.get("MOLVAR_STRESS_SECONDS", "20"))


def rounds():
    """The rounds of a race, until STRESS_ROUNDS or STRESS_SECONDS."""
    deadline = time.monotonic() + STRESS_SECONDS
    for round_ in range(STRESS_ROUNDS):
        if round_ and time.monotonic() > deadline:
            return
        yield round_


def run_threads(target, count=THREADS):
    """Runs target(index) in `count` threads started together; re-raises
    the first exception any of them raised."""
    barrier = threading.Barrier(count)
    errors = []

    def body(index):
        try:
            barrier.wait()
            target(index)
        except BaseException as error:  # noqa: B902  (reported below)
            errors.append(error)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if errors:
        raise errors[0]


def messages(seed, count=300):
    """RPC-like messages: words that repeat, ints of every size, floats, nesting."""
    rng = random.Random(seed)
    words = [b"call", b"reply", b"object-%d" % seed, b"method", b"x" * 40]
    return [
        [rng.choice(words), rng.randrange(-(2**31), 2**31), [rng.random(), rng.choice(words)],
         rng.randrange(2**40, 2**130) * rng.choice((1, -1)), [[i, b"%d" % i] for i in range(rng.randrange(4))]]
        for _ in range(count)
    ]


def test_threads_with_their_own_objects_get_the_single_threaded_results():
    # More threads than dumps and loads keep objects for (8, by thread, where
    # there is no global lock), so that some meet on one; the large value
    # hands its buffer's block over, and the next call grows it again.
    count = 12
    expected = {i: messages(i) + [[b"%d" % i * 20_000]] for i in range(count)}
    wire = {i: [molvar.dumps(m) for m in expected[i]] for i in expected}

    def work(index):
        for _ in range(3):
            assert [molvar.dumps(m) for m in expected[index]] == wire[index]
            assert [molvar.loads(data) for data in wire[index]] == expected[index]
            decoder = molvar.Decoder()
            stream = b"".join(wire[index])
            got = []
            for start in range(0, len(stream), 13):
                got += decoder.feed(stream[start:start + 13])
            decoder.close()
            assert got == expected[index]
            buf = cMolvar.newBuf()
            for value in expected[index]:
                cMolvar.encode(value, buf)
            assert buf.get() == stream
            state, received = cMolvar.newState(), []
            assert cMolvar.dataReceived(state, stream, received.append) == len(stream)
            assert received == expected[index]

    run_threads(work, count)


def test_threads_sharing_one_object_never_crash():
    decoder = molvar.Decoder()
    buf = cMolvar.newBuf()
    state = cMolvar.newState()
    stream = b"".join(molvar.dumps(m) for m in messages(7, 100))
    delivered = []

    def work(index):
        for start in range(0, len(stream), 11):
            chunk = stream[start:start + 11]
            try:
                delivered.extend(decoder.feed(chunk))
            except (molvar.MolvarError, RuntimeError):
                pass  # interleaved chunks make a malformed stream, or meet a feed in progress
            try:
                cMolvar.encode([index, b"abc", 2**70], buf)
                if start % 5 == 0:
                    buf.get()
                    buf.clear()
            except RuntimeError:
                pass  # met another thread's encode in progress
            try:
                cMolvar.dataReceived(state, chunk, delivered.append)
            except (molvar.MolvarError, SystemError, RuntimeError):
                pass  # as the decoder's, and the state's refusal of a second thread (host code lets one in)

    run_threads(work)
    # Whatever came through is made of whole values; the buffer holds whole encodes.
    molvar.loads(molvar.dumps(delivered))
    held, values = buf.get(), []
    assert cMolvar.dataReceived(cMolvar.newState(), held, values.append) == len(held)
    assert all(value[1:] == [b"abc", 2**70] for value in values)


def test_a_buffer_in_use_by_one_thread_refuses_the_others():
    # An encode runs host code in the middle (here a converter that waits),
    # and the buffer's lock does not hold across it: another thread's call
    # is refused, never interleaved; the owning thread's own writes go in.
    buf = cMolvar.newBuf()
    inside, release = threading.Event(), threading.Event()
    own = molvar.pyint2b128

    def waiting(magnitude, write):
        inside.set()
        assert release.wait(30)
        own(magnitude, write)

    refused = []

    def other():
        assert inside.wait(30)
        for call in (lambda: cMolvar.encode([1], buf), lambda: buf.write(b"x"), buf.get, buf.clear):
            try:
                call()
            except RuntimeError as error:
                refused.append(str(error))
        release.set()

    thread = threading.Thread(target=other)
    thread.start()
    cMolvar.pyint2b128 = waiting
    try:
        cMolvar.encode([b"ab", 2**70, 3], buf)
    finally:
        cMolvar.pyint2b128 = own
        release.set()
        thread.join()
    assert refused == ["the buffer is in use by a call in another thread"] * 4
    assert buf.get() == molvar.dumps([b"ab", 2**70, 3])
    cMolvar.encode(5, buf)  # free again once the encode is done
    assert buf.get() == molvar.dumps([b"ab", 2**70, 3]) + molvar.dumps(5)


def test_a_state_in_its_receiver_callback_refuses_other_threads():
    # The callback is host code, across which the state's lock does not
    # hold: another thread's dataReceived is refused, not interleaved, while
    # the callback's own call on this thread goes on as before.
    state = cMolvar.newState()
    inside, release = threading.Event(), threading.Event()
    received, refused = [], []

    def callback(value):
        received.append(value)
        if value == 1:
            inside.set()
            assert release.wait(30)
            received.append(cMolvar.dataReceived(state, molvar.dumps(3), received.append))

    def other():
        assert inside.wait(30)
        try:
            cMolvar.dataReceived(state, molvar.dumps(9), received.append)
        except RuntimeError as error:
            refused.append(str(error))
        release.set()

    thread = threading.Thread(target=other)
    thread.start()
    try:
        assert cMolvar.dataReceived(state, molvar.dumps(1) + molvar.dumps(2), callback) == 4
    finally:
        release.set()
        thread.join()
    assert refused == ["the state is in use by a call in another thread"]
    assert received == [1, 3, 2, 2]


def test_a_list_resized_by_another_thread_while_it_is_encoded():
    shared = list(range(2000))
    stop = threading.Event()

    def mutate():
        while not stop.is_set():
            shared.append(2**80)
            del shared[-1]
            shared.extend([b"x"] * 3)
            del shared[-3:]

    mutator = threading.Thread(target=mutate)
    mutator.start()
    outcomes = set()
    try:
        for _ in range(300):
            for encode in (molvar.dumps, lambda value: native_encode(value)):
                try:
                    data = encode(shared)
                except RuntimeError as error:
                    assert str(error) == "list changed size during encoding"
                    outcomes.add("refused")
                else:
                    value = molvar.loads(data)  # one well-formed value
                    assert value[:2000] == list(range(2000))
                    outcomes.add("encoded")
    finally:
        stop.set()
        mutator.join()
    assert "encoded" in outcomes or "refused" in outcomes


def native_encode(value):
    buf = cMolvar.newBuf()
    cMolvar.encode(value, buf)
    return buf.get()


def test_converters_rebound_while_other_threads_encode_big_ints():
    values = [2**100 + i for i in range(50)] + [-(2**90)]
    expected = molvar.dumps(values)
    own_to, own_from = molvar.pyint2b128, molvar.pyb1282int

    def to_digits(magnitude, write):
        own_to(magnitude, write)

    def from_digits(digits):
        return own_from(digits)

    def work(index):
        for round_ in range(200):
            if index == 0:
                cMolvar.pyint2b128 = to_digits if round_ % 2 else own_to
                cMolvar.pyb1282int = from_digits if round_ % 2 else own_from
            else:
                assert molvar.dumps(values) == expected
                assert native_encode(values) == expected
                assert molvar.loads(expected) == values

    try:
        run_threads(work)
    finally:
        cMolvar.pyint2b128, cMolvar.pyb1282int = own_to, own_from


@pytest.mark.skipif(not FREE_THREADED, reason="a build with the global lock")
def test_importing_our_modules_keeps_the_gil_off():
    code = ("import sys, cMolvar, kestrix.vantle.molvar, kestrix.vantle.molvar.aio, kestrix.vantle.molvar.cli\n"
            "assert not sys._is_gil_enabled()\n")
    result = subprocess.run([sys.executable, "-W", "error", "-c", code], cwd=OUTSIDE, capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 0, result.stderr


def test_a_shared_buffer_while_a_nested_lists_lock_is_contended():
    # One thread encodes [inner] into a buffer while others encode small
    # values into it and others take inner's lock: where the list's lock
    # blocks, the buffer's is suspended. Every encode is whole, or refused.
    inner = list(range(300))
    small = [b"ab", 7, 2**70]
    for _ in rounds():
        buf = cMolvar.newBuf()
        stop = threading.Event()

        def contend(index):
            if index == 0:
                for _ in range(30):
                    try:
                        cMolvar.encode([inner], buf)
                    except RuntimeError:
                        pass
                stop.set()
            elif index == 1:
                while not stop.is_set():
                    inner.append(0)
                    inner.pop()
            else:
                while not stop.is_set():
                    try:
                        cMolvar.encode(small, buf)
                    except RuntimeError:
                        pass

        run_threads(contend)
        held, values = buf.get(), []
        assert cMolvar.dataReceived(cMolvar.newState(), held, values.append) == len(held)
        # [inner] as it stood, with or without the item the other thread appends.
        assert all(value == small or (len(value) == 1 and value[0][:300] == list(range(300))) for value in values)


def test_lists_resized_under_strict_are_refused_or_whole():
    shared = [b"x", 2**100, [1, 2]] * 100
    for _ in rounds():
        stop = threading.Event()

        def work(index):
            if index == 0:
                while not stop.is_set():
                    shared.append(b"y")
                    shared.pop()
                return
            try:
                for _ in range(50):
                    try:
                        value = molvar.loads(molvar.dumps(shared, strict=True))
                    except RuntimeError as error:
                        assert str(error) == "list changed size during encoding"
                    else:
                        assert value[:300] == [b"x", 2**100, [1, 2]] * 100
            finally:
                stop.set()

        run_threads(work, 2)

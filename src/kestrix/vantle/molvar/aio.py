"""Values on asyncio connections, with streams or with a protocol.

Streams::

    async for value in read_values(reader):
        await write_value_and_drain(writer, [b"echo", value])

Protocols: subclass ``MolvarProtocol`` and override ``value_received``::

    class Echo(MolvarProtocol):
        def value_received(self, value):
            self.send_value(value)

    server = await loop.create_server(Echo, "127.0.0.1", 0)

Both decode with one ``Decoder`` per connection, so memory grows with the
bytes a peer has actually sent, never with the sizes its headers announce,
and both respect back-pressure: ``write_value_and_drain`` waits for the
transport's buffer to drain, and ``MolvarProtocol`` stops reading while its
transport's write buffer is full. Both take an ``idle_timeout`` that drops
a peer that stalls, and the ``Decoder``'s limits, ``max_depth`` and
``max_buffer_size``, that bound what one peer can make the process hold
(docs/limits.md sizes them). Errors carry the byte offset in the stream,
counted from the first byte received on the connection.
"""

from __future__ import annotations

import asyncio
import logging
from typing import Any, AsyncIterator, Optional

from kestrix.vantle.molvar import Decoder, MolvarError, dumps
from kestrix.vantle.molvar.files import check_chunk_size, feed_slices, new_decoder, slice_size

__all__ = ["MolvarProtocol", "read_values", "write_value", "write_value_and_drain"]

DEFAULT_CHUNK_SIZE = 65536

logger = logging.getLogger(__name__)


def read_values(
    reader: asyncio.StreamReader,
    chunk_size: int = DEFAULT_CHUNK_SIZE,
    idle_timeout: Optional[float] = None,
    *,
    max_depth: Optional[int] = None,
    max_buffer_size: Optional[int] = None,
) -> AsyncIterator[Any]:
    """An async iterator over the values arriving on ``reader``.

    Each value is yielded as soon as its last byte has arrived, reading at
    most ``chunk_size`` bytes at a time; the iteration ends when the peer
    closes its side cleanly. Values completed before an error have been
    yielded when it is raised: ``MolvarError`` for malformed input or for a
    stream that ends inside a value. Close the connection after an error:
    the stream cannot be resynchronised.

    With ``idle_timeout`` (seconds), a wait that long for the next bytes
    raises ``asyncio.TimeoutError``: a peer that stalls inside a value, or
    between values, is then dropped by the caller.

    ``max_depth`` and ``max_buffer_size`` are the ``Decoder``'s: a peer that
    opens more lists at once, or makes the decoder hold more bytes for
    values not yet delivered, raises ``MolvarError`` at that byte, whatever
    the reads. Bad limits raise here, before anything is read.
    """
    check_chunk_size(chunk_size)
    decoder = new_decoder("read_values() ", max_depth, max_buffer_size)
    return _read_values(reader, chunk_size, idle_timeout, decoder, slice_size(max_buffer_size))


async def _read_values(
    reader: asyncio.StreamReader,
    chunk_size: int,
    idle_timeout: Optional[float],
    decoder: Decoder,
    step: Optional[int],
) -> AsyncIterator[Any]:
    while True:
        if idle_timeout is None:
            chunk = await reader.read(chunk_size)
        else:
            chunk = await asyncio.wait_for(reader.read(chunk_size), idle_timeout)
        if not chunk:
            break
        for values in feed_slices(decoder, chunk, step):
            for value in values:
                yield value
            del values
    decoder.close()


def write_value(writer: asyncio.StreamWriter, value: Any, *, strict: bool = False) -> None:
    """Encode ``value`` and write it to ``writer``, without waiting.

    Errors are those of ``dumps`` (``strict`` as there); nothing is written
    for a value that cannot be encoded. Await ``writer.drain()`` now and
    then, or use ``write_value_and_drain``, so that a slow peer slows the
    sender down.
    """
    writer.write(dumps(value, strict=strict))


async def write_value_and_drain(writer: asyncio.StreamWriter, value: Any, *, strict: bool = False) -> None:
    """Write ``value`` to ``writer`` and wait until its buffer has drained
    below its high-water mark (``StreamWriter.drain``)."""
    writer.write(dumps(value, strict=strict))
    await writer.drain()


class MolvarProtocol(asyncio.Protocol):
    """A protocol that receives and sends values; subclass it.

    Override ``value_received(value)``; call ``send_value(value)`` to
    answer. Subclasses that override ``connection_made``, ``data_received``,
    ``eof_received``, ``pause_writing`` or ``resume_writing`` call the base
    method too.

    Malformed input, or a peer that closes its side inside a value, calls
    ``bad_input(error)`` with the ``MolvarError``, after the values that
    came before it in the same chunk have been received. Its default aborts
    the connection at once: a peer cannot raise inside the event loop, nor
    keep a broken stream open (not even by refusing to read what is still
    queued for it). Bytes received after bad input are ignored.

    Back-pressure: while the transport's write buffer is above its
    high-water mark (``pause_writing``), reading is paused, so a peer that
    sends requests without reading the answers is slowed down instead of
    filling this process's memory. Reading resumes on ``resume_writing``.
    Once the transport is closing, no more values are delivered.

    A peer that stalls holds only what it has sent, but it holds the
    connection. Set ``idle_timeout`` (seconds, on the subclass or the
    instance) to call ``timed_out()`` when that long passes without a byte
    received; its default aborts the connection. Choose it to fit the
    application: a client waiting for a long answer sends nothing either.

    ``max_depth`` and ``max_buffer_size`` (on the subclass or the instance,
    read when the connection is made) are the limits of its ``Decoder``: a
    peer that goes over either is bad input, and dropped. A server on the
    internet sets both, and ``idle_timeout``; docs/limits.md sizes them.

    An exception raised by ``value_received`` is the subclass's own fault,
    not the peer's: it propagates to the transport, which for asyncio's
    socket transports logs it and closes the connection.
    """

    transport: Optional[asyncio.Transport] = None
    idle_timeout: Optional[float] = None
    max_depth: Optional[int] = None
    max_buffer_size: Optional[int] = None
    _decoder: Optional[Decoder] = None
    _limited_to: Optional[int] = None  # the decoder's max_buffer_size
    _failed = False  # no more input taken: bad input, or closed inside a read
    _paused_reading = False  # reading paused by pause_writing
    _idle_timer: Optional[asyncio.TimerHandle] = None
    _last_received = 0.0  # the event loop's time of the last bytes received

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        self.transport = transport  # type: ignore[assignment]
        self._decoder = self._new_decoder()
        self._failed = False
        self._paused_reading = False
        if self.idle_timeout is not None:
            loop = asyncio.get_running_loop()
            self._last_received = loop.time()
            self._idle_timer = loop.call_later(self.idle_timeout, self._check_idle)

    def data_received(self, data: bytes) -> None:
        if self._idle_timer is not None:
            self._last_received = asyncio.get_running_loop().time()
        if self._failed:
            return
        decoder = self._decoder
        if decoder is None:  # a subclass did not call connection_made here
            decoder = self._decoder = self._new_decoder()
        transport = self.transport
        # Each slice's values are received before the next slice is decoded.
        slices = feed_slices(decoder, data, slice_size(self._limited_to))
        while True:
            try:
                values = next(slices, None)
            except MolvarError as caught:  # its values came as the last slice's
                error = caught
                break
            except Exception as caught:  # whatever else the decoder may raise on a peer's bytes
                error = _as_molvar_error(caught, decoder.consumed)
                break
            if values is None:
                return
            for value in values:
                if transport is not None and transport.is_closing():
                    self._failed = True  # the rest of the read is not decoded: take no more
                    return
                self.value_received(value)
            del values
        self._failed = True
        # The decoder keeps its error until the connection is lost: it
        # must not keep this frame, with the chunk, in a cycle through
        # the frame's locals (its traceback tells nothing of the peer).
        error.__traceback__ = None
        if error.__cause__ is not None:
            error.__cause__.__traceback__ = None
        self.bad_input(error)

    def eof_received(self) -> Optional[bool]:
        """End of the peer's stream: ``bad_input`` if it stopped inside a
        value. Returns None, so that the transport closes after sending what
        is queued; return True from an override to keep sending."""
        self._stop_idle_timer()  # nothing more can arrive
        if not self._failed and self._decoder is not None:
            try:
                self._decoder.close()
            except MolvarError as error:
                self._failed = True
                self.bad_input(error)
        return None

    def connection_lost(self, exc: Optional[Exception]) -> None:
        self._stop_idle_timer()
        self._decoder = None  # releases what an incomplete value held

    def value_received(self, value: Any) -> None:
        """Called once for each value received, in order. Override it."""

    def send_value(self, value: Any) -> None:
        """Encode ``value`` and write it to the transport.

        Errors are those of ``dumps``; nothing is written for a value that
        cannot be encoded.
        """
        transport = self.transport
        if transport is None:
            raise RuntimeError("send_value before connection_made: no transport")
        transport.write(dumps(value))

    def bad_input(self, error: MolvarError) -> None:
        """The peer sent malformed input, or stopped inside a value.

        The default aborts the connection, discarding what is still queued
        for the peer. Override it to log or answer first; the decoder takes
        no more input from this connection either way.
        """
        transport = self.transport
        if transport is not None:
            logger.debug("dropping %s: %s", transport.get_extra_info("peername"), error)
            transport.abort()

    def timed_out(self) -> None:
        """Nothing was received for ``idle_timeout`` seconds. The default
        aborts the connection; override it to warn the peer first."""
        transport = self.transport
        if transport is not None:
            logger.debug("dropping %s: idle for %s s", transport.get_extra_info("peername"), self.idle_timeout)
            transport.abort()

    def _new_decoder(self) -> Decoder:
        decoder = new_decoder(type(self).__name__ + ".", self.max_depth, self.max_buffer_size)
        self._limited_to = self.max_buffer_size
        return decoder

    def _check_idle(self) -> None:
        self._idle_timer = None
        transport, idle_timeout = self.transport, self.idle_timeout
        if transport is None or idle_timeout is None or transport.is_closing():
            return
        loop = asyncio.get_running_loop()
        deadline = self._last_received + idle_timeout
        if loop.time() >= deadline:
            self.timed_out()
        else:
            self._idle_timer = loop.call_at(deadline, self._check_idle)

    def _stop_idle_timer(self) -> None:
        if self._idle_timer is not None:
            self._idle_timer.cancel()
            self._idle_timer = None

    def pause_writing(self) -> None:
        transport = self.transport
        if transport is not None and not transport.is_closing() and transport.is_reading():
            transport.pause_reading()
            self._paused_reading = True

    def resume_writing(self) -> None:
        if self._paused_reading:
            self._paused_reading = False
            transport = self.transport
            if transport is not None and not transport.is_closing():
                transport.resume_reading()


def _as_molvar_error(error: Exception, offset: int) -> MolvarError:
    """A MolvarError, located at ``offset``, for another decoding failure."""
    wrapped = MolvarError("byte offset %d: decoder failed: %s: %s" % (offset, type(error).__name__, error))
    wrapped.offset = offset
    wrapped.values = []
    wrapped.__cause__ = error
    return wrapped

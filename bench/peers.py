"""The codecs measured: cMolvar by its two paths, and the peers.

"raw" is cMolvar's native API: one buffer made with ``newBuf()`` and reused
(``clear`` + ``encode`` + ``get`` per value), and ``newState()`` +
``dataReceived`` per blob. "API" is ``kestrix.vantle.molvar.dumps`` /
``loads``. Each peer is called the way its documentation recommends for
speed: msgspec through one reused ``msgspec.msgpack.Encoder`` / ``Decoder``,
msgpack through one reused ``Packer`` and ``unpackb``, ormsgpack's and
cbor2's ``packb``/``dumps`` and ``unpackb``/``loads``, ``marshal`` at its
default version, ``pickle`` at protocol 5.

A peer that is not installed is left out with a note, never an error: the
quick mode runs on interpreters where some peers are absent. cbor2 counts
only with its C extension; its pure-Python fallback is left out too.
"""

from __future__ import annotations

import functools
import importlib
import marshal
import pickle
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import cMolvar
from kestrix.vantle import molvar

Run = Callable[[], List[Any]]
Maker = Callable[[Sequence[Any]], Run]

# The column order of every table: our two paths, then the peers.
OURS = ("raw", "API")
PEERS = ("msgspec", "ormsgpack", "msgpack", "cbor2", "marshal", "pickle")


def one_by_one(convert: Callable[[Any], Any]) -> Maker:
    """A task maker that runs ``convert`` (a dumps or a loads) on each input."""

    def maker(inputs: Sequence[Any]) -> Run:
        def run() -> List[Any]:
            out: List[Any] = []
            append = out.append
            for item in inputs:
                append(convert(item))
            return out

        return run

    return maker


class Codec:
    """One column: how to encode and decode one value, and task makers that
    run the whole loop over a corpus and return what it produced (freed by
    the timing loop, as a caller would free it)."""

    def __init__(
        self,
        name: str,
        dumps: Callable[[Any], bytes],
        loads: Callable[[bytes], Any],
        keeps_tuples: bool = False,
        encoder: Optional[Maker] = None,
        decoder: Optional[Maker] = None,
        version: str = "",
    ) -> None:
        self.name = name
        self.dumps = dumps
        self.loads = loads
        self.keeps_tuples = keeps_tuples  # False: tuples come back as lists
        self.encoder = encoder or one_by_one(dumps)
        self.decoder = decoder or one_by_one(loads)
        self.version = version


# ------------------------------------------------------------------ ours


def raw_encode_one(value: Any) -> bytes:
    buf = cMolvar.newBuf()
    cMolvar.encode(value, buf)
    return buf.get()


def raw_decode_one(blob: bytes) -> Any:
    out: List[Any] = []
    consumed = cMolvar.dataReceived(cMolvar.newState(), blob, out.append)
    if consumed != len(blob) or len(out) != 1:
        raise AssertionError("dataReceived consumed %r of %d bytes, gave %d values" % (consumed, len(blob), len(out)))
    return out[0]


def raw_encoder(values: Sequence[Any]) -> Run:
    buf = cMolvar.newBuf()
    clear, get, encode = buf.clear, buf.get, cMolvar.encode

    def run() -> List[Any]:
        out: List[Any] = []
        append = out.append
        for value in values:
            clear()
            encode(value, buf)
            append(get())
        return out

    return run


def raw_decoder(blobs: Sequence[bytes]) -> Run:
    new_state, data_received = cMolvar.newState, cMolvar.dataReceived

    def run() -> List[Any]:
        out: List[Any] = []
        append = out.append
        for blob in blobs:
            data_received(new_state(), blob, append)
        return out

    return run


def our_codecs() -> List[Codec]:
    return [
        Codec("raw", raw_encode_one, raw_decode_one, encoder=raw_encoder, decoder=raw_decoder),
        Codec("API", molvar.dumps, molvar.loads),
    ]


# ----------------------------------------------------------------- peers


def _version(distribution: str) -> str:
    try:
        from importlib.metadata import version

        return version(distribution)
    except Exception:  # not installed as a distribution
        return "?"


def _msgspec() -> Codec:
    import msgspec

    encoder, decoder = msgspec.msgpack.Encoder(), msgspec.msgpack.Decoder()
    return Codec("msgspec", encoder.encode, decoder.decode, version=_version("msgspec"))


def _ormsgpack() -> Codec:
    import ormsgpack

    return Codec("ormsgpack", ormsgpack.packb, ormsgpack.unpackb, version=_version("ormsgpack"))


def _msgpack() -> Codec:
    import msgpack

    packer = msgpack.Packer(use_bin_type=True)  # autoreset: pack returns the bytes
    return Codec("msgpack", packer.pack, msgpack.unpackb, version=_version("msgpack"))


def _cbor2() -> Codec:
    import cbor2

    try:
        native = importlib.import_module("cbor2._cbor2")
    except ImportError:
        native = None
    if native is None or cbor2.dumps is not getattr(native, "dumps", None):
        raise ImportError("cbor2 without its C extension")
    return Codec("cbor2", cbor2.dumps, cbor2.loads, version=_version("cbor2"))


def _marshal() -> Codec:
    return Codec("marshal", marshal.dumps, marshal.loads, keeps_tuples=True, version="v%d" % marshal.version)


def _pickle() -> Codec:
    return Codec(
        "pickle", functools.partial(pickle.dumps, protocol=5), pickle.loads, keeps_tuples=True, version="protocol 5"
    )


_PEER_MAKERS = {
    "msgspec": _msgspec,
    "ormsgpack": _ormsgpack,
    "msgpack": _msgpack,
    "cbor2": _cbor2,
    "marshal": _marshal,
    "pickle": _pickle,
}


def peer_codecs() -> Tuple[List[Codec], Dict[str, str]]:
    """The peers present, in table order, and a note for each one missing."""
    present, missing = [], {}
    for name in PEERS:
        try:
            present.append(_PEER_MAKERS[name]())
        except ImportError as error:
            missing[name] = str(error) or "not installed"
    return present, missing


# --------------------------------------------------------------- streams


def chunks_of(data: bytes, size: int) -> List[bytes]:
    return [data[offset : offset + size] for offset in range(0, len(data), size)]


def decoder_feed(stream: bytes, size: int) -> Run:
    """The API's ``Decoder`` fed ``stream`` in chunks of ``size`` bytes."""
    chunks = chunks_of(stream, size)
    decoder_class = molvar.Decoder

    def run() -> List[Any]:
        feed = decoder_class().feed
        out: List[Any] = []
        for chunk in chunks:
            out += feed(chunk)
        return out

    return run


def msgpack_unpacker_feed(stream: bytes, size: int) -> Run:
    """msgpack's ``Unpacker`` fed in chunks, each followed by iteration."""
    import msgpack

    chunks = chunks_of(stream, size)
    unpacker_class = msgpack.Unpacker

    def run() -> List[Any]:
        unpacker = unpacker_class()
        feed = unpacker.feed
        out: List[Any] = []
        for chunk in chunks:
            feed(chunk)
            out.extend(unpacker)
        return out

    return run


# ---------------------------------------------------------- round trips


def as_lists(value: Any) -> Any:
    """``value`` with its tuples turned into lists, as most codecs return it."""
    if isinstance(value, (list, tuple)):
        return [as_lists(item) for item in value]
    return value


def same(left: Any, right: Any) -> bool:
    """Equal, and of the same types all the way down (1 == 1.0 and
    b"" == bytearray() would not do)."""
    if type(left) is not type(right):
        return False
    if isinstance(left, (list, tuple)):
        return len(left) == len(right) and all(same(a, b) for a, b in zip(left, right))
    return bool(left == right)


def expected_back(codec: Codec, value: Any) -> Any:
    return value if codec.keeps_tuples else as_lists(value)

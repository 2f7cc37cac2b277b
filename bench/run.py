"""cMolvar against the serializers a Python user would pick instead.

Reproduce (from the repository's root; about 2-3 minutes on 2 cores):

    sh bench/prepare                                   # .venv-bench: peers from PyPI + this tree
    .venv-bench/bin/python bench/run.py                # tables on stdout, bench/results.json
    .venv-bench/bin/python bench/chart.py              # bench/ratios.png from the JSON
    .venv-bench/bin/python bench/run.py --quick        # seconds: checks only, figures meaningless

``scripts/bench`` does the first two steps. Options: ``--repeats N`` (samples
per task, default 9), ``--target S`` (seconds per sample, default 0.02;
``--family-target``, default 0.01, for the family members), ``--filter WORD``
(only the corpora and members whose name contains it), ``--json PATH``,
``--clock cpu|wall`` (default cpu: the process's CPU time, which another
process running on the same core does not inflate; see timing.py),
``--seed N`` (the families' seed; by default a new one each run, printed),
``--part fixed|families`` (one half only), ``--no-floor``.

Codecs (see peers.py): cMolvar's native API ("raw": newBuf/encode/get,
newState/dataReceived) and its companion's ``dumps``/``loads`` ("API"),
against msgspec, ormsgpack, msgpack, cbor2 (C extension), marshal and
pickle protocol 5. A peer that is not installed is skipped with a note.
Corpora (see corpora.py) hold distinct objects, except the "shared words" ones,
which repeat their byte strings on purpose and are reported apart. The corpus
families (see families.py) step each shape through its range, drawn from a
seed; each family is reported as the min, median and max of its members'
ratios. The floor (floor.cpp, built by floor_build.py) is timed beside the
codecs: the objects of each value made from a parsed plan (decode), a copy
of our output's bytes (encode).

Every corpus is encoded and decoded by every codec that can carry it, all in
this one process and interleaved sample by sample, so that ratios hold on a
noisy machine. A sample is the best of N repeats of a loop long enough to be
timed, garbage collector off, after a warm-up run. Before any timing, each
timed loop's output is checked: the encoders' bytes decode back to the
corpus (same types all the way down; tuples become lists except in marshal
and pickle), and both cMolvar paths write the same bytes.

Reported: milliseconds per corpus per codec; ours / peer for both our paths
(below 1.0: cMolvar is faster); the worst ratio of each row; ours / fastest
peer per row and its geometric mean over the distinct-object rows; the 600
KB byte string against a plain copy of the same size (``memoryview(data)
.tobytes()``: one new bytes object, one memcpy) in both directions; and
``Decoder.feed`` against msgpack's ``Unpacker.feed`` + iteration on streams
cut into 1 KiB and 64 KiB chunks.
"""

from __future__ import annotations

import argparse
import datetime
import json
import math
import os
import platform
import sys
import time
from typing import Any, Dict, List, Optional, Sequence, Tuple

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))  # the sibling modules, also under -P

import corpora as corpora_module  # noqa: E402
import peers as peers_module  # noqa: E402
from corpora import Corpus  # noqa: E402
from peers import OURS, Codec  # noqa: E402
from timing import CLOCKS, best_of, geometric_mean, set_clock  # noqa: E402

import families as families_module  # noqa: E402
import floor_build  # noqa: E402

# The floor's column (bench/floor.cpp), when it could be built: see load_floor().
FLOOR_NAME = "floor"
# The floor that makes the short byte strings once for each content, as a
# cache of them would at best, whether or not the corpus shares them.
FLOOR_WORDS_NAME = "floor, words shared"
FLOORS = (FLOOR_NAME, FLOOR_WORDS_NAME)
FLOOR: Any = None

HERE = os.path.dirname(os.path.abspath(__file__))
KIB = 1024
CHUNK_SIZES = (("64 B", 64), ("1 KiB", KIB), ("4 KiB", 4 * KIB), ("64 KiB", 64 * KIB), ("256 KiB", 256 * KIB))
BIG_BYTES = "600 KB bytes"


class Failure(Exception):
    """A codec that does not round-trip a corpus: the benchmark stops."""


# ------------------------------------------------------------- checking


def checked_tasks(corpus: Corpus, codecs: Sequence[Codec]) -> Tuple[Dict[str, Any], Dict[str, Any], Dict[str, List[bytes]]]:
    """The encode and decode loops of every codec that carries ``corpus``,
    each run once and its output checked; and the blobs each encoder made."""
    encoders: Dict[str, Any] = {}
    decoders: Dict[str, Any] = {}
    blobs: Dict[str, List[bytes]] = {}
    for codec in codecs:
        if codec.name not in OURS and not corpus.carried_by(codec.name):
            continue
        encoder = codec.encoder(corpus.values)
        encoded = encoder()
        decoder = codec.decoder(encoded)
        expected = [peers_module.expected_back(codec, value) for value in corpus.values]
        if not peers_module.same(decoder(), expected):
            raise Failure(f"{codec.name} does not round-trip {corpus.name!r}")
        encoders[codec.name], decoders[codec.name], blobs[codec.name] = encoder, decoder, encoded
    if blobs["raw"] != blobs["API"]:
        raise Failure(f"newBuf/encode/get and dumps write different bytes for {corpus.name!r}")
    if FLOOR is not None:
        # The floor: a copy of our output's bytes; the objects made from plans.
        encoders[FLOOR_NAME] = peers_module.one_by_one(FLOOR.copy)(blobs["raw"])
        decoders[FLOOR_NAME] = peers_module.one_by_one(FLOOR.build)(FLOOR.plan(list(corpus.values)))
        decoders[FLOOR_WORDS_NAME] = peers_module.one_by_one(FLOOR.build)(FLOOR.plan(list(corpus.values), True))
        expected = peers_module.as_lists(corpus.values)
        if encoders[FLOOR_NAME]() != blobs["raw"] or not all(
            peers_module.same(decoders[name](), expected) for name in FLOORS
        ):
            raise Failure(f"the floor does not make {corpus.name!r} again")
    return encoders, decoders, blobs


def checked_streams(corpus: Corpus, blobs: Dict[str, List[bytes]]) -> Dict[str, Any]:
    """The chunked decoders of ``corpus``'s concatenated encoding, checked."""
    expected = peers_module.as_lists(corpus.values)
    tasks: Dict[str, Any] = {}
    ours = b"".join(blobs["raw"])
    packed = b"".join(blobs["msgpack"]) if "msgpack" in blobs else None
    for label, size in CHUNK_SIZES:
        tasks[f"Decoder {label}"] = peers_module.decoder_feed(ours, size)
        if packed is not None:
            tasks[f"Unpacker {label}"] = peers_module.msgpack_unpacker_feed(packed, size)
    for name, run in tasks.items():
        if not peers_module.same(run(), expected):
            raise Failure(f"{name} does not decode the stream of {corpus.name!r}")
    tasks["bytes"] = len(ours)
    return tasks


# ------------------------------------------------------------ measuring


def ratio_row(corpus: Corpus, direction: str, best: Dict[str, float]) -> Dict[str, Any]:
    """One table row: times, ours / each peer, the worst, ours / fastest."""
    peer_names = [name for name in best if name not in OURS and name not in FLOORS]
    row: Dict[str, Any] = {
        "corpus": corpus.name,
        "direction": direction,
        "repeats": corpus.repeats,
        "ms": {name: seconds * 1e3 for name, seconds in best.items()},
        "ratios": {ours: {peer: best[ours] / best[peer] for peer in peer_names} for ours in OURS},
    }
    if FLOOR_NAME in best:
        # Each codec's time over the floor's (see floor.cpp): 1.0 is the least possible.
        row["floor"] = {name: seconds / best[FLOOR_NAME] for name, seconds in best.items() if name not in FLOORS}
    if FLOOR_WORDS_NAME in best:
        row["floor_words"] = {name: seconds / best[FLOOR_WORDS_NAME] for name, seconds in best.items() if name not in FLOORS}
    if peer_names:
        fastest = min(peer_names, key=best.__getitem__)
        worst = max(((r, ours, peer) for ours in OURS for peer, r in row["ratios"][ours].items()))
        row["fastest_peer"] = fastest
        row["vs_fastest"] = {ours: best[ours] / best[fastest] for ours in OURS}
        row["worst"] = {"ratio": worst[0], "ours": worst[1], "peer": worst[2]}
    return row


def log(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


def measure(
    corpora: Sequence[Corpus], codecs: Sequence[Codec], repeats: int, target: float
) -> Tuple[List[Dict[str, Any]], Optional[Dict[str, Any]], List[Dict[str, Any]]]:
    """Rows of the main tables, the plain-copy comparison, the stream rows."""
    rows: List[Dict[str, Any]] = []
    copy: Optional[Dict[str, Any]] = None
    streams: List[Tuple[Corpus, Dict[str, Any]]] = []
    for corpus in corpora:
        encoders, decoders, blobs = checked_tasks(corpus, codecs)
        for direction, tasks in (("encode", encoders), ("decode", decoders)):
            best = best_of(list(tasks.items()), repeats, target)
            rows.append(ratio_row(corpus, direction, best))
            log(f"  {corpus.name}, {direction}")
        if corpus.stream and hasattr(peers_module.molvar, "Decoder"):
            streams.append((corpus, checked_streams(corpus, blobs)))
        if corpus.name == BIG_BYTES:
            copy = measure_copy(corpus.values[0], encoders, decoders, repeats, target)
        del encoders, decoders, blobs
    return rows, copy, [measure_stream(corpus, tasks, repeats, target) for corpus, tasks in streams]


def measure_copy(data: bytes, encoders: Dict[str, Any], decoders: Dict[str, Any], repeats: int, target: float) -> Dict[str, Any]:
    """Our two paths on the big byte string against one plain copy of it."""
    view = memoryview(data)
    tasks = [("copy", lambda: view.tobytes())]
    tasks += [(f"{ours} encode", encoders[ours]) for ours in OURS]
    tasks += [(f"{ours} decode", decoders[ours]) for ours in OURS]
    best = best_of(tasks, repeats, target)
    log("  600 KB against a plain copy")
    return {
        "bytes": len(data),
        "copy_ms": best["copy"] * 1e3,
        "ratios": {
            direction: {ours: best[f"{ours} {direction}"] / best["copy"] for ours in OURS} for direction in ("encode", "decode")
        },
    }


def measure_stream(corpus: Corpus, tasks: Dict[str, Any], repeats: int, target: float) -> Dict[str, Any]:
    size = tasks.pop("bytes")
    best = best_of(list(tasks.items()), repeats, target)
    log(f"  stream of {corpus.name}")
    ratios = {}
    for label, _ in CHUNK_SIZES:
        if f"Unpacker {label}" in best:
            ratios[label] = best[f"Decoder {label}"] / best[f"Unpacker {label}"]
    return {"stream": corpus.name, "bytes": size, "ms": {name: s * 1e3 for name, s in best.items()}, "ratios": ratios}


def spread(values: Sequence[float]) -> List[float]:
    """[min, median, max] of ``values``."""
    ordered = sorted(values)
    middle = len(ordered) // 2
    median = ordered[middle] if len(ordered) % 2 else (ordered[middle - 1] + ordered[middle]) / 2
    return [ordered[0], median, ordered[-1]]


def summarize(rows: Sequence[Dict[str, Any]]) -> Dict[str, Any]:
    """A family's ratios in one direction: [min, median, max] over its
    members, per (our path, peer), against the floor, and against the
    fastest peer of each member."""
    summary: Dict[str, Any] = {"ratios": {}, "floor": {}, "floor_words": {}, "vs_fastest": {}}
    for ours in OURS:
        peers: Dict[str, List[float]] = {}
        for row in rows:
            for peer, value in row["ratios"][ours].items():
                peers.setdefault(peer, []).append(value)
        summary["ratios"][ours] = {peer: spread(values) for peer, values in peers.items()}
        summary["vs_fastest"][ours] = spread([row["vs_fastest"][ours] for row in rows])
    names: Dict[str, List[float]] = {}
    for row in rows:
        for name, value in row.get("floor", {}).items():
            names.setdefault(name, []).append(value)
    summary["floor"] = {name: spread(values) for name, values in names.items()}
    words: Dict[str, List[float]] = {}
    for row in rows:
        for name, value in row.get("floor_words", {}).items():
            words.setdefault(name, []).append(value)
    summary["floor_words"] = {name: spread(values) for name, values in words.items()}
    return summary


def measure_families(
    families: Sequence[families_module.Family], codecs: Sequence[Codec], repeats: int, target: float
) -> List[Dict[str, Any]]:
    """Every member of every family, both ways, and each family's summary."""
    out = []
    for family in families:
        members = []
        for corpus in family.members:
            encoders, decoders, _ = checked_tasks(corpus, codecs)
            entry: Dict[str, Any] = {"label": corpus.label, "repeats": corpus.repeats}
            for direction, tasks in (("encode", encoders), ("decode", decoders)):
                entry[direction] = ratio_row(corpus, direction, best_of(list(tasks.items()), repeats, target))
            members.append(entry)
            log(f"  {corpus.name}")
            del encoders, decoders
        out.append(
            {
                "name": family.name,
                "parameter": family.parameter,
                "members": members,
                "summary": {direction: summarize([m[direction] for m in members]) for direction in ("encode", "decode")},
            }
        )
    return out


# ------------------------------------------------------------ reporting


def machine(codecs: Sequence[Codec]) -> Dict[str, Any]:
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {
        "cpu": model,
        "cores": os.cpu_count(),
        "system": f"{platform.system()} {platform.release()}",
        "python": f"{platform.python_implementation()} {platform.python_version()}",
        "versions": {"cMolvar": peers_module._version("cMolvar"), **{c.name: c.version for c in codecs if c.name not in OURS}},
    }


def ms(value: float) -> str:
    if value >= 100:
        return f"{value:.0f}"
    if value >= 10:
        return f"{value:.1f}"
    if value >= 1:
        return f"{value:.2f}"
    return f"{value:.3f}"


def ratio(value: Optional[float]) -> str:
    return "-" if value is None or math.isnan(value) else f"{value:.2f}"


def tables(rows: Sequence[Dict[str, Any]], peer_names: Sequence[str]) -> List[str]:
    """The milliseconds table and the ratios table of ``rows``."""
    columns = list(OURS) + list(peer_names)
    lines = ["| corpus | | " + " | ".join(columns) + " |", "|---|---|" + "---:|" * len(columns)]
    for row in rows:
        cells = [ms(row["ms"][c]) if c in row["ms"] else "-" for c in columns]
        lines.append(f"| {row['corpus']} | {row['direction']} | " + " | ".join(cells) + " |")
    lines += ["", "Ratios ours / peer, raw / API (below 1.0: cMolvar is faster):", ""]
    header = "| corpus | | " + " | ".join(peer_names) + " | worst | raw, API / fastest peer |"
    lines += [header, "|---|---|" + "---:|" * len(peer_names) + "---|---|"]
    for row in rows:
        cells = []
        for peer in peer_names:
            if peer in row["ratios"]["raw"]:
                cells.append(f"{ratio(row['ratios']['raw'][peer])} / {ratio(row['ratios']['API'][peer])}")
            else:
                cells.append("-")
        if "worst" in row:
            worst = row["worst"]
            cells.append(f"**{ratio(worst['ratio'])}** {worst['ours']} / {worst['peer']}")
            fastest = row["vs_fastest"]
            cells.append(f"{ratio(fastest['raw'])}, {ratio(fastest['API'])} ({row['fastest_peer']})")
        else:
            cells += ["-", "-"]
        lines.append(f"| {row['corpus']} | {row['direction']} | " + " | ".join(cells) + " |")
    return lines


def span(values: Optional[Sequence[float]]) -> str:
    """A [min, median, max] as "median (min-max)"."""
    if not values:
        return "-"
    return f"{values[1]:.2f} ({values[0]:.2f}-{values[2]:.2f})"


def family_tables(families: Sequence[Dict[str, Any]], peer_names: Sequence[str]) -> List[str]:
    lines = [
        "Ratios ours / peer over each family's members, median (min-max); below 1.0 cMolvar is faster:",
        "",
        "| family | | ours | " + " | ".join(peer_names) + " | / fastest peer | / floor |",
        "|---|---|---|" + "---:|" * (len(peer_names) + 2),
    ]
    for family in families:
        for direction in ("encode", "decode"):
            summary = family["summary"][direction]
            for ours in OURS:
                cells = [span(summary["ratios"][ours].get(peer)) for peer in peer_names]
                cells += [span(summary["vs_fastest"][ours]), span(summary["floor"].get(ours))]
                lines.append(f"| {family['name']} | {direction} | {ours} | " + " | ".join(cells) + " |")
    columns = list(OURS) + list(peer_names)
    lines += [
        "",
        "Time / floor time (the floor: bench/floor.cpp makes the objects from a parsed plan, or copies the output's",
        "bytes), median (min-max) over each family's members; 1.0 is the least possible:",
        "",
        "| family | | " + " | ".join(columns) + " |",
        "|---|---|" + "---:|" * len(columns),
    ]
    for family in families:
        for direction in ("encode", "decode"):
            floor = family["summary"][direction]["floor"]
            lines.append(f"| {family['name']} | {direction} | " + " | ".join(span(floor.get(c)) for c in columns) + " |")
    lines += [
        "",
        "Members: ours / fastest peer, the worst ratio, ours / floor, the fastest peer / floor, and (decode)",
        "API / the floor that makes each short byte string's content once:",
        "",
        "| member | | raw / fastest | API / fastest | worst | raw / floor | API / floor | fastest peer / floor | API / floor, words shared |",
        "|---|---|---:|---:|---|---:|---:|---:|---:|",
    ]
    for family in families:
        for entry in family["members"]:
            for direction in ("encode", "decode"):
                row = entry[direction]
                floor = row.get("floor", {})
                worst = row["worst"]
                cells = [
                    ratio(row["vs_fastest"]["raw"]),
                    ratio(row["vs_fastest"]["API"]),
                    f"{ratio(worst['ratio'])} {worst['ours']} / {worst['peer']}",
                    ratio(floor.get("raw")),
                    ratio(floor.get("API")),
                    f"{ratio(floor.get(row['fastest_peer']))} ({row['fastest_peer']})",
                    ratio(row.get("floor_words", {}).get("API")),
                ]
                name = row["corpus"] + (" (repeats)" if entry["repeats"] else "")
                lines.append(f"| {name} | {direction} | " + " | ".join(cells) + " |")
    return lines


def report(results: Dict[str, Any]) -> str:
    info = results["machine"]
    peer_names = results["peers"]
    lines = [f"# cMolvar benchmark{' (quick: figures are meaningless)' if results['quick'] else ''}", ""]
    versions = ", ".join(f"{name} {v}" for name, v in info["versions"].items())
    lines.append(
        f"{info['cpu']}, {info['cores']} cores, {info['system']}; {info['python']}; {versions}. "
        f"Best of {results['repeats']} ({results['clock']} time), milliseconds per corpus; load average "
        f"{results['load'][0]:.2f} before, {results['load'][1]:.2f} after."
    )
    for name, note in results["missing"].items():
        lines.append(f"- {name} not measured: {note}")
    distinct = [row for row in results["rows"] if not row["repeats"]]
    repeated = [row for row in results["rows"] if row["repeats"]]
    if distinct:
        lines += ["", "## Distinct objects", ""] + tables(distinct, peer_names)
        means = results["geomean_vs_fastest"]
        lines += [
            "",
            f"Geometric mean of ours / fastest peer over the {len(distinct)} rows: "
            f"**raw {ratio(means['raw'])}, API {ratio(means['API'])}**.",
        ]
    if repeated:
        lines += ["", "## Repeated objects (reported apart: marshal and pickle answer repeats with back-references)", ""]
        lines += tables(repeated, peer_names)
    copy = results.get("copy")
    if copy:
        r = copy["ratios"]
        lines += [
            "",
            f"## {BIG_BYTES} against a plain copy",
            "",
            f"`memoryview(data).tobytes()` of the {copy['bytes']} bytes takes {ms(copy['copy_ms'])} ms. Ours / copy: "
            f"encode raw {ratio(r['encode']['raw'])}, API {ratio(r['encode']['API'])}; "
            f"decode raw {ratio(r['decode']['raw'])}, API {ratio(r['decode']['API'])}.",
        ]
    if results["streams"]:
        lines += [
            "",
            "## Streams fed in chunks: `Decoder.feed` against msgpack's `Unpacker.feed` + iteration (ms)",
            "",
            "| stream | bytes | "
            + " | ".join(f"Decoder {label} | Unpacker {label} | ratio" for label, _ in CHUNK_SIZES)
            + " |",
            "|---|---:|" + "---:|" * (3 * len(CHUNK_SIZES)),
        ]
        for row in results["streams"]:
            cells = []
            for label, _ in CHUNK_SIZES:
                times = row["ms"]
                cells += [
                    ms(times[f"Decoder {label}"]),
                    ms(times[f"Unpacker {label}"]) if f"Unpacker {label}" in times else "-",
                    ratio(row["ratios"].get(label)),
                ]
            lines.append(f"| {row['stream']} | {row['bytes']} | " + " | ".join(cells) + " |")
    elif not hasattr(peers_module.molvar, "Decoder"):
        lines += ["", "Streams not measured: kestrix.vantle.molvar has no Decoder."]
    if results.get("families"):
        means = results["families_geomean_vs_fastest"]
        lines += ["", f"## Corpus families, seed {results['seed']}", ""] + family_tables(results["families"], peer_names)
        lines += [
            "",
            f"Geometric mean of ours / fastest peer over the {means['rows']} family rows: "
            f"**raw {ratio(means['raw'])}, API {ratio(means['API'])}** "
            f"(distinct-object rows only: raw {ratio(means['distinct']['raw'])}, API {ratio(means['distinct']['API'])}).",
        ]
    if results.get("floor_missing"):
        lines += ["", f"Floor not measured: {results['floor_missing']}"]
    lines += ["", f"({results['seconds']:.0f} s)"]
    return "\n".join(lines)


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="small corpora, one run each: checks only")
    parser.add_argument("--repeats", type=int, default=9, help="samples per task, the best is kept (default 9)")
    parser.add_argument("--target", type=float, default=0.02, help="seconds per sample (default 0.02)")
    parser.add_argument("--clock", choices=sorted(CLOCKS), default="cpu", help="process CPU time (default) or wall time")
    parser.add_argument("--filter", default="", help="only the corpora whose name contains this")
    parser.add_argument("--json", help="where to write the results (default: bench/results.json, none with --quick)")
    parser.add_argument("--seed", type=int, help="the families' seed (default: a new one each run, printed)")
    parser.add_argument("--part", choices=("all", "fixed", "families"), default="all", help="the fixed corpora, the families, or both")
    parser.add_argument(
        "--family-target", type=float, default=0.01, help="seconds per sample for the family members (default 0.01)"
    )
    parser.add_argument("--no-floor", action="store_true", help="leave out the floor (bench/floor.cpp)")
    args = parser.parse_args(argv)
    scale, repeats, target = (100, 1, 0.0) if args.quick else (1, args.repeats, args.target)
    family_target = 0.0 if args.quick else args.family_target
    seed = args.seed if args.seed is not None else int.from_bytes(os.urandom(4), "little")
    log(f"families' seed: {seed} (--seed {seed} draws them again)")
    set_clock(args.clock)
    json_path = args.json or (None if args.quick else os.path.join(HERE, "results.json"))

    global FLOOR
    floor_missing = "left out (--no-floor)"
    if not args.no_floor:
        FLOOR, floor_missing = floor_build.load()

    begin = time.perf_counter()
    load_before = os.getloadavg()[0]
    peers, missing = peers_module.peer_codecs()
    codecs = peers_module.our_codecs() + peers
    corpora = []
    if args.part != "families":
        corpora = [corpus for corpus in corpora_module.make_corpora(scale) if args.filter in corpus.name]
    families = []
    if args.part != "fixed":
        families = families_module.make_families(seed, scale)
        for family in families:
            family.members = [corpus for corpus in family.members if args.filter in corpus.name]
        families = [family for family in families if family.members]
    wrong = corpora_module.check_distinct(corpora + [corpus for family in families for corpus in family.members])
    if wrong:
        raise SystemExit(f"corpora not as declared (name, repeated objects): {wrong}")
    try:
        rows, copy, streams = measure(corpora, codecs, repeats, target)
        family_results = measure_families(families, codecs, repeats, family_target)
    except Failure as failure:
        raise SystemExit(str(failure))

    distinct = [row for row in rows if not row["repeats"] and "vs_fastest" in row]
    family_rows = [entry[d] for family in family_results for entry in family["members"] for d in ("encode", "decode")]
    family_means = {ours: geometric_mean([row["vs_fastest"][ours] for row in family_rows]) for ours in OURS}
    family_means["rows"] = len(family_rows)
    family_means["distinct"] = {
        ours: geometric_mean([row["vs_fastest"][ours] for row in family_rows if not row["repeats"]]) for ours in OURS
    }
    results = {
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "quick": args.quick,
        "repeats": repeats,
        "target": target,
        "clock": args.clock,
        "machine": machine(codecs),
        "peers": [codec.name for codec in peers],
        "missing": missing,
        "rows": rows,
        "geomean_vs_fastest": {ours: geometric_mean([row["vs_fastest"][ours] for row in distinct]) for ours in OURS},
        "copy": copy,
        "streams": streams,
        "seed": seed,
        "families": family_results,
        "families_geomean_vs_fastest": family_means,
        "floor_missing": "" if FLOOR is not None else floor_missing,
        "load": [load_before, os.getloadavg()[0]],
        "seconds": time.perf_counter() - begin,
    }
    print(report(results))
    if json_path:
        with open(json_path, "w") as out:
            json.dump(results, out, indent=1)
            out.write("\n")
        log(f"results written to {json_path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

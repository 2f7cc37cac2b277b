"""Draws the ratios of a benchmark run as a PNG.

    .venv-bench/bin/python bench/chart.py [RESULTS.json [OUT.png]]

Defaults: bench/results.json (written by bench/run.py) and bench/ratios.png.
Top: one row per corpus, one marker per peer, at cMolvar's time over the
peer's on a log scale; filled circles for the native API ("raw"), hollow
diamonds for dumps/loads ("API"). Left of the line at 1.0, cMolvar is
faster. Middle: the corpus families, per peer a bar from the lowest to the
highest ratio of the family's members and a marker at their median. Bottom: the 600 KB byte string against a plain copy of it, and
``Decoder.feed`` against msgpack's ``Unpacker`` on chunked streams.
"""

from __future__ import annotations

import json
import os
import sys
from typing import Any, Dict, List, Sequence

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.lines import Line2D  # noqa: E402
from matplotlib.ticker import FixedLocator, NullLocator  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
COLOURS = {
    "msgspec": "#1f77b4",
    "ormsgpack": "#17becf",
    "msgpack": "#2ca02c",
    "cbor2": "#9467bd",
    "marshal": "#d62728",
    "pickle": "#ff7f0e",
}
TICKS = [0.05, 0.1, 0.2, 0.5, 1, 2, 5, 10, 20, 50, 100]
OFFSET = 0.17  # raw above the row's line, API below it


def style_axis(axis: Any, low: float, high: float) -> None:
    axis.set_xscale("log")
    low, high = min(low, 0.5) / 1.25, max(high, 2.0) * 1.25
    axis.set_xlim(low, high)
    axis.xaxis.set_major_locator(FixedLocator([t for t in TICKS if low <= t <= high]))
    axis.xaxis.set_minor_locator(NullLocator())
    axis.set_xticklabels([f"{t:g}" for t in TICKS if low <= t <= high])
    axis.axvspan(1.0, high, color="#d62728", alpha=0.06, zorder=0)
    axis.axvline(1.0, color="black", linewidth=1.0, zorder=1)
    axis.grid(axis="x", color="#dddddd", linewidth=0.6, zorder=0)


def corpus_panel(axis: Any, rows: Sequence[Dict[str, Any]], direction: str, peers: Sequence[str], labels: bool) -> List[float]:
    """One marker per (our path, peer) for each corpus; returns the ratios drawn."""
    drawn = []
    chosen = [row for row in rows if row["direction"] == direction]
    for y, row in enumerate(chosen):
        for peer in peers:
            if peer not in row["ratios"]["raw"]:
                continue
            raw, api = row["ratios"]["raw"][peer], row["ratios"]["API"][peer]
            colour = COLOURS.get(peer, "grey")
            axis.plot(raw, y - OFFSET, "o", color=colour, markersize=6, zorder=3)
            axis.plot(api, y + OFFSET, "D", markerfacecolor="white", markeredgecolor=colour, markersize=5, zorder=3)
            drawn += [raw, api]
        if row["repeats"]:
            axis.axhline(y - 0.5, color="grey", linewidth=0.8, linestyle="--")
    axis.set_ylim(len(chosen) - 0.5, -0.5)
    axis.set_yticks(range(len(chosen)))
    axis.set_yticklabels(
        [row["corpus"] + (" (repeats)" if row["repeats"] else "") for row in chosen] if labels else [], fontsize=8
    )
    axis.set_title(f"{direction}: cMolvar time / peer time", fontsize=10)
    axis.set_xlabel("<- cMolvar faster  |  cMolvar slower ->", fontsize=8)
    return drawn


def copy_panel(axis: Any, copy: Dict[str, Any]) -> List[float]:
    labels, values = [], []
    for direction in ("encode", "decode"):
        for ours in ("raw", "API"):
            labels.append(f"{direction}, {ours}")
            values.append(copy["ratios"][direction][ours])
    axis.barh(range(len(values)), values, color=["#555555", "#aaaaaa"] * 2, zorder=2, height=0.6)
    for y, value in enumerate(values):
        axis.text(value * 1.04, y, f"{value:.2f}", va="center", fontsize=8)
    axis.set_yticks(range(len(values)))
    axis.set_yticklabels(labels, fontsize=8)
    axis.set_ylim(len(values) - 0.5, -0.5)
    axis.set_title(f"{copy['bytes'] // 1000} KB of bytes / a plain copy of it", fontsize=10)
    return values


def stream_panel(axis: Any, streams: Sequence[Dict[str, Any]]) -> List[float]:
    drawn = []
    for y, row in enumerate(streams):
        for label, marker in (("64 KiB", "s"), ("1 KiB", "^")):
            if label in row["ratios"]:
                axis.plot(row["ratios"][label], y, marker, color=COLOURS["msgpack"], markersize=6, zorder=3)
                drawn.append(row["ratios"][label])
    axis.set_yticks(range(len(streams)))
    axis.set_yticklabels([row["stream"] for row in streams], fontsize=8)
    axis.set_ylim(len(streams) - 0.5, -0.5)
    axis.set_title("Decoder.feed / msgpack Unpacker, chunked streams", fontsize=10)
    axis.legend(
        handles=[
            Line2D([], [], marker="s", linestyle="", color=COLOURS["msgpack"], label="64 KiB chunks"),
            Line2D([], [], marker="^", linestyle="", color=COLOURS["msgpack"], label="1 KiB chunks"),
        ],
        fontsize=8,
        loc="lower right",
    )
    return drawn


def family_panel(axis: Any, families: Sequence[Dict[str, Any]], direction: str, peers: Sequence[str], labels: bool) -> List[float]:
    """Per family, per peer and path: a bar from the lowest to the highest
    ratio over the family's members, a marker at their median."""
    drawn = []
    lanes = [(peer, ours) for peer in peers for ours in ("raw", "API")]
    for y, family in enumerate(families):
        ratios = family["summary"][direction]["ratios"]
        for lane, (peer, ours) in enumerate(lanes):
            if peer not in ratios[ours]:
                continue
            low, median, high = ratios[ours][peer]
            at = y + (lane - (len(lanes) - 1) / 2) * 0.8 / len(lanes)
            colour = COLOURS.get(peer, "grey")
            axis.plot([low, high], [at, at], color=colour, linewidth=1.2, alpha=0.7, zorder=2)
            if ours == "raw":
                axis.plot(median, at, "o", color=colour, markersize=4, zorder=3)
            else:
                axis.plot(median, at, "D", markerfacecolor="white", markeredgecolor=colour, markersize=4, zorder=3)
            drawn += [low, high]
        if y:
            axis.axhline(y - 0.5, color="#cccccc", linewidth=0.6)
    axis.set_ylim(len(families) - 0.5, -0.5)
    axis.set_yticks(range(len(families)))
    axis.set_yticklabels([f"{f['name']} ({len(f['members'])})" for f in families] if labels else [], fontsize=8)
    axis.set_title(f"families, {direction}: median and range over the members", fontsize=10)
    return drawn


def draw(results: Dict[str, Any], out: str) -> None:
    rows = results["rows"]
    peers = results["peers"]
    corpora = len([row for row in rows if row["direction"] == "encode"])
    lower = max(4, len(results.get("streams") or []))
    families = results.get("families") or []
    # Heights in inches: title and legend, the corpus panels, a gap, the
    # family panels and a gap, the lower panels, the axis.
    top_in, upper_in, gap_in, lower_in, bottom_in = 1.3, 0.36 * corpora + 0.4, 0.9, 0.33 * lower + 0.4, 0.5
    family_in = 0.9 * len(families) + 0.4 if families else 0.0
    if not corpora:
        upper_in = 0.0
    height = top_in + upper_in + gap_in + (family_in + gap_in if families else 0.0) + lower_in + bottom_in
    figure = plt.figure(figsize=(13, height))
    left, right = 0.2, 0.98

    def panel(x0: float, x1: float, top: float, size: float) -> Any:
        """Axes from x0 to x1 (figure fractions), from ``top`` inches below
        the figure's top edge, ``size`` inches high."""
        return figure.add_axes((x0, 1 - (top + size) / height, x1 - x0, size / height))

    half = (right - left - 0.01) / 2
    encode = panel(left, left + half, top_in, upper_in)
    decode = panel(right - half, right, top_in, upper_in)
    drawn = corpus_panel(encode, rows, "encode", peers, labels=True) if corpora else []
    drawn += corpus_panel(decode, rows, "decode", peers, labels=False) if corpora else []
    if drawn:
        for axis in (encode, decode):
            style_axis(axis, min(drawn), max(drawn))
    else:
        encode.set_visible(False)
        decode.set_visible(False)

    lower_top = top_in + upper_in + gap_in
    if families:
        panels = [panel(left, left + half, lower_top, family_in), panel(right - half, right, lower_top, family_in)]
        drawn = family_panel(panels[0], families, "encode", peers, labels=True)
        drawn += family_panel(panels[1], families, "decode", peers, labels=False)
        for axis in panels:
            style_axis(axis, min(drawn), max(drawn))
        lower_top += family_in + gap_in
    if results.get("copy"):
        axis = panel(left, left + 0.26, lower_top, lower_in)
        values = copy_panel(axis, results["copy"])
        style_axis(axis, min(values), max(values))
    if results.get("streams"):
        axis = panel(right - 0.34, right, lower_top, lower_in)
        values = stream_panel(axis, results["streams"])
        if values:
            style_axis(axis, min(values), max(values))

    handles = [Line2D([], [], marker="o", linestyle="", color=COLOURS.get(p, "grey"), label=p) for p in peers]
    handles += [
        Line2D([], [], marker="o", linestyle="", color="black", label="raw: newBuf/encode/get, dataReceived"),
        Line2D([], [], marker="D", linestyle="", markerfacecolor="white", markeredgecolor="black", label="API: dumps/loads"),
    ]
    figure.legend(handles=handles, loc="upper center", ncol=len(handles), fontsize=8, frameon=False, bbox_to_anchor=(0.59, 1 - 0.05 / height))
    info = results["machine"]
    means = results["geomean_vs_fastest"]
    quick = " (QUICK RUN: figures meaningless)" if results.get("quick") else ""
    title = f"cMolvar / peer, best of {results['repeats']}{quick}: {info['python']}, {info['cpu']}, {info['cores']} cores, {results['date']}."
    if corpora:
        title += f"\nGeometric mean of ours / fastest peer: raw {means['raw']:.2f}, API {means['API']:.2f}"
    if families:
        fmeans = results["families_geomean_vs_fastest"]
        title += ("; " if corpora else "\nGeometric mean of ours / fastest peer ") + (
            f"over the family rows (seed {results['seed']}): raw {fmeans['raw']:.2f}, API {fmeans['API']:.2f}"
        )
    figure.suptitle(
        title,
        fontsize=9,
        y=1 - 0.55 / height,
    )
    figure.savefig(out, dpi=110)
    plt.close(figure)


def main(argv: Sequence[str]) -> int:
    source = argv[0] if argv else os.path.join(HERE, "results.json")
    out = argv[1] if len(argv) > 1 else os.path.join(HERE, "ratios.png")
    with open(source) as results:
        draw(json.load(results), out)
    print(f"chart written to {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

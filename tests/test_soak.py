"""The soak: a MolvarProtocol echo server with limits, in its own process on
127.0.0.1, serves rounds of honest clients alone, then again beside about a
hundred hostile ones that attack again each time they are dropped. The run
is bounded (tests/soak.py: fixed counts, a time limit on every wait).

Checked: every echo; every hostile connection dropped at the byte the
Decoder refuses or by the idle timeout; the server's peak resident set
within what docs/limits.md promises per connection; no descriptor left
open. The throughput figures are bench/echo.py's to report.
"""

import os
import sys

import soak

# docs/limits.md: what one connection may make an echo server hold, at most:
# its decoder's share of max_buffer_size, the answers queued for a peer
# that does not read (the high-water mark and the answers to one read), and
# the connection itself.
DECODER_FACTOR = 1.25
WRITE_SIDE_KB = 64 + 256
CONNECTION_KB = 16


def test_honest_clients_are_served_while_hostile_ones_are_dropped():
    # Debug and sanitizer builds run the short soak: the same checks, fewer clients.
    quick = hasattr(sys, "gettotalrefcount") or "ASAN_OPTIONS" in os.environ
    config = soak.QUICK if quick else soak.FULL
    figures = soak.run(quick)
    limits = figures["limits"]

    for phase in ("alone", "attacked"):
        honest = figures[phase]
        assert honest["clients"] == config["rounds"] * config["honest"]
        assert (honest["matched"], honest["mismatched"]) == (honest["messages"], 0), phase

    hostile = figures["hostile"]
    assert len(hostile) >= sum(config["hostile"].values())
    assert figures["unmatched_drops"] == 0  # no honest client was dropped
    for record in hostile:
        drop, kind = record["drop"], record["kind"]
        assert drop is not None and record["closed"], record
        if kind in soak.REFUSED:
            # At the byte where a Decoder with the same limits refuses them,
            # fed a byte at a time (a larger read may refuse an attack sooner),
            # and not by the timer.
            offset, message = record["expected"]
            assert drop["why"] == "bad input", record
            assert drop["offset"] <= offset, record
            assert drop["message"].split(": ", 1)[1] == message.split(": ", 1)[1], record
            assert record["latency"] < limits["idle_timeout"], record
        else:
            assert drop["why"] == "idle", record
            assert limits["idle_timeout"] <= drop["idle"] < limits["idle_timeout"] + 1.5, record

    server = figures["server"]
    assert server["open_after"] == 0
    assert server["fds_after"] == server["fds_idle"]  # the listening socket and the pipes, nothing more
    if "ASAN_OPTIONS" in os.environ:
        return  # the sanitizer's allocator (red zones, quarantine) is what memory would measure
    assert server["connection_kb"] < CONNECTION_KB
    at_once = config["honest"] + sum(config["hostile"].values())
    per_connection = DECODER_FACTOR * limits["max_buffer_size"] / 1024 + WRITE_SIDE_KB + CONNECTION_KB
    assert server["peak_kb"] <= server["rss_before_attack_kb"] + at_once * per_connection

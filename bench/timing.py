"""Best-of timing of several tasks interleaved in one process.

The clock is the process's CPU time by default: on a machine whose cores
other work shares, a sample long enough to be timed is nearly always
interrupted, and wall time would count the time another process ran. CPU
time still counts what this process does itself, page faults and the
kernel's work included. ``set_clock("wall")`` switches to ``perf_counter``.
"""

from __future__ import annotations

import gc
import math
import time
from typing import Any, Callable, Dict, List, Sequence, Tuple

Task = Tuple[str, Callable[[], Any]]

CLOCKS = {"cpu": time.process_time, "wall": time.perf_counter}
_clock = CLOCKS["cpu"]


def set_clock(name: str) -> None:
    """Time with ``name``: "cpu" (process CPU time) or "wall"."""
    global _clock
    _clock = CLOCKS[name]


def timed(run: Callable[[], Any], number: int) -> float:
    """Seconds for ``number`` runs with the garbage collector off."""
    gc_was_on = gc.isenabled()
    gc.disable()
    clock = _clock
    try:
        begin = clock()
        for _ in range(number):
            run()
        return clock() - begin
    finally:
        if gc_was_on:
            gc.enable()


def calibrate(run: Callable[[], Any], target: float) -> int:
    """Runs per sample so that one sample lasts about ``target`` seconds.

    A first, untimed run warms up: a cold first call would otherwise set
    one run per sample, and single cold runs are not what is compared.
    """
    run()
    number = 1
    while True:
        elapsed = timed(run, number)
        if elapsed >= target / 5 or number >= 1 << 20:
            return max(1, round(number * target / max(elapsed, 1e-9)))
        number *= 4


def best_of(tasks: Sequence[Task], repeats: int, target: float) -> Dict[str, float]:
    """Per task name, the best seconds per run over ``repeats`` samples.

    The tasks are interleaved: each repeat takes one sample of every task,
    in an order that rotates, so that drift affects them all alike. With
    ``target`` 0 every task runs once, untimed in effect (the quick mode).
    """
    tasks = list(tasks)
    gc.collect()
    numbers = {name: (calibrate(run, target) if target else 1) for name, run in tasks}
    best = {name: math.inf for name, _ in tasks}
    for repeat in range(repeats):
        shift = repeat % len(tasks)
        order: List[Task] = tasks[shift:] + tasks[:shift]
        for name, run in order:
            best[name] = min(best[name], timed(run, numbers[name]) / numbers[name])
    return best


def geometric_mean(values: Sequence[float]) -> float:
    return math.exp(sum(map(math.log, values)) / len(values)) if values else math.nan

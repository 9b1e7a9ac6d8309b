"""Per-call timing: the best of several repeats, each long enough to measure."""

from __future__ import annotations

import gc
import time
from collections.abc import Callable, Mapping


def seconds_per_call(call: Callable[[], object], repeats: int = 5, min_repeat_seconds: float = 0.05) -> float:
    """The fastest per-call time over `repeats` runs of a calibrated loop."""
    return interleaved_seconds_per_call({"call": call}, repeats, min_repeat_seconds)["call"]


# Worker pools keep spinning for a while after their last task (OpenBLAS for
# about 2^28 cycles, 0.1 s or so) and take cores from whatever runs next.
SETTLE_SECONDS = 0.2


def interleaved_seconds_per_call(
    calls: Mapping[str, Callable[[], object]], repeats: int = 5, min_repeat_seconds: float = 0.05
) -> dict[str, float]:
    """The fastest per-call time of each call over `repeats` rounds.

    Each call's loop count grows until one run lasts `min_repeat_seconds`, so
    timer resolution and loop overhead stay small against the work. A round
    runs every call's loop once, so the calls being compared share the quiet
    and the busy spells of a shared machine; each loop starts after a pause
    in which the previous library's worker threads go idle. The minimum over
    the rounds discards interruptions. The garbage collector is off while
    timing, as in timeit.
    """
    enabled = gc.isenabled()
    gc.disable()
    try:
        numbers = {name: _calibrated_number(call, min_repeat_seconds) for name, call in calls.items()}
        best = {name: float("inf") for name in calls}
        for _ in range(repeats):
            for name, call in calls.items():
                if len(calls) > 1:
                    time.sleep(SETTLE_SECONDS)
                best[name] = min(best[name], _run(call, numbers[name]) / numbers[name])
        return best
    finally:
        if enabled:
            gc.enable()


def _calibrated_number(call: Callable[[], object], min_repeat_seconds: float) -> int:
    number = 1
    elapsed = _run(call, number)
    while elapsed < min_repeat_seconds:
        number *= max(2, min(10, int(min_repeat_seconds / max(elapsed, 1e-7) * 1.2)))
        elapsed = _run(call, number)
    return number


def _run(call: Callable[[], object], number: int) -> float:
    start = time.perf_counter()
    for _ in range(number):
        call()
    return time.perf_counter() - start


def format_seconds(seconds: float) -> str:
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"

"""One library's side of a comparison: a process that imports that library alone.

    python bench/worker.py quvarin|numpy|torch

Started by bench/processes.py, never by hand. It reads one JSON request per line
on standard input and answers each with one JSON line:
    {"describe": true}                          -> {"lines": [...]}: the library, its BLAS, kernel choices
    {"prepare": CASE, "min_seconds": s}         -> {"number": n}: builds the case (dropping the last
                                                   one) and finds how many calls last at least s
    {"run": true}                               -> {"seconds": t}: one timed loop, seconds per call
    {"rss": true}                               -> {"bytes": b}: resident memory of this process
The answers go to the standard output the process started with; anything a
library prints lands on standard error instead.
"""

from __future__ import annotations

import gc
import json
import os
import sys

import workloads
from blas_report import library_lines


def calibrated_number(run: workloads.Timed, min_seconds: float) -> int:
    number = 1
    elapsed = run(number)
    while elapsed < min_seconds:
        number *= max(2, min(10, int(min_seconds / max(elapsed, 1e-7) * 1.2)))
        elapsed = run(number)
    return number


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def main() -> None:
    library = sys.argv[1]
    answers = os.fdopen(os.dup(1), "w", buffering=1)
    os.dup2(2, 1)
    # As in timeit: no collector pauses inside the timed loops.
    gc.disable()
    run: workloads.Timed | None = None
    number = 0
    for line in sys.stdin:
        request = json.loads(line)
        if "describe" in request:
            answer: dict[str, object] = {"lines": library_lines(library)}
        elif "prepare" in request:
            run = None
            gc.collect()
            run = workloads.timed(library, request["prepare"])
            number = calibrated_number(run, request["min_seconds"])
            answer = {"number": number}
        elif "run" in request and run is not None:
            answer = {"seconds": run(number) / number}
        elif "rss" in request:
            run = None
            workloads.release_operands()
            gc.collect()
            answer = {"bytes": resident_bytes()}
        else:
            answer = {"error": f"cannot answer {request}"}
        answers.write(json.dumps(answer) + "\n")


if __name__ == "__main__":
    main()

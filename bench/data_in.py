"""Data in: a float32 tensor from Python sequences and arrays, against NumPy and PyTorch.

    python bench/data_in.py

quvarin's tensor(x, shape) from a list, a tuple, an array.array('f') and
float32, float64 and int64 NumPy arrays of 1024, 64x784 (one batch of the
784-128-10 model) and 2048x2048 elements, the data always flat. The peers:
np.array(x, dtype=float32) and torch.tensor(x, dtype=float32) from the same
object; for the arrays also NumPy's a.copy() and PyTorch's
torch.from_numpy(a).to(float32, copy=True) (a clone() for float32). Each
library runs in a process of its own (bench/processes.py); the ratios are
quvarin's time divided by the peer's.
"""

from __future__ import annotations

import math
import os
import sys

from machine import this_cpu
from processes import Worker, compare, format_seconds, started, torch_installed
from workloads import DATA_SOURCES

SHAPES = [(1024,), (64, 784), (2048, 2048)]
ARRAYS = ("float32", "float64", "int64")
ROUNDS = 5
MIN_LOOP_SECONDS = 0.05
# (column, kind of case, library)
COLUMNS = [
    ("quvarin", "data_in", "quvarin"),
    ("np.array", "data_in", "numpy"),
    ("a.copy()", "data_in_from_array", "numpy"),
    ("torch.tensor", "data_in", "torch"),
    ("from_numpy", "data_in_from_array", "torch"),
]


def measure(workers: dict[str, Worker], source: str, shape: tuple[int, ...]) -> dict[str, float]:
    seconds: dict[str, float] = {}
    for kind in ("data_in", "data_in_from_array"):
        if kind == "data_in_from_array" and source not in ARRAYS:
            continue
        libraries = [library for column, k, library in COLUMNS if k == kind and library in workers]
        times = compare([workers[library] for library in libraries], [kind, source, list(shape)], ROUNDS, MIN_LOOP_SECONDS)
        seconds.update({column: times[library] for column, k, library in COLUMNS if k == kind and library in times})
    return seconds


def main() -> None:
    libraries = ["quvarin", "numpy"] + (["torch"] if torch_installed() else [])
    print(f"CPU: {this_cpu().describe()}")
    print(f"Load average over the last minute: {os.getloadavg()[0]:.2f} (other work on the CPUs skews the times)")
    if "torch" not in libraries:
        print("torch: not installed")
    with started(*(Worker(library) for library in libraries)) as started_workers:
        workers = {worker.library: worker for worker in started_workers}
        rows = []
        for shape in SHAPES:
            for source in DATA_SOURCES:
                print(f"  {source} {shape} ...", file=sys.stderr, flush=True)
                rows.append((source, shape, measure(workers, source, shape)))
    columns = [column for column, _, _ in COLUMNS]
    print("\nData in: a float32 tensor from flat data, time per call; /x is quvarin's time divided by column x's")
    print(f"{'source':11s} {'elements':>9s} " + " ".join(f"{c:>12s}" for c in columns)
          + f" {'/np.array':>9s} {'/copy()':>8s} {'/tensor':>8s} {'/from_np':>8s}")
    for source, shape, seconds in rows:
        cells = [format_seconds(seconds[c]) if c in seconds else "-" for c in columns]
        ratios = [f"{seconds['quvarin'] / seconds[c]:.2f}" if c in seconds else "-" for c in columns[1:]]
        print(f"{source:11s} {math.prod(shape):>9d} " + " ".join(f"{c:>12s}" for c in cells)
              + f" {ratios[0]:>9s} {ratios[1]:>8s} {ratios[2]:>8s} {ratios[3]:>8s}")


if __name__ == "__main__":
    main()

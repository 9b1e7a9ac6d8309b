"""Libraries timed side by side, each in a process of its own (bench/worker.py).

Two libraries in one process disturb each other beyond what a pause settles:
their thread pools and OpenMP runtimes share the process. Here every library
runs in a worker process of its own. A round asks each worker in turn for one
calibrated loop, each after a pause in which the previous library's worker
threads go idle (OpenBLAS spins for about 2^28 cycles after a call) wherever a
library may have started some, and each library's best round counts.
"""

from __future__ import annotations

import contextlib
import importlib.util
import json
import os
import subprocess
import sys
import time
from collections.abc import Iterator, Mapping
from pathlib import Path

from workloads import may_start_worker_threads

SETTLE_SECONDS = 0.2
WORKER = Path(__file__).with_name("worker.py")
OPENBLAS_CORE_VARIABLES = ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")


class Worker:
    def __init__(self, library: str, label: str | None = None, environment: Mapping[str, str] | None = None):
        self.library = library
        self.label = label or library
        self._process = subprocess.Popen(
            [sys.executable, str(WORKER), library],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            env=dict(environment) if environment is not None else None,
        )

    def ask(self, **request: object) -> dict:
        assert self._process.stdin and self._process.stdout
        self._process.stdin.write(json.dumps(request) + "\n")
        self._process.stdin.flush()
        line = self._process.stdout.readline()
        if not line:
            raise RuntimeError(f"the {self.label} worker ended (exit code {self._process.wait()})")
        answer: dict = json.loads(line)
        if "error" in answer:
            raise RuntimeError(f"the {self.label} worker: {answer['error']}")
        return answer

    def close(self) -> None:
        if self._process.stdin:
            self._process.stdin.close()
        self._process.wait()


def torch_installed() -> bool:
    return importlib.util.find_spec("torch") is not None


def environment_without(names: tuple[str, ...]) -> dict[str, str]:
    return {name: value for name, value in os.environ.items() if name not in names}


def openblas_core_is_set() -> bool:
    return any(name in os.environ for name in OPENBLAS_CORE_VARIABLES)


@contextlib.contextmanager
def started(*workers: Worker) -> Iterator[list[Worker]]:
    try:
        yield list(workers)
    finally:
        for worker in workers:
            worker.close()


def compare(workers: list[Worker], case: list, rounds: int, min_seconds: float) -> dict[str, float]:
    """Each worker's best time per call of `case` over `rounds` alternating rounds."""
    for worker in workers:
        worker.ask(prepare=case, min_seconds=min_seconds)
    best = {worker.label: float("inf") for worker in workers}
    pause = SETTLE_SECONDS if may_start_worker_threads(case) else 0.0
    for _ in range(rounds):
        for worker in workers:
            time.sleep(pause)
            best[worker.label] = min(best[worker.label], worker.ask(run=True)["seconds"])
    return best


def format_seconds(seconds: float) -> str:
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"

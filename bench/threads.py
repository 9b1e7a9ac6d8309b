"""Training steps per second when N threads each train a model of their own at
once (N = 1, 2, 4, 8), on this interpreter and, with --beside, on another one:
`make bench` puts the free-threaded build beside the GIL build.

    python bench/threads.py [--beside PYTHON]

Each thread trains a 256-512-10 sigmoid MLP (batch 64) from a seed of its own;
its final weights must match, bit for bit, those of the same seed trained by
one thread alone, or the run fails. OpenBLAS runs on one thread and no sigmoid
is large enough for the OpenMP pool, so the threads are all the parallelism
there is: under the GIL they take turns, without it they share the cores.
"""

from __future__ import annotations

import hashlib
import json
import os
import subprocess
import sys
import sysconfig
import threading
import time

os.environ["OPENBLAS_NUM_THREADS"] = "1"  # read when the GEMM library loads, at the first product

import numpy as np

import quvarin as qv

THREAD_COUNTS = (1, 2, 4, 8)
STEPS = 40
ROUNDS = 3
LAYERS = (256, 512, 10)
BATCH = 64


def train(seed: int, steps: int) -> str:
    """Trains the model from seed for steps steps; returns a digest of the final weights' bits."""
    rng = np.random.default_rng(seed)

    def tensor(array: np.ndarray, requires_grad: bool = False) -> qv.Tensor:
        return qv.tensor(array.astype(np.float32).ravel().tolist(), list(array.shape), requires_grad=requires_grad)

    x = tensor(rng.standard_normal((BATCH, LAYERS[0])))
    neg_y = tensor(-rng.random((BATCH, LAYERS[2])))
    w1 = tensor(rng.standard_normal(LAYERS[:2]) * 0.05, requires_grad=True)
    w2 = tensor(rng.standard_normal(LAYERS[1:]) * 0.05, requires_grad=True)
    for _ in range(steps):
        diff = x.matmul(w1).sigmoid().matmul(w2) + neg_y
        (diff * diff).sum().backward()
        w1.apply_sgd_step(0.01)
        w2.apply_sgd_step(0.01)
    return hashlib.sha256(np.asarray(w1.data() + w2.data(), dtype=np.float32).tobytes()).hexdigest()


def steps_per_second(threads: int, alone: dict[int, str]) -> float:
    """The best over ROUNDS of threads threads training at once; checks every thread's weights."""
    best = 0.0
    for _ in range(ROUNDS):
        digests: dict[int, str] = {}
        start = threading.Barrier(threads + 1)

        def run(seed: int) -> None:
            start.wait()
            digests[seed] = train(seed, STEPS)

        workers = [threading.Thread(target=run, args=(seed,)) for seed in range(threads)]
        for worker in workers:
            worker.start()
        start.wait()
        began = time.perf_counter()
        for worker in workers:
            worker.join()
        seconds = time.perf_counter() - began
        if digests != {seed: alone[seed] for seed in range(threads)}:
            raise SystemExit(f"{threads} threads: weights differ from the same seeds trained alone")
        best = max(best, threads * STEPS / seconds)
    return best


def measure() -> dict:
    alone = {seed: train(seed, STEPS) for seed in range(max(THREAD_COUNTS))}
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    build = ("free-threaded " if sysconfig.get_config_var("Py_GIL_DISABLED") else "") + sys.version.split()[0]
    return {
        "label": f"{build}, GIL {'on' if gil else 'off'}",
        "rates": {str(threads): steps_per_second(threads, alone) for threads in THREAD_COUNTS},  # as JSON has them
    }


def main() -> None:
    if sys.argv[1:] == ["--json"]:
        print(json.dumps(measure()))
        return
    results = [measure()]
    if sys.argv[1:2] == ["--beside"]:
        beside = subprocess.run([sys.argv[2], __file__, "--json"], capture_output=True, text=True, check=True)
        results.append(json.loads(beside.stdout))
    print(f"Training steps per second, N threads each training a {'-'.join(map(str, LAYERS))} sigmoid MLP "
          f"(batch {BATCH}); load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} CPUs")
    print("N   " + "".join(f"{result['label']:>34s}" for result in results)
          + ("   ratio" if len(results) == 2 else ""))
    for threads in THREAD_COUNTS:
        rates = [result["rates"][str(threads)] for result in results]
        ratio = f"{rates[1] / rates[0]:8.2f}" if len(rates) == 2 else ""
        print(f"{threads:<4d}" + "".join(f"{rate:34.1f}" for rate in rates) + ratio)
    print("Every thread's final weights matched its seed trained alone, bit for bit.")


if __name__ == "__main__":
    main()

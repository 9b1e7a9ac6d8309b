"""Prints one library's matrix-multiplication GFLOP/s as JSON.

Run as a separate process so that the BLAS library reads the environment
chosen for it (thread count, core type) when it loads:

    OPENBLAS_NUM_THREADS=1 python bench/gemm_rate.py quvarin 512
"""

from __future__ import annotations

import argparse
import json
from collections.abc import Callable

import numpy as np

from timing import seconds_per_call


def multiplier(library: str, size: int) -> Callable[[], object]:
    rng = np.random.default_rng(0)
    a, b = (rng.uniform(-1, 1, (size, size)).astype(np.float32) for _ in range(2))
    if library == "numpy":
        return lambda: a @ b
    import quvarin

    qa, qb = (quvarin.tensor(m.ravel().tolist(), [size, size]) for m in (a, b))
    return lambda: qa.matmul(qb)


def blas_architecture() -> str:
    from threadpoolctl import threadpool_info

    names = {f"{i.get('prefix')} {i.get('version')} {i.get('architecture')}" for i in threadpool_info() if i["user_api"] == "blas"}
    return ", ".join(sorted(names))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("library", choices=["numpy", "quvarin"])
    parser.add_argument("sizes", type=int, nargs="+")
    args = parser.parse_args()
    rates = {}
    for size in args.sizes:
        seconds = seconds_per_call(multiplier(args.library, size), repeats=3, min_repeat_seconds=0.2)
        rates[size] = 2 * size**3 / seconds / 1e9
    print(json.dumps({"gflops": rates, "blas": blas_architecture()}))


if __name__ == "__main__":
    main()

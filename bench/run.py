"""quvarin's forward operations against NumPy and PyTorch, in one process.

    python bench/run.py            # the full table, about a minute
    python bench/run.py --quick    # small sizes only

Every time is per call, the best of several repeats of a calibrated loop,
with the same float32 data in each library. A ratio is quvarin's time divided
by the peer's: above 1 quvarin is slower, below 1 it is faster. NumPy has no
sigmoid or relu of its own: 1 / (1 + np.exp(-x)) and np.maximum(x, 0) stand in.
"""

from __future__ import annotations

import argparse
import json
import operator
import os
import subprocess
import sys
from collections.abc import Callable
from dataclasses import dataclass, field
from functools import partial
from pathlib import Path
from types import ModuleType

import numpy as np

import quvarin
from blas_report import environment_lines, numpy_line, quvarin_line, torch_line
from machine import this_cpu
from timing import format_seconds, interleaved_seconds_per_call

ELEMENTWISE_SIZES = [4, 1024, 8192, 131072, 4194304]
MATMUL_SIZES = [8, 64, 256, 1024, 2048]
OPERATIONS = ["a+b", "a*b", "relu", "sigmoid", "sum"]
PEERS = ("numpy", "torch")


@dataclass
class Case:
    operation: str
    size: int  # elements, or the side of the square matrices
    calls: dict[str, Callable[[], object]]
    seconds: dict[str, float] = field(default_factory=dict)

    @property
    def label(self) -> str:
        return f"{self.size}x{self.size}" if self.operation == "matmul" else str(self.size)


def import_torch() -> ModuleType | None:
    try:
        import torch
    except ImportError:
        return None
    return torch


def elementwise_cases(size: int, torch: ModuleType | None) -> list[Case]:
    rng = np.random.default_rng(size)
    x, y = (rng.uniform(-4, 4, size).astype(np.float32) for _ in range(2))
    qx, qy = (quvarin.tensor(v.tolist(), [size]) for v in (x, y))
    quvarin_calls: dict[str, Callable[[], object]] = {
        "a+b": partial(operator.add, qx, qy),
        "a*b": partial(operator.mul, qx, qy),
        "relu": qx.relu,
        "sigmoid": qx.sigmoid,
        "sum": qx.sum,
    }
    numpy_calls: dict[str, Callable[[], object]] = {
        "a+b": partial(operator.add, x, y),
        "a*b": partial(operator.mul, x, y),
        "relu": partial(np.maximum, x, np.float32(0)),
        "sigmoid": lambda: np.float32(1) / (np.float32(1) + np.exp(-x)),
        "sum": x.sum,
    }
    cases = [Case(op, size, {"quvarin": quvarin_calls[op], "numpy": numpy_calls[op]}) for op in quvarin_calls]
    if torch is not None:
        tx, ty = torch.from_numpy(x), torch.from_numpy(y)
        torch_calls = {
            "a+b": partial(operator.add, tx, ty),
            "a*b": partial(operator.mul, tx, ty),
            "relu": tx.relu,
            "sigmoid": tx.sigmoid,
            "sum": tx.sum,
        }
        for case in cases:
            case.calls["torch"] = torch_calls[case.operation]
    return cases


def matmul_case(side: int, torch: ModuleType | None) -> Case:
    rng = np.random.default_rng(side)
    a, b = (rng.uniform(-1, 1, (side, side)).astype(np.float32) for _ in range(2))
    qa, qb = (quvarin.tensor(m.ravel().tolist(), [side, side]) for m in (a, b))
    calls: dict[str, Callable[[], object]] = {"quvarin": partial(qa.matmul, qb), "numpy": partial(np.matmul, a, b)}
    if torch is not None:
        calls["torch"] = partial(torch.matmul, torch.from_numpy(a), torch.from_numpy(b))
    return Case("matmul", side, calls)


def measure(case: Case) -> Case:
    case.seconds.update(interleaved_seconds_per_call(case.calls, repeats=5, min_repeat_seconds=0.1))
    return case


def print_header() -> None:
    print("Time per call; /numpy and /torch are quvarin's time divided by the peer's (above 1: quvarin slower).")
    print(f"{'operation':9s} {'size':>9s} {'quvarin':>10s} {'numpy':>10s} {'torch':>10s} {'/numpy':>8s} {'/torch':>8s}")


def print_row(case: Case) -> None:
    times = [format_seconds(case.seconds[lib]) if lib in case.seconds else "-" for lib in ("quvarin", *PEERS)]
    ratios = [f"{case.seconds['quvarin'] / case.seconds[p]:.2f}" if p in case.seconds else "-" for p in PEERS]
    print(f"{case.operation:9s} {case.label:>9s} {times[0]:>10s} {times[1]:>10s} {times[2]:>10s} {ratios[0]:>8s} {ratios[1]:>8s}", flush=True)


def numpy_gemm_without_coretype(sizes: list[int]) -> tuple[dict[int, float], str]:
    """NumPy's GEMM GFLOP/s in a process where OpenBLAS picks its own core type."""
    environment = {k: v for k, v in os.environ.items() if k not in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")}
    script = Path(__file__).with_name("gemm_rate.py")
    output = subprocess.run(
        [sys.executable, str(script), "numpy", *map(str, sizes)], env=environment, capture_output=True, text=True, check=True
    ).stdout
    result = json.loads(output)
    return {int(size): rate for size, rate in result["gflops"].items()}, result["blas"]


def print_rates(cases: list[Case]) -> None:
    cpu = this_cpu()
    print(f"\nCPU: {cpu.describe()}")
    print("\nmatmul GFLOP/s (2*n^3 flops per call):")
    for case in (c for c in cases if c.operation == "matmul"):
        flops = 2 * case.size**3
        rates = {lib: flops / s / 1e9 for lib, s in case.seconds.items()}
        peers = "  ".join(f"{lib} {rate:7.1f}" for lib, rate in rates.items() if lib != "quvarin")
        print(f"  {case.label:>9s}  quvarin {rates['quvarin']:7.1f} ({rates['quvarin'] / cpu.peak_gflops:5.1%} of peak)  {peers}")
    big = [s for s in (1024, 2048) if any(c.operation == "matmul" and c.size == s for c in cases)]
    if big:
        unset_rates, blas = numpy_gemm_without_coretype(big)
        listed = ", ".join(f"{size}x{size} {rate:.1f}" for size, rate in unset_rates.items())
        print(f"  numpy in a process with OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE unset ({blas}): {listed}")

    largest = max(c.size for c in cases if c.operation != "matmul")
    for case in cases:
        if case.size != largest:
            continue
        if case.operation == "sigmoid":
            throughput = "  ".join(f"{lib} {case.size / s / 1e6:.1f}" for lib, s in case.seconds.items())
            print(f"\nsigmoid at {case.size} elements, million elements/s: {throughput}")
        if case.operation == "sum":
            per_element = "  ".join(f"{lib} {s / case.size * 1e9:.3f}" for lib, s in case.seconds.items())
            print(f"\nsum at {case.size} elements, ns/element: {per_element}")
            if cpu.add_ns:
                print(
                    f"  an in-order float32 sum waits for each add: {cpu.add_ns:.3f} ns"
                    f" = {cpu.add_ns * cpu.ghz:.1f} cycles at {cpu.ghz:.2f} GHz"
                )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--quick", action="store_true", help="only sizes up to 131072 elements and 256x256")
    args = parser.parse_args()
    elementwise_sizes = [s for s in ELEMENTWISE_SIZES if not args.quick or s <= 131072]
    matmul_sizes = [s for s in MATMUL_SIZES if not args.quick or s <= 256]

    torch = import_torch()
    print("BLAS libraries:")
    print(f"  {quvarin_line(quvarin)}")
    print(f"  {numpy_line()}")
    print(f"  {torch_line(torch) if torch else 'torch: not installed'}")
    print("Environment: " + "  ".join(environment_lines()))
    print(f"sigmoid's expf: {quvarin._sigmoid_expf_path()}")
    print(f"Load average over the last minute: {os.getloadavg()[0]:.2f} (other work on the CPUs skews the times)")
    print()
    print_header()
    cases = [case for size in elementwise_sizes for case in elementwise_cases(size, torch)]
    cases.sort(key=lambda case: OPERATIONS.index(case.operation))  # stable: sizes stay in order
    cases += [matmul_case(side, torch) for side in matmul_sizes]
    for case in cases:
        print_row(measure(case))
    print_rates(cases)


if __name__ == "__main__":
    main()

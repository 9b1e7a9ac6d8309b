"""Which BLAS each library computes with, and which build of each kernel quvarin picks."""

from __future__ import annotations

import ctypes
import os
import re
import subprocess
from pathlib import Path
from types import ModuleType


def mapped_files() -> set[str]:
    with open("/proc/self/maps") as maps:
        return {line.split()[-1] for line in maps if "/" in line}


def kernel_picks(program: Path | None) -> dict[str, tuple[str, str]] | None:
    """quvarin's pick of each kernel family's build and why, from quvarin_kernel_report (built with the C++ tests).

    The module itself reports nothing; the program makes the same picks by the
    same rules, in a process of its own.
    """
    if program is None or not program.exists():
        return None
    output = subprocess.run([str(program)], capture_output=True, text=True, check=True).stdout
    picks = {}
    for line in output.splitlines():
        family, build, reason = line.split("\t")
        picks[family] = (build, reason)
    return picks


def kernel_report_lines(picks: dict[str, tuple[str, str]] | None) -> list[str]:
    if picks is None:
        return ["quvarin's kernel builds: not reported (build quvarin_kernel_report, as make bench does)"]
    lines = ["quvarin's kernel builds, as a separate process picks them here (quvarin_kernel_report):"]
    lines += [f"  {family}: {build} ({reason})" for family, (build, reason) in picks.items()]
    return lines


def quvarin_openblas(quvarin: ModuleType) -> str | None:
    """Path of the OpenBLAS library that quvarin multiplies matrices with.

    The module links it (ldd names it) or loads it at its first matrix
    product (it is then the BLAS library that this product maps in).
    """
    listing = subprocess.run(["ldd", quvarin.__file__ or ""], capture_output=True, text=True).stdout
    linked = set(re.findall(r"=>\s+(\S*blas\S*)", listing))
    before = mapped_files()
    quvarin.ones([1, 1]).matmul(quvarin.ones([1, 1]))
    candidates = linked | {path for path in mapped_files() - before if "blas" in os.path.basename(path)}
    return os.path.realpath(sorted(candidates)[0]) if candidates else None


def quvarin_line(quvarin: ModuleType) -> str:
    path = quvarin_openblas(quvarin)
    if path is None:
        return "quvarin: no BLAS library found"
    # Already loaded by the module, so this returns the same library instance.
    library = ctypes.CDLL(path)
    prefix = "scipy_"  # the scipy-openblas32 build that quvarin ships prefixes every symbol
    texts = []
    for function in ("openblas_get_config", "openblas_get_corename"):
        getter = getattr(library, prefix + function)
        getter.restype = ctypes.c_char_p
        texts.append(getter().decode())
    threads = getattr(library, prefix + "openblas_get_num_threads")()
    return f"quvarin: {path}: {texts[0]}; core {texts[1]}; {threads} threads"


def library_lines(library: str) -> list[str]:
    """What a worker process of this library reports about itself."""
    if library == "quvarin":
        import quvarin

        return [quvarin_line(quvarin)]
    if library == "torch":
        import torch

        return [torch_line(torch)]
    return [numpy_line()]


def numpy_line() -> str:
    import numpy  # noqa: F401  (threadpoolctl sees only libraries already loaded)
    from threadpoolctl import threadpool_info

    for info in threadpool_info():
        if info["user_api"] == "blas" and "numpy" in info["filepath"]:
            return (
                f"numpy: {info['filepath']}: {info['internal_api']} {info['version']}; "
                f"core {info.get('architecture')}; {info['num_threads']} threads"
            )
    return "numpy: BLAS not reported by threadpoolctl"


def torch_line(torch: ModuleType) -> str:
    config = torch.__config__.show()
    blas = re.search(r"BLAS_INFO=(\w+)", config)
    capability = re.search(r"CPU capability usage: (\w+)", config)
    library = re.search(r"(Intel\(R\) oneAPI Math Kernel Library Version [^\n]*|OpenBLAS [^\n]*)", config)
    return (
        f"torch {torch.__version__}: BLAS {blas.group(1) if blas else '?'}"
        f" ({library.group(1).strip() if library else 'library not named'}); "
        f"kernels {capability.group(1) if capability else '?'}; {torch.get_num_threads()} threads"
    )

"""What this CPU can do at best, for judging the measured rates."""

from __future__ import annotations

import os
import shutil
import subprocess
import tempfile
from dataclasses import dataclass
from pathlib import Path

# A 64-bit integer multiply takes 3 cycles before its result can be used
# again, on Intel and AMD cores alike; timing a chain of them gives the clock
# the core really runs at, which a virtual machine's /proc/cpuinfo does not.
MULTIPLY_LATENCY_CYCLES = 3
LATENCY_CHAINS_SOURCE = Path(__file__).with_name("latency_chains.c")


def fma_lanes(vendor: str, flags: set[str]) -> tuple[int, str]:
    """float32 lanes per FMA pipe, assuming two pipes per core, and why."""
    if "avx512f" in flags and vendor == "GenuineIntel":
        return 16, "Intel with AVX-512: two 512-bit FMA pipes"
    if "avx512f" in flags or "fma" in flags:
        return 8, "two 256-bit FMA pipes (AMD runs a 512-bit FMA as two halves)"
    return 4, "two 128-bit pipes"


@dataclass
class Cpu:
    model: str
    cores: int
    nominal_ghz: float  # as /proc/cpuinfo reports it
    lanes: int
    lanes_reason: str
    latencies_ns: tuple[float, float] | None  # measured: dependent float add, dependent integer multiply

    @property
    def ghz(self) -> float:
        return MULTIPLY_LATENCY_CYCLES / self.latencies_ns[1] if self.latencies_ns else self.nominal_ghz

    @property
    def add_ns(self) -> float | None:
        return self.latencies_ns[0] if self.latencies_ns else None

    @property
    def peak_gflops(self) -> float:
        return self.cores * self.ghz * 2 * self.lanes * 2

    def describe(self) -> str:
        if self.latencies_ns:
            clock = (
                f"{self.ghz:.2f} GHz, from a dependent integer multiply of {self.latencies_ns[1]:.3f} ns "
                f"(bench/latency_chains.c) taken as {MULTIPLY_LATENCY_CYCLES} cycles; /proc/cpuinfo says {self.nominal_ghz:.2f} GHz"
            )
        else:
            clock = f"{self.ghz:.2f} GHz as /proc/cpuinfo says (no C compiler to measure it)"
        return (
            f"{self.model}, {self.cores} cores\n  clock {clock}\n"
            f"  single-precision peak {self.peak_gflops:.0f} GFLOP/s = cores x GHz x 2 FMA pipes x {self.lanes} float32 lanes"
            f" x 2 flops per cycle and core ({self.lanes_reason})"
        )


def measure_latencies_ns() -> tuple[float, float] | None:
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        return None
    with tempfile.TemporaryDirectory() as directory:
        program = Path(directory) / "latency_chains"
        subprocess.run([compiler, "-O2", "-o", str(program), str(LATENCY_CHAINS_SOURCE)], check=True)
        add_ns, multiply_ns = subprocess.run([str(program)], capture_output=True, text=True, check=True).stdout.split()[:2]
    return float(add_ns), float(multiply_ns)


def this_cpu() -> Cpu:
    fields: dict[str, str] = {}
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            key, _, value = line.partition(":")
            fields.setdefault(key.strip(), value.strip())
    lanes, lanes_reason = fma_lanes(fields.get("vendor_id", "?"), set(fields.get("flags", "").split()))
    return Cpu(
        model=f"{fields.get('model name', '?')} (family {fields.get('cpu family', '?')}, model {fields.get('model', '?')})",
        cores=len(os.sched_getaffinity(0)),
        nominal_ghz=float(fields.get("cpu MHz", "nan")) / 1000,
        lanes=lanes,
        lanes_reason=lanes_reason,
        latencies_ns=measure_latencies_ns(),
    )

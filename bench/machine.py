"""What this CPU can do at best, for judging the measured rates: measured, not assumed."""

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
HERE = Path(__file__).parent


@dataclass
class Fma:
    instructions: str  # the widest FMA the probe found: "AVX-512", "AVX2"
    gflops_per_core: list[float]  # every core at once, one probe per core
    # The same chains with each multiply rounded before its add: the ceiling of
    # the backward products, which may not fuse them.
    unfused_gflops_per_core: list[float]


@dataclass
class Cpu:
    model: str
    cores: int
    nominal_ghz: float  # as /proc/cpuinfo reports it
    latencies_ns: tuple[float, float] | None  # measured: dependent float add, dependent integer multiply
    fma: Fma | None

    @property
    def ghz(self) -> float:
        return MULTIPLY_LATENCY_CYCLES / self.latencies_ns[1] if self.latencies_ns else self.nominal_ghz

    @property
    def add_ns(self) -> float | None:
        return self.latencies_ns[0] if self.latencies_ns else None

    @property
    def peak_gflops(self) -> float | None:
        return sum(self.fma.gflops_per_core) if self.fma else None

    @property
    def unfused_gflops_per_core(self) -> float | None:
        """One core's rate of separately rounded multiplies and adds (all cores busy)."""
        return sum(self.fma.unfused_gflops_per_core) / self.cores if self.fma else None

    def describe(self) -> str:
        if self.latencies_ns:
            clock = (
                f"{self.ghz:.2f} GHz, from a dependent integer multiply of {self.latencies_ns[1]:.3f} ns "
                f"(bench/latency_chains.c) taken as {MULTIPLY_LATENCY_CYCLES} cycles; /proc/cpuinfo says {self.nominal_ghz:.2f} GHz"
            )
        else:
            clock = f"{self.ghz:.2f} GHz as /proc/cpuinfo says (no C compiler to measure it)"
        lines = [f"{self.model}, {self.cores} cores", f"  clock {clock}"]
        if self.fma:
            per_core = sum(self.fma.gflops_per_core) / self.cores
            lines.append(
                f"  single-precision peak {self.peak_gflops:.0f} GFLOP/s, measured (bench/fma_throughput.c): "
                f"independent {self.fma.instructions} FMA chains on every core at once, {per_core:.1f} GFLOP/s per core "
                f"= {per_core / self.ghz:.1f} flops per cycle"
            )
            unfused = self.unfused_gflops_per_core
            lines.append(
                f"  separately rounded multiplies and adds (the backward products' ceiling): {unfused:.1f} GFLOP/s "
                f"per core = {unfused / self.ghz:.1f} flops per cycle, {unfused / per_core:.2f} of the FMA rate"
            )
        else:
            lines.append("  single-precision peak not measured (no C compiler, or no FMA instructions)")
        return "\n".join(lines)


def _compiled(source: str, directory: Path) -> Path | None:
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        return None
    program = directory / Path(source).stem
    # No contraction: the unfused probe must stay a multiply and an add.
    subprocess.run([compiler, "-O2", "-ffp-contract=off", "-o", str(program), str(HERE / source)], check=True)
    return program


def _measure(directory: Path, cores: int) -> tuple[tuple[float, float] | None, Fma | None]:
    latency_chains = _compiled("latency_chains.c", directory)
    fma_throughput = _compiled("fma_throughput.c", directory)
    if latency_chains is None or fma_throughput is None:
        return None, None
    add_ns, multiply_ns = subprocess.run([str(latency_chains)], capture_output=True, text=True, check=True).stdout.split()[:2]
    probes = [subprocess.Popen([str(fma_throughput)], stdout=subprocess.PIPE, text=True) for _ in range(cores)]
    answers = [probe.communicate()[0].split() for probe in probes]
    fma = (
        Fma(answers[0][0], [float(answer[1]) for answer in answers], [float(answer[2]) for answer in answers])
        if answers[0][0] != "none"
        else None
    )
    return (float(add_ns), float(multiply_ns)), fma


def one_core_unfused_gflops() -> float | None:
    """The separately rounded multiply-add rate of one core while the others idle, as the backward products run."""
    with tempfile.TemporaryDirectory() as directory:
        probe = _compiled("fma_throughput.c", Path(directory))
        if probe is None:
            return None
        answer = subprocess.run([str(probe)], capture_output=True, text=True, check=True).stdout.split()
    return float(answer[2]) if answer[0] != "none" else None


def this_cpu() -> Cpu:
    fields: dict[str, str] = {}
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            key, _, value = line.partition(":")
            fields.setdefault(key.strip(), value.strip())
    cores = len(os.sched_getaffinity(0))
    with tempfile.TemporaryDirectory() as directory:
        latencies, fma = _measure(Path(directory), cores)
    return Cpu(
        model=f"{fields.get('model name', '?')} (family {fields.get('cpu family', '?')}, model {fields.get('model', '?')})",
        cores=cores,
        nominal_ghz=float(fields.get("cpu MHz", "nan")) / 1000,
        latencies_ns=latencies,
        fma=fma,
    )

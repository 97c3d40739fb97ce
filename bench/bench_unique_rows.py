"""Side-by-side timing of kedo.unique_rows against NumPy, pandas, SciPy and trimesh.

Every contender runs in this process on the same arrays; each time is the median of
--repeats runs after one warm-up run. kedo's peak extra memory is measured in a
subprocess per method. See bench/README.md for the commands.
"""

from __future__ import annotations

import argparse
import datetime
import gc
import json
import math
import os
import platform
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

import kedo

NOISE = 1e-8
NOISY_TOLERANCE = 1e-6
SOUP_TOLERANCE = 1e-6
KEDO = [
    ("kedo sort", "sort", False),
    ("kedo sort idx", "sort", True),
    ("kedo uff", "a", False),
    ("kedo uff idx", "a", True),
]


# ----------------------------------------------------------------------------- workloads


def pool_rows(rng: np.random.Generator, n: int, width: int, dtype) -> np.ndarray:
    """n rows drawn with repetition from a pool of 0.4 n random rows (~63% duplicates)."""
    pool = rng.random((max(1, int(0.4 * n)), width))
    return pool[rng.integers(0, len(pool), n)].astype(dtype)


def exact_rows(n: int, width: int, dtype, seed: int = 1) -> np.ndarray:
    return pool_rows(np.random.default_rng(seed), n, width, dtype)


def noisy_rows(n: int, width: int, dtype, seed: int = 2) -> np.ndarray:
    rng = np.random.default_rng(seed)
    x = pool_rows(rng, n, width, np.float64)
    return (x + rng.normal(0.0, NOISE, x.shape)).astype(dtype)


def separated_noisy_rows(n: int, width: int, dtype, seed: int = 3) -> np.ndarray:
    """Noisy duplicates of pool rows on a grid of spacing 2^-10: two pool rows either
    share a column value or differ by far more than the tolerance, so every method's
    groups are exactly the pool rows drawn."""
    rng = np.random.default_rng(seed)
    pool = rng.integers(0, 1 << 10, (max(1, int(0.4 * n)), width)) / 1024.0
    x = pool[rng.integers(0, len(pool), n)]
    return (x + rng.normal(0.0, NOISE, x.shape)).astype(dtype)


def triangle_soup(n: int, width: int, dtype, seed: int = 4) -> np.ndarray:
    """The vertices of a triangulated height field written triangle by triangle, in mesh
    order, about n rows; each inner vertex is repeated six times."""
    del seed
    if width != 3:
        raise ValueError("the triangle soup has width 3")
    m = max(2, int(math.sqrt(n / 6.0)) + 1)
    u = np.linspace(0.0, 1.0, m)
    gx, gy = np.meshgrid(u, u, indexing="ij")
    vertices = np.stack([gx, gy, 0.1 * np.sin(6 * gx) * np.cos(5 * gy)], axis=-1).reshape(-1, 3)
    ids = np.arange(m * m).reshape(m, m)
    a, b, c, d = ids[:-1, :-1], ids[1:, :-1], ids[:-1, 1:], ids[1:, 1:]
    faces = np.concatenate([np.stack([a, b, d], -1), np.stack([a, d, c], -1)]).reshape(-1, 3)
    return vertices[faces.reshape(-1)].astype(dtype)


def shuffled_soup(n: int, width: int, dtype, seed: int = 4) -> np.ndarray:
    """The triangle soup with its triangles in random order (corners kept in order): no
    sort finds runs already in order."""
    x = triangle_soup(n, width, dtype)
    triangles = np.random.default_rng(seed).permutation(len(x) // 3)
    return np.ascontiguousarray(x.reshape(-1, 9)[triangles].reshape(-1, 3))


def plane_soup(n: int, width: int, dtype, seed: int = 4) -> np.ndarray:
    """The shuffled soup laid flat on the plane x + y + z = 1: every row sum is about 1,
    so a key window of the Uff method holds nearly every later row."""
    x = shuffled_soup(n, width, np.float64, seed)
    x[:, 2] = 1.0 - x[:, 0] - x[:, 1]
    return x.astype(dtype)


def noisy_soup(n: int, width: int, dtype, seed: int = 4) -> np.ndarray:
    """The shuffled soup with normal noise of 1e-8 on every value: the copies of a vertex
    agree only within the tolerance, as when each triangle computed its own corners."""
    x = shuffled_soup(n, width, np.float64, seed)
    return (x + np.random.default_rng(seed).normal(0.0, NOISE, x.shape)).astype(dtype)


WORKLOADS: dict[str, tuple[Callable[..., np.ndarray], float]] = {
    "exact": (exact_rows, 0.0),
    "noisy": (noisy_rows, NOISY_TOLERANCE),
    "soup": (triangle_soup, SOUP_TOLERANCE),
    "soup-shuffled": (shuffled_soup, SOUP_TOLERANCE),
    "plane": (plane_soup, SOUP_TOLERANCE),
    "soup-noisy": (noisy_soup, SOUP_TOLERANCE),
}
SOUPS = ("soup", "soup-shuffled", "plane", "soup-noisy")


# ----------------------------------------------------------------------------- contenders


def numpy_unique(x: np.ndarray, tol: float):
    return np.unique(x, axis=0, return_index=True, return_inverse=True)


def pandas_groupby(x: np.ndarray, tol: float):
    import pandas as pd

    frame = pd.DataFrame(x)
    inverse = frame.groupby(list(frame.columns), sort=True).ngroup().to_numpy()
    first = np.flatnonzero(~pd.Series(inverse).duplicated().to_numpy())
    index = np.empty(int(inverse.max()) + 1 if len(inverse) else 0, dtype=np.int64)
    index[inverse[first]] = first
    return index, inverse


def kdtree_components(x: np.ndarray, tol: float):
    from scipy.sparse import coo_matrix
    from scipy.sparse.csgraph import connected_components
    from scipy.spatial import cKDTree

    n = len(x)
    pairs = cKDTree(x).query_pairs(tol, output_type="ndarray")
    graph = coo_matrix((np.ones(len(pairs), dtype=np.int8), (pairs[:, 0], pairs[:, 1])), (n, n))
    count, labels = connected_components(graph, directed=False)
    return count, labels


def rounded_unique(x: np.ndarray, tol: float):
    keys = np.round(x / tol).astype(np.int64)
    return np.unique(keys, axis=0, return_index=True, return_inverse=True)


def trimesh_unique(x: np.ndarray, tol: float):
    from trimesh import grouping

    digits = max(0, int(round(-math.log10(tol)))) if tol > 0 else None
    return grouping.unique_rows(x, digits=digits)


def have(module: str) -> bool:
    try:
        __import__(module)
    except ImportError:
        return False
    return True


# Peers per workload: (name, function, whether it deduplicates exactly or within tol).
def peers_for(workload: str) -> list[tuple[str, Callable]]:
    peers: list[tuple[str, Callable]] = []
    # Exact deduplication cannot weld copies that differ by noise.
    if workload == "exact" or (workload in SOUPS and workload != "soup-noisy"):
        peers.append(("numpy.unique", numpy_unique))
        if have("pandas"):
            peers.append(("pandas", pandas_groupby))
    if workload == "noisy" or workload in SOUPS:
        if have("scipy"):
            peers.append(("cKDTree+cc", kdtree_components))
        peers.append(("round+unique", rounded_unique))
        if have("trimesh"):
            peers.append(("trimesh", trimesh_unique))
    return peers


# ----------------------------------------------------------------------------- timing


def median_time(run: Callable[[], object], repeats: int) -> float:
    run()  # warm-up
    times = []
    for _ in range(repeats):
        gc.collect()
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return float(np.median(times))


@dataclass
class Case:
    workload: str
    dtype: str
    width: int
    rows: int
    times: dict[str, float] = field(default_factory=dict)
    groups: dict[str, int] = field(default_factory=dict)


def run_case(workload, dtype, width, rows, repeats, peer_max_rows, only) -> Case:
    make, tol = WORKLOADS[workload]
    x = make(rows, width, np.dtype(dtype))
    case = Case(workload, dtype, width, len(x))
    for name, method, sorted_index in KEDO:
        if only and name not in only:
            continue
        case.times[name] = median_time(
            lambda m=method, s=sorted_index: kedo.unique_rows(x, tol, s, m), repeats
        )
        case.groups[name] = len(kedo.unique_rows(x, tol, sorted_index, method)[1])
    if len(x) <= peer_max_rows:
        for name, fn in peers_for(workload):
            if only and name not in only:
                continue
            case.times[name] = median_time(lambda f=fn: f(x, tol if tol > 0 else 0.0), repeats)
    return case


def check_agreement(rows: int, width: int, dtype: str) -> list[str]:
    """Group counts: kedo at tolerance 0 against NumPy; kedo (both methods) on
    well-separated noisy data against the k-d tree components."""
    problems = []
    x = exact_rows(rows, width, np.dtype(dtype))
    expected = len(np.unique(x, axis=0))
    for name, method, sorted_index in KEDO[:2]:
        got = len(kedo.unique_rows(x, 0.0, sorted_index, method)[1])
        if got != expected:
            problems.append(f"{name} tol 0: {got} groups, numpy.unique {expected}")
    y = separated_noisy_rows(rows, width, np.dtype(dtype))
    if have("scipy"):
        expected, _ = kdtree_components(y.astype(np.float64), NOISY_TOLERANCE)
        for name, method, sorted_index in KEDO:
            got = len(kedo.unique_rows(y, NOISY_TOLERANCE, sorted_index, method)[1])
            if got != expected:
                problems.append(f"{name} separated noisy: {got} groups, k-d tree {expected}")
    return problems


# ----------------------------------------------------------------------------- memory

MEMORY_CHILD = r"""
import ctypes, resource, sys
import numpy as np
import kedo

def rss_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field):
                return int(line.split()[1])
    return 0

path, tol, sorted_index, method = sys.argv[1], float(sys.argv[2]), sys.argv[3] == "1", sys.argv[4]
x = np.load(path)
x.sum()  # touch every page
kedo.unique_rows(x[:1000], tol, sorted_index, method)
try:  # hand freed heap back, so that the outputs cannot hide in it
    ctypes.CDLL(None).malloc_trim(0)
except (OSError, AttributeError):
    pass
try:  # reset the peak to the current resident set
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
except OSError:
    pass
before = rss_kib("VmRSS:")
result = kedo.unique_rows(x, tol, sorted_index, method)
peak = max(rss_kib("VmHWM:"), 0)
if peak == 0:
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
outputs = sum(a.nbytes for a in result)
print((peak - before) * 1024 - outputs)
"""


def peak_extra_bytes_per_row(workload: str, rows: int, width: int, dtype: str) -> dict[str, float]:
    make, tol = WORKLOADS[workload]
    x = make(rows, width, np.dtype(dtype))
    out = {}
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "x.npy"
        np.save(path, x)
        for name, method, sorted_index in KEDO:
            proc = subprocess.run(
                [
                    sys.executable,
                    "-c",
                    MEMORY_CHILD,
                    str(path),
                    repr(tol),
                    "1" if sorted_index else "0",
                    method,
                ],
                capture_output=True,
                text=True,
                check=True,
            )
            out[name] = int(proc.stdout.strip()) / len(x)
    return out


# ----------------------------------------------------------------------------- report


def machine() -> dict[str, str]:
    cpu = platform.processor() or "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    versions = {"numpy": np.__version__, "kedo": kedo.__version__}
    for module in ("pandas", "scipy", "trimesh"):
        if have(module):
            versions[module] = sys.modules[module].__version__
    return {
        "date": datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d %H:%M UTC"),
        "cpu": cpu,
        "nproc": str(os.cpu_count()),
        "python": platform.python_version(),
        "versions": ", ".join(f"{k} {v}" for k, v in versions.items()),
        "OPENBLAS_CORETYPE": os.environ.get("OPENBLAS_CORETYPE", "(unset)"),
    }


def format_table(cases: list[Case]) -> str:
    kedo_names = [name for name, _, _ in KEDO]
    lines = [
        "| workload | dtype | width | rows | contender | time (ms) | kedo sort x | kedo uff x |",
        "|---|---|---|---|---|---|---|---|",
    ]
    for case in cases:
        for name, seconds in case.times.items():
            ratios = []
            for kedo_name in ("kedo sort", "kedo uff"):
                # At tolerance 0 the Uff method merges nothing: no ratio.
                exact_uff = case.workload == "exact" and kedo_name == "kedo uff"
                if name in kedo_names or kedo_name not in case.times or exact_uff:
                    ratios.append("")
                else:
                    ratios.append(f"{seconds / case.times[kedo_name]:.1f}")
            lines.append(
                f"| {case.workload} | {case.dtype} | {case.width} | {case.rows:,} | {name} | "
                f"{seconds * 1e3:.1f} | {ratios[0]} | {ratios[1]} |"
            )
    return "\n".join(lines)


def growth_lines(cases: list[Case]) -> list[str]:
    lines = []
    keyed: dict[tuple, dict[int, Case]] = {}
    for case in cases:
        keyed.setdefault((case.workload, case.dtype, case.width), {})[case.rows] = case
    for (workload, dtype, width), by_rows in keyed.items():
        sizes = sorted(by_rows)
        # Growth is judged from about 10^5 rows (or the smallest size) up.
        start = next((r for r in sizes if r >= 90_000), sizes[0])
        if len(sizes) < 2 or start == sizes[-1]:
            continue
        small, large = by_rows[start], by_rows[sizes[-1]]
        if small.rows < 2:
            continue
        nlogn = (large.rows * math.log(large.rows)) / (small.rows * math.log(small.rows))
        for name, _, _ in KEDO:
            if name in small.times and name in large.times:
                growth = large.times[name] / small.times[name]
                verdict = "within n log n" if growth <= nlogn else "ABOVE n log n"
                lines.append(
                    f"{workload} {dtype} w{width} {name}: {small.rows:,} -> {large.rows:,} rows, "
                    f"time x{growth:.1f} (n log n x{nlogn:.1f}): {verdict}"
                )
    return lines


# What the machine itself does between the same sizes: operations whose cost is
# fixed by the memory system, for comparison with kedo's growth.
BASELINES: list[tuple[str, Callable[[np.ndarray, np.ndarray], object]]] = [
    ("copy of the rows", lambda x, _: x.copy()),
    ("rows gathered in random order", lambda x, order: x[order]),
    ("numpy.sort of the first column", lambda x, _: np.sort(x[:, 0])),
    ("stable numpy.argsort of the first column", lambda x, _: np.argsort(x[:, 0], kind="stable")),
]


def baseline_growth(small_rows: int, large_rows: int, repeats: int) -> dict[str, float]:
    times: dict[str, dict[int, float]] = {name: {} for name, _ in BASELINES}
    for rows in (small_rows, large_rows):
        rng = np.random.default_rng(5)
        x = rng.random((rows, 3))
        order = rng.permutation(rows)
        for name, op in BASELINES:
            times[name][rows] = median_time(lambda op=op, x=x, order=order: op(x, order), repeats)
    return {name: t[large_rows] / t[small_rows] for name, t in times.items()}


def growth_span(cases: list[Case]) -> tuple[int, int] | None:
    """The sizes growth is judged between, for width 3 float64 exact rows."""
    sizes = sorted(
        {c.rows for c in cases if c.workload == "exact" and c.width == 3 and c.dtype == "float64"}
    )
    start = next((r for r in sizes if r >= 90_000), None)
    if start is None or start == sizes[-1]:
        return None
    return start, sizes[-1]


def plot(cases: list[Case], path: Path, dtype: str, width: int) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    workloads = [w for w in WORKLOADS if any(c.workload == w for c in cases)]
    fig, axes = plt.subplots(1, len(workloads), figsize=(5.5 * len(workloads), 4.5), squeeze=False)
    for ax, workload in zip(axes[0], workloads, strict=True):
        chosen = [c for c in cases if c.workload == workload and c.dtype == dtype]
        chosen = [c for c in chosen if c.width == (3 if workload in SOUPS else width)]
        names = list(dict.fromkeys(n for c in chosen for n in c.times))
        for name in names:
            points = sorted((c.rows, c.times[name]) for c in chosen if name in c.times)
            style = "-o" if name.startswith("kedo") else "--s"
            ax.loglog(*zip(*points, strict=True), style, label=name, markersize=4)
        ax.set_title(f"{workload}, {dtype}, width {3 if workload in SOUPS else width}")
        ax.set_xlabel("rows")
        ax.set_ylabel("median time (s)")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=7)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def parse_sizes(text: str) -> list[int]:
    return sorted({int(float(s)) for s in text.split(",") if s})


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--workloads", default="exact,noisy,soup,soup-shuffled")
    parser.add_argument("--sizes", default="1e4,1e5,1e6", help="rows, comma separated")
    parser.add_argument("--widths", default="3")
    parser.add_argument("--dtypes", default="float64")
    parser.add_argument("--repeats", type=int, default=5, help="timed runs (median), >= 5")
    parser.add_argument(
        "--peer-max-rows",
        type=float,
        default=1e6,
        help="run the other libraries only up to this many rows",
    )
    parser.add_argument("--only", default="", help="contenders to run, comma separated")
    parser.add_argument(
        "--memory-rows",
        type=float,
        default=1e6,
        help="rows for kedo's memory measurement (0: skip)",
    )
    parser.add_argument("--plot", default="bench/unique_rows.png")
    parser.add_argument("--json", default="", help="also write the results here")
    args = parser.parse_args(argv)
    if args.repeats < 5:
        parser.error("--repeats must be at least 5")

    info = machine()
    print("# kedo.unique_rows benchmark")
    for key, value in info.items():
        print(f"- {key}: {value}")
    print(f"- command: {' '.join([Path(sys.executable).name] + sys.argv)}")
    print()

    only = {s.strip() for s in args.only.split(",") if s.strip()}
    sizes = parse_sizes(args.sizes)
    widths = [int(w) for w in args.widths.split(",")]
    dtypes = args.dtypes.split(",")
    workloads = args.workloads.split(",")

    problems = []
    for dtype in dtypes:
        for width in widths:
            problems += check_agreement(min(max(sizes), 200_000), width, dtype)
    print(
        "agreement: "
        + (
            "OK (tolerance 0 vs numpy.unique, separated noisy vs k-d tree)"
            if not problems
            else "; ".join(problems)
        )
    )

    cases = []
    for workload in workloads:
        for dtype in dtypes:
            for width in widths if workload not in SOUPS else [3]:
                for rows in sizes:
                    case = run_case(
                        workload, dtype, width, rows, args.repeats, args.peer_max_rows, only
                    )
                    print(
                        f"  {workload} {dtype} w{width} {case.rows:,}: "
                        + ", ".join(f"{k} {v * 1e3:.1f} ms" for k, v in case.times.items()),
                        flush=True,
                    )
                    cases.append(case)
    print()
    print(format_table(cases))
    print()
    for line in growth_lines(cases):
        print(line)
    baselines = {}
    span = growth_span(cases)
    if span is not None:
        small_rows, large_rows = span
        nlogn = (large_rows * math.log(large_rows)) / (small_rows * math.log(small_rows))
        baselines = baseline_growth(small_rows, large_rows, args.repeats)
        for name, growth in baselines.items():
            print(
                f"machine baseline, {name} (x 3 float64): {small_rows:,} -> {large_rows:,} rows, "
                f"time x{growth:.1f} (n log n x{nlogn:.1f})"
            )

    memory = {}
    if args.memory_rows > 0:
        print()
        for workload in ("exact", "noisy"):
            if workload in workloads:
                memory[workload] = peak_extra_bytes_per_row(
                    workload, int(args.memory_rows), 3, "float64"
                )
                print(
                    f"peak extra memory, {workload}, {int(args.memory_rows):,} x 3 float64 "
                    "(bytes/row beyond input and outputs): "
                    + ", ".join(f"{k} {v:.1f}" for k, v in memory[workload].items())
                )
    if args.plot:
        plot(cases, Path(args.plot), dtypes[0], widths[0])
        print(f"\nplot: {args.plot}")
    if args.json:
        Path(args.json).write_text(
            json.dumps(
                {
                    "machine": info,
                    "cases": [c.__dict__ for c in cases],
                    "memory": memory,
                    "baseline_growth": baselines,
                    "agreement": problems,
                },
                indent=1,
            )
        )
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

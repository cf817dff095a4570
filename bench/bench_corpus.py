"""vemio.corpus: rendering speed per core (dry and with a 0.5 s room response on every row),
thread scaling, a two-worker Dask LocalCluster against the threads of the same machine, the
disk's own writing speed for the same files, a numpy/soundfile mixing loop as the baseline,
planning a million rows, and the peak memory of a 100,000-row render.

    PYTHONPATH=python python3 bench/bench_corpus.py [--rows 3000] [--out DIR]

Rates per core divide by the process's CPU time (all threads), so that other work on a shared
machine does not count against them; scaling ratios are wall-clock.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import soundfile as sf
from vemio import corpus

RATE = 16000


def make_data(root: Path, clean_seconds=3.0, n_clean=20):
    rng = np.random.default_rng(0)
    for d in ("clean", "noise", "rir"):
        (root / d).mkdir(parents=True, exist_ok=True)
    for i in range(n_clean):
        x = rng.uniform(-0.2, 0.2, int(clean_seconds * RATE))
        sf.write(root / f"clean/c{i:02d}.wav", x, RATE, subtype="PCM_16")
    for i in range(5):
        sf.write(root / f"noise/n{i}.wav", rng.uniform(-0.2, 0.2, 30 * RATE), RATE, "PCM_16")
    for i in range(3):
        n = RATE // 2
        h = rng.uniform(-0.3, 0.3, n) * np.exp(-np.arange(n) / (0.06 * RATE))
        h[40 + i] = 1.0
        sf.write(root / f"rir/r{i}.wav", h, RATE, subtype="FLOAT")


def timed_render(manifest, out, split=False, **kw):
    shutil.rmtree(out, ignore_errors=True)
    wall, cpu, use = time.perf_counter(), time.process_time(), os.times()
    corpus.render(manifest, out, progress=False, **kw)
    wall, cpu, end = time.perf_counter() - wall, time.process_time() - cpu, os.times()
    if split:  # user and kernel CPU seconds (the kernel's share is the file system's)
        return wall, cpu, end.user - use.user, end.system - use.system
    return wall, cpu


def baseline(manifest, out):
    """The usual single-threaded script: read, cut, scale, sum, write with soundfile."""
    shutil.rmtree(out, ignore_errors=True)
    (out / "noisy").mkdir(parents=True)
    (out / "clean").mkdir()
    t = time.perf_counter()
    for row in manifest.itertuples():
        c, _ = sf.read(row.clean)
        n, _ = sf.read(row.noise)
        n = n[row.noise_offset : row.noise_offset + len(c)]
        g = np.sqrt(np.sum(c**2) / (np.sum(n**2) * 10 ** (row.snr / 10)))
        mix = c + g * n
        f = min(1.0, 0.99 / np.max(np.abs(mix)))
        sf.write(out / f"noisy/{row.name}.wav", mix * f, RATE, subtype="PCM_16")
        sf.write(out / f"clean/{row.name}.wav", c * f, RATE, subtype="PCM_16")
    return time.perf_counter() - t


def raw_writes(files, nbytes, out):
    """The disk's limit: the same number of files of the same size, written and renamed."""
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir(parents=True)
    data = os.urandom(nbytes)
    t = time.perf_counter()
    for i in range(files):
        tmp = out / f"{i}.tmp"
        fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o666)
        os.write(fd, data)
        os.close(fd)
        os.replace(tmp, out / f"{i}.wav")
    return time.perf_counter() - t


MEMORY_RUN = """
import sys, vemio.corpus as c
m = c.plan(sys.argv[1] + "/clean", sys.argv[1] + "/noise", (-5, 20), mode="sample",
           count=int(sys.argv[3]), seed=1, level=(-35, -15))
c.render(m, sys.argv[2], progress=False)
# the high-water mark of this process's own memory (ru_maxrss would include the forked parent)
print(next(ln.split()[1] for ln in open("/proc/self/status") if ln.startswith("VmHWM:")))
"""


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=3000, help="rows of the dry runs")
    ap.add_argument("--out", type=Path, help="output folder (default: a temporary one on /tmp)")
    ap.add_argument("--memory-rows", type=int, default=100_000)
    ap.add_argument("--memory-seconds", type=float, default=0.25, help="clean length there")
    ap.add_argument("--no-cluster", action="store_true")
    a = ap.parse_args()
    root = Path(tempfile.mkdtemp(prefix="bench_corpus_", dir=a.out))
    try:
        run(a, root)
    finally:
        shutil.rmtree(root, ignore_errors=True)


def run(a, root):
    print(f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores; output under {root}")
    make_data(root / "data")
    d = root / "data"

    t = time.perf_counter()
    big = corpus.plan(d / "clean", d / "noise", (-5, 20), mode="sample", count=1_000_000,
                      rir=d / "rir", rir_share=0.5, level=(-35, -15), seed=1)  # fmt: skip
    print(f"plan: {len(big):,} rows in {time.perf_counter() - t:.1f} s")
    del big

    n = a.rows
    dry = corpus.plan(d / "clean", d / "noise", (-5, 20), mode="sample", count=n, seed=2)
    wet = corpus.plan(d / "clean", d / "noise", (-5, 20), mode="sample", count=max(n // 4, 50),
                      seed=3, rir=d / "rir", rir_share=1.0)  # fmt: skip
    w1, c1, u1, k1 = timed_render(dry, root / "o1", split=True, workers=1)
    print(
        f"dry, 1 thread:  {n / w1:7.0f} rows/s wall, {n / c1:7.0f} rows/s per core of CPU time "
        f"({1e6 * u1 / n:.0f} us user + {1e6 * k1 / n:.0f} us kernel per row)"
    )
    ww, cw = timed_render(wet, root / "ow", workers=1)
    m = len(wet)
    print(f"0.5 s room on every row, 1 thread: {m / ww:5.0f} rows/s wall, {m / cw:5.0f} per core")
    w2, c2 = timed_render(dry, root / "o2", workers=2)
    print(f"dry, 2 threads: {n / w2:7.0f} rows/s wall ({w1 / w2:.2f}x one thread)")

    if not a.no_cluster:
        try:
            from dask.distributed import Client, LocalCluster
        except ImportError:
            print("dask.distributed not installed: cluster run skipped")
        else:
            cluster = LocalCluster(
                n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
            )
            # The kernel's cost of new files drifts with the machine's memory and file system
            # state, so the cluster and the threads take turns, twice each, and the totals are
            # compared. The workers are started and have imported vemio before any timing.
            wt = wc = 0.0
            with cluster, Client(cluster) as client:
                client.run(lambda: __import__("vemio.corpus"))
                for k in range(2):
                    wt += timed_render(dry, root / f"ot{k}", workers=2)[0]
                    wc += timed_render(dry, root / f"od{k}", executor=client)[0]
            print(
                f"dry, LocalCluster 2x1: {2 * n / wc:7.0f} rows/s wall, {wt / wc:.2f}x 2 threads "
                f"({2 * n / wt:.0f} rows/s) in turns with it; workers started and importing "
                f"vemio before the timing"
            )

    nbytes = 44 + 2 * 3 * RATE
    wr = raw_writes(2 * n, nbytes, root / "raw")
    print(
        f"disk: {n / wr:7.0f} rows/s of plain writes of the same {2 * n} files "
        f"({2 * n * nbytes / wr / 1e6:.0f} MB/s); vemio on 2 threads at {wr / w2:.0%} of it"
    )
    k = max(n // 10, 50)
    wb = baseline(dry.iloc[:k], root / "ob")
    print(
        f"baseline numpy/soundfile loop: {k / wb:5.0f} rows/s; vemio 1 thread {wb / k * n / w1:.1f}x"
    )

    mem = root / "mem"
    make_data(mem / "data", clean_seconds=a.memory_seconds)
    proc = subprocess.run(
        [sys.executable, "-c", MEMORY_RUN, str(mem / "data"), str(mem / "out"), str(a.memory_rows)],
        capture_output=True, text=True, check=True,
    )  # fmt: skip
    peak_mb = int(proc.stdout.split()[-1]) / 1024
    print(
        f"memory: {a.memory_rows:,}-row render ({a.memory_seconds} s clean files) "
        f"peaked at {peak_mb:.0f} MB resident"
    )


if __name__ == "__main__":
    main()

"""Corpus rendering speed of vemio.core.synth against a plain-Python synthesiser.

Increment mode, 50 clean files of 3 s and 4 noise files of 10 s (two of them at 48 kHz, so the
resampler runs), 3 SNRs: 600 jobs. The baseline does the same arithmetic with librosa.load at
16 kHz, numpy and scipy.io.wavfile.write, in a multiprocessing Pool of 8 above 200 jobs.
Peak memory is measured in fresh processes for 600 and 6000 jobs (vemio only).

python bench/bench_synth.py
"""

import os
import resource
import subprocess
import sys
import tempfile
import time
import warnings
from functools import partial
from multiprocessing import Pool
from pathlib import Path

import numpy as np
from scipy.io import wavfile

warnings.filterwarnings("ignore")


def make_corpus(root: Path, n_clean=50, n_noise=4):
    rng = np.random.default_rng(0)
    (root / "clean").mkdir(parents=True, exist_ok=True)
    (root / "noise").mkdir(parents=True, exist_ok=True)
    speech = rng.uniform(-0.3, 0.3, 3 * 16000)
    for i in range(n_clean):
        wavfile.write(
            root / "clean" / f"c{i:03d}.wav",
            16000,
            (np.roll(speech, 997 * i) * 32767).astype(np.int16),
        )
    for j in range(n_noise):
        sr = 48000 if j % 2 else 16000
        noise = rng.normal(0, 0.1, 10 * sr).clip(-1, 1)
        wavfile.write(root / "noise" / f"n{j}.wav", sr, (noise * 32767).astype(np.int16))


# ---------------------------------------------------------------- the plain-Python baseline


def py_syn_waves(jobs, num):
    import librosa

    out, clean_file, noise_file, snr = jobs[num]
    y_clean, sr = librosa.load(clean_file, sr=16000)
    y_noise, _ = librosa.load(noise_file, sr=16000)
    y_clean = y_clean.astype(np.float64)
    y_noise = y_noise.astype(np.float64)
    lc, ln = len(y_clean), len(y_noise)
    clean_pwr = np.sum(np.abs(y_clean) ** 2) / lc
    if ln < lc:
        seg = np.tile(y_noise, lc // ln + 1)[:lc]
    else:
        ind = np.random.randint(1, ln - lc + 1) if ln > lc else 0
        seg = y_noise[ind : ind + lc]
    seg = seg - seg.mean()
    seg = np.sqrt(clean_pwr / 10 ** (snr / 10)) * seg / seg.std()
    Path(out).parent.mkdir(parents=True, exist_ok=True)
    y = np.clip(np.trunc((y_clean + seg) * 32767), -32768, 32767).astype(np.int16)
    wavfile.write(out, sr, y)


def py_synthesise(root: Path, out: Path, snrs=(-5, 0, 5)):
    clean = sorted((root / "clean").glob("*.wav"))
    noise = sorted((root / "noise").glob("*.wav"))
    jobs = [
        (str(out / f"{c.stem}_{n.stem}_{s}.wav"), str(c), str(n), s)
        for c in clean
        for n in noise
        for s in snrs
    ]
    if len(jobs) > 200:
        with Pool(8) as pool:
            pool.map(partial(py_syn_waves, jobs), range(len(jobs)))
    else:
        for i in range(len(jobs)):
            py_syn_waves(jobs, i)
    return len(jobs)


# ---------------------------------------------------------------- vemio


def vemio_synthesise(root: Path, out: Path, snrs=(-5, 0, 5)):
    from contextlib import redirect_stderr, redirect_stdout

    from vemio.core.synth import Synthesizer

    s = Synthesizer(str(root / "clean"), str(root / "noise"), str(out), snrs)
    with open(os.devnull, "w") as null, redirect_stdout(null), redirect_stderr(null):
        jobs = s.syn("increment")
    return len(jobs)


def child(root, out, n_snr):
    """Run vemio once in this fresh process; print jobs, seconds and peak RSS in MiB."""
    snrs = tuple(np.linspace(-5, 5, int(n_snr)).round(3)) if int(n_snr) != 3 else (-5, 0, 5)
    t = time.perf_counter()
    n = vemio_synthesise(Path(root), Path(out), snrs)
    dt = time.perf_counter() - t
    rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(n, dt, rss)


def run_child(root, out, n_snr):
    r = subprocess.run(
        [sys.executable, __file__, "--child", str(root), str(out), str(n_snr)],
        capture_output=True,
        text=True,
        check=True,
    )
    n, dt, rss = r.stdout.split()
    return int(n), float(dt), float(rss)


def main():
    cores = os.cpu_count()
    with tempfile.TemporaryDirectory() as d:
        root = Path(d)
        make_corpus(root)
        vemio_synthesise(root, root / "warm")  # imports, page cache
        t = time.perf_counter()
        n = vemio_synthesise(root, root / "v")
        tv = time.perf_counter() - t
        t = time.perf_counter()
        nb = py_synthesise(root, root / "b")
        tb = time.perf_counter() - t
        assert n == nb == 600
        print(f"cores: {cores}")
        print(
            f"vemio    : {n} mixtures in {tv:.2f} s = {n / tv:.0f} mixtures/s ({n / tv / cores:.0f} per core)"
        )
        print(f"baseline : {nb} mixtures in {tb:.2f} s = {nb / tb:.0f} mixtures/s")
        print(f"ratio    : {tb / tv:.1f}x")
        for n_snr in (3, 30):
            n, dt, rss = run_child(root, root / f"rss{n_snr}", n_snr)
            print(
                f"peak RSS : {n} jobs -> {rss:.0f} MiB ({n / dt:.0f} mixtures/s in a fresh process)"
            )


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(*sys.argv[2:5])
    else:
        main()

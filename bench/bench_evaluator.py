"""Evaluator overhead against the time spent inside the metric packages.

Scores 100 triples of 3-second 16 kHz files with AudioEvaluate.eval (STOI and SDR; PESQ as well
with --pesq when a pesq.exe is on PATH) and splits the wall time into time inside mir_eval,
pystoi and pesq.exe, and everything else (reading, tables, printing, progress). A plain-Python
scorer (scipy.io.wavfile + pandas) runs on the same files as the baseline for the overhead alone,
measured with the metric calls answering at once.

python bench/bench_evaluator.py [--n 100] [--pesq]      (no package is installed: the installer
call is stubbed out)
"""

import argparse
import contextlib
import io as _io
import os
import subprocess
import sys
import tempfile
import time
import warnings
from pathlib import Path

import numpy as np
from scipy.io import wavfile

warnings.filterwarnings("ignore")
subprocess.call = lambda *a, **k: 1  # never reach a package registry from a benchmark

import mir_eval  # noqa: E402
import pandas as pd  # noqa: E402
import pystoi  # noqa: E402
from vemio.core import evaluator as ev  # noqa: E402

SR = 16000


class Clock:
    """Accumulates the time spent inside wrapped callables."""

    def __init__(self):
        self.inside = 0.0

    def wrap(self, fn):
        def timed(*a, **k):
            t = time.perf_counter()
            try:
                return fn(*a, **k)
            finally:
                self.inside += time.perf_counter() - t

        return timed


def make_corpus(root: Path, n: int, seconds=3.0):
    rng = np.random.default_rng(0)
    lists = ([], [], [])
    t = np.arange(int(seconds * SR)) / SR
    for i in range(n):
        c = 0.3 * np.sin(2 * np.pi * (200 + i) * t) * (0.5 + 0.5 * np.sin(2 * np.pi * 3 * t) ** 2)
        waves = (c, c + 0.1 * rng.standard_normal(c.size), c + 0.02 * rng.standard_normal(c.size))
        for lst, folder, w in zip(lists, ("clean", "noisy", "enh"), waves):
            p = root / folder / f"u{i:03d}.wav"
            p.parent.mkdir(parents=True, exist_ok=True)
            wavfile.write(p, SR, (w * 32767).astype(np.int16))
            lst.append(p)
    return lists


def plain_python(clean, noisy, enh):
    """What a hand-written script does: read, score, tabulate, average."""
    out = {}
    for name in ("STOI", "SDR"):
        rows = []
        for c, n, e in zip(clean, noisy, enh):
            sr, cw = wavfile.read(c)
            _, nw = wavfile.read(n)
            _, ew = wavfile.read(e)
            if name == "SDR":
                cw, nw, ew = cw.reshape(1, -1), nw.reshape(1, -1), ew.reshape(1, -1)
                mir_eval.separation.validate(cw, nw)
                mir_eval.separation.validate(cw, ew)
                b = float(mir_eval.separation.bss_eval_sources(cw, nw)[0][0])
                x = float(mir_eval.separation.bss_eval_sources(cw, ew)[0][0])
            else:
                b = float(pystoi.stoi(cw, nw, sr, extended=False))
                x = float(pystoi.stoi(cw, ew, sr, extended=False))
            rows.append({"wave": os.path.basename(c), "b": b, "e": x})
        out[name] = pd.DataFrame(rows).dropna()[["b", "e"]].mean()
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=100)
    ap.add_argument("--pesq", action="store_true", help="also score PESQ with the pesq.exe on PATH")
    args = ap.parse_args()

    clock = Clock()
    sep = mir_eval.separation
    sep.validate = clock.wrap(sep.validate)
    sep.bss_eval_sources = clock.wrap(sep.bss_eval_sources)
    pystoi.stoi = clock.wrap(pystoi.stoi)
    if args.pesq:
        subprocess.run = clock.wrap(subprocess.run)
    use_pesq = args.pesq
    ev.check_metrics_install = lambda: (use_pesq, True, True)

    with tempfile.TemporaryDirectory() as d:
        clean, noisy, enh = make_corpus(Path(d), args.n)
        sink = _io.StringIO()
        with contextlib.redirect_stdout(sink), contextlib.redirect_stderr(sink):
            a = ev.AudioEvaluate(clean, noisy)
            t = time.perf_counter()
            a.eval("bench", enh)
            df = a.get_df()
            total = time.perf_counter() - t
        inside = clock.inside

        # Overhead alone: the metric calls answer at once, for vemio and the plain scorer.
        sep.validate = lambda r, e: None
        sep.bss_eval_sources = lambda r, e: (np.array([1.0]), None, None, None)
        pystoi.stoi = lambda *a, **k: 0.5
        ev.check_metrics_install = lambda: (False, True, True)
        with contextlib.redirect_stdout(sink), contextlib.redirect_stderr(sink):
            a = ev.AudioEvaluate(clean, noisy)
            t = time.perf_counter()
            a.eval("stub", enh)
            a.get_df()
            stub_vemio = time.perf_counter() - t
        t = time.perf_counter()
        plain_python(clean, noisy, enh)
        stub_plain = time.perf_counter() - t

    cores = os.cpu_count()
    measures = "PESQ, STOI, SDR" if use_pesq else "STOI, SDR"
    print(f"[{cores} cores] {args.n} triples of 3 s files, {measures}")
    print(df.to_string())
    over = total - inside
    print(
        f"  vemio eval + get_df: {total:.2f} s, inside metric packages {inside:.2f} s,"
        f" everything else {over * 1e3:.0f} ms = {100 * over / inside:.2f}% (goal < 5%)"
    )
    print(
        f"  with the metric calls stubbed (STOI + SDR): vemio {stub_vemio * 1e3:.0f} ms"
        f" = {100 * stub_vemio / inside:.2f}% of the metric time;"
        f" plain-Python scorer (scipy read + pandas rows) {stub_plain * 1e3:.0f} ms"
    )


if __name__ == "__main__":
    sys.exit(main())

"""Speed of vemio.metrics against the packages researchers score with.

Pairs of 3-10 s built from the bundled speech (sentences joined to length) under babble-like
noise, at 16 kHz and 8 kHz. For each measure, vemio and the reference package score the same
pairs in this process, one thread, best of three passes each, and the ratio is printed:
  stoi      vs pystoi.stoi
  sdr       vs mir_eval.separation.bss_eval_sources
  pesq      vs the pesq package
  composite vs the pesq package plus a plain numpy implementation of LLR, WSS and segmental
            SNR (the frame loops of the published Python code)
Then `score` of --pairs pairs (PESQ, STOI, SDR) on all cores against a plain Python loop that
reads each pair with soundfile and calls pesq, pystoi and mir_eval, and 2 workers against 1.

python bench/bench_metrics.py [--pairs 200] [--quick]
python bench/bench_metrics.py --dnsmos [--files 100] [--seconds 10]   (DNSMOS against speechmos)
"""

import os

# one thread each side: the numpy of the reference packages must not spread over the cores
# (nor spin waiting for work) while they are timed against one native thread
for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import argparse  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402
import warnings  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402
from scipy.io import wavfile  # noqa: E402

warnings.filterwarnings("ignore")

DATA = Path(__file__).resolve().parents[1] / "python" / "vemio" / "data"


def speech_pairs(n, sr, seed=0):
    from scipy.signal import resample_poly

    rng = np.random.default_rng(seed)
    sentences = []
    for f in sorted((DATA / "clean").glob("*.wav")):
        rate, x = wavfile.read(f)
        x = x.astype(np.float64) / 32768
        if sr != rate:
            x = resample_poly(x, sr, rate)
        sentences.append(x)
    pairs = []
    for _ in range(n):
        length = int(rng.uniform(3, 10) * sr)
        parts, total = [], 0
        while total < length:
            s = sentences[rng.integers(len(sentences))]
            parts.append(s)
            total += len(s)
        clean = np.concatenate(parts)[:length]
        babble = sum(np.roll(clean, int(rng.integers(length))) for _ in range(4)) / 4
        snr = rng.uniform(0, 15)
        gain = np.sqrt(np.mean(clean**2) / np.mean(babble**2) / 10 ** (snr / 10))
        noisy = np.clip(clean + gain * babble, -1, 1)
        pairs.append((clean, noisy))
    return pairs


def timed(fn, pairs, repeat=3):
    """The best of `repeat` passes over the pairs (both sides get the same treatment, so that a
    busy moment of a shared machine does not decide a ratio)."""
    best = float("inf")
    for _ in range(repeat):
        t = time.perf_counter()
        out = [fn(c, d) for c, d in pairs]
        best = min(best, time.perf_counter() - t)
    return best, out


# ---------------------------------------------------------------- the numpy composite baseline


def _frames(x, n, hop):
    count = (len(x) - n) // hop
    idx = np.arange(n)[None, :] + hop * np.arange(count)[:, None]
    return x[idx]


def np_ssnr(c, d, sr):
    n = int(0.03 * sr)
    hop = n // 4
    w = np.hanning(n)
    out = []
    for a, b in zip(_frames(c, n, hop) * w, _frames(d, n, hop) * w):
        snr = 10 * np.log10(np.sum(a**2) / (np.sum((a - b) ** 2) + 1e-10) + 1e-10)
        out.append(min(max(snr, -10), 35))
    return np.mean(out)


def _lpc(frame, order):
    r = np.correlate(frame, frame, "full")[len(frame) - 1 : len(frame) + order]
    a = np.zeros(order + 1)
    a[0] = 1
    e = r[0]
    for i in range(1, order + 1):
        k = -(r[i] + a[1:i] @ r[i - 1 : 0 : -1]) / e
        a[1 : i + 1] = a[1 : i + 1] + k * np.r_[a[i - 1 : 0 : -1], 1]
        e *= 1 - k * k
    return a, r


def np_llr(c, d, sr):
    from scipy.linalg import toeplitz

    n = int(0.03 * sr)
    hop = n // 4
    order = 10 if sr < 10000 else 16
    w = np.hanning(n)
    out = []
    for a, b in zip(_frames(c, n, hop) * w, _frames(d, n, hop) * w):
        ac, rc = _lpc(a, order)
        ad, _ = _lpc(b, order)
        rm = toeplitz(rc)
        out.append(np.log((ad @ rm @ ad) / (ac @ rm @ ac)))
    out = np.sort(out)
    return np.mean(out[: int(0.95 * len(out))])


def np_wss(c, d, sr):
    n = int(0.03 * sr)
    hop = n // 4
    nfft = 2 ** int(np.ceil(np.log2(2 * n)))
    w = np.hanning(n)
    edges = np.linspace(0, nfft // 2, 26).astype(int)
    out = []
    for a, b in zip(_frames(c, n, hop) * w, _frames(d, n, hop) * w):
        pa, pb = np.abs(np.fft.rfft(a, nfft)) ** 2, np.abs(np.fft.rfft(b, nfft)) ** 2
        ea = 10 * np.log10(np.maximum([pa[lo:hi].sum() for lo, hi in zip(edges, edges[1:])], 1e-10))
        eb = 10 * np.log10(np.maximum([pb[lo:hi].sum() for lo, hi in zip(edges, edges[1:])], 1e-10))
        sa, sb = np.diff(ea), np.diff(eb)
        wt = 20 / (20 + ea.max() - ea[:-1]) * 1 / (1 + ea[:-1].max() - ea[:-1])
        out.append(np.sum(wt * (sa - sb) ** 2) / np.sum(wt))
    out = np.sort(out)
    return np.mean(out[: int(0.95 * len(out))])


def np_composite(c, d, sr):
    import pesq

    p = pesq.pesq(sr, c, d, "wb" if sr == 16000 else "nb")
    llr, wss, seg = np_llr(c, d, sr), np_wss(c, d, sr), np_ssnr(c, d, sr)
    csig = 3.093 - 1.029 * llr + 0.603 * p - 0.009 * wss
    cbak = 1.634 + 0.478 * p - 0.007 * wss + 0.063 * seg
    covl = 1.594 + 0.805 * p - 0.512 * llr - 0.007 * wss
    return [min(max(v, 1), 5) for v in (csig, cbak, covl)]


# ---------------------------------------------------------------- dnsmos


def noisy_files(folder, n, seconds, seed=0):
    """n 16-bit files of `seconds` at 16 kHz: the bundled sentences under babble, 0-20 dB."""
    rng = np.random.default_rng(seed)
    read = [wavfile.read(f)[1] / 32768 for f in sorted((DATA / "clean").glob("*.wav"))]
    speech = np.concatenate(read)
    noise = wavfile.read(DATA / "noise" / "babble.wav")[1] / 32768
    length = int(seconds * 16000)
    paths = []
    for i in range(n):
        s = np.resize(np.roll(speech, int(rng.integers(len(speech)))), length)
        b = np.resize(np.roll(noise, int(rng.integers(len(noise)))), length)
        gain = np.sqrt(np.mean(s**2) / np.mean(b**2) / 10 ** (rng.uniform(0, 20) / 10))
        p = Path(folder) / f"f{i:03d}.wav"
        wavfile.write(p, 16000, (np.clip(s + gain * b, -1, 1) * 32767).astype(np.int16))
        paths.append(str(p))
    return paths


def bench_dnsmos(args):
    import speechmos.dnsmos as reference
    import vemio._dnsmos as networks
    from vemio import metrics

    # time spent in the networks, as the batch scorer calls them
    spent = {"seconds": 0.0, "windows": 0}
    predict = networks.predict

    def timed_predict(audio, mel, personalized=False):
        t = time.perf_counter()
        out = predict(audio, mel, personalized)
        spent["seconds"] += time.perf_counter() - t
        spent["windows"] += len(audio)
        return out

    networks.predict = timed_predict

    with tempfile.TemporaryDirectory() as tmp:
        paths = noisy_files(tmp, args.files, args.seconds)
        print(f"dnsmos: {len(paths)} files of {args.seconds:g} s, {os.cpu_count()} cores")
        # sessions of both made before the clocks start
        reference.run(paths[0], 16000)
        metrics.score(None, paths[:1], measures="dnsmos", progress=False)
        spent.update(seconds=0.0, windows=0)

        t = time.perf_counter()
        theirs = reference.run(paths, 16000)
        t_ref = time.perf_counter() - t

        t = time.perf_counter()
        ours = metrics.score(None, paths, measures="dnsmos", progress=False)
        t_ours = time.perf_counter() - t

        # the reference's own split, window by window on one thread
        d = reference.dnsmos
        t_feat = t_net = 0.0
        sample = paths[: min(10, len(paths))]
        for p in sample:
            x = wavfile.read(p)[1].astype(np.float32) / 32768
            seg = x[:144160]
            t = time.perf_counter()
            mel = d.audio_melspec(audio=seg[:-160]).astype("float32")[None]
            t_feat += time.perf_counter() - t
            t = time.perf_counter()
            d.p808_onnx_sess.run(None, {"input_1": mel})
            d.onnx_sess.run(None, {"input_1": seg[None]})
            t_net += time.perf_counter() - t

    names = {"sig": "sig_mos", "bak": "bak_mos", "ovrl": "ovrl_mos", "p808": "p808_mos"}
    order = {os.path.basename(f): i for i, f in enumerate(theirs["filename"])}
    rows = [order[os.path.basename(f)] for f in ours["degraded"]]
    for k, v in names.items():
        diff = np.abs(ours[f"dnsmos_{k}"].to_numpy() - theirs[v].to_numpy()[rows]).max()
        print(f"  max |vemio - speechmos| {k:5s} {diff:.2e}")
    print(f"  speechmos.dnsmos.run  {t_ref:7.2f} s")
    print(f"  vemio score(dnsmos)   {t_ours:7.2f} s   ratio {t_ref / t_ours:.2f}x")
    share = spent["seconds"] / t_ours
    print(
        f"  vemio: networks {100 * share:.0f} % ({spent['windows']} windows, "
        f"batches of {networks.BATCH}), window features and reading {100 * (1 - share):.0f} %"
    )
    total = t_feat + t_net
    print(
        f"  speechmos, one thread on {len(sample)} windows: networks {100 * t_net / total:.0f} %, "
        f"librosa mel {100 * t_feat / total:.0f} %"
    )


# ---------------------------------------------------------------- main


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--pairs", type=int, default=200)
    ap.add_argument("--quick", action="store_true", help="fewer pairs per measure")
    ap.add_argument("--dnsmos", action="store_true", help="only DNSMOS against speechmos")
    ap.add_argument("--files", type=int, default=100, help="files for --dnsmos")
    ap.add_argument("--seconds", type=float, default=10.0, help="length of each file for --dnsmos")
    args = ap.parse_args()
    if args.dnsmos:
        bench_dnsmos(args)
        return

    import mir_eval
    import pesq
    import pystoi
    from vemio import metrics

    per = 4 if args.quick else 10
    print(f"[bench] {per} pairs of 3-10 s per rate; one thread each side")
    for sr in (16000, 8000):
        pairs = speech_pairs(per, sr, seed=sr)
        seconds = sum(len(c) for c, _ in pairs) / sr
        rows = [
            (
                "stoi",
                lambda c, d, sr=sr: pystoi.stoi(c, d, sr),
                lambda c, d, sr=sr: metrics.stoi(c, d, sr),
            ),
            (
                "sdr",
                lambda c, d, sr=sr: mir_eval.separation.bss_eval_sources(c[None], d[None])[0][0],
                metrics.sdr,
            ),
            (
                "pesq",
                lambda c, d, sr=sr: pesq.pesq(sr, c, d, "wb" if sr == 16000 else "nb"),
                lambda c, d, sr=sr: metrics.pesq(c, d, sr, "wb" if sr == 16000 else "nb"),
            ),
            (
                "composite",
                lambda c, d, sr=sr: np_composite(c, d, sr),
                lambda c, d, sr=sr: metrics.composite(c, d, sr),
            ),
        ]
        for name, theirs, ours in rows:
            t_theirs, _ = timed(theirs, pairs)
            t_ours, _ = timed(ours, pairs)
            print(
                f"{sr // 1000:2d} kHz {name:9s}: reference {1e3 * t_theirs / seconds:8.2f} ms, "
                f"vemio {1e3 * t_ours / seconds:7.3f} ms per second of audio -> "
                f"{t_theirs / t_ours:6.1f}x"
            )

    # the batch: files on disk, PESQ + STOI + SDR
    n = args.pairs
    pairs = speech_pairs(n, 16000, seed=1)
    with tempfile.TemporaryDirectory() as tmp:
        refs, degs = [], []
        for k, (c, d) in enumerate(pairs):
            for folder, x, lst in (("c", c, refs), ("d", d, degs)):
                p = Path(tmp) / folder / f"{k:04d}.wav"
                p.parent.mkdir(exist_ok=True)
                wavfile.write(p, 16000, (x * 32767).astype(np.int16))
                lst.append(str(p))
        import soundfile as sf

        def plain(r, d):
            x, sr = sf.read(r)
            y, _ = sf.read(d)
            m = min(len(x), len(y))
            x, y = x[:m], y[:m]
            return (
                pesq.pesq(sr, x, y, "wb"),
                pystoi.stoi(x, y, sr),
                mir_eval.separation.bss_eval_sources(x[None], y[None])[0][0],
            )

        t = time.perf_counter()
        for r, d in zip(refs, degs):
            plain(r, d)
        t_plain = time.perf_counter() - t
        measures = ["pesq", "stoi", "sdr"]
        times = {}
        for w in (1, 2, None):
            t = time.perf_counter()
            metrics.score(refs, degs, measures=measures, workers=w, progress=False)
            times[w] = time.perf_counter() - t
        cores = os.cpu_count()
        print(
            f"score of {n} pairs (pesq, stoi, sdr): plain loop {t_plain:.2f} s, vemio on "
            f"{cores} cores {times[None]:.2f} s -> {t_plain / times[None]:.1f}x; "
            f"1 worker {times[1]:.2f} s, 2 workers {times[2]:.2f} s -> {times[1] / times[2]:.2f}x"
        )


if __name__ == "__main__":
    main()

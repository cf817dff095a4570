"""Speed of vemio.metrics against the packages researchers score with.

python bench/bench_metrics.py --dnsmos [--files 100] [--seconds 10]
"""

import argparse
import os
import tempfile
import time
import warnings
from pathlib import Path

import numpy as np
from scipy.io import wavfile

warnings.filterwarnings("ignore")

DATA = Path(__file__).resolve().parents[1] / "python" / "vemio" / "data"


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


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--dnsmos", action="store_true", help="DNSMOS against speechmos")
    ap.add_argument("--files", type=int, default=100, help="files for --dnsmos")
    ap.add_argument("--seconds", type=float, default=10.0, help="length of each file for --dnsmos")
    args = ap.parse_args()
    if args.dnsmos:
        bench_dnsmos(args)


if __name__ == "__main__":
    main()

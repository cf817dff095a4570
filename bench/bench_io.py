"""Loading speed of vemio.core.io against the plain-Python ways, on generated files.

python bench/bench_io.py   (prints each ratio with the machine's core count)
"""

import os
import tempfile
import time
import warnings
from pathlib import Path

import numpy as np
import soundfile as sf
from scipy.io import wavfile
from vemio.core import io

warnings.filterwarnings("ignore")


def make_files(folder: Path, n: int, seconds=3.0, sr=16000):
    rng = np.random.default_rng(0)
    folder.mkdir(parents=True, exist_ok=True)
    base = (rng.uniform(-0.5, 0.5, int(seconds * sr)) * 32767).astype(np.int16)
    for i in range(n):
        wavfile.write(folder / f"{i:04d}.wav", sr, np.roll(base, i))
    return sorted(folder.glob("*.wav"))


def best(fn, repeat=7):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def stopband_db(load):
    """Output level of tones above 4 kHz after 16 -> 8 kHz, relative to the input level."""
    with tempfile.TemporaryDirectory() as d:
        worst = -np.inf
        for f in (4400.0, 5000.0, 6000.0, 7500.0):
            x = 0.5 * np.sin(2 * np.pi * f * np.arange(32000) / 16000)
            p = Path(d) / "t.wav"
            sf.write(p, x, 16000, subtype="FLOAT")
            y = load(p)
            rms = np.sqrt(np.mean(np.asarray(y[1000:-1000], np.float64) ** 2))
            worst = max(worst, 20 * np.log10(max(rms, 1e-12) / (0.5 / np.sqrt(2))))
        return worst


def main():
    import librosa
    import resampy

    cores = os.cpu_count()
    with tempfile.TemporaryDirectory() as d:
        files = make_files(Path(d) / "a", 600)
        five = files[:500]
        folder500 = Path(d) / "b"
        folder500.mkdir()
        for f in five:
            os.link(f, folder500 / f.name)

        t_vemio = best(lambda: io.load_waves(folder500))
        t_librosa = best(lambda: [librosa.load(str(f), sr=None) for f in five])
        t_sf = best(lambda: [sf.read(str(f), dtype="float32") for f in five])
        print(f"[{cores} cores] 500 x 3 s files, sequential load_waves: {t_vemio:.3f} s")
        print(
            f"  vs librosa.load loop  {t_librosa:.3f} s  ratio {t_librosa / t_vemio:.2f}x (goal >= 2)"
        )
        print(f"  vs soundfile.read loop {t_sf:.3f} s  ratio {t_sf / t_vemio:.2f}x (goal >= 1.2)")

        folder600 = Path(d) / "a"
        t_seq = best(lambda: io.load_waves(folder600))
        t_pool = best(lambda: io.load_waves(folder600, use_pool=True, core_=2))
        print(
            f"[{cores} cores] 600 files: sequential {t_seq:.3f} s, use_pool core_=2 {t_pool:.3f} s,"
            f" ratio {t_seq / t_pool:.2f}x (goal >= 1.6)"
        )

        some = files[:50]
        t_v8 = best(lambda: [io.file_load(f, sr=8000) for f in some])

        def old_path(f):
            y, sr = sf.read(str(f), dtype="float32")
            return resampy.resample(y, sr, 8000, filter="kaiser_best")

        t_old = best(lambda: [old_path(f) for f in some], repeat=1)
        t_new = best(lambda: [librosa.load(str(f), sr=8000) for f in some])
        print(f"[{cores} cores] 50 files to 8 kHz: file_load {t_v8:.3f} s")
        print(
            f"  vs soundfile + resampy kaiser_best {t_old:.3f} s  ratio {t_old / t_v8:.1f}x (goal >= 10)"
        )
        print(
            f"  vs librosa.load(sr=8000) (soxr)   {t_new:.3f} s  ratio {t_new / t_v8:.2f}x (goal >= 1)"
        )
        sb_v = stopband_db(lambda p: io.file_load(p, sr=8000)[0])
        sb_l = stopband_db(lambda p: librosa.load(str(p), sr=8000)[0])
        sb_r = stopband_db(
            lambda p: resampy.resample(sf.read(str(p))[0], 16000, 8000, filter="kaiser_best")
        )
        print(
            f"  worst stop-band level (4.4-7.5 kHz tones): vemio {sb_v:.1f} dB, librosa soxr {sb_l:.1f} dB,"
            f" resampy kaiser_best {sb_r:.1f} dB"
        )


if __name__ == "__main__":
    main()

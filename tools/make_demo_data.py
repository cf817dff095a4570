"""Regenerates the demo data bundled in python/vemio/data (run once; the output is committed).

clean/: five short English sentences spoken by espeak-ng (Debian package espeak-ng), resampled
        to 16 kHz mono 16-bit.
noise/: pink.wav, 1/f noise from a seeded generator; babble.wav, the five sentences shifted and
        overlapped at random offsets (seeded), 16 kHz mono 16-bit. Both 6 s long.
"""

import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

SENTENCES = [
    "The birch canoe slid on the smooth planks.",
    "Glue the sheet to the dark blue background.",
    "It is easy to tell the depth of a well.",
    "These days a chicken leg is a rare dish.",
    "Rice is often served in round bowls.",
]


def main(out: Path):
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))
    from vemio.core import io

    rng = np.random.default_rng(2026)
    (out / "clean").mkdir(parents=True, exist_ok=True)
    (out / "noise").mkdir(parents=True, exist_ok=True)
    voices = []
    with tempfile.TemporaryDirectory() as d:
        for k, text in enumerate(SENTENCES):
            raw = Path(d) / f"{k}.wav"
            subprocess.run(["espeak-ng", "-s", "150", "-w", str(raw), text], check=True)
            y, sr = io.file_load(raw, sr=16000)
            y = 0.5 * y / np.max(np.abs(y))
            voices.append(y)
            io.save_wave(out / "clean" / f"sp{k + 1:02d}.wav", y.astype(np.float32), 16000)
    n = 6 * 16000
    white = rng.standard_normal(n)
    spec = np.fft.rfft(white)
    f = np.arange(spec.size)
    spec[1:] /= np.sqrt(f[1:])
    spec[0] = 0
    pink = np.fft.irfft(spec, n)
    io.save_wave(
        out / "noise" / "pink.wav", (0.3 * pink / np.max(np.abs(pink))).astype(np.float32), 16000
    )
    babble = np.zeros(n)
    for _ in range(12):
        v = voices[rng.integers(len(voices))]
        start = rng.integers(0, n - 1)
        seg = v[: n - start]
        babble[start : start + seg.size] += seg
    io.save_wave(
        out / "noise" / "babble.wav",
        (0.3 * babble / np.max(np.abs(babble))).astype(np.float32),
        16000,
    )


if __name__ == "__main__":
    main(Path(__file__).resolve().parents[1] / "python" / "vemio" / "data")

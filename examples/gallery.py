"""Render every figure of vemio.util.visual from a generated speech-like file.

    MPLBACKEND=Agg python examples/gallery.py [output folder]     (default: gallery_out)

Writes one PNG per figure so they can be looked over side by side.
"""

import os
import sys
import tempfile
from pathlib import Path
from types import SimpleNamespace

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

from vemio.core.io import save_wave  # noqa: E402
from vemio.util import visual  # noqa: E402


def speech_like(seconds=3.0, sr=16000, seed=0):
    """Voiced 'syllables' (a gliding harmonic series under a syllable envelope) over soft noise."""
    rng = np.random.default_rng(seed)
    t = np.arange(int(seconds * sr)) / sr
    f0 = 140 + 40 * np.sin(2 * np.pi * 0.7 * t)
    phase = 2 * np.pi * np.cumsum(f0) / sr
    voiced = sum(np.sin(k * phase) / k for k in range(1, 25))
    syllables = np.clip(np.sin(2 * np.pi * 2.2 * t), 0, None) ** 2
    y = 0.25 * voiced * syllables + 0.01 * rng.standard_normal(t.size)
    return np.clip(y, -1, 1).astype(np.float32)


def main(out):
    out = Path(out)
    out.mkdir(parents=True, exist_ok=True)
    src = Path(tempfile.mkdtemp())
    files = []
    for i, (secs, sr) in enumerate([(3.0, 16000), (2.5, 8000), (1.2, 16000)]):
        p = src / f"utterance_{i + 1}.wav"
        save_wave(p, speech_like(secs, sr, seed=i), sr)
        files.append(p)
    f = files[0]

    visual.basic_analyze(f, save_dir=out / "basic_analyze.png")
    visual.plot_3_features(f, save_dir=out / "plot_3_features.png", dpi=100)
    visual.plot_4_features(f, save_dir=out / "plot_4_features.png", dpi=100)
    visual.plot_PSD(f, save_dir=out / "plot_PSD.png", dpi=100)

    wv = visual.WaveVisualizer(subplots=len(files))
    wv.plot(files)
    (out / "wave_visualizer.png").unlink(missing_ok=True)
    wv.save(out / "wave_visualizer.png")
    plt.close("all")

    # the mel view shows its figure; on Agg, show() returns at once, so save it on the way
    show = plt.show
    plt.show = lambda *a, **k: plt.savefig(out / "plot_stft_w_2mfe.png")
    try:
        visual.Common.plot_stft_w_2mfe(f)
    finally:
        plt.show = show

    c = visual.Common(is_save=True, fig_dir=str(out))
    c.loss_plot([1.0, 0.6, 0.45, 0.4], [1.1, 0.8, 0.7, 0.72])
    c.save(out / "loss_plot.png")
    c.close()
    plt.close("all")

    h = SimpleNamespace(
        history={
            "loss": [1.0, 0.6, 0.45, 0.4],
            "accuracy": [0.5, 0.7, 0.8, 0.85],
            "val_loss": [1.1, 0.8, 0.7, 0.72],
            "val_accuracy": [0.45, 0.6, 0.7, 0.72],
        }
    )
    # history_plot names its file "<metrics>_<save_fig>" in the working folder
    here = Path.cwd()
    os.chdir(out)
    try:
        visual.history_plot(h, "loss", save_fig="history")
    finally:
        os.chdir(here)
    visual.hist_plt(h, fig_dir=out / "hist_plt.png")
    plt.close("all")
    print("\n".join(sorted(str(p) for p in out.rglob("*.png"))))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "gallery_out")

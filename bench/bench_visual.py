"""Features and figures of vemio.util.visual against librosa + matplotlib on the same signal.

    MPLBACKEND=Agg PYTHONPATH=python python bench/bench_visual.py [seconds]   (default 60)

A speech-like 16 kHz signal (float32, as file_load gives it) is analysed by both; each line
prints the best of several runs and the ratio baseline / vemio (> 1: vemio is faster).
Figures are rendered to PNG files in a temporary folder, at the same sizes and resolutions.
"""

import os
import sys
import tempfile
import time
import warnings
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import librosa  # noqa: E402
import librosa.display  # noqa: E402
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import scipy.signal  # noqa: E402
from scipy.io import wavfile  # noqa: E402
from sklearn.preprocessing import minmax_scale  # noqa: E402
from vemio.util import visual  # noqa: E402

warnings.simplefilter("ignore")


def speech_like(seconds, sr, seed=0):
    rng = np.random.default_rng(seed)
    t = np.arange(int(seconds * sr)) / sr
    phase = 2 * np.pi * np.cumsum(140 + 40 * np.sin(2 * np.pi * 0.7 * t)) / sr
    voiced = sum(np.sin(k * phase) / k for k in range(1, 25))
    env = np.clip(np.sin(2 * np.pi * 2.2 * t), 0, None) ** 2
    return (0.25 * voiced * env + 0.01 * rng.standard_normal(t.size)).astype(np.float32)


def best(fn, repeat):
    fn()
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def row(name, ours, base):
    print(
        f"{name:<28} vemio {ours * 1e3:9.1f} ms   baseline {base * 1e3:9.1f} ms   x{base / ours:6.2f}"
    )


# ---------------------------------------------------------------- baselines of the figures


def _lib_time(y, sr):
    return np.linspace(0, int(len(y) / sr), None)


def base_basic_analyze(file, save_dir):
    sr, data = wavfile.read(file)
    x = data.astype(np.float32) / 32768
    plt.figure(figsize=(10, 8), dpi=200)
    plt.subplot(311)
    plt.title(Path(file).stem)
    librosa.display.waveshow(x, sr=sr)
    Xdb = librosa.amplitude_to_db(abs(librosa.stft(x)))
    plt.subplot(312)
    plt.title("STFT")
    librosa.display.specshow(
        Xdb, sr=sr, x_axis="time", y_axis="hz", cmap=matplotlib.colormaps["jet"]
    )
    plt.subplot(313)
    plt.title("ZCR")
    zcrs = librosa.feature.zero_crossing_rate(x + 0.0001)
    plt.plot(np.linspace(0, int(len(x) / sr), len(zcrs[0])), zcrs[0])
    plt.axis([0, int(len(x) / sr), 0, max(zcrs[0])])
    plt.tight_layout()
    plt.savefig(save_dir)
    plt.close()


def _base_curves(ax, x, sr):
    t = np.linspace(0, int(len(x) / sr), 1 + len(x) // 512)
    sc = librosa.feature.spectral_centroid(y=x, sr=sr)[0]
    ax.plot(t, minmax_scale(sc), color="r", label="spectral_centroid")
    ax.legend()
    ro = librosa.feature.spectral_rolloff(y=x, sr=sr)[0]
    ax.plot(t, minmax_scale(ro), color="b", label="spectral_rolloff")
    ax.legend()
    z = librosa.feature.zero_crossing_rate(x + 0.0001)[0]
    ax.plot(t, z, color="g", label="zcr")
    ax.legend()


def _base_psd(ax, x, sr):
    f, p = scipy.signal.welch(x, sr, nfft=1024)
    ax.semilogx(f, p, color="b")
    ax.set_title("Power Spectral Density")
    ax.grid(which="major", axis="both")


def base_plot_4_features(file, save_dir, dpi=200):
    sr, data = wavfile.read(file)
    x = data.astype(np.float32) / 32768
    fig, ax = plt.subplots(2, 1, figsize=(10, 10), dpi=dpi)
    librosa.display.waveshow(x, sr=sr, alpha=0.4, ax=ax[0], label="waveform")
    _base_curves(ax[0], x, sr)
    _base_psd(ax[1], x, sr)
    ax[0].set_xlim(0, int(len(x) / sr))
    ax[0].grid(which="major", axis="both")
    plt.tight_layout()
    plt.savefig(save_dir)
    plt.close()


def base_plot_psd(file, save_dir, dpi=200):
    sr, data = wavfile.read(file)
    x = data.astype(np.float32) / 32768
    fig, ax = plt.subplots(figsize=(7, 5), dpi=dpi)
    _base_psd(ax, x, sr)
    plt.tight_layout()
    plt.savefig(save_dir)
    plt.close()


def base_wave_rows(files, save_dir):
    fig, ax = plt.subplots(len(files), 2, figsize=(11, 8))
    for i, f in enumerate(files):
        sr, data = wavfile.read(f)
        y = data.astype(np.float32) / 32768
        librosa.display.waveshow(y, sr=sr, ax=ax[i][0])
        DA = librosa.amplitude_to_db(
            np.abs(librosa.stft(y, n_fft=512, hop_length=256, window="hamming")), ref=np.max
        )
        librosa.display.specshow(
            DA,
            sr=sr,
            hop_length=256,
            x_axis="time",
            y_axis="linear",
            cmap=matplotlib.colormaps["jet"],
            ax=ax[i][1],
        )
    fig.tight_layout()
    plt.savefig(save_dir)
    plt.close("all")


def ours_wave_rows(files, save_dir):
    wv = visual.WaveVisualizer(subplots=len(files))
    wv.plot(files)
    if os.path.exists(save_dir):
        os.remove(save_dir)
    wv.save(save_dir)
    plt.close("all")


def main(seconds):
    sr = 16000
    y = speech_like(seconds, sr)
    print(
        f"signal: {seconds:g} s at {sr} Hz; cores: {os.cpu_count()}; librosa {librosa.__version__}"
    )
    print("features")
    r = 9
    row(
        "stft magnitude",
        best(lambda: visual._spectrogram(y), r),
        best(lambda: np.abs(librosa.stft(y)), r),
    )
    row(
        "mel spectrogram (40)",
        best(lambda: visual._melspectrogram(y, sr, n_mels=40), r),
        best(lambda: librosa.feature.melspectrogram(y=y, sr=sr, n_mels=40), r),
    )
    row(
        "spectral centroid",
        best(lambda: visual._spectral_centroid(y, sr), r),
        best(lambda: librosa.feature.spectral_centroid(y=y, sr=sr), r),
    )
    row(
        "spectral rolloff",
        best(lambda: visual._spectral_rolloff(y, sr), r),
        best(lambda: librosa.feature.spectral_rolloff(y=y, sr=sr), r),
    )
    row(
        "zero-crossing rate",
        best(lambda: visual._zero_crossing_rate(y + 0.0001), r),
        best(lambda: librosa.feature.zero_crossing_rate(y + 0.0001), r),
    )
    row(
        "welch psd",
        best(lambda: visual._welch(y, sr), r),
        best(lambda: scipy.signal.welch(y, sr, nfft=1024), r),
    )
    S = np.abs(librosa.stft(y))
    row(
        "amplitude_to_db (ref max)",
        best(lambda: visual._amplitude_to_db(S, ref=np.max), r),
        best(lambda: librosa.amplitude_to_db(S, ref=np.max), r),
    )

    print("figures (rendered to PNG)")
    d = Path(tempfile.mkdtemp())
    f = d / "speech.wav"
    wavfile.write(f, sr, (y * 32767).astype(np.int16))
    short = []
    for i in range(3):
        p = d / f"row{i}.wav"
        wavfile.write(p, sr, (speech_like(min(seconds, 10), sr, seed=i) * 32767).astype(np.int16))
        short.append(p)
    r = 2
    row(
        "basic_analyze",
        best(lambda: visual.basic_analyze(f, save_dir=d / "a.png"), r),
        best(lambda: base_basic_analyze(f, d / "b.png"), r),
    )
    row(
        "plot_4_features",
        best(lambda: visual.plot_4_features(f, save_dir=d / "a.png", dpi=100), r),
        best(lambda: base_plot_4_features(f, d / "b.png", dpi=100), r),
    )
    row(
        "plot_PSD",
        best(lambda: visual.plot_PSD(f, save_dir=d / "a.png", dpi=100), r),
        best(lambda: base_plot_psd(f, d / "b.png", dpi=100), r),
    )
    row(
        "WaveVisualizer 3 x 10 s",
        best(lambda: ours_wave_rows(short, d / "a.png"), r),
        best(lambda: base_wave_rows(short, d / "b.png"), r),
    )


if __name__ == "__main__":
    main(float(sys.argv[1]) if len(sys.argv) > 1 else 60.0)

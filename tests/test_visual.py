import os
import warnings
from pathlib import Path
from types import SimpleNamespace

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pytest  # noqa: E402
import scipy.signal  # noqa: E402
from matplotlib.colors import to_rgba  # noqa: E402
from PIL import Image  # noqa: E402
from vemio.util import visual  # noqa: E402

librosa = pytest.importorskip("librosa")
sklearn_pre = pytest.importorskip("sklearn.preprocessing")


@pytest.fixture(autouse=True)
def no_open_figures():
    plt.close("all")
    yield
    plt.close("all")


@pytest.fixture
def in_tmp(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


def speech_like(n, sr, seed=0):
    rng = np.random.default_rng(seed)
    t = np.arange(n) / sr
    phase = 2 * np.pi * np.cumsum(130 + 30 * np.sin(2 * np.pi * 0.8 * t)) / sr
    voiced = sum(np.sin(k * phase) / k for k in range(1, 20))
    env = np.clip(np.sin(2 * np.pi * 2.0 * t + 0.3), 0, None) ** 2
    return (0.3 * voiced * env + 0.01 * rng.standard_normal(n)).astype(np.float32)


def noise(n, sr, seed=1):
    return (0.2 * np.random.default_rng(seed).standard_normal(n)).astype(np.float32)


SIGNALS = [
    (kind, sr, n)
    for kind in ("speech", "noise")
    for sr in (8000, 16000)
    for n in (300, 2000, 2048, 24000)
]


def signal(kind, sr, n):
    return (speech_like if kind == "speech" else noise)(n, sr)


def close(ours, ref, rtol=1e-5):
    ours, ref = np.asarray(ours), np.asarray(ref)
    assert ours.shape == ref.shape
    scale = max(float(np.max(np.abs(ref))), 1e-30)
    np.testing.assert_allclose(ours, ref, rtol=rtol, atol=rtol * scale)


# ---------------------------------------------------------------- module surface


def test_module_surface():
    assert visual.__all__ == ["Common", "WaveVisualizer", "history_plot"]
    assert callable(visual.hist_plt) and "hist_plt" not in visual.__all__
    assert issubclass(visual.WaveVisualizer, visual.Common)
    assert visual.history_plot.__annotations__["save_fig"] == "str"
    from vemio.core import io

    assert visual.file_load is io.file_load and visual.copy_waves is io.copy_waves


# ---------------------------------------------------------------- features against the oracles


@pytest.mark.parametrize("kind,sr,n", SIGNALS)
def test_features_match_reference(kind, sr, n):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        y = signal(kind, sr, n)
        y64 = y.astype(np.float64)  # the oracle in double, so only our own rounding shows
        X = librosa.stft(y64, pad_mode="constant")
        close(visual._stft(y), X)
        close(visual._spectrogram(y), np.abs(X))
        close(visual._amplitude_to_db(np.abs(X)), librosa.amplitude_to_db(np.abs(X)))
        close(
            visual._amplitude_to_db(np.abs(X), ref=np.max),
            librosa.amplitude_to_db(np.abs(X), ref=np.max),
        )
        for n_mels, fmax in [(40, None), (40, 48000), (128, None)]:
            M = librosa.feature.melspectrogram(
                y=y64, sr=sr, n_mels=n_mels, fmax=fmax, pad_mode="constant"
            )
            ours = visual._melspectrogram(y, sr, n_mels=n_mels, fmax=fmax)
            close(ours, M)
            close(visual._power_to_db(ours, ref=np.max), librosa.power_to_db(M, ref=np.max))
        close(
            visual._spectral_centroid(y, sr),
            librosa.feature.spectral_centroid(y=y64, sr=sr, pad_mode="constant")[0],
        )
        close(
            visual._spectral_rolloff(y, sr),
            librosa.feature.spectral_rolloff(y=y64, sr=sr, pad_mode="constant")[0],
        )
        shifted = y + 0.0001  # float32 arithmetic, as the figures do it
        np.testing.assert_array_equal(
            visual._zero_crossing_rate(shifted), librosa.feature.zero_crossing_rate(shifted)[0]
        )
        f, p = visual._welch(y, sr)
        rf, rp = scipy.signal.welch(y64, sr, nfft=1024)
        close(f, rf)
        close(p, rp)


def test_long_signals_split_across_threads_match_reference():
    # enough frames for the frame loop to run on several threads
    sr = 16000
    y = speech_like(6 * sr + 123, sr)
    y64 = y.astype(np.float64)
    X = librosa.stft(y64, pad_mode="constant")
    close(visual._stft(y), X)
    close(
        visual._amplitude_to_db(visual._spectrogram(y), ref=np.max),
        librosa.amplitude_to_db(np.abs(X), ref=np.max),
    )
    close(
        visual._melspectrogram(y, sr, n_mels=40),
        librosa.feature.melspectrogram(y=y64, sr=sr, n_mels=40),
    )
    close(visual._spectral_centroid(y, sr), librosa.feature.spectral_centroid(y=y64, sr=sr)[0])
    close(visual._spectral_rolloff(y, sr), librosa.feature.spectral_rolloff(y=y64, sr=sr)[0])
    # float32 samples are read in place, float64 ones as they are: the same values give the
    # same spectra, also with a short window whose frame edges stay zero
    for kw in ({}, {"n_fft": 512, "hop_length": 128, "win_length": 300, "window": "hamming"}):
        np.testing.assert_array_equal(visual._spectrogram(y, **kw), visual._spectrogram(y64, **kw))
    np.testing.assert_array_equal(
        visual._spectral_rolloff(y, sr), visual._spectral_rolloff(y64, sr)
    )


def test_concurrent_calls_equal_serial_ones():
    # the features run without the interpreter lock; calls from several threads must not mix
    import threading

    sr = 16000
    signals = [speech_like(3 * sr + 100 * i, sr, seed=i) for i in range(4)]
    serial = [(visual._spectral_centroid(y, sr), visual._melspectrogram(y, sr)) for y in signals]
    results = [None] * len(signals)

    def work(i):
        results[i] = (
            visual._spectral_centroid(signals[i], sr),
            visual._melspectrogram(signals[i], sr),
        )

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(signals))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for (c, m), (c0, m0) in zip(results, serial):
        np.testing.assert_array_equal(c, c0)
        np.testing.assert_array_equal(m, m0)


@pytest.mark.filterwarnings("ignore:n_fft")
@pytest.mark.parametrize("sr,n", [(16000, 16000), (8000, 300)])
def test_hamming_stft_of_the_wave_rows(sr, n):
    y = speech_like(n, sr).astype(np.float64)
    ref = librosa.stft(
        y, n_fft=512, hop_length=256, win_length=512, window="hamming", pad_mode="constant"
    )
    ours = visual._stft(y, n_fft=512, hop_length=256, win_length=512, window="hamming")
    close(ours, ref)
    if n == sr:
        assert ours.shape == (257, 63)
    # shorter windows are centred in the frame
    close(
        visual._stft(y, n_fft=512, hop_length=128, win_length=300),
        librosa.stft(y, n_fft=512, hop_length=128, win_length=300, pad_mode="constant"),
    )


def test_mel_filter_bank_matches_reference():
    for sr, n_mels, fmax in [
        (16000, 40, None),
        (8000, 128, None),
        (16000, 40, 48000),
        (22050, 64, 5000),
    ]:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            ref = librosa.filters.mel(sr=sr, n_fft=2048, n_mels=n_mels, fmax=fmax)
        close(visual._mel_filters(sr, n_mels=n_mels, fmax=fmax), ref, rtol=1e-6)


def test_decibel_edge_cases():
    S = np.array([[0.0, 1e-12], [1e-3, 2.0]])
    for ref in (1.0, np.max):
        for top_db in (80.0, None, 10.0):
            close(
                visual._amplitude_to_db(S, ref=ref, top_db=top_db),
                librosa.amplitude_to_db(S, ref=ref, top_db=top_db),
            )
            close(
                visual._power_to_db(S, ref=ref, top_db=top_db),
                librosa.power_to_db(S, ref=ref, top_db=top_db),
            )
    assert np.all(
        visual._amplitude_to_db(np.zeros((3, 4)), ref=np.max) == 0
    )  # silence: floored at 0 dB


def test_decibels_of_float32_strided_and_nan_input():
    rng = np.random.default_rng(3)
    S = np.abs(rng.standard_normal((257, 31))) ** 3  # wide dynamic range, odd sizes for the tails
    S[5, 7] = 0.0
    for dtype in (np.float32, np.float64):
        for order in ("C", "F"):
            x = np.array(S, dtype=dtype, order=order)
            for ref, top_db in ((np.max, 80.0), (1.0, None), (np.median, 40.0)):
                ours = visual._amplitude_to_db(x, ref=ref, top_db=top_db)
                close(ours, librosa.amplitude_to_db(x, ref=ref, top_db=top_db))
                assert ours.dtype == np.float64 and ours.flags[f"{order}_CONTIGUOUS"]
                close(
                    visual._power_to_db(x, ref=ref, top_db=top_db),
                    librosa.power_to_db(x, ref=ref, top_db=top_db),
                )
    close(visual._amplitude_to_db(S[::2, ::3]), librosa.amplitude_to_db(S[::2, ::3]))
    close(visual._power_to_db(-S), librosa.power_to_db(-S))  # negative powers floor at amin
    # a NaN stays NaN without a floor, and with a floor spreads through it as in numpy
    x = S.copy()
    x[100, 3] = np.nan
    ours = visual._amplitude_to_db(x, top_db=None)
    assert np.isnan(ours[100, 3]) and np.isfinite(np.delete(ours.ravel(), 100 * 31 + 3)).all()
    assert np.isnan(visual._amplitude_to_db(x, ref=np.max)).all()


def test_normalize_matches_minmax_scale():
    rng = np.random.default_rng(5)
    m = rng.standard_normal((6, 4))
    m[:, 2] = 3.0  # a constant column maps to zeros
    for x in (
        m,
        m.astype(np.float32),
        rng.integers(-5, 5, size=(4, 3)),
        [3, 1, 2],
        rng.standard_normal(9),
    ):
        for axis in (0, 1):
            ref = sklearn_pre.minmax_scale(x, axis=axis)
            ours = visual.normalize(x, axis=axis)
            assert ours.dtype == ref.dtype
            np.testing.assert_allclose(ours, ref, rtol=1e-6, atol=1e-7)
    x = np.array([np.nan, 1.0, 3.0])
    np.testing.assert_array_equal(visual.normalize(x), sklearn_pre.minmax_scale(x))
    original = m.copy()
    visual.normalize(m)
    np.testing.assert_array_equal(m, original)  # the input is not modified
    for bad in (np.array([]), np.array([1.0, np.inf]), np.zeros((2, 2, 2))):
        with pytest.raises(ValueError):
            visual.normalize(bad)


def test_bad_signals_raise_clear_errors():
    _, ax = plt.subplots()
    for fn in (
        visual.plot_spectral_centroid,
        visual.plot_spectral_rolloff,
        visual.plot_zcr,
        visual.plot_power_spectral_density,
    ):
        with pytest.raises(ValueError, match="empty"):
            fn(ax, np.array([], dtype=np.float32), 16000)
        with pytest.raises(ValueError, match="one-dimensional"):
            fn(ax, np.zeros((2, 4000)), 16000)
        with pytest.raises(ValueError, match="sampling rate"):
            fn(ax, np.ones(3000, dtype=np.float32), 0)
    with pytest.raises(ValueError, match="finite"):
        visual._stft(np.array([0.0, np.nan, 1.0]))
    with pytest.raises(TypeError):
        visual.plot_spectral_centroid(ax, np.array(["a", "b"]), 16000)


def test_signals_shorter_than_a_frame_give_one_centred_frame():
    for n in (1, 5, 511, 1500):
        y = speech_like(n, 16000).astype(np.float64) + 0.05
        assert visual._stft(y).shape == (1025, 1 + n // 512)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            close(
                visual._spectral_centroid(y, 16000),
                librosa.feature.spectral_centroid(y=y, sr=16000, pad_mode="constant")[0],
            )
        np.testing.assert_array_equal(
            visual._zero_crossing_rate(y), librosa.feature.zero_crossing_rate(y)[0]
        )
    with pytest.warns(UserWarning, match="nperseg"):
        f, p = visual._welch(np.ones(3), 8000)
    assert f.shape == p.shape == (513,) and np.all(p == 0)


# ---------------------------------------------------------------- feature-curve plots


def test_feature_curves_draw_the_reference_values():
    sr = 16000
    y = speech_like(int(2.7 * sr), sr)
    _, ax = plt.subplots()
    visual.plot_spectral_centroid(ax, y, sr, color="g", label="c")
    visual.plot_spectral_rolloff(ax, y, sr, label="r")
    visual.plot_zcr(ax, y, sr, color="b")
    line_c, line_r, line_z = ax.get_lines()
    y64 = y.astype(np.float64)
    cen = librosa.feature.spectral_centroid(y=y64, sr=sr, pad_mode="constant")[0]
    t = np.linspace(0, 2, len(cen))  # 2.7 s: the axis ends at whole seconds
    np.testing.assert_array_equal(line_c.get_xdata(), t)
    close(line_c.get_ydata(), sklearn_pre.minmax_scale(cen))
    roll = librosa.feature.spectral_rolloff(y=y64, sr=sr, pad_mode="constant")[0]
    close(line_r.get_ydata(), sklearn_pre.minmax_scale(roll))
    np.testing.assert_array_equal(
        line_z.get_ydata(), librosa.feature.zero_crossing_rate(y + 0.0001)[0]
    )
    assert to_rgba(line_c.get_color()) == to_rgba("g") and to_rgba(line_r.get_color()) == to_rgba(
        "r"
    )
    assert ax.get_title() == "ZCR"  # the last call wins the title
    # labelled calls rebuild the legend; the unlabelled ZCR call leaves it as it was
    assert [t.get_text() for t in ax.get_legend().get_texts()] == ["c", "r"]


def test_psd_curve_and_decoration():
    sr = 8000
    y = noise(5000, sr)
    _, ax = plt.subplots()
    visual.plot_power_spectral_density(ax, y, sr)
    assert ax.get_legend() is None
    (line,) = ax.get_lines()
    f, p = scipy.signal.welch(y.astype(np.float64), sr, nfft=1024)
    close(line.get_xdata(), f)
    close(line.get_ydata(), p)
    assert to_rgba(line.get_color()) == to_rgba("b")
    assert ax.get_xscale() == "log"
    assert (ax.get_title(), ax.get_xlabel(), ax.get_ylabel()) == (
        "Power Spectral Density",
        "Frequency[Hz]",
        "PSD [V**2/Hz]",
    )
    assert any(g.get_visible() for g in ax.xaxis.get_gridlines())
    visual.plot_power_spectral_density(ax, y, sr, label="psd")
    assert [t.get_text() for t in ax.get_legend().get_texts()] == ["psd"]


@pytest.mark.parametrize("dtype", ["f2", "f4", "f8", "g", ">f2", ">f4"])
def test_zcr_curve_adds_the_offset_in_the_signal_precision(dtype):
    # every finite half value and float32 values around -0.0001, where the precision of the
    # sum decides the sign
    h = np.arange(65536, dtype=np.uint16).view(np.float16)
    near = np.float32(-1e-4) + np.arange(-300, 300) * np.float32(2**-37)
    v = np.concatenate([h[np.isfinite(h)].astype(np.float32), near]).astype(dtype)
    y = np.empty(2 * len(v), dtype=dtype)
    y[0::2], y[1::2] = 0.5, v
    _, ax = plt.subplots()
    visual.plot_zcr(ax, y[::-1], 16000)  # strided input too
    want = visual._zero_crossing_rate(np.ascontiguousarray(y[::-1]) + 0.0001)
    np.testing.assert_array_equal(ax.get_lines()[0].get_ydata(), want)


def test_short_and_silent_signals():
    _, ax = plt.subplots()
    visual.plot_zcr(ax, np.zeros(8000, dtype=np.float32), 16000)
    (line,) = ax.get_lines()
    assert np.all(line.get_xdata() == 0)  # under one second: every point at time 0
    assert np.all(line.get_ydata() == 0)  # the offset keeps silence positive


# ---------------------------------------------------------------- display geometry


def test_waveform_envelope_and_mesh_edges():
    sr = 16000
    y = noise(60 * sr, sr)
    t, peak = visual._envelope(y, sr)
    assert len(t) == len(peak) == 60000  # 1000 blocks per second of 16 samples
    np.testing.assert_array_equal(peak, np.abs(y).reshape(-1, 16).max(axis=1))
    np.testing.assert_allclose(t, np.arange(60000) * 16 / sr)
    t, peak = visual._envelope(y[:100], sr)
    np.testing.assert_array_equal(peak, np.abs(y[:100]))

    _, ax = plt.subplots()
    mesh = visual._specshow(
        np.zeros((257, 63)), sr=sr, hop_length=256, x_axis="time", y_axis="linear", ax=ax
    )
    assert mesh.get_coordinates().shape == (258, 64, 2)
    assert ax.get_ylim() == (0.0, 8000.0) and ax.get_xlim() == pytest.approx((0.0, 63 * 256 / sr))
    assert ax.get_ylabel() == "Hz" and ax.get_xlabel() == "Time"
    _, ax = plt.subplots()
    data = -np.abs(np.random.default_rng(0).standard_normal((40, 10)))
    mesh = visual._specshow(data, sr=sr, x_axis="time", y_axis="mel", fmax=8000, ax=ax)
    assert ax.get_yscale() == "symlog" and ax.get_ylim()[1] == 8000
    assert mesh.get_cmap().name == "magma"
    edges = mesh.get_coordinates()[:, 0, 1]
    centres = librosa.mel_frequencies(40, fmin=0, fmax=8000)
    np.testing.assert_allclose(edges[1:-1], centres[1:] - np.diff(centres) / 2)


def test_figures_with_audio_axes_can_be_pickled():
    import pickle

    fig, ax = plt.subplots()
    visual._waveplot(speech_like(8000, 8000), sr=8000, ax=ax)
    visual._specshow(np.zeros((40, 10)), sr=8000, x_axis="time", y_axis="mel", fmax=4000)
    again = pickle.loads(pickle.dumps(fig))
    assert again.axes[0].get_xlabel() == "Time"
    assert again.axes[0].xaxis.get_major_formatter()(1.5) == "1.5"


# ---------------------------------------------------------------- Common


def test_common_folder_type_checks_and_loss_plot(in_tmp):
    c = visual.Common()
    assert not Path("vm_figs").exists()
    assert c.plt is plt and isinstance(c.fig, matplotlib.figure.Figure)
    assert tuple(c.fig.get_size_inches()) == (7, 5) and c.is_save is False
    c.loss_plot([3, 2, 1], [4, 3, 2.5])
    ax = c.fig.axes[0]
    assert [list(line.get_xdata()) for line in ax.get_lines()] == [[0, 1, 2], [0, 1, 2]]
    assert [t.get_text() for t in ax.get_legend().get_texts()] == ["Train", "Validation"]
    assert (ax.get_title(), ax.get_xlabel(), ax.get_ylabel()) == ("Model loss", "Epoch", "Loss")
    c.save("nothing.png")
    assert not Path("nothing.png").exists()

    s = visual.Common(is_save=True)
    assert Path("vm_figs").is_dir()
    s.loss_plot([1, 0.5], [1, 0.7])
    s.save("vm_figs/loss")  # no suffix: the default format and its suffix
    assert Path("vm_figs/loss.png").is_file() and os.listdir("vm_figs") == ["loss.png"]
    s.close()
    for bad in (Path("x"), True, 3.0):
        with pytest.raises(TypeError, match="fig_dir"):
            visual.Common(fig_dir=bad)


def write_wav(path, y, sr):
    from scipy.io import wavfile

    path.parent.mkdir(parents=True, exist_ok=True)
    wavfile.write(path, sr, (np.clip(y, -1, 1) * 32767).astype(np.int16))
    return path


def test_plot_stft_w_2mfe_titles_and_close(in_tmp, monkeypatch):
    f = write_wav(in_tmp / "talk.wav", speech_like(16000, 16000), 16000)
    seen = {}

    def fake_show(*a, **k):
        fig = plt.gcf()
        seen["titles"] = [ax.get_title() for ax in fig.axes]
        seen["size"] = tuple(fig.get_size_inches()) + (fig.dpi,)
        seen["mels"] = [ax.collections[0].get_array().shape for ax in fig.axes[1:]]

    monkeypatch.setattr(plt, "show", fake_show)
    visual.Common.plot_stft_w_2mfe(str(f))
    assert seen["titles"] == [
        "talk",
        "Mel Spectrogram 16000KHz n:40",
        "Mel Spectrogram 48000KHz n:40",
    ]
    assert seen["size"] == (12, 10, 200)
    assert seen["mels"] == [(40, 32), (40, 32)]
    assert plt.get_fignums() == []
    visual.Common.plot_stft_w_2mfe(f, n_mels=20, sub_mfe_fq=4000)
    assert seen["titles"][2] == "Mel Spectrogram 4000KHz n:20"
    for bad in (True, 4000.0):
        with pytest.raises(TypeError, match="sub_mfe_fq"):
            visual.Common.plot_stft_w_2mfe(f, sub_mfe_fq=bad)


# ---------------------------------------------------------------- WaveVisualizer


def test_wave_visualizer_rows(in_tmp, capsys):
    files = [
        write_wav(in_tmp / f"w{i}.wav", speech_like(16000, 16000, seed=i), 16000) for i in range(3)
    ]
    wv = visual.WaveVisualizer(subplots=3)
    assert wv.row_len == 3 and wv.ax.shape == (3, 2) and wv.plt is plt
    assert tuple(wv.fig.get_size_inches()) == (11, 8)
    wv.plot(files)
    assert capsys.readouterr().out == "[vm.] plot 3 wave(s)\n"
    assert wv.wave_length == 3
    assert [[a.get_title() for a in row] for row in wv.ax] == [
        ["w0", "w0"],
        ["w1", "w1"],
        ["w2", "w2"],
    ]
    assert [a.get_xlabel() for a in wv.ax[:, 0]] == ["", "", "Time"]
    mesh = wv.ax[0][1].collections[0]
    assert mesh.get_array().shape == (257, 63)
    assert mesh.get_cmap().name == "jet"
    y64 = speech_like(16000, 16000, seed=0).astype(np.float64)
    ref = librosa.amplitude_to_db(
        np.abs(librosa.stft(y64, n_fft=512, hop_length=256, window="hamming", pad_mode="constant")),
        ref=np.max,
    )
    # the file holds 16-bit samples, so compare with a tolerance fit for that quantisation
    assert np.mean(np.abs(np.asarray(mesh.get_array()) - ref) < 0.5) > 0.95

    wv2 = visual.WaveVisualizer(subplots=2)
    wv2.plot(files[:2], title=["a", 7])
    assert [wv2.ax[i][0].get_title() for i in range(2)] == ["a", "7"]
    wv2.plot(files[:2], title=["only one"])
    assert wv2.ax[0][0].get_title() == "w0"

    wv.save(in_tmp / "rows.png")
    assert Image.open(in_tmp / "rows.png").size == (1100, 800)
    before = (in_tmp / "rows.png").read_bytes()
    capsys.readouterr()
    wv.save(in_tmp / "rows.png")
    assert capsys.readouterr().out == "[vm.] 檔案或路徑已存在\n"
    assert (in_tmp / "rows.png").read_bytes() == before

    wv.copy_wave(in_tmp / "copies", files[:2])
    assert sorted(os.listdir(in_tmp / "copies")) == ["w0.wav", "w1.wav"]


def test_wave_visualizer_failures(in_tmp, capsys):
    f = write_wav(in_tmp / "a.wav", noise(4000, 8000), 8000)
    plain = visual.WaveVisualizer(fig_size=(4, 3), dpi=50)
    assert (
        plain.row_len is None
        and tuple(plain.fig.get_size_inches()) == (4, 3)
        and plain.fig.dpi == 50
    )
    with pytest.raises(AttributeError):
        plain.plot([f])
    with pytest.raises(IndexError):
        visual.WaveVisualizer(subplots=2).plot([f, f, f])
    with pytest.raises(TypeError, match="cannot unpack"):
        visual.WaveVisualizer(subplots=2).plot([in_tmp / "missing.wav", f])
    assert "[vm.] File broken or Not exists! : " in capsys.readouterr().out
    for bad in (True, 2.0, "2"):
        with pytest.raises(TypeError, match="subplots"):
            visual.WaveVisualizer(subplots=bad)


# ---------------------------------------------------------------- training history


def history(**series):
    return SimpleNamespace(history=series)


def test_history_plot_colours_legend_and_names(in_tmp, monkeypatch):
    shown = []
    monkeypatch.setattr(plt, "show", lambda *a, **k: shown.append(plt.gcf()))
    h = history(
        loss=[1, 0.5, 0.3],
        accuracy=[0.4, 0.6, 0.7],
        val_loss=[1.2, 0.7, 0.6],
        val_accuracy=[0.3, 0.5, 0.6],
    )
    visual.history_plot(h, save_fig="run1")
    ax = shown[-1].axes[0]
    assert [to_rgba(line.get_color()) for line in ax.get_lines()] == [to_rgba("r"), to_rgba("b")]
    assert [t.get_text() for t in ax.get_legend().get_texts()] == ["loss", "val_loss"]
    assert (ax.get_title(), ax.get_xlabel(), ax.get_ylabel()) == ("loss", "Epoch", "loss")
    assert Path("loss_run1.png").is_file() and plt.get_fignums() == []
    visual.history_plot(h, "acc", save_fig="run1.png")
    assert Path("acc_run1.png").is_file()
    visual.history_plot(h, save_fig="report.PNG")
    assert Path("loss_report.PNG.png").is_file()
    visual.history_plot(h, save_fig="out/run1.png")  # the folder part lands after the metric name
    assert Path("loss_out/run1.png").is_file() and not Path("out").exists()
    visual.history_plot(h, "nothing")
    assert shown[-1].axes[0].get_lines() == [] and shown[-1].axes[0].get_title() == "nothing"
    with pytest.raises(TypeError, match="save_fig"):
        visual.history_plot(h, save_fig=Path("x"))
    many = history(**{f"s{i}": [i] for i in range(14)}, loss=[1.0])
    with pytest.raises(IndexError):
        visual.history_plot(many)


def test_hist_plt_leaves_its_figure_open_unless_shown(in_tmp, monkeypatch):
    monkeypatch.setattr(plt, "show", lambda *a, **k: None)
    h = history(accuracy=[0.1, 0.5], val_accuracy=[0.2, 0.4], loss=[2, 1], val_loss=[2.5, 1.5])
    visual.hist_plt(h, fig_dir=in_tmp / "curves")
    assert Image.open("curves.png").size == (1500, 750)  # 10 x 5 inches at 150 dpi
    fig = plt.gcf()
    assert [a.get_title() for a in fig.axes] == ["Model Accuracy", "Model Loss"]
    visual.history_plot(history(loss=[1, 2]))  # draws into the figure left open, then closes it
    assert plt.get_fignums() == []
    visual.hist_plt(h, show=True)
    assert plt.get_fignums() == []
    with pytest.raises(KeyError):
        visual.hist_plt(history(loss=[1]))


# ---------------------------------------------------------------- file analysis figures


def test_file_figures_save_and_close(in_tmp):
    f = write_wav(in_tmp / "talk.wav", speech_like(16000, 16000), 16000)
    visual.basic_analyze(f, save_dir=in_tmp / "basic.png")
    assert Image.open("basic.png").size == (2000, 1600)
    visual.plot_3_features(f, save_dir=str(in_tmp / "three.png"), dpi=50)
    assert Image.open("three.png").size == (350, 250)
    visual.plot_4_features(f, save_dir=in_tmp / "four", dpi=40)
    assert Image.open("four.png").size == (400, 400)
    visual.plot_PSD(f, save_dir="psd.jpg", dpi=40)
    assert Image.open("psd.jpg").format == "JPEG"
    assert plt.get_fignums() == []
    assert not [p for p in os.listdir(in_tmp) if ".tmp" in p]


def test_figure_saves_are_atomic_with_umask_permissions(in_tmp):
    f = write_wav(in_tmp / "talk.wav", noise(4000, 8000), 8000)
    old = os.umask(0o027)
    try:
        visual.plot_PSD(f, save_dir="psd.svg", dpi=30)
    finally:
        os.umask(old)
    assert (in_tmp / "psd.svg").read_bytes().startswith(b"<?xml")  # format from the final name
    assert (in_tmp / "psd.svg").stat().st_mode & 0o777 == 0o640
    (in_tmp / "taken.png").mkdir()
    with pytest.raises(IsADirectoryError) as e:
        visual.plot_PSD(f, save_dir="taken.png", dpi=30)
    assert e.value.filename == "taken.png"
    with pytest.raises(FileNotFoundError) as e:
        visual.plot_PSD(f, save_dir="no/such/x.png", dpi=30)
    assert e.value.filename == "no/such/x.png"  # the figure's own name
    with pytest.raises(ValueError, match="xyz"):  # savefig refuses: nothing is left behind
        visual.plot_PSD(f, save_dir="bad.xyz", dpi=30)
    assert sorted(os.listdir(in_tmp)) == ["psd.svg", "taken.png", "talk.wav"]
    assert os.listdir(in_tmp / "taken.png") == []


def test_file_figure_contents(in_tmp, monkeypatch):
    shown = []
    monkeypatch.setattr(plt, "show", lambda *a, **k: shown.append(plt.gcf()))
    stereo = np.stack([speech_like(20000, 8000), noise(20000, 8000)], axis=1)
    f = write_wav(in_tmp / "st.wav", stereo, 8000)
    visual.basic_analyze(f, show=True)
    top, mid, bottom = shown[-1].axes[:3]
    assert [a.get_title() for a in (top, mid, bottom)] == ["st", "STFT", "ZCR"]
    assert (
        mid.collections[0].get_array().shape == (1025, 40)
        and mid.collections[0].get_cmap().name == "jet"
    )
    assert bottom.get_xlim() == (0, 2)
    visual.plot_4_features(f, show=True)
    ax0, ax1 = shown[-1].axes
    assert [t.get_text() for t in ax0.get_legend().get_texts()] == [
        "waveform",
        "spectral_centroid",
        "spectral_rolloff",
        "zcr",
    ]
    assert ax0.get_title() == "spectral centroid & spectral rolloff & zcr" and ax0.get_xlim() == (
        0,
        2,
    )
    assert ax1.get_title() == "Power Spectral Density" and ax1.get_legend() is None
    assert ax0.collections[0].get_alpha() == 0.4


FILE_FIGURES = (
    visual.basic_analyze,
    visual.plot_3_features,
    visual.plot_4_features,
    visual.plot_PSD,
    visual.Common.plot_stft_w_2mfe,
)


def test_file_figures_on_bad_files(in_tmp, capsys):
    Path("broken.wav").write_bytes(b"RIFF not really")
    for fn in FILE_FIGURES:
        for bad in ("missing.wav", "broken.wav"):
            with pytest.raises(TypeError):
                fn(bad)
            assert capsys.readouterr().out == f"[vm.] File broken or Not exists! : {bad}\n"
            assert plt.get_fignums() == []
    empty = write_wav(in_tmp / "empty.wav", np.zeros(0), 8000)
    for fn in FILE_FIGURES:
        with pytest.raises(ValueError, match="empty"):
            fn(empty)
        assert plt.get_fignums() == []
    f = write_wav(in_tmp / "tiny.wav", speech_like(800, 8000), 8000)  # 0.1 s
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # identical axis limits
        visual.plot_3_features(f, save_dir="tiny.png", dpi=30)
    assert Path("tiny.png").is_file()
    with pytest.raises(FileNotFoundError):
        visual.plot_PSD(f, save_dir="no/such/folder/x.png", dpi=30)

"""vemio.metrics.dnsmos and the dnsmos measure of score against the speechmos package's own
scorer, on the bundled speech under noise, plus the command and the missing-extra error."""

import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from vemio import metrics

pytest.importorskip("onnxruntime")
pytest.importorskip("librosa")

DATA = Path(__file__).resolve().parents[1] / "python" / "vemio" / "data"
KEYS = {"sig": "sig_mos", "bak": "bak_mos", "ovrl": "ovrl_mos", "p808": "p808_mos"}
TOLERANCE = 0.005
WINDOW = 144160  # 9.01 s at 16 kHz


def read(path):
    from scipy.io import wavfile

    sr, x = wavfile.read(path)
    return x.astype(np.float64) / 32768, sr


def noisy_speech(n, snr, seed):
    """n samples at 16 kHz: the bundled sentences end to end under the bundled babble."""
    rng = np.random.default_rng(seed)
    speech = np.concatenate([read(f)[0] for f in sorted((DATA / "clean").glob("*.wav"))])
    noise = read(DATA / "noise" / "babble.wav")[0]
    speech = np.resize(np.roll(speech, int(rng.integers(len(speech)))), n)
    noise = np.resize(np.roll(noise, int(rng.integers(len(noise)))), n)
    gain = np.sqrt(np.mean(speech**2) / np.mean(noise**2) / 10 ** (snr / 10))
    return np.clip(speech + gain * noise, -1, 1).astype(np.float32)


@pytest.fixture(scope="module")
def reference():
    speechmos = pytest.importorskip("speechmos.dnsmos")

    def run(x, personalized=False):
        kind = "dnsmos_personalized" if personalized else "dnsmos"
        out = speechmos.run(x, 16000, model_type=kind)
        return {k: float(out[v]) for k, v in KEYS.items()}

    return run


def assert_close(ours, theirs):
    assert set(ours) == set(KEYS)
    diff = {k: abs(ours[k] - theirs[k]) for k in KEYS}
    assert max(diff.values()) <= TOLERANCE, (ours, theirs)


# shorter than a window (repeated to fill it), exactly one, one and a bit, and 17 s: eight
# starts, of which the published scorer drops the eighth (its end rounds one sample short)
@pytest.mark.parametrize("n", [3 * 16000, WINDOW, 10 * 16000 + 77, 17 * 16000])
def test_agrees_with_the_reference_scorer(reference, n):
    x = noisy_speech(n, snr=5, seed=n)
    assert_close(metrics.dnsmos(x, 16000), reference(x))


def test_demo_file_and_personalized_model(reference):
    x, sr = read(DATA / "clean" / "sp01.wav")
    x = x.astype(np.float32)
    assert_close(metrics.dnsmos(x, sr), reference(x))
    assert_close(metrics.dnsmos(x, sr, personalized=True), reference(x, personalized=True))
    # int16 samples are the same signal scaled by 1/32768
    pcm = np.round(x * 32768).astype(np.int16)
    assert metrics.dnsmos(pcm, sr) == pytest.approx(metrics.dnsmos(x, sr), abs=1e-9)


def test_other_rates_are_resampled_to_16k():
    from scipy.signal import resample_poly

    x = noisy_speech(4 * 16000, snr=10, seed=3).astype(np.float64)
    at16 = metrics.dnsmos(x, 16000)
    at48 = metrics.dnsmos(resample_poly(x, 3, 1), 48000)
    # two resamplers in a row: the scores move, but only a little
    assert at48 == pytest.approx(at16, abs=0.05)


def test_bad_signals_are_refused():
    with pytest.raises(ValueError, match="empty"):
        metrics.dnsmos(np.zeros(0), 16000)
    with pytest.raises(ValueError, match="finite"):
        metrics.dnsmos(np.array([0.1, np.nan, 0.2]), 16000)
    with pytest.raises(ValueError, match="one-dimensional"):
        metrics.dnsmos(np.zeros((2, 16000)), 16000)


def test_score_without_references(tmp_path, write_wav):
    signals = [
        noisy_speech(n, snr, seed) for n, snr, seed in [(2 * 16000, 0, 1), (12 * 16000, 10, 2)]
    ]
    paths = [write_wav(f"deg/f{i}.wav", s) for i, s in enumerate(signals)]
    (tmp_path / "deg" / "broken.wav").write_bytes(b"RIFF not audio")

    table = metrics.score(None, tmp_path / "deg", progress=False)
    assert list(table.columns) == [
        "reference",
        "degraded",
        "dnsmos_sig",
        "dnsmos_bak",
        "dnsmos_ovrl",
        "dnsmos_p808",
        "error",
    ]
    assert table["reference"].isna().all()
    by_name = {Path(d).name: row for d, (_, row) in zip(table["degraded"], table.iterrows())}
    assert (
        np.isnan(by_name["broken.wav"]["dnsmos_sig"])
        and "broken.wav" in by_name["broken.wav"]["error"]
    )
    for p in paths:
        one = metrics.dnsmos(read(p)[0], 16000)
        row = by_name[p.name]
        assert row["error"] == ""
        assert [row[f"dnsmos_{k}"] for k in KEYS] == pytest.approx([one[k] for k in KEYS], abs=1e-6)

    # beside a pair measure, the columns follow the order asked for; arrays batch the same way
    mixed = metrics.score(signals, signals, ["dnsmos", "si_sdr"], sr=16000, progress=False)
    assert list(mixed.columns)[2:7] == [
        "dnsmos_sig",
        "dnsmos_bak",
        "dnsmos_ovrl",
        "dnsmos_p808",
        "si_sdr",
    ]
    alone = [metrics.dnsmos(s, 16000)["ovrl"] for s in signals]
    assert mixed["dnsmos_ovrl"].tolist() == pytest.approx(alone, abs=1e-6)
    with pytest.raises(ValueError, match="pesq needs refs"):
        metrics.score(None, signals, ["dnsmos", "pesq"], sr=16000)


def test_command_scores_degraded_files_alone(tmp_path, write_wav, capsys):
    from vemio._cli import main

    for i in range(2):
        write_wav(f"deg/f{i}.wav", noisy_speech(3 * 16000, 5, i))
    csv = tmp_path / "scores.csv"
    assert (
        main(
            [
                "score",
                "--measures",
                "dnsmos",
                "--degraded",
                str(tmp_path / "deg"),
                "--csv",
                str(csv),
            ]
        )
        == 0
    )
    assert "DNSMOS_OVRL" in capsys.readouterr().out
    import pandas as pd

    table = pd.read_csv(csv)
    assert len(table) == 2 and table["DNSMOS_P808"].between(1, 5).all()
    assert main(["score", "--measures", "pesq", "--degraded", str(tmp_path / "deg")]) == 1
    assert "needs --clean" in capsys.readouterr().err


def test_missing_extra_names_it():
    # onnxruntime made unimportable in a fresh interpreter
    code = (
        "import sys; sys.modules['onnxruntime'] = None\n"
        "import numpy as np\nfrom vemio import metrics\n"
        "try:\n    metrics.dnsmos(np.zeros(16000), 16000)\n"
        "except ImportError as e:\n    print(e)\n"
    )
    out = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, check=True, env=None
    ).stdout
    assert 'pip install "vemio[dnsmos]"' in out

"""The pesq.exe command-line program: report format, modes, and its refusals."""

import os
import shutil
import subprocess
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[1]


def _find_exe():
    # An explicit choice first, then the newest program built in this repository's build
    # folders (fresher than an installed copy that may predate the sources), then PATH.
    if os.environ.get("VEMIO_PESQ_EXE"):
        return os.environ["VEMIO_PESQ_EXE"]
    built = [c for c in ROOT.glob("build/*/pesq.exe") if c.is_file() and os.access(c, os.X_OK)]
    if built:
        return str(max(built, key=lambda c: c.stat().st_mtime))
    return shutil.which("pesq.exe")


EXE = _find_exe()
pytestmark = pytest.mark.skipif(
    EXE is None, reason="pesq.exe is neither on PATH nor built under build/*/ (install vemio)"
)


def speech(sr, seed=0, seconds=3.0):
    """Voiced syllables with pauses: enough structure for the model's time alignment."""
    rng = np.random.default_rng(seed)
    n = int(seconds * sr)
    x = np.zeros(n)
    t = int(0.3 * sr)
    while t < n - int(0.4 * sr):
        length = int((0.15 + 0.25 * rng.random()) * sr)
        f0 = 100 + 120 * rng.random()
        i = np.arange(length)
        env = 0.5 - 0.5 * np.cos(2 * np.pi * i / length)
        phase = 2 * np.pi * np.cumsum(f0 * (1 + 0.2 * i / length)) / sr
        harmonics = sum(np.sin(h * phase) / h for h in range(1, int(0.45 * sr / (1.2 * f0))))
        seg = x[t : t + length]
        seg += (0.1 * env * harmonics)[: len(seg)]
        t += length + int((0.05 + 0.3 * rng.random()) * sr)
    return x + 1e-4 * rng.standard_normal(n)


def run(*args):
    return subprocess.run(
        [EXE, *map(str, args)], check=False, capture_output=True, text=True, timeout=60
    )


def score_of(result):
    """Read the score as the evaluator does: the text after the last "= " of the last line."""
    assert result.returncode == 0, result.stderr
    last = result.stdout.splitlines()[-1]
    return float(last.rsplit("= ", 1)[1])


def test_report_modes_and_defaults(write_wav):
    x16 = speech(16000)
    rng = np.random.default_rng(1)
    noisy16 = x16 + 0.02 * rng.standard_normal(len(x16))
    ref = write_wav("ref16.wav", x16, 16000)
    deg = write_wav("deg16.wav", noisy16, 16000)

    same = run("+16000", ref, ref)
    assert same.stdout.splitlines()[-1].endswith("= " + same.stdout.split("= ")[-1].strip())
    assert score_of(same) == pytest.approx(4.644, abs=1e-3)  # wide band by default at 16 kHz

    wb = score_of(run("+16000", ref, deg))
    assert wb == score_of(run("+16000", "+wb", ref, deg))
    nb16 = score_of(run("+16000", "+nb", ref, deg))
    assert 1.0 <= wb < 4.6 and 1.0 <= nb16 < 4.6 and wb != nb16

    x8 = speech(8000, seed=2)
    ref8 = write_wav("ref8.wav", x8, 8000)
    deg8 = write_wav("deg8.wav", x8 + 0.02 * rng.standard_normal(len(x8)), 8000)
    assert score_of(run("+8000", ref8, ref8)) == pytest.approx(4.549, abs=1e-3)
    assert score_of(run("+8000", ref8, deg8)) == score_of(run("+8000", "+nb", ref8, deg8))


def spoken(sr, tmp_path):
    """A sentence from espeak-ng, resampled to sr."""
    from scipy.io import wavfile
    from scipy.signal import resample_poly

    wav = tmp_path / "tts.wav"
    subprocess.run(
        ["espeak-ng", "-w", str(wav), "Glue the sheet to the dark blue background."],
        check=True,
        capture_output=True,
        # under the sanitizer run the preloaded runtime is for vemio, not for espeak-ng
        env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"},
    )
    rate, x = wavfile.read(wav)
    g = np.gcd(rate, sr)
    y = resample_poly(x / 32768.0, sr // g, rate // g)
    return 0.3 * y / np.max(np.abs(y))


def test_silent_degraded_file_scores_at_the_bottom(write_wav):
    ref = write_wav("ref.wav", speech(16000), 16000)
    silent = write_wav("silent.wav", np.zeros(48000), 16000)
    assert score_of(run("+16000", ref, silent)) < 1.3  # the scale runs from 1 to 4.64


@pytest.mark.skipif(shutil.which("espeak-ng") is None, reason="espeak-ng is not installed")
@pytest.mark.parametrize("sr, mode", [(8000, "nb"), (16000, "wb")])
def test_scores_follow_the_oracle(write_wav, tmp_path, sr, mode):
    pesq = pytest.importorskip("pesq")
    x = spoken(sr, tmp_path)
    rng = np.random.default_rng(4)
    ours, theirs = [], []
    conditions = {}
    for snr in (25, 15, 5):
        conditions[snr] = x + np.sqrt(np.mean(x**2) / 10 ** (snr / 10)) * rng.standard_normal(
            len(x)
        )
    # Faint noise in the pauses only: the score then hangs on the level both signals are
    # aligned to, which depends on the length of the file.
    pauses = np.abs(x) < 1e-4
    for cut in (1.0, 0.7):
        n = int(cut * len(x))
        conditions[f"pauses{cut}"] = (x + 3e-4 * rng.standard_normal(len(x)) * pauses)[:n]
    for name, d in conditions.items():
        deg = write_wav(f"d{name}.wav", d, sr)
        if len(d) < len(x):
            ref = write_wav(f"r{name}.wav", x[: len(d)], sr)
        else:
            ref = write_wav("r.wav", x, sr)
        ours.append(score_of(run(f"+{sr}", f"+{mode}", ref, deg)))
        r16 = (np.clip(x[: len(d)], -1, 1) * 32767).astype(np.int16)
        d16 = (np.clip(d, -1, 1) * 32767).astype(np.int16)
        theirs.append(pesq.pesq(sr, r16, d16, mode))
    assert ours[0] > ours[1] > ours[2]
    # Same ranking and close to the reference model's values.
    assert np.max(np.abs(np.subtract(ours, theirs))) < 0.01, (ours, theirs)


@pytest.mark.parametrize(
    "args, needle",
    [
        (["+44100", "{ref}", "{ref}"], "accepted rates are +8000 and +16000"),
        (["{ref}", "{ref}"], "sampling rate (+8000 or +16000) is missing"),
        (["+16000", "{ref}"], "exactly two files"),
        (["+8000", "+wb", "{ref8}", "{ref8}"], "needs +16000"),
        (["+16000", "{ref}", "{missing}"], "missing.wav"),
        (["+16000", "{ref}", "{text}"], "notaudio.wav"),
        (["+16000", "{ref8}", "{ref8}"], "accepted rates are 8000 and 16000"),
        (["+16000", "{silent}", "{silent}"], "no utterances detected"),
        (["+16000", "{short}", "{short}"], "too short"),
    ],
)
def test_refusals_are_messages_not_crashes(write_wav, tmp_path, args, needle):
    files = {
        "ref": write_wav("ref.wav", speech(16000), 16000),
        "ref8": write_wav("ref8.wav", speech(8000), 8000),
        "silent": write_wav("silent.wav", np.zeros(32000), 16000),
        "short": write_wav("short.wav", speech(16000)[:2000], 16000),
        "missing": tmp_path / "missing.wav",
        "text": tmp_path / "notaudio.wav",
    }
    files["text"].write_text("not a wave file")
    r = run(*[a.format(**files) for a in args])
    assert r.returncode != 0
    assert r.stdout == ""  # the evaluator then has no score line to misread
    assert needle in r.stderr


def test_double_dash_ends_the_options(write_wav, tmp_path, monkeypatch):
    ref = write_wav("+16000", speech(16000), 16000)  # a file named like the rate option
    deg = write_wav(
        "+nb.wav", speech(16000) + 1e-3 * np.random.default_rng(3).standard_normal(48000)
    )
    plain = write_wav("plain.wav", speech(16000), 16000)
    monkeypatch.chdir(tmp_path)
    refused = run("+16000", "+nb.wav", "plain.wav")
    assert refused.returncode == 2 and "unknown option +nb.wav" in refused.stderr
    wb = score_of(run("+16000", "--", "+16000", "+nb.wav"))
    assert wb == score_of(run("+16000", "+wb", "--", ref, deg))
    assert wb == score_of(run("+16000", "./+16000", "./+nb.wav"))
    assert score_of(run("+16000", "--", plain, "+16000")) == pytest.approx(4.644, abs=1e-3)
    # after "--" even an option is a file name
    missing = run("+16000", "--", "+wb", plain)
    assert missing.returncode != 0 and "+wb" in missing.stderr and missing.stdout == ""


def test_only_regular_files_are_read(write_wav, tmp_path):
    ref = write_wav("ref.wav", speech(16000), 16000)
    fifo = tmp_path / "fifo.wav"
    os.mkfifo(fifo)
    (tmp_path / "zero.wav").symlink_to("/dev/zero")
    (tmp_path / "dir.wav").mkdir()
    for other, reason in [
        (fifo, "not a regular file"),
        (tmp_path / "zero.wav", "not a regular file"),
        (tmp_path / "dir.wav", "is a directory"),
    ]:
        for args in ([ref, other], [other, ref]):
            r = run("+16000", *args)  # a reader that blocks ends in the timeout, a failure
            assert r.returncode == 1 and r.stdout == ""
            assert str(other) in r.stderr and reason in r.stderr


def test_names_that_are_not_utf8(write_wav, tmp_path):
    x = speech(16000)
    ref = write_wav(os.fsdecode(b"r\xff.wav"), x, 16000)
    r = subprocess.run(
        [os.fsencode(EXE), b"+16000", os.fsencode(ref), os.fsencode(ref)],
        capture_output=True,
        timeout=60,
    )
    assert r.returncode == 0, r.stderr
    assert float(r.stdout.splitlines()[-1].rsplit(b"= ", 1)[1]) == pytest.approx(4.644, abs=1e-3)


def test_evaluator_scores_option_like_names(write_wav, tmp_path, monkeypatch):
    from vemio.core import evaluator as ev

    monkeypatch.setattr(ev, "check_metrics_install", lambda: (True, False, False))
    monkeypatch.setenv(
        "PATH", os.path.dirname(os.path.abspath(EXE)) + os.pathsep + os.environ["PATH"]
    )
    x = speech(16000)
    noisy = x + 0.02 * np.random.default_rng(5).standard_normal(len(x))
    write_wav("+ref.wav", x, 16000)
    write_wav("+deg.wav", noisy, 16000)
    write_wav("-h.wav", x, 16000)
    monkeypatch.chdir(tmp_path)
    a = ev.AudioEvaluate([Path("+ref.wav")], [Path("+deg.wav")])
    a.enhanced_list = [Path("-h.wav")]
    base, enh = a._AudioEvaluate__pesq_score()
    assert base == score_of(run("+16000", "--", "+ref.wav", "+deg.wav"))
    assert enh == pytest.approx(4.644, abs=1e-3)

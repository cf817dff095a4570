import os
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
from scipy.io import wavfile

from vemio._cli import main


def speechlike(n, sr, seed):
    rng = np.random.default_rng(seed)
    t = np.arange(n) / sr
    env = 0.5 * (1 + np.sin(2 * np.pi * 3 * t))
    return (0.4 * env * np.sin(2 * np.pi * 220 * t) + 0.01 * rng.standard_normal(n)).astype(np.float32)


@pytest.fixture
def corpus(tmp_path, write_wav):
    for k in range(2):
        write_wav(f"clean/c{k}.wav", speechlike(16000, 16000, k))
    write_wav("noise/n0.wav", np.random.default_rng(9).uniform(-0.3, 0.3, 24000))
    return tmp_path


def run(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "vemio", *map(str, args)], capture_output=True,
                          text=True, cwd=cwd, env={**os.environ, "MPLBACKEND": "Agg"})


def test_demo_end_to_end(tmp_path):
    r = run("demo", "--out", tmp_path / "d")
    assert r.returncode == 0, r.stderr[-2000:]
    assert "Enh_method" in r.stdout and "Baseline" in r.stdout and "trad_enhance" in r.stdout
    scores = pd.read_csv(tmp_path / "d" / "scores.csv")
    assert len(scores) == 30
    assert {"noisy_STOI", "trad_enhance_STOI"} <= set(scores.columns)
    for name in ("panels.png", "features.png", "psd.png"):
        assert (tmp_path / "d" / "figs" / name).stat().st_size > 10000
    assert len(list((tmp_path / "d" / "enhanced").glob("*.wav"))) == 30


def test_synth_is_reproducible_with_a_seed(corpus, capsys):
    args = ["synth", corpus / "clean", corpus / "noise", "--snr", "0", "5", "--mode", "increment", "--seed", "3"]
    assert main([*map(str, args), "-o", str(corpus / "a")]) == 0
    assert main([*map(str, args), "-o", str(corpus / "b")]) == 0
    a = sorted(p.name for p in (corpus / "a").rglob("*.wav"))
    assert len(a) == 4 and a == sorted(p.name for p in (corpus / "b").rglob("*.wav"))
    for name in a:
        assert (corpus / "a" / name).read_bytes() == (corpus / "b" / name).read_bytes()


def test_enhance_keeps_names_and_rates(corpus, write_wav):
    write_wav("eight/e.wav", speechlike(8000, 8000, 5), sr=8000)
    assert main(["enhance", str(corpus / "clean"), str(corpus / "eight" / "e.wav"), "-o", str(corpus / "enh")]) == 0
    assert sorted(os.listdir(corpus / "enh")) == ["c0.wav", "c1.wav", "e.wav"]
    sr, data = wavfile.read(corpus / "enh" / "e.wav")
    # the enhancer keeps whole frames only, so the tail may be shorter than the input
    assert sr == 8000 and data.dtype == np.int16 and 7000 < len(data) <= 8000


def test_score_and_plot(corpus, capsys):
    assert main(["enhance", str(corpus / "clean"), "-o", str(corpus / "enh")]) == 0
    csv = corpus / "s.csv"
    assert main(["score", "--clean", str(corpus / "clean"), "--noisy", str(corpus / "clean"),
                 "--enhanced", str(corpus / "enh"), "--method", "m1", "--csv", str(csv)]) == 0
    out = capsys.readouterr().out
    assert "m1" in out and "Baseline" in out
    assert len(pd.read_csv(csv)) == 2
    img = corpus / "figs" / "basic.png"
    assert main(["plot", str(corpus / "clean" / "c0.wav"), "--kind", "psd", "-o", str(img)]) == 0
    assert img.stat().st_size > 1000


@pytest.mark.parametrize("args, message", [
    (["synth", "{t}/missing", "{t}/noise"], "clean folder not found"),
    (["synth", "{t}/noise/n0.wav", "{t}/noise"], "clean is not a folder"),
    (["synth", "{t}/empty", "{t}/noise"], "no .wav files found"),
    (["enhance", "{t}/empty", "-o", "{t}/o"], "no .wav files found"),
    (["enhance", "{t}/clean", "-o", "{t}/noise/n0.wav/sub"], "cannot create output folder"),
    (["score", "--clean", "{t}/clean", "--noisy", "{t}/noise", "--enhanced", "{t}/clean"], "file counts differ"),
    (["plot", "{t}/nope.wav", "-o", "{t}/x.png"], "audio file not found"),
])
def test_user_errors_are_one_line(corpus, capsys, args, message):
    (corpus / "empty").mkdir()
    code = main([a.format(t=corpus) for a in args])
    err = capsys.readouterr().err
    assert code == 1
    assert message in err and "Traceback" not in err and len(err.strip().splitlines()) == 1


def test_bad_arguments_exit_with_usage():
    r = run("synth")
    assert r.returncode == 2 and "usage" in r.stderr
    assert run("--help").returncode == 0

import os
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from scipy.io import wavfile
from vemio._cli import _atomic_write_text, main


def speechlike(n, sr, seed):
    rng = np.random.default_rng(seed)
    t = np.arange(n) / sr
    env = 0.5 * (1 + np.sin(2 * np.pi * 3 * t))
    return (0.4 * env * np.sin(2 * np.pi * 220 * t) + 0.01 * rng.standard_normal(n)).astype(
        np.float32
    )


@pytest.fixture
def corpus(tmp_path, write_wav):
    for k in range(2):
        write_wav(f"clean/c{k}.wav", speechlike(16000, 16000, k))
    write_wav("noise/n0.wav", np.random.default_rng(9).uniform(-0.3, 0.3, 24000))
    return tmp_path


def run(*args, cwd=None):
    return subprocess.run(
        [sys.executable, "-m", "vemio", *map(str, args)],
        capture_output=True,
        text=True,
        cwd=cwd,
        env={**os.environ, "MPLBACKEND": "Agg"},
    )


def test_demo_end_to_end(tmp_path):
    r = run("demo", "--out", tmp_path / "d")
    assert r.returncode == 0, r.stderr[-2000:]
    assert "Enh_method" in r.stdout and "Baseline" in r.stdout and "trad_enhance" in r.stdout
    scores = pd.read_csv(tmp_path / "d" / "scores.csv")
    assert len(scores) == 40
    assert {"noisy_STOI", "trad_enhance_STOI"} <= set(scores.columns)
    for name in ("panels.png", "features.png", "psd.png"):
        assert (tmp_path / "d" / "figs" / name).stat().st_size > 10000
    assert len(list((tmp_path / "d" / "enhanced").glob("*.wav"))) == 40
    # the README shows the table the demo prints
    table = [ln for ln in r.stdout.splitlines() if "Enh_method" in ln or "Baseline" in ln]
    table += [ln for ln in r.stdout.splitlines() if ln.lstrip().startswith("trad_enhance ")]
    readme = (Path(__file__).resolve().parents[1] / "README.md").read_text()
    for line in table:
        assert line.strip() in readme, line


def test_synth_is_reproducible_with_a_seed(corpus, capsys):
    args = [
        "synth",
        corpus / "clean",
        corpus / "noise",
        "--snr",
        "0",
        "5",
        "--mode",
        "increment",
        "--seed",
        "3",
    ]
    assert main([*map(str, args), "-o", str(corpus / "a")]) == 0
    assert main([*map(str, args), "-o", str(corpus / "b")]) == 0
    a = sorted(p.name for p in (corpus / "a").rglob("*.wav"))
    assert len(a) == 4 and a == sorted(p.name for p in (corpus / "b").rglob("*.wav"))
    for name in a:
        assert (corpus / "a" / name).read_bytes() == (corpus / "b" / name).read_bytes()


def test_enhance_keeps_names_and_rates(corpus, write_wav):
    write_wav("eight/e.wav", speechlike(8000, 8000, 5), sr=8000)
    assert (
        main(
            [
                "enhance",
                str(corpus / "clean"),
                str(corpus / "eight" / "e.wav"),
                "-o",
                str(corpus / "enh"),
            ]
        )
        == 0
    )
    assert sorted(os.listdir(corpus / "enh")) == ["c0.wav", "c1.wav", "e.wav"]
    sr, data = wavfile.read(corpus / "enh" / "e.wav")
    # the enhancer keeps whole frames only, so the tail may be shorter than the input
    assert sr == 8000 and data.dtype == np.int16 and 7000 < len(data) <= 8000


def test_score_and_plot(corpus, capsys):
    assert main(["enhance", str(corpus / "clean"), "-o", str(corpus / "enh")]) == 0
    csv = corpus / "s.csv"
    assert (
        main(
            [
                "score",
                "--clean",
                str(corpus / "clean"),
                "--noisy",
                str(corpus / "clean"),
                "--enhanced",
                str(corpus / "enh"),
                "--method",
                "m1",
                "--csv",
                str(csv),
            ]
        )
        == 0
    )
    out = capsys.readouterr().out
    assert "m1" in out and "Baseline" in out
    assert len(pd.read_csv(csv)) == 2
    img = corpus / "figs" / "basic.png"
    assert main(["plot", str(corpus / "clean" / "c0.wav"), "--kind", "psd", "-o", str(img)]) == 0
    assert img.stat().st_size > 1000


@pytest.mark.parametrize(
    "args, message",
    [
        (["synth", "{t}/missing", "{t}/noise"], "clean folder not found"),
        (["synth", "{t}/noise/n0.wav", "{t}/noise"], "clean is not a folder"),
        (["synth", "{t}/empty", "{t}/noise"], "no .wav files found"),
        (["enhance", "{t}/empty", "-o", "{t}/o"], "no .wav files found"),
        (["enhance", "{t}/clean", "-o", "{t}/noise/n0.wav/sub"], "cannot create output folder"),
        (
            ["score", "--clean", "{t}/clean", "--noisy", "{t}/noise", "--enhanced", "{t}/clean"],
            "file counts differ",
        ),
        (["plot", "{t}/nope.wav", "-o", "{t}/x.png"], "audio file not found"),
    ],
)
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


# ---------------------------------------------------------------- malformed inputs


def _malformed(path, kind):
    """Write a malformed audio file of `kind` at `path`."""
    good = (speechlike(1600, 16000, 1) * 32767).astype(np.int16)
    path.parent.mkdir(parents=True, exist_ok=True)
    if kind == "empty":
        path.write_bytes(b"")
    elif kind == "header":
        wavfile.write(path, 16000, good[:0])
    elif kind == "truncated":
        wavfile.write(path, 16000, good)
        path.write_bytes(path.read_bytes()[:30])
    elif kind == "text":
        path.write_text("RIFF but not really")
    elif kind == "nan":
        x = speechlike(16000, 16000, 2)
        x[100:110] = np.nan
        wavfile.write(path, 16000, x)
    elif kind == "inf":
        wavfile.write(path, 16000, np.full(16000, np.inf, np.float32))
    elif kind == "one":
        wavfile.write(path, 16000, good[:1])
    elif kind == "dir":
        path.mkdir()
    elif kind == "fifo":
        os.mkfifo(path)
    return path


REASONS = {
    "empty": "is empty",
    "header": "holds no samples",
    "truncated": "damaged or not an audio file",
    "text": "damaged or not an audio file",
    "nan": "NaN or infinite",
    "inf": "NaN or infinite",
    "one": "too short to score",
    "dir": "is a folder",
    "fifo": "not a regular file",
}


def one_error_line(capsys, command, err=None):
    err = capsys.readouterr().err if err is None else err
    assert "Traceback" not in err
    last = err.strip().splitlines()[-1]
    assert last.startswith(f"vemio {command}: error: ")
    return last


def failing(capsys, args, child=False):
    """Run the command (in a child process when a fault could block it) and return its exit
    status and the error line it ended with."""
    if not child:
        code = main(args)
        return code, one_error_line(capsys, args[0])
    r = subprocess.run(
        [sys.executable, "-m", "vemio", *args],
        capture_output=True,
        text=True,
        env={**os.environ, "MPLBACKEND": "Agg"},
        timeout=120,
    )
    return r.returncode, one_error_line(capsys, args[0], r.stderr)


@pytest.mark.parametrize("kind", sorted(REASONS))
@pytest.mark.parametrize("role", ["clean", "enhanced"])
def test_score_names_a_malformed_file_in_one_line(corpus, capsys, kind, role):
    for folder in ("c", "n", "e"):
        for k in range(2):
            (corpus / folder).mkdir(exist_ok=True)
            (corpus / folder / f"u{k}.wav").write_bytes(
                (corpus / "clean" / f"c{k}.wav").read_bytes()
            )
    bad = corpus / ("c" if role == "clean" else "e") / "u1.wav"
    bad.unlink()
    _malformed(bad, kind)
    code, last = failing(
        capsys,
        [
            "score",
            "--clean",
            str(corpus / "c"),
            "--noisy",
            str(corpus / "n"),
            "--enhanced",
            str(corpus / "e"),
        ],
        child=kind == "fifo",
    )
    assert code == 1
    if kind in ("dir", "fifo") and "file counts differ" in last:
        return  # not listed as a .wav file at all
    assert str(bad) in last and REASONS[kind] in last


@pytest.mark.parametrize("kind", ["empty", "header", "truncated", "nan", "inf", "dir", "fifo"])
def test_plot_and_enhance_name_a_malformed_file(corpus, capsys, kind):
    bad = _malformed(corpus / "bad" / "x.wav", kind)
    img = corpus / "figs" / "x.png"
    code, last = failing(capsys, ["plot", str(bad), "-o", str(img)], child=kind == "fifo")
    assert code == 1 and str(bad) in last and REASONS[kind] in last and not img.exists()
    listed = kind not in ("dir", "fifo")  # those are not taken as .wav inputs
    others = [str(corpus / "clean")] if listed else []
    code, last = failing(
        capsys, ["enhance", str(bad), *others, "-o", str(corpus / "enh")], child=kind == "fifo"
    )
    assert code == 1
    assert str(bad) in last and (REASONS[kind] if listed else "no .wav files found") in last
    assert not (corpus / "enh" / "x.wav").exists()


def test_a_one_sample_file_is_drawn_and_enhanced(corpus, capsys):
    one = _malformed(corpus / "one.wav", "one")
    assert main(["plot", str(one), "--kind", "psd", "-o", str(corpus / "one.png")]) == 0
    assert main(["enhance", str(one), "-o", str(corpus / "enh")]) == 0
    assert (corpus / "enh" / "one.wav").exists()


def test_csv_that_cannot_be_written_is_named(corpus, capsys):
    args = [
        "score",
        "--clean",
        str(corpus / "clean"),
        "--noisy",
        str(corpus / "clean"),
        "--enhanced",
        str(corpus / "clean"),
        "--csv",
    ]
    assert main(args + [str(corpus / "noise")]) == 1
    assert one_error_line(capsys, "score").endswith(f"cannot write {corpus / 'noise'}: is a folder")
    assert main(args + [str(corpus / "noise" / "n0.wav" / "s.csv")]) == 1
    assert "cannot write" in one_error_line(capsys, "score")
    assert sorted(os.listdir(corpus / "noise")) == ["n0.wav"]


# ---------------------------------------------------------------- awkward names


def test_names_that_are_not_utf8_with_a_strict_terminal(corpus):
    odd = os.fsdecode(b"\xff\xfeodd")
    for folder in ("c", "e"):
        (corpus / folder).mkdir()
        (corpus / folder / f"{odd}.wav").write_bytes((corpus / "clean" / "c0.wav").read_bytes())
    env = {**os.environ, "PYTHONIOENCODING": "utf-8:strict"}  # as in a UTF-8 locale
    r = subprocess.run(
        [
            sys.executable,
            "-m",
            "vemio",
            "enhance",
            os.fsencode(corpus / "c"),
            "-o",
            os.fsencode(corpus / odd),
        ],
        capture_output=True,
        env=env,
    )
    assert r.returncode == 0, r.stderr[-2000:]
    assert b"\\xff\\xfeodd" in r.stdout and (corpus / odd / f"{odd}.wav").exists()
    csv = corpus / f"{odd}.csv"
    r = subprocess.run(
        [
            sys.executable,
            "-m",
            "vemio",
            "score",
            "--clean",
            os.fsencode(corpus / "c"),
            "--noisy",
            os.fsencode(corpus / "c"),
            "--enhanced",
            os.fsencode(corpus / odd),
            "--method",
            b"m\xff",
            "--csv",
            os.fsencode(csv),
        ],
        capture_output=True,
        env=env,
    )
    assert r.returncode == 0, r.stderr[-2000:]
    assert b"m\\xff" in r.stdout and b"Baseline" in r.stdout
    # the table keeps the file system's bytes of the names
    table = pd.read_csv(csv, encoding_errors="surrogateescape")
    assert list(table["clean"]) == [str(corpus / "c" / f"{odd}.wav")]
    assert "m\udcff_STOI" in table.columns
    r = subprocess.run(
        [
            sys.executable,
            "-m",
            "vemio",
            "score",
            "--clean",
            os.fsencode(corpus / "c"),
            "--noisy",
            os.fsencode(corpus / "c"),
            "--enhanced",
            os.fsencode(corpus / "clean" / "c0.wav"),
        ],
        capture_output=True,
        env=env,
    )
    assert r.returncode == 1 and b"Traceback" not in r.stderr
    assert r.stderr.splitlines()[-1].endswith(b"no enhanced file named like \\xff\\xfeodd.wav")


def _pesq_program():
    built = sorted(
        Path(__file__).resolve().parents[1].glob("build/*/pesq.exe"), key=os.path.getmtime
    )
    return str(built[-1]) if built else shutil.which("pesq.exe")


@pytest.mark.skipif(_pesq_program() is None, reason="pesq.exe is neither built nor installed")
def test_option_like_names_are_scored(corpus, capsys, monkeypatch):
    monkeypatch.setenv("PATH", os.path.dirname(_pesq_program()) + os.pathsep + os.environ["PATH"])
    for folder in ("+c", "+n", "+e"):
        (corpus / folder).mkdir()
        for k in range(2):
            (corpus / folder / f"+{k}.wav").write_bytes(
                (corpus / "clean" / f"c{k}.wav").read_bytes()
            )
    monkeypatch.chdir(corpus)
    assert (
        main(["score", "--clean", "+c", "--noisy", "+n", "--enhanced", "+e", "--csv", "+s.csv"])
        == 0
    )
    table = pd.read_csv(corpus / "+s.csv")
    assert table["noisy_PESQ"].notna().all() and table["enhanced_PESQ"].notna().all()
    assert (table["enhanced_PESQ"] > 4.5).all()


def test_atomic_text_writer(tmp_path):
    target = tmp_path / "sub" / "t.csv"
    old = os.umask(0o027)
    try:
        _atomic_write_text(target, "a,b\n" + os.fsdecode(b"\xff") + ",1\n")
    finally:
        os.umask(old)
    assert target.read_bytes() == b"a,b\n\xff,1\n"
    assert target.stat().st_mode & 0o777 == 0o640
    with pytest.raises(ValueError, match="embedded null byte"):
        _atomic_write_text(tmp_path / "x.csv\0.wav", "x")
    with pytest.raises(IsADirectoryError):
        _atomic_write_text(tmp_path / "sub", "x")
    assert os.listdir(tmp_path / "sub") == ["t.csv"] and not (tmp_path / "x.csv").exists()


# ---------------------------------------------------------------- Ctrl-C

GATED_ENHANCE = """
import itertools, runpy, signal, sys, threading
import vemio._enh.trad as trad

# The first file is enhanced at once; every later one waits for Ctrl-C, so that the queue is
# still full when the interrupt comes, however fast the machine.
interrupted = threading.Event()
def on_sigint(signum, frame):
    interrupted.set()
    raise KeyboardInterrupt
signal.signal(signal.SIGINT, on_sigint)
real, calls = trad.trad_enhance, itertools.count()
def gated(*a, **k):
    if next(calls):
        interrupted.wait()
    return real(*a, **k)
trad.trad_enhance = gated
sys.argv = ["vemio", *sys.argv[1:]]
runpy.run_module("vemio", run_name="__main__", alter_sys=True)
"""


def test_ctrl_c_in_enhance_cancels_the_queued_files(tmp_path, write_wav):
    import signal
    import time

    n = 40
    for k in range(n):
        write_wav(f"in/f{k:02d}.wav", speechlike(4000, 16000, k))
    out = tmp_path / "out"
    proc = subprocess.Popen(
        [sys.executable, "-c", GATED_ENHANCE, "enhance", str(tmp_path / "in"), "-o", str(out)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        deadline = time.monotonic() + 120  # a guard against a hang, not a measurement
        while not (out.is_dir() and any(p.suffix == ".wav" for p in out.iterdir())):
            assert proc.poll() is None and time.monotonic() < deadline, proc.communicate()
            time.sleep(0.01)
        proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=120)
    finally:
        proc.kill()
    assert proc.returncode == 130 and "vemio: interrupted" in err
    done = sorted(out.iterdir())
    # the first file and those the workers had started; the queued ones were cancelled
    assert 1 <= len(done) <= 1 + 4 < n
    for p in done:
        assert p.suffix == ".wav" and wavfile.read(p)[0] == 16000

import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import mir_eval
import numpy as np
import pandas as pd
import pytest
import soundfile as sf
from pystoi import stoi
from scipy.io import wavfile
from vemio.core import evaluator as ev

SR = 16000
pytestmark = [
    pytest.mark.filterwarnings("ignore:mir_eval.separation:FutureWarning"),
    pytest.mark.filterwarnings("ignore:Chunk .non-data. not understood"),
]


# ---------------------------------------------------------------- fixtures


@pytest.fixture(autouse=True)
def installs(monkeypatch):
    """Every install attempt is recorded and fails: no test may reach a package registry."""
    calls = []

    def fake_call(argv, *a, **k):
        calls.append(list(argv))
        return 1

    monkeypatch.setattr(subprocess, "call", fake_call)
    return calls


@pytest.fixture(autouse=True)
def no_pesq_packages(monkeypatch):
    """pysepm and pypesq count as absent unless a test puts a stand-in on sys.path."""
    for name in ("pysepm", "pypesq"):
        monkeypatch.setitem(sys.modules, name, None)


@pytest.fixture
def stubs(tmp_path, monkeypatch):
    """Put small stand-in packages on sys.path: stubs(name, source)."""
    root = tmp_path / "stub_modules"
    root.mkdir()
    monkeypatch.syspath_prepend(str(root))
    names = []

    def _stub(name, source):
        (root / f"{name}.py").write_text(textwrap.dedent(source))
        sys.modules.pop(name, None)
        names.append(name)

    yield _stub
    for name in names:
        sys.modules.pop(name, None)


@pytest.fixture
def pesq_present(stubs):
    """pysepm importable, so PESQ counts as available."""
    stubs(
        "pysepm",
        """
        calls = []
        def pesq(ref, deg, rate):
            calls.append((len(ref), len(deg), rate))
            return ("wb", 2.5)
    """,
    )


@pytest.fixture
def missing(monkeypatch):
    """missing(name): make `import name` fail with ModuleNotFoundError."""

    def _missing(name):
        monkeypatch.setitem(sys.modules, name, None)

    return _missing


@pytest.fixture
def pesq_exe(tmp_path, monkeypatch):
    """A stand-in pesq.exe first on PATH. It logs its arguments and prints the text configured
    for the degraded file's name (key "*" for any other file)."""
    bindir = tmp_path / "bin"
    bindir.mkdir()
    log, outputs = tmp_path / "pesq_log.jsonl", tmp_path / "pesq_out.json"
    script = bindir / "pesq.exe"
    script.write_text(
        textwrap.dedent(f"""\
        #!{sys.executable}
        import json, os, sys
        with open({str(log)!r}, "a") as f:
            f.write(json.dumps(sys.argv[1:]) + "\\n")
        outputs = json.load(open({str(outputs)!r}))
        sys.stdout.write(outputs.get(os.path.basename(sys.argv[-1]), outputs.get("*", "")))
    """)
    )
    script.chmod(0o755)
    monkeypatch.setenv("PATH", str(bindir) + os.pathsep + os.environ.get("PATH", ""))

    class Stub:
        def set(self, mapping):
            outputs.write_text(json.dumps(mapping))

        def calls(self):
            return [json.loads(x) for x in log.read_text().splitlines()] if log.exists() else []

    stub = Stub()
    stub.set({"*": "P.862 Prediction (Raw MOS, MOS-LQO):  = 2.000\n"})
    return stub


def speech_like(n, rng):
    t = np.arange(n) / SR
    env = 0.5 + 0.5 * np.sin(2 * np.pi * 3 * t) ** 2
    return env * (np.sin(2 * np.pi * 220 * t) + 0.5 * np.sin(2 * np.pi * 660 * t))


@pytest.fixture
def corpus(tmp_path):
    """corpus(n, ...) writes n clean/noisy/enhanced 16-bit triples, returns three Path lists."""
    rng = np.random.default_rng(7)

    def _make(n=3, seconds=1.2, names=None, folders=("clean", "noisy", "enh")):
        names = names or [f"u{i}" for i in range(n)]
        out = ([], [], [])
        for name in names:
            c = speech_like(int(seconds * SR), rng) * 0.4
            noise = rng.standard_normal((2, c.size))
            waves = (c, c + noise[0] * 0.2, c + noise[1] * 0.03)
            for lst, folder, w in zip(out, folders, waves):
                p = tmp_path / folder / f"{name}.wav"
                p.parent.mkdir(exist_ok=True)
                wavfile.write(p, SR, (np.clip(w, -1, 1) * 32767).astype(np.int16))
                lst.append(p)
        return out

    return _make


def direct(metric, ref_path, deg_path):
    sr, r = wavfile.read(ref_path)
    _, d = wavfile.read(deg_path)
    if metric == "SDR":
        return float(mir_eval.separation.bss_eval_sources(r.reshape(1, -1), d.reshape(1, -1))[0][0])
    return float(stoi(r, d, sr, extended=False))


# ---------------------------------------------------------------- module surface


def test_module_surface():
    assert ev.__all__ == ["AudioEvaluate", "eval_metrics"]
    assert callable(ev.check_metrics_install)
    cls = ev.AudioEvaluate
    assert cls.__bases__ == (object,)
    for name in ["sdr_score", "stoi_score", "pesq_score", "pesq_score_v2"]:
        assert callable(getattr(cls, f"_AudioEvaluate__{name}"))
    assert cls.eval_metrics is ev.eval_metrics
    lines = cls.__doc__.splitlines()
    assert lines[0] == " AudioEvaluate 音頻評估"
    assert lines[1] == "評估指標： PESQ, STOI, SDR"
    assert "使用方法" in [x.strip() for x in lines]
    for note in [
        ":clean_list: 為乾淨(無噪聲)音頻列表",
        ":noisy_list: 為原始(帶噪聲)音頻列表",
        ":enhance_method: 可自定任何文字, 方便辨別",
        ":enhanced_list: 為處理後(目標)音頻列表, 與clean_list, noisy_list同時評估",
        ":return df: 返回評估結果, 型態為pandas.Dataframe",
    ]:
        assert note in [x.strip() for x in lines]


# ---------------------------------------------------------------- availability


def test_all_present_is_silent(pesq_present, installs, capsys):
    assert ev.check_metrics_install() == (True, True, True)
    assert capsys.readouterr().out == "" and installs == []


def test_missing_packages_warn_and_install_once_per_call(missing, installs, capsys):
    missing("mir_eval")
    missing("pystoi")
    assert ev.check_metrics_install() == (False, False, False)
    assert capsys.readouterr().out.splitlines() == [
        "No module named 'mir_eval' !!",
        "No mself.odule named 'pystoi' !!",
        "No mself.odule named 'pypesq' !!",
    ]
    exe = [sys.executable, "-m", "pip", "install"]
    assert installs[:2] == [exe + ["mir_eval"], exe + ["pystoi"]]
    assert installs[2][:4] == exe and "pysepm" in installs[2][4]
    ev.check_metrics_install()
    assert len(installs) == 6


def test_install_that_works_makes_the_measure_available(
    stubs, missing, installs, monkeypatch, capsys
):
    stubs("pysepm", "def pesq(r, d, s): return (0, 1.0)\n")
    missing("mir_eval")

    def pip_installs(argv, *a, **k):
        installs.append(argv)
        monkeypatch.delitem(sys.modules, "mir_eval")  # the real package "arrives"
        return 0

    monkeypatch.setattr(subprocess, "call", pip_installs)
    assert ev.check_metrics_install() == (True, True, True)
    assert capsys.readouterr().out == "No module named 'mir_eval' !!\n"
    assert len(installs) == 1


def test_broken_package_is_unavailable_without_install(stubs, installs, capsys):
    stubs("pysepm", "raise RuntimeError('missing shared library')\n")
    assert ev.check_metrics_install() == (False, True, True)
    assert capsys.readouterr().out == "" and installs == []


# ---------------------------------------------------------------- WAV reading


@pytest.mark.parametrize("subtype", ["PCM_U8", "PCM_16", "PCM_24", "PCM_32", "FLOAT", "DOUBLE"])
@pytest.mark.parametrize("channels", [1, 2])
def test_read_wav_keeps_stored_type_like_scipy(tmp_path, subtype, channels):
    rng = np.random.default_rng(1)
    data = rng.uniform(-0.9, 0.9, (1000, channels)).squeeze()
    p = tmp_path / f"{subtype}.wav"
    sf.write(p, data, 8000, subtype=subtype)
    rate, got = ev._read_wav(p)
    want_rate, want = wavfile.read(p)
    assert rate == want_rate == 8000
    assert got.dtype == want.dtype and got.shape == want.shape
    np.testing.assert_array_equal(got, want)


def test_read_wav_errors_name_the_file(tmp_path):
    with pytest.raises(FileNotFoundError, match="nope.wav"):
        ev._read_wav(tmp_path / "nope.wav")
    flac = tmp_path / "x.flac"
    sf.write(flac, np.zeros(100), 8000)
    with pytest.raises(ValueError, match="x.flac"):
        ev._read_wav(flac)
    txt = tmp_path / "t.wav"
    txt.write_text("not audio")
    with pytest.raises(ValueError, match="t.wav"):
        ev._read_wav(txt)


# ---------------------------------------------------------------- scores against the oracles


def test_sdr_stoi_match_direct_package_calls(corpus, capsys):
    clean, noisy, enh = corpus(3)
    a = ev.AudioEvaluate(clean, noisy)
    assert (a.pesq_status, a.stoi_status, a.sdr_status) == (False, True, True)
    assert list(a.score_dict) == ["Enh_method", "STOI", "SDR"]
    a.eval("m1", enh)
    out = capsys.readouterr().out
    assert "==== Evaluate STOI ====" in out and "stoi_mean:\nBaseline-STOI" in out
    assert "==== Evaluate SDR ====" in out and "sdr_mean:\nBaseline-SDR" in out
    for metric, base in [("SDR", a.base_sdr), ("STOI", a.base_stoi)]:
        b = [direct(metric, c, n) for c, n in zip(clean, noisy)]
        e = [direct(metric, c, x) for c, x in zip(clean, enh)]
        assert base == pytest.approx(np.mean(b), rel=1e-9)
        assert a.score_dict[metric] == [np.around(np.mean(e), 4)]
    assert a.base_pesq == []
    df = a.get_df()
    assert list(df.columns) == ["Enh_method", "STOI", "SDR"]
    assert list(df["Enh_method"]) == ["m1", "Baseline"]
    assert df["SDR"].iloc[1] == np.around(a.base_sdr, 4)
    assert df["SDR"].iloc[0] > df["SDR"].iloc[1]


def test_scorer_walks_the_shortest_list(corpus):
    clean, noisy, enh = corpus(3)
    a = ev.AudioEvaluate(clean[:2], noisy)
    a.enhanced_list = enh
    base, _ = a._AudioEvaluate__stoi_score()
    assert base == pytest.approx(np.mean([direct("STOI", c, n) for c, n in zip(clean[:2], noisy)]))


def test_eval_metrics_cuts_the_longer_signal(pesq_present, corpus):
    clean, noisy, _ = corpus(1)
    _, r = wavfile.read(clean[0])
    _, d = wavfile.read(noisy[0])
    import pysepm

    p, s, sdr = ev.eval_metrics(SR, r, d[:-500])
    assert p == 2.5 and pysepm.calls[-1] == (r.size - 500, r.size - 500, SR)
    assert s == pytest.approx(stoi(r[:-500], d[:-500], SR, extended=False))
    r2, d2 = r[:-500].reshape(1, -1), d[:-500].reshape(1, -1)
    ref = mir_eval.separation.bss_eval_sources(r2, d2)[0][0]
    assert sdr == pytest.approx(ref)
    ev.AudioEvaluate.eval_metrics(SR, r[:-300], d)
    assert pysepm.calls[-1][:2] == (r.size - 300, r.size - 300)


def test_eval_metrics_unavailable_measures_are_none(monkeypatch):
    monkeypatch.setattr(ev, "check_metrics_install", lambda: (False, False, False))
    assert ev.eval_metrics(SR, np.ones(10), np.ones(12)) == (None, None, None)


# ---------------------------------------------------------------- PESQ scorers


def test_pesq_program_arguments_and_parsing(pesq_present, pesq_exe, tmp_path, corpus, capsys):
    # names with blanks and shell characters go through as plain arguments
    clean, noisy, enh = corpus(3, names=["a b", "c;touch pwned", "$(x)"])
    pesq_exe.set(
        {
            "*": "noise\nPrediction : PESQ_MOS = 2.345\n",
            "a b.wav": "x = y = 3.5",
            "c;touch pwned.wav": "two = 1.0\t2.0\n",
        }
    )
    a = ev.AudioEvaluate(clean, noisy)
    a.enhanced_list = enh
    base, mean = a._AudioEvaluate__pesq_score()
    calls = pesq_exe.calls()
    assert calls[:2] == [
        ["+16000", str(clean[0]), str(noisy[0])],
        ["+16000", str(clean[0]), str(enh[0])],
    ]
    assert len(calls) == 6 and not Path("pwned").exists() and not (tmp_path / "pwned").exists()
    # file 2 has an unreadable score and drops out of both means
    assert base == pytest.approx((3.5 + 2.345) / 2) and mean == pytest.approx((3.5 + 2.345) / 2)
    out = capsys.readouterr().out
    assert "==== Evaluate PESQ ====" in out and "pesq_mean:\nBaseline-PESQ" in out


def test_pesq_program_failures_name_the_program(pesq_present, pesq_exe, corpus, monkeypatch):
    clean, noisy, enh = corpus(1)
    a = ev.AudioEvaluate(clean, noisy)
    a.enhanced_list = enh
    pesq_exe.set({"*": ""})
    with pytest.raises(ValueError, match="pesq.exe printed nothing"):
        a._AudioEvaluate__pesq_score()
    monkeypatch.setenv("PATH", "/nonexistent")
    with pytest.raises(FileNotFoundError, match="pesq.exe"):
        a._AudioEvaluate__pesq_score()


def test_pesq_v2_uses_pypesq_on_stored_samples(stubs, corpus, capsys):
    stubs(
        "pypesq",
        """
        calls = []
        def pesq(ref, deg, sr, mode):
            calls.append((ref.dtype.name, sr, mode))
            return 1.5 if len(calls) % 2 else 3.0
    """,
    )
    clean, noisy, enh = corpus(2)
    a = ev.AudioEvaluate(clean, noisy)
    capsys.readouterr()
    a.enhanced_list = enh
    assert list(a._AudioEvaluate__pesq_score_v2()) == [1.5, 3.0]
    import pypesq

    assert pypesq.calls == [("int16", SR, "wb")] * 4
    out = capsys.readouterr().out
    assert "====" not in out and out.startswith("pesq_mean:\nBaseline-PESQ")


# ---------------------------------------------------------------- eval and get_df


def fixed_scores(obj, **means):
    """Replace the scorers of one object by ones returning fixed (baseline, enhanced) means."""
    for name, pair in means.items():
        setattr(obj, f"_AudioEvaluate__{name}_score", lambda pair=pair: pd.Series(pair))


def test_eval_reorders_enhanced_files_by_stem(corpus, tmp_path):
    clean, noisy, enh = corpus(2, names=["x1", "x2"])
    a = ev.AudioEvaluate(clean, noisy)
    fixed_scores(a, stoi=(0.5, 0.6), sdr=(1.0, 2.0))
    other = tmp_path / "elsewhere" / "x1.flac"
    a.eval("m", [enh[1], other])
    assert isinstance(a.enhanced_list, np.ndarray) and a.enhanced_list.dtype == object
    assert list(a.enhanced_list) == [other, enh[1]]
    dup = tmp_path / "dup" / "x1.wav"
    with pytest.raises(AssertionError, match="Check number of files"):
        a.eval("m", [enh[0]])
    with pytest.raises(ValueError, match="x2"):
        a.eval("m", [enh[0], dup])
    # two enhanced files share a stem: the first of them serves every noisy file of that stem
    b = ev.AudioEvaluate(clean, [noisy[0], noisy[0]])
    fixed_scores(b, stoi=(0.5, 0.6), sdr=(1.0, 2.0))
    b.eval("m", [enh[0], dup])
    assert list(b.enhanced_list) == [enh[0], enh[0]]


def test_table_rows_and_baselines(corpus):
    clean, noisy, enh = corpus(1)
    a = ev.AudioEvaluate(clean, noisy)
    fixed_scores(a, stoi=(0.5, 0.61235), sdr=(1.00005, 2.00015))
    a.eval("m1", enh)
    fixed_scores(a, stoi=(0.25, 0.7), sdr=(-1.0, 3.0))
    a.eval("m2", enh)
    df = a.get_df()
    assert list(df.index) == [0, 1, 2]
    assert df.to_dict("list") == {
        "Enh_method": ["m1", "m2", "Baseline"],
        "STOI": [np.around(0.61235, 4), 0.7, 0.25],
        "SDR": [np.around(2.00015, 4), 3.0, -1.0],
    }
    assert a.base_sdr == -1.0  # stored unrounded
    assert list(a.get_df()["Enh_method"]) == ["m1", "m2", "Baseline", "Baseline"]


def test_zero_baseline_still_counts_and_nothing_available(corpus, monkeypatch):
    clean, noisy, enh = corpus(1)
    a = ev.AudioEvaluate(clean, noisy)
    fixed_scores(a, stoi=(0.0, 0.5), sdr=(0.0, 2.0))
    a.eval("m", enh)
    assert a.get_df().to_dict("list") == {
        "Enh_method": ["m", "Baseline"],
        "STOI": [0.5, 0.0],
        "SDR": [2.0, 0.0],
    }

    monkeypatch.setattr(ev, "check_metrics_install", lambda: (False, False, False))
    b = ev.AudioEvaluate(clean, noisy)
    assert b.score_dict == {"Enh_method": []}
    b.eval("m", enh)
    assert b.score_dict == {"Enh_method": ["m"]} and b.get_df() == []
    assert (b.base_pesq, b.base_stoi, b.base_sdr) == ([], [], [])


def test_empty_lists_give_nan_means(capsys):
    a = ev.AudioEvaluate([], [])
    a.eval("m", [])
    assert np.isnan(a.base_sdr) and np.isnan(a.score_dict["STOI"][0])
    df = a.get_df()
    assert list(df["Enh_method"]) == ["m", "Baseline"] and df["SDR"].isna().all()


def test_failed_eval_names_the_file_and_leaves_the_object_usable(corpus, tmp_path):
    clean, noisy, enh = corpus(2)
    a = ev.AudioEvaluate(clean, noisy)
    a.eval("good", enh)
    before = {k: list(v) for k, v in a.score_dict.items()}
    base_before, enh_before = a.base_sdr, a.enhanced_list

    short = tmp_path / "enh" / "u1.wav"
    wavfile.write(short, SR, np.zeros(SR // 2, np.int16))  # half the clean length
    with pytest.raises(Exception, match="u1.wav"):
        a.eval("bad", enh)
    wavfile.write(short, SR, np.zeros(10, np.float32))
    with pytest.raises(Exception, match="u1.wav"):
        a.eval("bad", enh)
    short.write_text("not a wave")
    with pytest.raises(ValueError, match="u1.wav"):
        a.eval("bad", enh)
    short.unlink()
    with pytest.raises(FileNotFoundError, match="u1.wav"):
        a.eval("bad", enh)
    assert a.score_dict == before and a.base_sdr == base_before and a.enhanced_list is enh_before

    # a float WAV scores too
    wavfile.write(short, SR, wavfile.read(noisy[1])[1].astype(np.float32) / 32768)
    a.eval("float", enh)
    df = a.get_df()
    assert list(df["Enh_method"]) == ["good", "float", "Baseline"] and not df.isna().any().any()


def test_repr(corpus):
    clean, noisy, _ = corpus(2)
    assert repr(ev.AudioEvaluate(clean, noisy)) == "<AudioEvaluate: 2 clean, 2 noisy, methods []>"


def test_without_assertions_unequal_lists_go_on(corpus):
    clean, noisy, enh = corpus(2, names=["x1", "x2"])
    code = textwrap.dedent(f"""
        import subprocess
        subprocess.call = lambda *a, **k: 1
        import pandas as pd
        from pathlib import Path
        from vemio.core import evaluator as ev
        ev.check_metrics_install = lambda: (False, True, True)
        a = ev.AudioEvaluate([], [Path({str(noisy[0])!r})])
        for name in ("stoi", "sdr"):
            setattr(a, "_AudioEvaluate__" + name + "_score", lambda: pd.Series([1.0, 2.0]))
        a.eval("m", [Path({str(enh[1])!r}), Path({str(enh[0])!r})])
        print([p.name for p in a.enhanced_list])
        b = ev.AudioEvaluate([], [Path({str(noisy[0])!r}), Path({str(noisy[1])!r})])
        try:
            b.eval("m", [Path({str(enh[0])!r})])
        except ValueError as e:
            print("ValueError", "x2" in str(e))
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run(
        [sys.executable, "-O", "-c", code], capture_output=True, text=True, env=env
    )
    assert out.stdout.splitlines()[-2:] == ["['x1.wav']", "ValueError True"], out.stderr


# ---------------------------------------------------------------- awkward file names and kinds


def test_read_wav_refuses_what_is_not_a_regular_file(tmp_path, corpus):
    clean, _, _ = corpus(1)
    fifo = tmp_path / "fifo.wav"
    os.mkfifo(fifo)
    (tmp_path / "zero.wav").symlink_to("/dev/zero")
    (tmp_path / "dir.wav").mkdir()
    (tmp_path / "link.wav").symlink_to(clean[0])
    # in a child process, so that a reader that blocks fails the test instead of hanging it
    code = textwrap.dedent(f"""
        import os
        from vemio.core import evaluator as ev
        for name in ("fifo.wav", "zero.wav", "dir.wav", "link.wav"):
            try:
                rate, x = ev._read_wav(os.path.join({str(tmp_path)!r}, name))
                print(name, "read", rate, x.size)
            except OSError as e:
                print(name, type(e).__name__, os.path.basename(e.filename), e.strerror)
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120
    )
    assert out.stdout.splitlines() == [
        "fifo.wav FileNotFoundError fifo.wav Not a regular file",
        "zero.wav FileNotFoundError zero.wav Not a regular file",
        "dir.wav IsADirectoryError dir.wav Is a directory",
        f"link.wav read {SR} {int(1.2 * SR)}",
    ], out.stderr


def test_names_that_are_not_utf8_are_read_and_named(corpus, tmp_path, pesq_exe, pesq_present):
    name = os.fsdecode(b"\xff\xfe-x")
    clean, noisy, enh = corpus(2, names=[name, "plain"])
    rate, x = ev._read_wav(clean[0])
    assert rate == SR and x.dtype == np.int16
    gone = tmp_path / os.fsdecode(b"\xffgone.wav")
    with pytest.raises(FileNotFoundError) as err:
        ev._read_wav(gone)
    assert err.value.filename == str(gone)
    (tmp_path / os.fsdecode(b"bad\xff.wav")).write_text("not audio")
    with pytest.raises(ValueError) as err:
        ev._read_wav(tmp_path / os.fsdecode(b"bad\xff.wav"))
    assert os.fsdecode(b"bad\xff.wav") in str(err.value)

    a = ev.AudioEvaluate(clean, noisy)
    a.eval("m", [enh[1], enh[0]])
    assert list(a.enhanced_list) == enh
    assert len(a.score_dict["SDR"]) == 1 and not np.isnan(a.score_dict["SDR"][0])
    # pesq.exe gets the file system's bytes of each name
    assert pesq_exe.calls()[:2] == [
        ["+16000", str(clean[0]), str(noisy[0])],
        ["+16000", str(clean[0]), str(enh[0])],
    ]
    pesq_exe.set({"*": ""})
    with pytest.raises(ValueError, match="pesq.exe printed nothing") as err:
        a._AudioEvaluate__pesq_score()
    assert str(clean[0]) in str(err.value) and str(noisy[0]) in str(err.value)
    a.enhanced_list = [gone, enh[1]]
    with pytest.raises(FileNotFoundError, match="gone.wav"):
        a._AudioEvaluate__stoi_score()


def test_option_like_names_reach_pesq_exe_as_paths(
    corpus, tmp_path, pesq_exe, pesq_present, monkeypatch
):
    clean, noisy, enh = corpus(1, names=["+16000"], folders=("+c", "-n", "e"))
    monkeypatch.chdir(tmp_path)
    rel = [[Path(p).relative_to(tmp_path)] for p in (clean[0], noisy[0], enh[0])]
    assert str(rel[0][0]) == "+c/+16000.wav"
    a = ev.AudioEvaluate(rel[0], rel[1])
    a.enhanced_list = rel[2]
    base, mean = a._AudioEvaluate__pesq_score()
    assert (base, mean) == (2.0, 2.0)
    assert pesq_exe.calls() == [
        ["+16000", "./+c/+16000.wav", "./-n/+16000.wav"],
        ["+16000", "./+c/+16000.wav", "e/+16000.wav"],
    ]


def test_paths_with_nul_bytes_are_refused(corpus, pesq_exe, pesq_present):
    clean, noisy, enh = corpus(1)
    with pytest.raises(ValueError, match="embedded null byte"):
        ev._read_wav(str(clean[0]) + "\0junk")
    a = ev.AudioEvaluate(clean, noisy)
    a.enhanced_list = [str(enh[0]) + "\0junk"]
    with pytest.raises(ValueError, match="embedded null byte"):
        a._AudioEvaluate__pesq_score()
    with pytest.raises(ValueError, match="embedded null byte"):
        a._AudioEvaluate__sdr_score()
    assert len(pesq_exe.calls()) <= 1  # the baseline call at most, never the cut-short name

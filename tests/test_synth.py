import os
import re
import struct
import subprocess
import sys
from decimal import Decimal
from pathlib import Path

import librosa
import numpy as np
import pytest
import soundfile as sf
from scipy.io import wavfile
from vemio.core import io

# The module needs its native build (target vemio_synth); a tree built without it skips here.
synth = pytest.importorskip("vemio.core.synth")
Synthesizer = synth.Synthesizer


@pytest.fixture
def in_tmp(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


def rnd(n, seed, amp=0.3):
    return np.random.default_rng(seed).uniform(-amp, amp, n)


@pytest.fixture
def corpus(in_tmp, write_wav):
    """Clean files c0..c{n-1} (1 s) and noise files of the given lengths at 16 kHz."""

    def make(n_clean=2, noise_lens=(40000,), clean_len=16000, sub=False):
        for i in range(n_clean):
            write_wav(f"clean/c{i}.wav", rnd(clean_len, i, 0.2))
        if sub:
            write_wav("clean/spk1/s0.wav", rnd(clean_len, 99, 0.2))
        for j, n in enumerate(noise_lens):
            write_wav(f"noise/n{j}.wav", rnd(n, 100 + j))
        return in_tmp

    return make


def read16(p):
    sr, y = wavfile.read(p)
    assert sr == 16000 and y.dtype == np.int16 and y.ndim == 1
    return y


def oracle(clean, noise, snr, ind, silence=False):
    """The mixer written out in numpy, in float64."""
    c = librosa.load(clean, sr=16000)[0].astype(np.float64)
    n = librosa.load(noise, sr=16000)[0].astype(np.float64)
    lc, ln = len(c), len(n)
    seg = np.tile(n, lc // ln + 1)[:lc] if ln < lc else n[ind : ind + lc]
    seg = seg - seg.mean()
    seg = np.sqrt(np.sum(np.abs(c) ** 2) / lc / 10 ** (snr / 10)) * seg / seg.std()
    y = seg if silence else c + seg
    return np.clip(np.trunc(y * 32767), -32768, 32767).astype(np.int16)


def make_syn(*args, **kw):
    """A Synthesizer whose file lists are sorted (folder listings come in disk order)."""
    s = Synthesizer(*args, **kw)
    s.cleanWaves.sort()
    s.noiseWaves.sort()
    return s


def tree(root):
    return {
        str(p.relative_to(root)): p.read_bytes()
        for p in sorted(Path(root).rglob("*"))
        if p.is_file()
    }


# ---------------------------------------------------------------- surface and construction


def test_module_surface():
    assert synth.__all__ == ["Synthesizer"]
    assert Synthesizer.__doc__.startswith("音頻混合器")
    assert synth.check_input is io.check_input and synth.load_waves is io.load_waves
    for name in [
        "wave_input",
        "wave_syn",
        "wave_syn_abs",
        "waveform",
        "syn",
        "syn_extra_mode",
        "_Synthesizer__syn_pool",
        "syn_waves",
    ]:
        assert callable(getattr(Synthesizer, name))


def test_stub_matches_the_module():
    import ast

    path = Path(synth.__file__).parent / "synth.pyi"
    if not path.exists():
        pytest.skip("stubs not installed next to the module")
    stub = ast.parse(path.read_text())
    cls = next(n for n in stub.body if isinstance(n, ast.ClassDef) and n.name == "Synthesizer")
    methods = [n.name for n in cls.body if isinstance(n, ast.FunctionDef) and n.name != "__init__"]
    assert methods == [
        "wave_input",
        "wave_syn",
        "wave_syn_abs",
        "waveform",
        "syn",
        "syn_extra_mode",
        "_Synthesizer__syn_pool",
        "syn_waves",
    ]
    for name in methods:
        stub_args = [
            a.arg for a in next(n for n in cls.body if getattr(n, "name", "") == name).args.args
        ]
        doc_sig = getattr(Synthesizer, name).__doc__.splitlines()[0]
        for a in stub_args:
            assert a == "self" or f"{a}:" in doc_sig, (name, a)


def test_constructor_attributes(corpus, write_wav):
    corpus(n_clean=2, noise_lens=(20000, 30000))
    s = Synthesizer("clean", "noise")
    assert s.noisyDir == Path("mixed") and s.snrRatio == (-5, 0, 5)
    assert s.snrRatio is Synthesizer("clean", "noise").snrRatio  # the default object itself
    assert sorted(s.cleanWaves) == [Path("clean/c0.wav"), Path("clean/c1.wav")]
    assert sorted(s.noiseWaves) == [Path("noise/n0.wav"), Path("noise/n1.wav")]
    assert s.clean_dir_ == "clean" and s.wave_syn() is None and s.wave_syn_abs() is None
    cw, nw = s.wave_input()
    assert cw is s.cleanWaves and nw is s.noiseWaves
    assert Synthesizer("clean", "noise", "mixed").noisyDir == Path("mixed")
    assert Synthesizer(Path("clean"), "noise", "out/").noisyDir == Path("out")
    assert Synthesizer("clean", "noise", snr_ratio=10).snrRatio == [10]
    lst, rng = [10], range(0, 10, 5)
    assert Synthesizer("clean", "noise", snr_ratio=lst).snrRatio is lst
    assert Synthesizer("clean", "noise", snr_ratio=rng).snrRatio is rng
    assert not Path("mixed").exists()  # nothing touched on disk
    clean_loaded, noise_loaded = s.waveform()
    assert len(clean_loaded) == 2 and sorted(len(w) for w, _ in noise_loaded) == [20000, 30000]


def test_constructor_refusals(corpus, write_wav):
    corpus()
    with pytest.raises(AssertionError, match="^input path error$"):
        Synthesizer("missing", "noise", snr_ratio="5")  # path checked before the SNR
    with pytest.raises(AssertionError, match="^input path error$"):
        Synthesizer("clean", "noise/n0.wav")
    with pytest.raises(TypeError):
        Synthesizer(["clean"], "noise")
    with pytest.raises(AssertionError, match="^type error: snr_ratio can't be str$"):
        Synthesizer("clean", "noise", snr_ratio="5")
    write_wav("upper/x.WAV", rnd(100, 1))
    with pytest.raises(AssertionError, match=r"^Error input upper, found 0 files\.$"):
        Synthesizer("upper", "noise")
    with pytest.raises(AssertionError, match=r"^Error input upper, found 0 files\.$"):
        Synthesizer("clean", "upper")


# ---------------------------------------------------------------- the mixer


def test_mixer_matches_numpy_oracle(corpus, write_wav):
    corpus(n_clean=1, noise_lens=(40000, 6000, 16000))
    write_wav("noise/n48k.wav", rnd(96000, 7), sr=48000)
    c = Path("clean/c0.wav")
    for noise, snr in [
        ("noise/n0.wav", 5),
        ("noise/n1.wav", -5),
        ("noise/n2.wav", 0),
        ("noise/n48k.wav", 2.5),
    ]:
        ln = len(librosa.load(noise, sr=16000)[0])
        np.random.seed(3)
        Synthesizer.syn_waves(("out.wav", c, noise, snr), False)
        np.random.seed(3)
        ind = np.random.randint(1, ln - 16000 + 1) if ln > 16000 else 0
        got, want = read16("out.wav"), oracle(c, noise, snr, ind)
        assert len(got) == 16000
        tol = 1 if ln in (6000, 16000, 40000) else 3  # resampled noise: same resampler family
        assert np.max(np.abs(got.astype(int) - want)) <= tol, noise
    # an offset is drawn only when the noise is longer than the clean file
    np.random.seed(5)
    state = np.random.get_state()[1].copy()
    Synthesizer.syn_waves(("o.wav", c, "noise/n2.wav", 0), False)
    Synthesizer.syn_waves(("o.wav", c, "noise/n1.wav", 0), False)
    assert np.array_equal(np.random.get_state()[1], state)


def test_mixer_snr_silence_saturation_and_indexing(corpus, write_wav):
    corpus(n_clean=1, noise_lens=(40000,))
    job = ("mix.wav", "clean/c0.wav", "noise/n0.wav", 20)
    for name, silent in [("mix.wav", False), ("only.wav", True)]:
        np.random.seed(1)
        Synthesizer.syn_waves((name,) + job[1:], silent)
    clean = read16("clean/c0.wav").astype(float)
    mix, only = read16("mix.wav").astype(float), read16("only.wav").astype(float)
    assert 10 * np.log10(np.mean(clean**2) / np.mean(only**2)) == pytest.approx(20, abs=0.05)
    assert np.max(np.abs(mix - (clean + only))) <= 2
    # the same job picked from a list, by positive or negative index
    np.random.seed(1)
    Synthesizer.syn_waves([("x", "y", "z", 0), ("idx.wav",) + job[1:]], False, -1)
    assert Path("idx.wav").read_bytes() == Path("mix.wav").read_bytes()
    with pytest.raises(ValueError, match="unpack"):
        Synthesizer.syn_waves(("a.wav", "clean/c0.wav", "noise/n0.wav"), False)
    # loud input saturates instead of wrapping around
    write_wav("loud.wav", np.full(16000, 0.95))
    Synthesizer.syn_waves(("sat/deep/loud_mix.wav", "loud.wav", "noise/n0.wav", -10), False)
    y = read16("sat/deep/loud_mix.wav")
    assert y.max() == 32767 and y.min() == -32768
    assert np.mean(y == 32767) > 0.2


def test_mixer_bad_inputs(corpus, write_wav):
    corpus(n_clean=1, noise_lens=(40000,))
    write_wav("zero.wav", np.zeros(16000))
    write_wav("flat.wav", np.full(40000, 0.25))
    write_wav("empty.wav", np.zeros(0))
    np.random.seed(0)
    Synthesizer.syn_waves(("z.wav", "zero.wav", "noise/n0.wav", 0), False)
    assert not read16("z.wav").any() and len(read16("z.wav")) == 16000
    with pytest.raises(ValueError, match="flat.wav"):
        Synthesizer.syn_waves(("f.wav", "clean/c0.wav", "flat.wav", 0), False)
    with pytest.raises(ValueError, match="empty.wav"):
        Synthesizer.syn_waves(("e.wav", "clean/c0.wav", "empty.wav", 0), False)
    with pytest.raises(ValueError, match="empty.wav"):
        Synthesizer.syn_waves(("e.wav", "empty.wav", "noise/n0.wav", 0), False)
    Path("broken.wav").write_bytes(b"RIFF....WAVEjunk")
    with pytest.raises(OSError, match="broken.wav"):
        Synthesizer.syn_waves(("b.wav", "clean/c0.wav", "broken.wav", 0), False)
    with pytest.raises(OSError, match="nope.wav"):
        Synthesizer.syn_waves(("b.wav", "nope.wav", "noise/n0.wav", 0), False)
    assert not any(Path(".").glob("[fbe].wav")) and not list(Path(".").glob("*.tmp-*"))
    # other formats the decoder reads are accepted
    sf.write("noise.flac", rnd(30000, 5), 16000, subtype="PCM_16")
    np.random.seed(0)
    Synthesizer.syn_waves(("fl.wav", "clean/c0.wav", "noise.flac", 0), False)
    assert len(read16("fl.wav")) == 16000
    Synthesizer.syn_waves([b"bytes.wav", b"clean/c0.wav", Path("noise.flac"), np.float32(3)], False)
    assert len(read16("bytes.wav")) == 16000


# ---------------------------------------------------------------- modes


def test_regular_and_increment_pairing(corpus, capsys):
    corpus(n_clean=5, noise_lens=(20000, 30000))
    s = make_syn("clean", "noise")
    jobs = s.syn()
    assert s.wave_syn() is jobs
    assert [(j[1].stem, j[2].stem, int(j[3])) for j in jobs] == [
        ("c0", "n0", -5),
        ("c1", "n1", 0),
        ("c2", "n0", 5),
        ("c3", "n1", -5),
        ("c4", "n0", 0),
    ]
    assert [str(j[0]) for j in jobs][:3] == [
        "mixed/c0_n0_n5.wav",
        "mixed/c1_n1_0dB.wav",
        "mixed/c2_n0_5dB.wav",
    ]
    assert isinstance(jobs[0][3], np.int64) and all(
        len(j) == 4 and isinstance(j, tuple) for j in jobs
    )
    assert sorted(p.name for p in Path("mixed").iterdir()) == sorted(j[0].name for j in jobs)
    out = capsys.readouterr().out.splitlines()
    assert out == [
        "[vm.] ==== Audio Synthesizing ====",
        "Clean: 5, Noise: 2, SNR: -5 ~ 5",
        "3 SNRs * 2 noises, generate 5 noisy.",
    ]

    s = make_syn("clean", "noise", "inc_out", snr_ratio=(0, 5))
    s.cleanWaves = s.cleanWaves[:2]
    jobs = s.syn("inc")
    assert [(j[1].stem, j[2].stem, int(j[3])) for j in jobs] == [
        (c, n, v) for c in ("c0", "c1") for n in ("n0", "n1") for v in (0, 5)
    ]
    assert (
        capsys.readouterr().out.splitlines()[-1]
        == "8 noisy files generated by 2 kinds of SNR and 2 noise files "
    )
    # real SNRs make every tag real, and the suffix replacement eats the decimal part
    s = make_syn("clean", "noise", "real", snr_ratio=(-2.5, 0, 5))
    names = [j[0].name for j in s.syn()]
    assert names[:3] == ["c0_n0_n2.wav", "c1_n1_0.wav", "c2_n0_5.wav"]
    assert "SNR: -2.5 ~ 5" in capsys.readouterr().out
    # array SNRs: their scalars print like plain numbers
    s = make_syn("clean", "noise", "arr", snr_ratio=np.array([-3, 10]))
    assert [j[0].name for j in s.syn()][:2] == ["c0_n0_n3.wav", "c1_n1_10dB.wav"]
    assert "SNR: -3 ~ 10" in capsys.readouterr().out
    s = make_syn("clean", "noise", "arr32", snr_ratio=np.array([1.5], dtype=np.float32))
    assert s.syn()[0][0].name == "c0_n0_1.wav" and isinstance(s.wave_syn()[0][3], np.float32)


def test_syn_options(corpus, capsys):
    corpus(n_clean=3, noise_lens=(20000,), sub=True)
    s = make_syn("clean", "noise", "out", snr_ratio=0)
    jobs = s.syn(is_add_clean=True)
    assert str(jobs[-1][0]) == "out/spk1/s0_n0_0dB.wav" and Path(jobs[-1][0]).is_file()
    raw = sorted(p.name for p in Path("out/RAW_DATA").iterdir())
    assert raw == ["c0_raw.wav", "c1_raw.wav", "c2_raw.wav", "s0_raw.wav"]
    assert Path("out/RAW_DATA/s0_raw.wav").read_bytes() == Path("clean/spk1/s0.wav").read_bytes()
    assert str(s.syn(mkdir_parents=False)[-1][0]) == "out/s0_n0_0dB.wav"

    np.random.seed(0)
    picked = [j[1] for j in s.syn(rdn_choice_num=3)]
    np.random.seed(0)
    assert picked == [np.random.choice(s.cleanWaves) for _ in range(3)]
    assert len(s.syn(rdn_choice_num=5)) == 4 and len(s.syn(rdn_choice_num=-1)) == 4
    assert len(s.syn(rdn_choice_num=10**30)) == 4

    with pytest.raises(TypeError, match="mode"):
        s.syn(mode=None)
    with pytest.raises(TypeError, match="rdn_choice_num"):
        s.syn(rdn_choice_num=True)

    Path("out/keep.txt").write_text("x")
    capsys.readouterr()
    assert s.syn(overwrite=False) is None
    assert capsys.readouterr().out.splitlines()[-1] == "[vm.] syn:  路徑已存在 -> out，終止程序"
    assert Path("out/keep.txt").exists()
    assert s.syn(mode="max") == "Please use class function 'syn_extra_mode' to run extra mode."
    assert "[vm.] syn:  路徑已存在，將覆蓋資料夾 -> out" in capsys.readouterr().out
    assert Path("out").is_dir() and not Path("out/keep.txt").exists()
    assert s.syn(mode="nope") == "select the right mode" and len(s.wave_syn()) == 4


def test_refuses_to_delete_input_or_working_folders(corpus):
    corpus(n_clean=2, noise_lens=(20000,))
    before = tree(".")
    for out in [".", "clean", "noise", str(Path.cwd())]:
        s = Synthesizer("clean", "noise", out)
        with pytest.raises(ValueError, match="refusing") as e:
            s.syn()
        assert str(Path(out)) in str(e.value)
        with pytest.raises(ValueError, match="refusing"):
            s.syn_extra_mode("noise")
    assert tree(".") == before
    Path("inner").mkdir()
    Path("bg").mkdir()
    Path("noise/n0.wav").rename("bg/b.wav")
    (Path("noise") / "n1.wav").write_bytes(Path("bg/b.wav").read_bytes())
    with pytest.raises(ValueError, match="background"):
        Synthesizer("clean", "noise", "bg").syn_extra_mode("bg")


def test_silence_jobs(corpus):
    corpus(n_clean=5, noise_lens=(20000, 30000))
    s = make_syn("clean", "noise", snr_ratio=range(10))  # 100 jobs -> 2 silence jobs
    np.random.seed(4)
    jobs = s.syn("inc", is_silence=True)
    assert len(jobs) == 102 and len(list(Path("mixed").glob("*.wav"))) <= 102
    for j in jobs[100:]:
        assert j[3] == 0 and type(j[3]) is int
        assert j[0] == Path("mixed") / (j[1].stem + j[2].stem + "_n00.wav")
        clean = read16(j[1]).astype(float)
        y = read16(j[0]).astype(float)
        # noise alone at the level of the clean power
        assert np.mean(y**2) == pytest.approx(np.mean(clean**2), rel=0.01)
    # every other job is a normal mix: clean + noise
    j = jobs[0]
    assert np.corrcoef(read16(j[0]), read16(j[1]))[0, 1] > 0.2
    # a draw of zero silence jobs appends nothing
    s = make_syn("clean", "noise", snr_ratio=(0, 5))
    assert len(s.syn("inc", is_silence=True)) == 20
    assert len(s.syn("inc", is_silence=True, p_silence=0.5)) == 30
    assert len(s.syn("inc", is_silence=True, p_silence=1)) == 20


def test_seeded_runs_are_byte_identical_pooled_or_not(corpus):
    corpus(n_clean=67, noise_lens=(4000, 9000), clean_len=1600)
    s = make_syn("clean", "noise", "a", snr_ratio=(-5, 0, 5))
    s.noiseWaves = s.noiseWaves[:1] + [Path("noise/n1.wav")]
    runs = []
    for out, pool in [("a", True), ("b", False), ("c", True)]:
        s.noisyDir = Path(out)
        np.random.seed(11)
        jobs = s.syn("inc", is_pool=pool, is_silence=True, rdn_choice_num=40)
        runs.append(tree(out))
    assert len(jobs) == 40 * 2 * 3 + 5  # 240 jobs: pooled
    assert runs[0] == runs[1] == runs[2]
    assert not [k for k in runs[0] if ".tmp" in k]


def test_error_midway_names_the_file_and_leaves_whole_files(corpus):
    corpus(n_clean=70, noise_lens=(4000,), clean_len=1600)
    Path("noise/zz.wav").write_bytes(b"RIFF\x24\x00\x00\x00WAVEfmt garbage")
    s = Synthesizer("clean", "noise", snr_ratio=(0, 5))
    for pool in (True, False):
        with pytest.raises(OSError, match="zz.wav"):
            s.syn("inc", is_pool=pool)
        for p in Path("mixed").rglob("*"):
            assert p.suffix == ".wav"
            read16(p)


# ---------------------------------------------------------------- extra mode


def test_extra_mode(corpus, write_wav, capsys):
    corpus(n_clean=2, noise_lens=(40000,))
    write_wav("bg/cafe.wav", rnd(50000, 42))
    Path("mixed").mkdir()
    Path("mixed/old.txt").write_text("x")
    s = make_syn("clean", "noise")
    capsys.readouterr()
    jobs = s.syn_extra_mode("bg", 5)
    assert capsys.readouterr().out == ""
    assert len(jobs) == 18 and not Path("tmp_mixed").exists() and not Path("mixed/old.txt").exists()
    assert [j[2].name for j in jobs[:3]] == ["n0_cafe_5dB.wav"] * 3
    assert [j[0].name for j in jobs[:3]] == [
        "c0_n0_cafe_5dB_n5dB.wav",
        "c0_n0_cafe_5dB_0dB.wav",
        "c0_n0_cafe_5dB_5dB.wav",
    ]
    assert [j[2] for j in jobs[3:9:3]] == [Path("noise/n0.wav"), Path("bg/cafe.wav")]
    assert Path("mixed/c0_n0.wav").read_bytes() == Path("clean/c0.wav").read_bytes()
    assert len(list(Path("mixed").iterdir())) == 20
    jobs = s.syn_extra_mode("bg", (-3,))
    assert jobs[0][2].name == "n0_cafe_n3dB.wav"
    with pytest.raises(AssertionError, match="^type error: snr_ratio can't be str$"):
        s.syn_extra_mode("bg", "5")
    Path("mixed/keep").write_text("x")
    with pytest.raises(AssertionError, match="^Error input nothing$"):
        s.syn_extra_mode("nothing")
    assert Path("mixed/keep").exists()


def test_assertions_skipped_under_optimize(corpus):
    corpus()
    Path("empty").mkdir()
    code = (
        "from vemio.core.synth import Synthesizer as S; s = S('empty', 'noise', snr_ratio='5'); "
        "print(len(s.cleanWaves), s.snrRatio)"
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    r = subprocess.run([sys.executable, "-O", "-c", code], capture_output=True, text=True, env=env)
    assert r.stdout.strip() == "0 5", r.stderr


def test_extra_mode_threaded_final_stage_is_reproducible(corpus, write_wav):
    corpus(n_clean=4, noise_lens=(4000, 9000), clean_len=1600)
    write_wav("bg/b0.wav", rnd(5000, 50))
    write_wav("bg/b1.wav", rnd(1000, 51))
    s = make_syn("clean", "noise", snr_ratio=range(-3, 4))
    runs = []
    for _ in range(2):
        np.random.seed(8)
        jobs = s.syn_extra_mode("bg", 0)
        runs.append(tree("mixed"))
    assert len(jobs) == 4 * 8 * 7 + 4  # M = 2*2 + 2 + 2; 224 final jobs on threads, 4 silence jobs
    assert runs[0] == runs[1]
    assert all(j[0].name.endswith("_n00.wav") for j in jobs[224:])


# ---------------------------------------------------------------- hostile inputs


def run_isolated(code, cwd):
    """Runs `code` in a fresh interpreter in `cwd`, so that a crash fails the test instead of
    ending the run; returns its standard output."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    r = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=env, cwd=cwd
    )
    assert r.returncode == 0, r.stderr[-2000:]
    return r.stdout


def test_self_containing_or_very_deep_background_lists_raise(corpus):
    root = corpus()
    Path("mixed").mkdir()
    Path("mixed/keep.txt").write_text("x")
    code = """
import sys
from vemio.core.synth import Synthesizer
s = Synthesizer("clean", "noise")
loop = ["noise/n0.wav"]
loop.append(loop)
deep = "noise/n0.wav"
for _ in range(200000):
    deep = [deep]
for spec in (loop, (loop,), deep):
    try:
        s.syn_extra_mode(spec)
    except Exception as e:
        print(type(e).__name__, str(e).splitlines()[0] if str(e) else "")
"""
    out = run_isolated(code, root).splitlines()
    assert len(out) == 3
    assert out[0].startswith("ValueError") and "contains itself" in out[0]
    assert out[1].startswith("ValueError") and "contains itself" in out[1]
    assert out[2].startswith("RecursionError")
    assert Path("mixed/keep.txt").exists() and not Path("tmp_mixed").exists()


def wav_bytes(samples, rate, channels=1):
    data = np.asarray(samples, dtype="<i2").tobytes()
    fmt = struct.pack("<HHIIHH", 1, channels, rate, rate * channels * 2, channels * 2, 16)
    body = (
        b"WAVE"
        + b"fmt "
        + struct.pack("<I", len(fmt))
        + fmt
        + b"data"
        + struct.pack("<I", len(data))
        + data
    )
    return b"RIFF" + struct.pack("<I", len(body)) + body


def test_implausible_header_rates_fail_naming_the_file(corpus):
    corpus(n_clean=1, noise_lens=(40000,))
    pcm = (rnd(200, 3) * 32767).astype(np.int16)
    Path("one_hz.wav").write_bytes(wav_bytes(pcm, 1))
    Path("huge_rate.wav").write_bytes(wav_bytes(pcm, 1_000_000))
    for bad in ("one_hz.wav", "huge_rate.wav"):
        for job in [("o.wav", "clean/c0.wav", bad, 0), ("o.wav", bad, "noise/n0.wav", 0)]:
            with pytest.raises(OSError, match=bad):
                Synthesizer.syn_waves(job, False)
    assert not Path("o.wav").exists()
    Path("noise/one_hz.wav").write_bytes(Path("one_hz.wav").read_bytes())
    with pytest.raises(OSError, match="one_hz.wav"):
        Synthesizer("clean", "noise", snr_ratio=0).syn("inc")


@pytest.fixture
def fake_home(tmp_path, monkeypatch):
    """HOME and Path.home() point at a folder of the test, never at the real home."""
    home = tmp_path / "home"
    home.mkdir()
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.setattr(Path, "home", classmethod(lambda cls: cls(home)))
    return home


def test_refuses_home_and_folders_holding_it(corpus, fake_home, write_wav):
    corpus(n_clean=2, noise_lens=(20000,))
    write_wav("bg/b.wav", rnd(30000, 9))
    (fake_home / "notes.txt").write_text("mine")
    (fake_home / "docs").mkdir()
    (fake_home / "docs" / "paper.tex").write_text("mine too")
    work = fake_home.parent / "work"
    work.mkdir()
    for d in ("clean", "noise", "bg"):
        os.rename(d, work / d)
    os.chdir(work)
    before = tree(fake_home.parent)
    for out in [fake_home, str(fake_home), fake_home / "docs" / "..", fake_home.parent]:
        s = Synthesizer("clean", "noise", out)
        with pytest.raises(ValueError, match="refusing") as e:
            s.syn()
        assert str(Path(out)) in str(e.value) and "home folder" in str(e.value)
        with pytest.raises(ValueError, match="home folder"):
            s.syn_extra_mode("bg")
    assert tree(fake_home.parent) == before
    # overwrite=False only warns, as for any other folder
    assert Synthesizer("clean", "noise", fake_home).syn(overwrite=False) is None
    # a folder inside the home is cleared as before
    (fake_home / "runs" / "old").mkdir(parents=True)
    (fake_home / "runs" / "old" / "x.wav").write_bytes(b"")
    jobs = Synthesizer("clean", "noise", fake_home / "runs", 0).syn()
    assert len(jobs) == 2 and not (fake_home / "runs" / "old").exists()
    assert (fake_home / "notes.txt").read_text() == "mine"


def test_refuses_a_file_system_root_without_touching_it(tmp_path, write_wav):
    # rmtree is replaced in the child before the module first looks it up, so a fault here
    # cannot delete anything
    write_wav("clean/c.wav", rnd(16000, 1))
    write_wav("noise/n.wav", rnd(20000, 2))
    code = """
import shutil
def no_rmtree(path, *a, **k):
    raise SystemExit("rmtree called on " + str(path))
shutil.rmtree = no_rmtree
from vemio.core.synth import Synthesizer
for out in ("/", "/proc"):
    try:
        Synthesizer("clean", "noise", out).syn()
    except ValueError as e:
        print(e)
"""
    out = [line for line in run_isolated(code, tmp_path).splitlines() if "refusing" in line]
    assert out[0].startswith("[vm.] syn: refusing to delete the output folder /:")
    if Path("/proc/self").exists():
        assert (
            out[1]
            == "[vm.] syn: refusing to delete the output folder /proc: it is the root of a file system"
        )


def test_refuses_output_folders_holding_linked_inputs(corpus, write_wav):
    corpus(n_clean=2, noise_lens=(20000,))
    write_wav("mixed/real_clean.wav", rnd(16000, 5))
    write_wav("mixed/bgreal/b.wav", rnd(30000, 6))
    write_wav("bg/b0.wav", rnd(30000, 7))
    os.symlink(Path("mixed/real_clean.wav").resolve(), "clean/linked.wav")
    before = tree(".")
    s = Synthesizer("clean", "noise", "mixed", 0)
    with pytest.raises(ValueError, match="refusing") as e:
        s.syn()
    assert "output folder mixed" in str(e.value) and "clean file clean/linked.wav" in str(e.value)
    assert str(Path("mixed/real_clean.wav").resolve()) in str(e.value)
    with pytest.raises(ValueError, match="clean file"):
        s.syn_extra_mode("bg")
    assert tree(".") == before
    os.unlink("clean/linked.wav")
    before = tree(".")

    # a background reached through a linked folder, and a linked noise folder
    os.symlink(Path("mixed/bgreal").resolve(), "bglink")
    for spec in ["bglink", "bglink/b.wav", ["bg", ["bglink/b.wav"]]]:
        with pytest.raises(ValueError, match="background file bglink/b.wav"):
            s.syn_extra_mode(spec)
    os.symlink(Path("mixed/bgreal").resolve(), "noiselink")
    with pytest.raises(ValueError, match="noise"):
        Synthesizer("clean", "noiselink", "mixed").syn()
    assert tree(".") == before
    # links that lead elsewhere are no obstacle
    s = Synthesizer("clean", "noise", "other", 0)
    Path("other").mkdir()
    os.symlink(Path("bg/b0.wav").resolve(), "other/link_to_bg.wav")
    assert len(s.syn()) == 2 and Path("bg/b0.wav").exists()


def test_extra_mode_refuses_outputs_inside_the_temporary_folder(corpus, write_wav):
    corpus(n_clean=2, noise_lens=(40000,))
    write_wav("bg/b.wav", rnd(30000, 9))
    for out in ["tmp_mixed", "tmp_mixed/out", Path("tmp_mixed/a/..")]:
        Path("tmp_mixed").mkdir(exist_ok=True)
        Path("tmp_mixed/old.wav").write_bytes(b"x")
        before = tree(".")
        with pytest.raises(ValueError, match="refusing") as e:
            Synthesizer("clean", "noise", out).syn_extra_mode("bg")
        assert str(Path(out)) in str(e.value) and "tmp_mixed" in str(e.value)
        assert tree(".") == before
    for p in ["tmp_mixed/old.wav"]:
        os.unlink(p)
    os.rmdir("tmp_mixed")
    with pytest.raises(ValueError, match="refusing"):
        Synthesizer("clean", "noise", "tmp_mixed").syn_extra_mode("bg")
    assert not Path("tmp_mixed").exists()


def test_extra_mode_background_as_a_list_of_specs(corpus, write_wav):
    corpus(n_clean=1, noise_lens=(40000,))
    write_wav("bg/a.wav", rnd(30000, 1))
    write_wav("bg2/b.wav", rnd(30000, 2))
    Path("list.txt").write_text("bg2/b.wav\n")
    s = Synthesizer("clean", "noise", snr_ratio=0)
    for spec in [
        ["bg/a.wav", "bg2/b.wav"],
        ("bg/a.wav", Path("bg2/b.wav")),
        [["bg"], [["list.txt"]]],
    ]:
        jobs = s.syn_extra_mode(spec, 5)
        # M = 1 noise x 2 backgrounds + 1 + 2
        assert len(jobs) == 5 and {j[2].name for j in jobs} >= {"a.wav", "b.wav"}
        assert not Path("tmp_mixed").exists()
    with pytest.raises(AssertionError, match=r"^Error input \['nothing', \('none',\)\]$"):
        s.syn_extra_mode(["nothing", ("none",)])


def test_nan_infinite_and_complex_snrs_are_refused(corpus):
    corpus(n_clean=2, noise_lens=(40000,))
    for bad, shown in [
        (float("nan"), "nan"),
        ([0, float("inf")], "inf"),
        ((5, -np.inf), "-inf"),
        (1 + 2j, "(1+2j)"),
        (np.array([0.0, np.nan]), "nan"),
        ([np.complex64(3)], "(3+0j)"),
        ([10**400], "1" + "0" * 400),
        ([Decimal("NaN")], "NaN"),
    ]:
        with pytest.raises(ValueError, match="invalid SNR") as e:
            Synthesizer("clean", "noise", snr_ratio=bad)
        assert f"SNR {shown} in snr_ratio" in str(e.value)
    Path("mixed").mkdir()
    Path("mixed/old.wav").write_bytes(b"old")
    s = Synthesizer("clean", "noise")
    s.snrRatio = [0, float("nan")]
    with pytest.raises(ValueError, match="SNR nan in snr_ratio"):
        s.syn()
    with pytest.raises(ValueError, match="SNR nan in snr_ratio"):
        s.syn_extra_mode("noise")
    s.snrRatio = [0]
    for bad, shown in [(float("nan"), "nan"), ((5, float("inf")), "inf"), (2j, "2j")]:
        with pytest.raises(ValueError, match=f"SNR {re.escape(shown)} in background_snr"):
            s.syn_extra_mode("noise", bad)
    # jobs handed to the mixer directly: refused before any of them is written
    good = ("ok.wav", "clean/c0.wav", "noise/n0.wav", 0)
    for bad in [float("nan"), np.float32("inf"), 1j]:
        with pytest.raises(ValueError, match="invalid SNR"):
            Synthesizer.syn_waves(("x.wav", "clean/c0.wav", "noise/n0.wav", bad), False)
        s.synWavesList = [good, ("x.wav", "clean/c0.wav", "noise/n0.wav", bad)]
        with pytest.raises(ValueError, match=r"invalid SNR .* in the job of x\.wav"):
            s._Synthesizer__syn_pool(False, False)
    assert (
        tree("mixed") == {"old.wav": b"old"}
        and not Path("ok.wav").exists()
        and not Path("x.wav").exists()
    )
    assert not Path("tmp_mixed").exists()
    # finite numbers of any kind still work, a string SNR keeps its own error
    assert len(Synthesizer("clean", "noise", snr_ratio=(np.float32(2.5), True, 10**3)).syn()) == 2
    with pytest.raises(TypeError, match="SNR must be a number"):
        Synthesizer.syn_waves(("x.wav", "clean/c0.wav", "noise/n0.wav", None), False)


def undecodable_names_supported(root):
    try:
        p = Path(root) / os.fsdecode(b"\xff")
        p.write_bytes(b"")
        p.unlink()
        return True
    except (OSError, UnicodeError):
        return False


def test_file_names_that_are_not_utf8(corpus, write_wav, capsys):
    root = corpus(n_clean=0, noise_lens=())
    if not undecodable_names_supported(root):
        pytest.skip("the file system refuses names that are not UTF-8")
    b = os.fsdecode
    write_wav(b(b"clean/\xff\xfeclip.wav"), rnd(16000, 1))
    write_wav(b(b"clean/spk\xe9/s.wav"), rnd(16000, 2))
    write_wav(b(b"noise/bab\xfble.wav"), rnd(40000, 3))
    write_wav(b(b"bg/caf\xe9.wav"), rnd(30000, 4))
    s = make_syn("clean", "noise", b(b"out\xf0"), snr_ratio=(-5, 0))
    jobs = s.syn("inc", is_add_clean=True)
    assert len(jobs) == 4
    out = os.fsencode(b(b"out\xf0"))
    assert sorted(os.listdir(out)) == sorted(
        [
            b"\xff\xfeclip_bab\xfble_n5.wav",
            b"\xff\xfeclip_bab\xfble_0dB.wav",
            b"RAW_DATA",
            b"spk\xe9",
        ]
    )
    assert sorted(os.listdir(out + b"/spk\xe9")) == [b"s_bab\xfble_0dB.wav", b"s_bab\xfble_n5.wav"]
    assert sorted(os.listdir(out + b"/RAW_DATA")) == [b"s_raw.wav", b"\xff\xfeclip_raw.wav"]
    for j in jobs:
        assert len(read16(j[0])) == 16000
    # the warning names the folder printably
    capsys.readouterr()
    s.syn("inc")
    assert "[vm.] syn:  路徑已存在，將覆蓋資料夾 -> out\\xf0" in capsys.readouterr().out

    jobs = s.syn_extra_mode("bg", 5)
    names = set(os.listdir(out))
    assert (
        b"\xff\xfeclip_bab\xfble_caf\xe9_5dB_0dB.wav" in names and b"\xff\xfeclip_n0.wav" in names
    )
    assert len(jobs) == 2 * 3 * 2

    # errors about such files name them with escapes, and keep the real name in OSError
    Path(b(b"noise/\xfbroken.wav")).write_bytes(b"RIFF\x24\x00\x00\x00WAVEfmt garbage")
    with pytest.raises(OSError, match=r"\\xfbroken\.wav"):
        Synthesizer.syn_waves(
            ("x.wav", "clean/" + b(b"\xff\xfeclip.wav"), b(b"noise/\xfbroken.wav"), 0), False
        )
    with pytest.raises(OSError, match=r"gone\\xfa\.wav"):
        Synthesizer.syn_waves(
            ("x.wav", b(b"gone\xfa.wav"), "noise/" + b(b"bab\xfble.wav"), 0), False
        )
    Path(b(b"noise/\xfcmpty.wav")).write_bytes(wav_bytes([], 16000))
    with pytest.raises(ValueError, match=r"empty noise audio file: noise/\\xfcmpty\.wav"):
        Synthesizer.syn_waves(
            ("x.wav", "clean/" + b(b"\xff\xfeclip.wav"), b(b"noise/\xfcmpty.wav"), 0), False
        )
    Path(b(b"empty\xfd")).mkdir()
    with pytest.raises(AssertionError, match=r"^Error input empty\\xfd, found 0 files\.$"):
        Synthesizer(b(b"empty\xfd"), "noise")
    # bytes paths work as well
    np.random.seed(0)
    Synthesizer.syn_waves(
        (b"by\xfetes.wav", b"clean/\xff\xfeclip.wav", b"noise/bab\xfble.wav", 0), False
    )
    assert len(read16(b"by\xfetes.wav")) == 16000


def test_paths_with_nul_bytes_are_refused(corpus):
    corpus(n_clean=1, noise_lens=(40000,))
    Path("data.csv").write_text("keep")
    for job in [
        ("data.csv\0.wav", "clean/c0.wav", "noise/n0.wav", 0),
        ("o.wav", "clean/c0.wav\0junk", "noise/n0.wav", 0),
        ("o.wav", "clean/c0.wav", b"noise/n0.wav\0", 0),
        (Path("o.wav"), "clean/c0.wav", "noise/n0.wav\0x", 0),
    ]:
        with pytest.raises(ValueError, match="embedded null byte"):
            Synthesizer.syn_waves(job, False)
    assert Path("data.csv").read_text() == "keep" and not Path("o.wav").exists()
    with pytest.raises(ValueError, match="null"):
        Synthesizer("clean", "noise", "out\0x").syn()

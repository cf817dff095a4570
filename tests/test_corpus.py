import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
import soundfile as sf
import vemio
from scipy.io import wavfile

corpus = pytest.importorskip("vemio.corpus")


def rnd(n, seed, amp=0.2):
    return np.random.default_rng(seed).uniform(-amp, amp, n)


def room(delay, length, rate, seed):
    """Silence, a direct-path impulse, then an exponentially decaying noise tail."""
    h = rnd(length, seed, 0.3) * np.exp(-np.arange(length) / (0.06 * rate))
    h[:delay] = 0
    h[delay] = 0.9
    return h


@pytest.fixture
def data(tmp_path, write_wav):
    """Clean speech (one file at 22.05 kHz), a short and a long noise, two rooms at 8 kHz."""
    write_wav("clean/a.wav", rnd(16000, 1))
    write_wav("clean/b.wav", rnd(24000, 2))
    write_wav("clean/c.wav", rnd(22050, 3), sr=22050)
    write_wav("noise/short.wav", rnd(5000, 4, 0.3))
    write_wav("noise/long.wav", rnd(64000, 5, 0.3))
    for k in range(2):
        (tmp_path / "rir").mkdir(exist_ok=True)
        sf.write(tmp_path / f"rir/r{k}.wav", room(40 + 10 * k, 4000, 8000, 6 + k), 8000, "FLOAT")
    return tmp_path


def small_plan(data, **kw):
    kw.setdefault("rir", data / "rir")
    kw.setdefault("rir_share", 0.5)
    kw.setdefault("level", (-35, -20))
    return corpus.plan(data / "clean", data / "noise", [-5, 0, 10], seed=3, **kw)


def files_of(out):
    out = Path(out)
    return {p.relative_to(out): p.read_bytes() for p in sorted(out.rglob("*.wav"))}


def read16(p):
    sr, y = wavfile.read(p)
    assert y.dtype == np.int16 and y.ndim == 1
    return sr, y.astype(np.float64) / 32767


# ---------------------------------------------------------------- plan


def test_plan_is_reproducible_typed_and_round_trips(data, tmp_path):
    state = np.random.get_state()[1].copy()
    m = small_plan(data)
    assert (np.random.get_state()[1] == state).all()  # the global generator is left alone
    assert list(m.columns) == [
        "name", "clean", "noise", "snr", "noise_offset", "level", "rir", "rate"
    ]  # fmt: skip
    assert len(m) == 3 * 2 * 3 and m.name.is_unique
    # every clean file with every noise file and every SNR, in that nesting order
    assert [Path(c).name for c in m.clean[::6]] == ["a.wav", "b.wav", "c.wav"]
    assert list(m.snr[:6]) == [-5, 0, 10] * 2
    assert m.equals(small_plan(data))
    assert not m.equals(corpus.plan(data / "clean", data / "noise", [-5, 0, 10], seed=4))
    assert ((m.level >= -35) & (m.level <= -20)).all()
    assert set(m.rir) - {""} <= {str(data / "rir/r0.wav"), str(data / "rir/r1.wav")}
    assert 0 < (m.rir != "").sum() < len(m)
    long = m[m.noise.str.endswith("long.wav")]
    lengths = {"a.wav": 16000, "b.wav": 24000, "c.wav": 16000}  # c resampled to 16 kHz
    assert all(
        0 <= o <= 64000 - lengths[Path(c).name] for o, c in zip(long.noise_offset, long.clean)
    )
    assert (m[m.noise.str.endswith("short.wav")].noise_offset == 0).all()

    s = corpus.plan(data / "clean", data / "noise", (-5, 5), mode="sample", count=500, seed=1)
    assert len(s) == 500 and s.snr.between(-5, 5).all() and s.level.isna().all()
    assert set(s.clean.map(lambda c: Path(c).name)) == {"a.wav", "b.wav", "c.wav"}

    m.to_csv(tmp_path / "m.csv", index=False)
    back = corpus.read_manifest(tmp_path / "m.csv")
    assert back.equals(m) and (back.dtypes == m.dtypes).all()
    s.to_csv(tmp_path / "s.csv", index=False)
    assert corpus.read_manifest(tmp_path / "s.csv").equals(s)


def test_plan_refusals(data, write_wav):
    write_wav("empty/e.wav", np.zeros(0, np.int16))
    with pytest.raises(vemio.AudioError, match="e.wav.*no samples"):
        corpus.plan(data / "clean", data / "empty", [0])
    with pytest.raises(FileNotFoundError, match="missing.wav"):
        corpus.plan([data / "clean", str(data / "missing.wav")], data / "noise", [0])
    with pytest.raises(ValueError, match="mode"):
        corpus.plan(data / "clean", data / "noise", [0], mode="every")
    with pytest.raises(ValueError, match="count"):
        corpus.plan(data / "clean", data / "noise", [0], count=3)
    with pytest.raises(TypeError, match="count"):
        corpus.plan(data / "clean", data / "noise", [0], mode="sample")
    with pytest.raises(ValueError, match="rir"):
        corpus.plan(data / "clean", data / "noise", [0], rir_share=0.5)
    with pytest.raises(ValueError, match="low > high"):
        corpus.plan(data / "clean", data / "noise", (5, -5))


# ---------------------------------------------------------------- render


def test_mixture_is_target_plus_noise_at_the_snr_and_level(data, tmp_path):
    m = small_plan(data, rir_share=0.0)
    r = corpus.render(m, tmp_path / "out", progress=False)
    assert (r.snr_measured - r.snr).abs().max() < 0.01
    for row in r.itertuples():
        sr, noisy = read16(tmp_path / f"out/noisy/{row.name}.wav")
        _, target = read16(tmp_path / f"out/clean/{row.name}.wav")
        assert sr == 16000 and len(noisy) == len(target)
        clean, _ = sf.read(row.clean, dtype="float64")
        noise, _ = sf.read(row.noise, dtype="float64")
        if len(clean) == len(target):  # the 16 kHz files: compare sample by sample
            seg = np.resize(noise, len(clean)) if len(noise) < len(clean) else noise[
                row.noise_offset : row.noise_offset + len(clean)
            ]  # fmt: skip
            assert np.abs(target - row.clean_gain * clean).max() <= 1.01 / 32767
            assert np.abs(noisy - target - row.noise_gain * seg).max() <= 2.01 / 32767
            if not row.clipped_avoided:
                level = 10 * np.log10(np.mean((row.clean_gain * clean) ** 2))
                assert abs(level - row.level) < 1e-6
        assert row.peak <= 0.99 + 1e-12 and np.abs(noisy).max() <= 0.99 + 1e-4
    # a loud level at a low SNR would clip: both are scaled down together
    loud = corpus.plan(data / "clean", data / "noise", [-10], level=-6)
    lr = corpus.render(loud, tmp_path / "loud", progress=False)
    assert lr.clipped_avoided.all() and np.allclose(lr.peak, 0.99)
    assert (lr.snr_measured - lr.snr).abs().max() < 0.01


def test_reverberant_target_is_aligned_with_the_mixture(data, tmp_path, write_wav):
    # a room with a delayed impulse only: the target is the dry speech scaled, not delayed
    h = np.zeros(3000)
    h[700] = 0.5
    (data / "delta").mkdir()
    sf.write(data / "delta/d.wav", h, 16000, "FLOAT")
    m = corpus.plan(
        data / "clean/a.wav", data / "noise/long.wav", [5], rir=data / "delta", rir_share=1
    )
    r = corpus.render(m, tmp_path / "out", progress=False).iloc[0]
    clean, _ = sf.read(data / "clean/a.wav", dtype="float64")
    _, target = read16(tmp_path / f"out/clean/{r['name']}.wav")
    assert np.abs(target - 0.5 * r.clean_gain * clean).max() <= 1.01 / 32767
    assert abs(r.snr_measured - 5) < 0.01
    # a real room: the target keeps the direct path and the first 50 ms of reflections
    m = small_plan(data, rir_share=1.0, level=None)
    r = corpus.render(m, tmp_path / "wet", progress=False)
    row = r.iloc[0]
    rir8, _ = sf.read(row.rir, dtype="float64")
    rir = np.interp(np.arange(len(rir8) * 2) / 2, np.arange(len(rir8)), rir8)  # rough 16 kHz
    d = int(np.argmax(np.abs(rir)))
    clean, _ = sf.read(row.clean, dtype="float64")
    early = np.convolve(clean, rir[: d + 801])[d : d + len(clean)]
    _, target = read16(tmp_path / f"wet/clean/{row['name']}.wav")
    corr = np.corrcoef(target, row.clean_gain * early)[0, 1]
    lag = np.argmax(np.correlate(target[2000:4000], early[2000:4000], "full")) - 1999
    assert corr > 0.95 and lag == 0
    assert (r.snr_measured - r.snr).abs().max() < 0.01


def test_same_bytes_on_any_thread_count_and_a_process_pool(data, tmp_path):
    import concurrent.futures as cf

    m = small_plan(data)
    one = corpus.render(m, tmp_path / "one", workers=1, progress=False)
    many = corpus.render(m, tmp_path / "many", workers=3, progress=False)
    with cf.ProcessPoolExecutor(2) as ex:
        pooled = corpus.render(m, tmp_path / "pool", executor=ex, progress=False)
    assert files_of(tmp_path / "one") == files_of(tmp_path / "many") == files_of(tmp_path / "pool")
    assert one.equals(many) and one.equals(pooled)
    csv = (tmp_path / "one/manifest.csv").read_bytes()
    assert csv == (tmp_path / "pool/manifest.csv").read_bytes()
    assert corpus.read_manifest(tmp_path / "one/manifest.csv").equals(one)


def test_dask_local_cluster_gives_the_same_bytes(data, tmp_path):
    distributed = pytest.importorskip("dask.distributed")
    m = small_plan(data, mode="sample", count=600)
    ref = corpus.render(m, tmp_path / "ref", progress=False)
    cluster = distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
    )
    with cluster, distributed.Client(cluster) as client:
        got = corpus.render(m, tmp_path / "dask", executor=client, progress=False)
    assert files_of(tmp_path / "ref") == files_of(tmp_path / "dask")
    assert got.equals(ref)


KILLED_RUN = """
import sys, vemio.corpus as c
c.render(c.read_manifest(sys.argv[1]), sys.argv[2], workers=1, progress=False)
"""


def test_run_killed_part_way_resumes_to_the_same_files(data, tmp_path, write_wav):
    write_wav("long/speech.wav", rnd(64000, 9))
    m = corpus.plan(
        data / "long", data / "noise", (-5, 15), mode="sample", count=300, rir=data / "rir",
        rir_share=1.0, seed=5,
    )  # fmt: skip
    m.to_csv(tmp_path / "m.csv", index=False)
    ref = corpus.render(m, tmp_path / "ref", progress=False)

    out = tmp_path / "out"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.Popen(
        [sys.executable, "-c", KILLED_RUN, str(tmp_path / "m.csv"), str(out)], env=env
    )
    ledger = out / "render.ledger"
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline and proc.poll() is None:
        if ledger.exists() and ledger.read_bytes().count(b"\n") >= 20:
            break
        time.sleep(0.002)
    proc.send_signal(signal.SIGKILL)
    proc.wait()
    assert proc.returncode == -signal.SIGKILL, "the run ended before it could be killed"
    done = ledger.read_bytes().count(b"\n")
    assert 20 <= done < len(m)
    (out / "noisy/stale.wav.tmp-999999-0").write_bytes(b"half")  # as a killed write leaves

    got = corpus.render(corpus.read_manifest(tmp_path / "m.csv"), out, progress=False)
    assert files_of(out) == files_of(tmp_path / "ref")
    assert not [p for p in out.rglob("*") if ".tmp-" in p.name]
    assert got.equals(ref)
    assert (out / "manifest.csv").read_bytes() == (tmp_path / "ref/manifest.csv").read_bytes()
    # a finished run resumes to itself without rendering; resume=False renders everything again
    before = (out / "noisy" / f"{m.name[0]}.wav").stat().st_mtime_ns
    assert corpus.render(m, out, progress=False).equals(ref)
    assert (out / "noisy" / f"{m.name[0]}.wav").stat().st_mtime_ns == before
    assert corpus.render(m, out, resume=False, progress=False).equals(ref)
    assert ledger.read_bytes().count(b"\n") == len(m)


def test_refusals_before_anything_is_written(data, tmp_path, write_wav):
    m = small_plan(data)
    out = tmp_path / "out"

    def refused(manifest, exc, match, where=out):
        with pytest.raises(exc, match=match):
            corpus.render(manifest, where, progress=False)
        assert not out.exists()

    refused(m.drop(columns="noise_offset"), ValueError, "no column 'noise_offset'")
    dup = m.copy()
    dup.loc[4, "name"] = dup.name[1]
    refused(dup, ValueError, "duplicate name .* rows 1 and 4")
    bad = m.copy()
    bad.loc[2, "name"] = "a/b"
    refused(bad, ValueError, "row 2 .*path separator")
    missing = m.copy()
    missing.loc[7, "noise"] = str(data / "gone.wav")
    refused(missing, vemio.AudioError, f"gone.wav.*row 7 \\({m.name[7]}\\)")
    write_wav("zero/z.wav", np.zeros(0, np.int16))
    zero = m.copy()
    zero.loc[3, "noise"] = str(data / "zero/z.wav")
    refused(zero, vemio.AudioError, "z.wav: has no samples .*row 3")
    write_wav("quiet/q.wav", np.zeros(8000, np.int16))
    quiet = m.copy()
    quiet.loc[5, "clean"] = str(data / "quiet/q.wav")
    refused(quiet, vemio.VemioError, "row 5 .*silent")
    far = m.copy()
    far.loc[1, "noise_offset"] = 10**6
    refused(far, vemio.VemioError, "row 1 .*offset 1000000 out of range")
    (tmp_path / "file").write_text("x")
    refused(m, OSError, "not writable", where=tmp_path / "file" / "out")


def test_failure_while_rendering_keeps_what_was_finished(data, tmp_path, write_wav):
    # noise whose second half is silent: rows cut there cannot take an SNR
    write_wav("half/h.wav", np.concatenate([rnd(20000, 8), np.zeros(40000)]))
    m = corpus.plan(data / "clean/a.wav", data / "half", [0])
    m = pd.concat([m] * 4, ignore_index=True)
    m["name"] = [f"r{i}" for i in range(4)]
    m["noise_offset"] = [0, 100, 30000, 0]
    with pytest.raises(vemio.VemioError, match=r"row 2 \(r2\).*noise segment is silent"):
        corpus.render(m, tmp_path / "out", workers=1, progress=False)
    lines = (tmp_path / "out/render.ledger").read_text().splitlines()
    assert [ln.split("\t")[0] for ln in lines] == ["r0", "r1"]
    assert not (tmp_path / "out/manifest.csv").exists()


def test_command_line_plans_renders_and_reports_errors_in_one_line(data, tmp_path, capsys):
    from vemio._cli import main

    m = tmp_path / "m.csv"
    args = ["corpus", "plan", str(data / "clean"), str(data / "noise"), "--snr-range", "-5", "5"]
    assert main(args + ["--mode", "sample", "--count", "40", "--rir", str(data / "rir"),
                        "--rir-share", "0.5", "--level-range", "-35", "-15", "--seed", "9",
                        "-o", str(m)]) == 0  # fmt: skip
    assert "40 mixtures planned" in capsys.readouterr().out
    planned = corpus.read_manifest(m)
    want = corpus.plan(
        str(data / "clean"), str(data / "noise"), (-5.0, 5.0), mode="sample", count=40,
        rir=str(data / "rir"), rir_share=0.5, level=(-35.0, -15.0), seed=9,
    )  # fmt: skip
    assert planned.equals(want)
    assert main(["corpus", "render", str(m), "-o", str(tmp_path / "out"), "--workers", "2"]) == 0
    assert "40 mixtures in" in capsys.readouterr().out
    assert len(list((tmp_path / "out/noisy").glob("*.wav"))) == 40

    for argv, part in [
        (args + ["--mode", "sample", "-o", str(m)], "--count"),
        (["corpus", "plan", str(data / "clean"), str(data / "gone"), "-o", str(m)], "gone"),
        (["corpus", "render", str(tmp_path / "none.csv"), "-o", str(tmp_path / "o")], "not found"),
        (["corpus", "render", str(m), "-o", str(m / "x")], "not writable"),
    ]:
        assert main(argv) == 1
        err = capsys.readouterr().err
        assert err.startswith("vemio corpus: error: ") and part in err and err.count("\n") == 1

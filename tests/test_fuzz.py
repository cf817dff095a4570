"""Malformed WAV files through every reader: no crash, hang or memory blow-up, and libsndfile's
verdict on every file.

A bounded, seeded run of tools/fuzz_wav.py (the long run is `make fuzz`): the valid seed files,
the dictionary of targeted header edits on two seed files each, then random mutations, through
file_load, load_waves(use_pool=True) on one folder of them, the evaluator's reader and pesq.exe,
each target in child processes so that a crash names its file and the run goes on.
"""

import importlib.util
import sys
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[1]
_spec = importlib.util.spec_from_file_location("fuzz_wav", ROOT / "tools" / "fuzz_wav.py")
fuzz = importlib.util.module_from_spec(_spec)
sys.modules["fuzz_wav"] = fuzz
_spec.loader.exec_module(fuzz)

SEED = 17
COUNT = 450  # one folder: load_waves pools above 300 files


@pytest.fixture(scope="module")
def fuzz_run(tmp_path_factory):
    out = tmp_path_factory.mktemp("fuzz")
    return fuzz.run(out, seed=SEED, count=COUNT, batch=COUNT, dictionary="one", log=lambda _: None)


def _cases(items):
    lines = []
    for c in items[:25]:
        made = c["made"][0] if c["made"] else {}
        lines.append(
            f"{c['kind']}: {(c['kept'] or c['files'])[0]}\n    {c['detail']}\n"
            f"    made from {made.get('from')} by {made.get('ops')}\n    header: {made.get('header')}"
        )
    more = f"\n... and {len(items) - 25} more" if len(items) > 25 else ""
    return "\n".join(lines) + more


def _ran(run, target):
    if target not in run.targets:
        pytest.skip(f"{target} not available (pesq.exe not built)")
    assert run.tried[target] > 0


@pytest.mark.parametrize("target", fuzz.TARGETS)
def test_no_crash_hang_memory_blow_up_or_unexpected_error(fuzz_run, target):
    _ran(fuzz_run, target)
    assert not fuzz_run.of(target, "failures"), _cases(fuzz_run.of(target, "failures"))


@pytest.mark.parametrize("target", fuzz.TARGETS)
def test_readers_accept_exactly_what_libsndfile_reads(fuzz_run, target):
    # file_load: same samples (channel mean, float32) where libsndfile reads the file and its
    # rate is a plausible audio rate, None elsewhere; the pool gives file_load's results; the
    # evaluator's reader gives libsndfile's samples in the stored type; pesq.exe scores no file
    # libsndfile refuses.
    _ran(fuzz_run, target)
    assert not fuzz_run.of(target, "disagreements"), _cases(fuzz_run.of(target, "disagreements"))


def test_the_run_reaches_both_values_and_refusals(fuzz_run):
    # a harness that reads nothing (or refuses everything) would pass the tests above
    outcomes = fuzz_run.outcomes
    assert outcomes["file_load"]["value"] > 50 and outcomes["file_load"]["none"] > 50
    assert outcomes["evaluator"]["value"] > 50 and outcomes["evaluator"]["refused:ValueError"] > 50
    assert outcomes["load_waves"]["value"] == 1
    if "pesq" in fuzz_run.targets:
        assert outcomes["pesq"]["score"] > 10 and outcomes["pesq"]["refused:cannot-read"] > 10


def test_mutator_is_reproducible_and_reaches_the_hard_headers():
    a, b, other = fuzz.Mutator(5, "one"), fuzz.Mutator(5, "one"), fuzz.Mutator(6, "one")
    picks = [0, 40, len(a.plan) - 1, len(a.plan), len(a.plan) + 7, len(a.plan) + 500]
    assert [a.make(i) for i in picks] == [b.make(i) for i in picks]
    random_part = range(len(a.plan), len(a.plan) + 20)
    assert [a.make(i)[0] for i in random_part] != [other.make(i)[0] for i in random_part]

    headers = [fuzz.describe(a.make(i)[0]) for i in range(len(a.plan))]
    wanted = [
        "ch=1025 rate=16000 align=2050 bits=16",  # the 16-bit layout, with too many channels
        "sub=0100000000001000800000aa00389b72",  # PCM code, the rest of the GUID wrong
        "'JUNK'(3)",  # odd-sized chunk
        "rate=1 ",
        "'data'(4294967295!)",
    ]
    for w in wanted:
        assert any(w in h for h in headers), w
    assert any(len(a.make(i)[0]) == 0 for i in range(len(a.plan)))


def test_mutations_never_fail_on_the_files_they_make():
    # random stacks reach buffers of 0..7 bytes, files without chunks, chunks beyond the end
    for seed in (1, 2, 3):
        m = fuzz.Mutator(seed, "one")
        for i in range(len(m.plan), len(m.plan) + 3000):
            m.make(i)


def test_seed_files_are_valid_and_hold_the_signal():
    sf = pytest.importorskip("soundfile")
    import io

    subtypes = set()
    for name, data in fuzz.make_seeds().items():
        with sf.SoundFile(io.BytesIO(data)) as f:
            x = f.read(dtype="float64", always_2d=True)
            subtypes.add((f.format, f.subtype))
        assert x.shape[0] > 4000 and np.abs(x).max() == 1.0, name
    assert {"PCM_U8", "PCM_16", "PCM_24", "PCM_32", "FLOAT", "DOUBLE"} <= {s for _, s in subtypes}
    assert ("WAVEX", "PCM_16") in subtypes


def test_runner_names_the_job_that_crashed_hung_or_blew_up_and_goes_on(tmp_path):
    jobs = ["ok", "crash", "ok", "hang", "memory", "ok", "ok"]
    # the children start from this process: its own peak memory must not hide theirs
    ballast = np.ones(256 << 20, np.uint8)
    results = fuzz.run_jobs(
        "_selftest", jobs, tmp_path, timeout=2, env=fuzz.child_env(), mem_flag_mb=128
    )
    del ballast
    kinds = [r["fail"][0][0] if r["fail"] else r["outcome"] for r in results]
    assert kinds == ["value", "signal:SIGSEGV", "value", "timeout", "memory", "value", "value"]
    assert "crash" in results[1]["fail"][0][1] and "hang" in results[3]["fail"][0][1]

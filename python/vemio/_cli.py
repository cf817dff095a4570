"""The ``vemio`` command: the main research loop (synthesise, enhance, score, draw) from the
shell. Every subcommand is a thin layer over the public modules."""

import argparse
import concurrent.futures as cf
import contextlib
import os
import stat
import sys
from pathlib import Path

from vemio._cli_corpus import register as register_corpus

DATA = Path(__file__).resolve().parent / "data"


class UserError(Exception):
    """A mistake in the command line or its inputs: reported in one line, no traceback."""


# ---------------------------------------------------------------- helpers


def _shown(text) -> str:
    """`text` (a path or any message) as it can be printed: the bytes of a file name that is not
    UTF-8 appear as \\xNN escapes instead of stopping the print with UnicodeEncodeError."""
    if isinstance(text, bytes):
        text = os.fsdecode(text)
    return str(text).encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")


def _need_folder(path: Path, what: str) -> Path:
    if not path.exists():
        raise UserError(f"{what} folder not found: {_shown(path)}")
    if not path.is_dir():
        raise UserError(f"{what} is not a folder: {_shown(path)}")
    return path


def _writable_folder(path: Path) -> Path:
    try:
        path.mkdir(parents=True, exist_ok=True)
    except OSError as e:
        raise UserError(f"cannot create output folder {_shown(path)}: {e.strerror or e}") from None
    if not os.access(path, os.W_OK | os.X_OK):
        raise UserError(f"output folder is not writable: {_shown(path)}")
    return path


def _resolve_wavs(inputs, what="input"):
    from vemio.core.io import check_input

    right, wrong = check_input([str(i) for i in inputs])
    if not right:
        raise UserError(f"no .wav files found in {what}: {' '.join(map(_shown, inputs))}")
    return right, wrong


def _atomic_write_text(path: Path, text: str) -> None:
    from vemio.core import io

    path.parent.mkdir(parents=True, exist_ok=True)
    # names that are not UTF-8 are written as the file system's bytes; the data is on disk
    # before the name points to it
    io._write_file_atomic(path, text.encode("utf-8", "surrogateescape"), sync=True)


def _write_table(path: Path, table) -> None:
    """The per-file scores as CSV, written atomically; a failure names the file."""
    if path.is_dir():
        raise UserError(f"cannot write {_shown(path)}: is a folder")
    try:
        _atomic_write_text(path, table.to_csv(index=False))
    except OSError as e:
        raise UserError(f"cannot write {_shown(path)}: {e.strerror or e}") from None


def _unreadable(path):
    """Why `path` cannot be an audio file to read, or None. Only regular files are read: a FIFO
    would block the reader and a device never ends."""
    try:
        st = os.stat(path)
    except FileNotFoundError:
        return "no such file"
    except OSError as e:
        return e.strerror or str(e)
    if stat.S_ISDIR(st.st_mode):
        return "is a folder"
    if not stat.S_ISREG(st.st_mode):
        return "is not a regular file"
    if st.st_size == 0:
        return "is empty"
    return None


def _load(path):
    """(samples, rate) of an audio file, or UserError naming the file and what is wrong."""
    import numpy as np

    from vemio.core.io import file_load

    why = _unreadable(path)
    if why is None:
        loaded = file_load(path)
        if loaded is None:
            why = "damaged or not an audio file"
    if why is not None:
        raise UserError(f"cannot read audio file: {_shown(path)} ({why})")
    y, sr = loaded
    if y.size == 0:
        raise UserError(f"audio file holds no samples: {_shown(path)}")
    if not np.isfinite(y).all():
        raise UserError(f"audio file holds NaN or infinite samples: {_shown(path)}")
    return y, sr


def _run_all(pool, calls, desc):
    """Submit every (function, argument) to `pool` and yield the results in order. When one
    fails, the user interrupts or the generator is closed, the calls that have not started are
    cancelled, so that leaving the pool waits for the running ones only. Close it (for example
    with contextlib.closing) inside the pool's `with`, before the pool waits."""
    futures = []
    try:
        for fn, arg in calls:
            futures.append(pool.submit(fn, arg))
        for f in _progress(futures, desc):
            yield f.result()
    finally:
        for f in futures:
            f.cancel()


def _progress(iterable, desc, total=None):
    from tqdm import tqdm

    return tqdm(iterable, desc=desc, total=total)


# ---------------------------------------------------------------- enhancement


def _enhance_files(pairs, workers=None):
    """Enhance (source, destination) pairs on threads; the enhancer releases the GIL."""
    import numpy as np

    from vemio._enh.trad import trad_enhance
    from vemio.core.io import save_wave

    def one(pair):
        src, dst = pair
        y, sr = _load(src)
        e = trad_enhance(y, sr)
        # 0/0 in silent frames yields NaN; written as silence
        save_wave(dst, np.nan_to_num(e, nan=0.0).astype(np.float32), int(sr))
        return dst

    workers = workers or min(4, os.cpu_count() or 1)
    with cf.ThreadPoolExecutor(workers) as pool:
        with contextlib.closing(
            _run_all(pool, [(one, p) for p in pairs], "[vm.] Enhancing")
        ) as done:
            for _ in done:
                pass


# ---------------------------------------------------------------- scoring


# Column names of the measures in the tables the command prints and writes
DISPLAY = {
    "pesq": "PESQ",
    "stoi": "STOI",
    "estoi": "ESTOI",
    "sdr": "SDR",
    "si_sdr": "SI-SDR",
    "ssnr": "SSNR",
    "fwsnrseg": "fwSNRseg",
    "llr": "LLR",
    "wss": "WSS",
    "cepstral_distance": "CD",
    "csig": "CSIG",
    "cbak": "CBAK",
    "covl": "COVL",
    "dnsmos_sig": "DNSMOS_SIG",
    "dnsmos_bak": "DNSMOS_BAK",
    "dnsmos_ovrl": "DNSMOS_OVRL",
    "dnsmos_p808": "DNSMOS_P808",
}

# Measures that score a file without a clean reference
REFERENCE_FREE = {"dnsmos"}

# STOI works on 25.6 ms frames (256 samples at 10 kHz) and has nothing to work on below one
MIN_SCORED_SECONDS = 0.03


def _check_pair(ref_path, deg_path, measures):
    """The UserError that explains why a pair could not be scored at all, or None when both
    files are readable audio and the failure is one of a measure's (kept as NaN)."""
    ref, sr = _load(ref_path)
    deg, sr2 = _load(deg_path)
    if sr != sr2:
        raise UserError(
            f"sampling rates differ: {_shown(ref_path)} ({sr} Hz), {_shown(deg_path)} ({sr2} Hz)"
        )
    n = min(len(ref), len(deg))
    if ("stoi" in measures or "estoi" in measures) and n < MIN_SCORED_SECONDS * sr:
        short = ref_path if len(ref) <= len(deg) else deg_path
        raise UserError(
            f"audio file too short to score: {_shown(short)} ({n} sample{'s' * (n != 1)}, "
            f"{1000 * n / sr:.1f} ms at {sr} Hz; STOI needs at least "
            f"{1000 * MIN_SCORED_SECONDS:.0f} ms)"
        )


def _say_incomplete(errors):
    """One line for the scores left NaN by a measure that failed on a readable pair."""
    failed = [e for e in errors if e]
    if failed:
        print(
            f"[vm.] {len(failed)} score{'s' * (len(failed) != 1)} incomplete (NaN), "
            f"for example: {_shown(failed[0])}"
        )


def _rounded_mean(values):
    """The mean over the scored files, rounded for the table (NaN when none was scored)."""
    import warnings

    import numpy as np

    with warnings.catch_warnings():  # a column of NaN only has a NaN mean, said once above
        warnings.simplefilter("ignore", RuntimeWarning)
        return np.around(np.nanmean(values), 4) if len(values) else np.nan


def _pair_by_stem(files, candidates, what):
    """For each of `files`, the first of `candidates` with the same stem (UserError naming the
    first file without one)."""
    by_stem = {}
    for c in candidates:
        by_stem.setdefault(c.stem, c)
    missing = [f for f in files if f.stem not in by_stem]
    if missing:
        raise UserError(f"no {what} file named like {_shown(missing[0].name)}")
    return [by_stem[f.stem] for f in files]


def score_table(clean, noisy, enhanced, method="enhanced", measures=None):
    """Per-file scores and the table of means (rows: the method, then "Baseline"), computed in
    one native batch by vemio.metrics.score."""
    import pandas as pd

    from vemio import metrics

    n = len(clean)
    scored = metrics.score(
        [str(c) for c in clean] * 2,
        [str(x) for x in noisy] + [str(e) for e in enhanced],
        measures=measures,
    )
    columns = [c for c in scored.columns if c not in ("reference", "degraded", "error")]
    degraded = list(noisy) + list(enhanced)
    for k, why in enumerate(scored["error"]):
        if why:
            _check_pair(clean[k % n], degraded[k], set(scored.columns))
    _say_incomplete(scored["error"])
    per_file = pd.DataFrame({"clean": [str(c) for c in clean], "noisy": [str(x) for x in noisy]})
    per_file["enhanced"] = [str(e) for e in enhanced]
    for label, part in (("noisy", scored.iloc[:n]), (method, scored.iloc[n:])):
        for c in columns:
            per_file[f"{label}_{DISPLAY.get(c, c)}"] = part[c].to_numpy()
        per_file[f"{label}_error"] = part["error"].to_numpy()
    means = {"Enh_method": [method, "Baseline"]}
    for c in columns:
        name = DISPLAY.get(c, c)
        means[name] = [
            _rounded_mean(per_file[f"{method}_{name}"]),
            _rounded_mean(per_file[f"noisy_{name}"]),
        ]
    return per_file, pd.DataFrame.from_dict(means, orient="columns")


# ---------------------------------------------------------------- subcommands


# where the measures tell the methods apart (at -5..5 dB every PESQ is about 1.05)
DEMO_SNRS = (0, 5, 10, 15)
DEMO_MEASURES = ["pesq", "stoi", "si_sdr", "composite"]


def cmd_demo(args):
    import numpy as np

    from vemio.core.synth import Synthesizer

    out = _writable_folder(args.out.resolve())
    clean_dir, noise_dir = DATA / "clean", DATA / "noise"
    noisy_dir, enh_dir, fig_dir = out / "noisy", out / "enhanced", out / "figs"
    print(f"[vm.] demo: bundled speech {_shown(clean_dir)}, noise {_shown(noise_dir)}")
    np.random.seed(0)
    syn = Synthesizer(str(clean_dir), str(noise_dir), str(noisy_dir), DEMO_SNRS)
    jobs = syn.syn(mode="increment")
    if not isinstance(jobs, list):
        raise RuntimeError(f"synthesis did not run: {jobs!r}")
    # the figures show the gentlest condition: pink noise at the highest SNR
    example = max(
        range(len(jobs)), key=lambda k: (Path(jobs[k][2]).stem == "pink", float(jobs[k][3]))
    )
    jobs = [(Path(o), Path(c)) for o, c, _, _ in jobs]
    print(f"[vm.] synthesised {len(jobs)} noisy files into {_shown(noisy_dir)}")

    pairs = [(o, enh_dir / o.relative_to(noisy_dir)) for o, _ in jobs]
    _enhance_files(pairs)
    print(f"[vm.] enhanced {len(pairs)} files into {_shown(enh_dir)}")

    clean = [c for _, c in jobs]
    noisy = [o for o, _ in jobs]
    enhanced = [e for _, e in pairs]
    per_file, means = score_table(
        clean, noisy, enhanced, method="trad_enhance", measures=DEMO_MEASURES
    )
    print(means.to_string(index=False))
    csv = out / "scores.csv"
    _write_table(csv, per_file)
    print(f"[vm.] per-file scores written to {_shown(csv)}")

    import matplotlib

    matplotlib.use("Agg")
    from vemio.util import visual

    fig_dir.mkdir(parents=True, exist_ok=True)
    wv = visual.WaveVisualizer(subplots=3)
    wv.plot(
        [str(clean[example]), str(noisy[example]), str(enhanced[example])],
        title=["clean", "noisy", "enhanced"],
    )
    target = fig_dir / "panels.png"
    if target.exists():
        target.unlink()
    wv.save(str(target))
    wv.close()
    visual.plot_4_features(str(enhanced[example]), save_dir=str(fig_dir / "features.png"))
    visual.plot_PSD(str(noisy[example]), save_dir=str(fig_dir / "psd.png"))
    print(f"[vm.] figures written to {_shown(fig_dir)}")
    return 0


def cmd_synth(args):
    import numpy as np

    from vemio.core.synth import Synthesizer

    clean = _need_folder(args.clean, "clean")
    noise = _need_folder(args.noise, "noise")
    _resolve_wavs([clean], "the clean folder")
    _resolve_wavs([noise], "the noise folder")
    _writable_folder(args.out.parent if args.out.parent != Path("") else Path("."))
    if args.seed is not None:
        np.random.seed(args.seed)
    syn = Synthesizer(str(clean), str(noise), str(args.out), tuple(args.snr))
    if args.background is not None:
        _resolve_wavs([args.background], "the background folder")
        jobs = syn.syn_extra_mode(str(args.background), tuple(args.background_snr))
    else:
        jobs = syn.syn(mode=args.mode)
    if not isinstance(jobs, list):
        raise UserError(
            f"synthesis refused: {_shown(jobs)}"
            if jobs
            else f"output folder {_shown(args.out)} was not replaced"
        )
    print(f"[vm.] {len(jobs)} noisy files in {_shown(args.out)}")
    return 0


def cmd_enhance(args):
    files, wrong = _resolve_wavs(args.inputs)
    if wrong:
        print(f"[vm.] skipped (not .wav or not found): {', '.join(map(_shown, wrong))}")
    out = _writable_folder(args.out)
    names = {}
    for f in files:
        if f.name in names:
            raise UserError(
                f"two inputs share the file name {_shown(f.name)}: {_shown(names[f.name])} and {_shown(f)}"
            )
        names[f.name] = f
    _enhance_files([(f, out / f.name) for f in files])
    print(f"[vm.] enhanced {len(files)} files into {_shown(out)}")
    return 0


def _measure_names(measures):
    """The measure names of a --measures text, validated by the scorer (UserError if wrong)."""
    from vemio import metrics

    try:
        metrics.score([], [], measures=measures, progress=False)
    except ValueError as e:
        raise UserError(f"--measures: {_shown(e)}") from None
    return [m.strip().lower() for m in measures.split(",") if m.strip()]


def degraded_table(degraded, clean=None, method="enhanced", measures=None):
    """Per-file scores of files scored on their own (reference-free measures) or against the
    clean files of the same name, and the one-row table of their means."""
    import pandas as pd

    from vemio import metrics

    scored = metrics.score(
        None if clean is None else [str(c) for c in clean],
        [str(d) for d in degraded],
        measures=measures,
    )
    columns = [c for c in scored.columns if c not in ("reference", "degraded", "error")]
    _say_incomplete(scored["error"])
    per_file = pd.DataFrame({"degraded": [str(d) for d in degraded]})
    if clean is not None:
        per_file["clean"] = [str(c) for c in clean]
    means = {"Enh_method": [method]}
    for c in columns:
        name = DISPLAY.get(c, c)
        per_file[name] = scored[c].to_numpy()
        means[name] = [_rounded_mean(per_file[name])]
    per_file["error"] = scored["error"].to_numpy()
    return per_file, pd.DataFrame.from_dict(means, orient="columns")


def _score_degraded(args):
    names = _measure_names(args.measures) if args.measures is not None else None
    if args.noisy or args.enhanced:
        raise UserError(
            "--degraded scores one set of files: give it without --noisy and --enhanced"
        )
    degraded, _ = _resolve_wavs(args.degraded, "--degraded")
    clean = None
    if args.clean:
        clean_files, _ = _resolve_wavs(args.clean, "--clean")
        clean = _pair_by_stem(degraded, clean_files, "clean")
    elif names is None:
        names = sorted(REFERENCE_FREE)
    else:
        needy = [m for m in names if m not in REFERENCE_FREE]
        if needy:
            raise UserError(
                f"--measures {needy[0]} needs --clean (only {', '.join(sorted(REFERENCE_FREE))} "
                "scores without a reference)"
            )
    measures = None if names is None else ",".join(names)
    per_file, means = degraded_table(degraded, clean, method=args.method, measures=measures)
    print(_shown(means.to_string(index=False)))
    if args.csv:
        _write_table(args.csv, per_file)
        print(f"[vm.] per-file scores written to {_shown(args.csv)}")
    return 0


def cmd_score(args):
    if args.degraded:
        return _score_degraded(args)
    missing = [f"--{k}" for k in ("clean", "noisy", "enhanced") if not getattr(args, k)]
    if missing:
        args.score_parser.error(
            f"the following arguments are required: {', '.join(missing)} (or --degraded)"
        )
    clean, _ = _resolve_wavs(args.clean, "--clean")
    noisy, _ = _resolve_wavs(args.noisy, "--noisy")
    enhanced, _ = _resolve_wavs(args.enhanced, "--enhanced")
    if not (len(clean) == len(noisy) == len(enhanced)):
        raise UserError(
            f"file counts differ: {len(clean)} clean, {len(noisy)} noisy, {len(enhanced)} enhanced"
        )
    enhanced = _pair_by_stem(noisy, enhanced, "enhanced")
    measures = None
    if args.measures is not None:
        _measure_names(args.measures)
        measures = args.measures
    per_file, means = score_table(clean, noisy, enhanced, method=args.method, measures=measures)
    print(_shown(means.to_string(index=False)))
    if args.csv:
        _write_table(args.csv, per_file)
        print(f"[vm.] per-file scores written to {_shown(args.csv)}")
    return 0


def cmd_plot(args):
    import matplotlib

    matplotlib.use("Agg")
    from vemio.util import visual

    if not os.path.lexists(args.file):
        raise UserError(f"audio file not found: {_shown(args.file)}")
    _load(args.file)
    _writable_folder(args.output.parent if str(args.output.parent) else Path("."))
    draw = {
        "basic": visual.basic_analyze,
        "features": visual.plot_4_features,
        "psd": visual.plot_PSD,
    }[args.kind]
    try:
        draw(str(args.file), save_dir=str(args.output))
    except ValueError as e:
        raise UserError(f"cannot draw {_shown(args.file)}: {_shown(e)}") from None
    print(f"[vm.] {args.kind} figure written to {_shown(args.output)}")
    return 0


def cmd_devices(args):
    from vemio.util import check

    ok = check.check_device()
    return 0 if ok else 1


def build_parser():
    p = argparse.ArgumentParser(prog="vemio", description="Speech-enhancement research toolkit.")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")

    d = sub.add_parser("demo", help="synthesise, enhance, score and draw the bundled speech")
    d.add_argument(
        "--out", type=Path, default=Path("out/demo"), help="output folder (default out/demo)"
    )
    d.set_defaults(func=cmd_demo)

    s = sub.add_parser("synth", help="mix clean speech with noise at given SNRs")
    s.add_argument("clean", type=Path, help="folder of clean .wav files")
    s.add_argument("noise", type=Path, help="folder of noise .wav files")
    s.add_argument(
        "-o", "--out", type=Path, default=Path("mixed"), help="output folder (default mixed)"
    )
    s.add_argument("--snr", type=float, nargs="+", default=[-5, 0, 5], help="SNRs in dB")
    s.add_argument("--mode", choices=["regular", "increment"], default="regular")
    s.add_argument("--seed", type=int, help="seed of numpy's generator, to reproduce a corpus")
    s.add_argument("--background", type=Path, help="background noise folder (extra mode)")
    s.add_argument(
        "--background-snr", type=float, nargs="+", default=[5], help="background SNRs in dB"
    )
    s.set_defaults(func=cmd_synth)

    e = sub.add_parser("enhance", help="enhance files with the classical enhancer")
    e.add_argument("inputs", nargs="+", type=Path, help=".wav files, folders or .txt lists")
    e.add_argument("-o", "--out", type=Path, required=True, help="output folder")
    e.set_defaults(func=cmd_enhance)

    c = sub.add_parser(
        "score",
        help="score noisy and enhanced files against clean references, or degraded files alone",
    )
    c.add_argument("--clean", nargs="+", type=Path)
    c.add_argument("--noisy", nargs="+", type=Path)
    c.add_argument("--enhanced", nargs="+", type=Path)
    c.add_argument(
        "--degraded",
        nargs="+",
        type=Path,
        help="files to score on their own (dnsmos, the default here) or, with --clean, against "
        "the clean files of the same name",
    )
    c.add_argument("--method", default="enhanced", help="row label of the enhanced files")
    c.add_argument(
        "--measures",
        help="comma-separated measures (default all but dnsmos): pesq, stoi, estoi, sdr, "
        "si_sdr, ssnr, fwsnrseg, llr, wss, cepstral_distance, composite, dnsmos (no reference "
        'needed; pip install "vemio[dnsmos]")',
    )
    c.add_argument("--csv", type=Path, help="write the per-file scores here")
    c.set_defaults(func=cmd_score, score_parser=c)

    g = sub.add_parser("plot", help="draw an analysis figure of one file")
    g.add_argument("file", type=Path)
    g.add_argument("--kind", choices=["basic", "features", "psd"], default="basic")
    g.add_argument("-o", "--output", type=Path, required=True, help="image file")
    g.set_defaults(func=cmd_plot)

    v = sub.add_parser("devices", help="list audio devices and test the microphone")
    v.set_defaults(func=cmd_devices)

    register_corpus(sub)
    return p


def main(argv=None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)

    def error(text):
        print(f"vemio {args.command}: error: {_shown(text)}", file=sys.stderr)
        return 1

    try:
        return args.func(args)
    except UserError as e:
        return error(e)
    except KeyboardInterrupt:
        print("vemio: interrupted", file=sys.stderr)
        return 130
    except OSError as e:  # a file or folder the command had to read or write
        name = e.filename if e.filename is not None else ""
        return error(f"{e.strerror}: {_shown(name)}" if e.strerror and name != "" else e)
    except Exception as e:  # still one line, with what failed, rather than a traceback
        lines = str(e).strip().splitlines() or [""]
        return error(f"{type(e).__name__}: {lines[0]}" + (" ..." if len(lines) > 1 else ""))

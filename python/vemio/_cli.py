"""The ``vemio`` command: the main research loop (synthesise, enhance, score, draw) from the
shell. Every subcommand is a thin layer over the public modules."""

import argparse
import concurrent.futures as cf
import contextlib
import os
import shutil
import stat
import subprocess
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


def _available_measures():
    measures = {}
    exe = shutil.which("pesq.exe")
    if exe:
        measures["PESQ"] = exe
    try:
        from pystoi import stoi  # noqa: F401

        measures["STOI"] = True
    except Exception:
        pass
    try:
        import mir_eval  # noqa: F401

        measures["SDR"] = True
    except Exception:
        pass
    return measures


def _program_argument(path) -> bytes:
    """A path as pesq.exe's argument: its file system bytes, with "./" in front of a relative
    name that pesq.exe would take for an option (+name.wav, -h)."""
    name = os.fsencode(path)
    if b"\0" in name:
        raise ValueError("embedded null byte")
    return b"./" + name if name[:1] in (b"+", b"-") else name


def _pesq_exe(exe, ref, deg, rate):
    argv = [os.fsencode(exe), b"+%d" % rate, _program_argument(ref), _program_argument(deg)]
    r = subprocess.run(argv, capture_output=True)
    lines = r.stdout.strip().splitlines()
    if r.returncode != 0 or not lines or b"= " not in lines[-1]:
        return float("nan")
    try:
        return float(lines[-1].rsplit(b"= ", 1)[1])
    except ValueError:
        return float("nan")


# STOI works on 25.6 ms frames (256 samples at 10 kHz) and has nothing to work on below one
MIN_SCORED_SECONDS = 0.03


def _score_pair(measures, ref_path, deg_path):
    """Scores of one degraded file against its reference: {measure: value}."""
    import numpy as np

    ref, sr = _load(ref_path)
    deg, sr2 = _load(deg_path)
    if sr != sr2:
        raise UserError(
            f"sampling rates differ: {_shown(ref_path)} ({sr} Hz), {_shown(deg_path)} ({sr2} Hz)"
        )
    n = min(len(ref), len(deg))
    if "STOI" in measures and n < MIN_SCORED_SECONDS * sr:
        short = ref_path if len(ref) <= len(deg) else deg_path
        raise UserError(
            f"audio file too short to score: {_shown(short)} ({n} sample{'s' * (n != 1)}, "
            f"{1000 * n / sr:.1f} ms at {sr} Hz; STOI needs at least "
            f"{1000 * MIN_SCORED_SECONDS:.0f} ms)"
        )
    ref, deg = ref[:n].astype(np.float64), deg[:n].astype(np.float64)

    def failed(measure, e):
        return UserError(
            f"cannot compute {measure} of {_shown(deg_path)} against {_shown(ref_path)}: "
            f"{type(e).__name__}: {_shown(e)}"
        )

    out = {}
    if "PESQ" in measures:
        out["PESQ"] = (
            _pesq_exe(measures["PESQ"], ref_path, deg_path, sr)
            if sr in (8000, 16000)
            else float("nan")
        )
    if "STOI" in measures:
        from pystoi import stoi

        try:
            out["STOI"] = float(stoi(ref, deg, sr, extended=False))
        except Exception as e:
            raise failed("STOI", e) from None
    if "SDR" in measures:
        import mir_eval

        try:
            sdr, _, _, _ = mir_eval.separation.bss_eval_sources(
                ref.reshape(1, -1), deg.reshape(1, -1)
            )
            out["SDR"] = float(sdr[0])
        except ValueError:  # an all-zero signal has no SDR
            out["SDR"] = float("nan")
        except Exception as e:
            raise failed("SDR", e) from None
    return out


def score_table(clean, noisy, enhanced, method="enhanced"):
    """Per-file scores and the table of means (rows: the method, then "Baseline")."""
    import warnings

    import numpy as np
    import pandas as pd

    # mir_eval announces the deprecation of bss_eval on every call; once is enough here
    warnings.filterwarnings("ignore", category=FutureWarning, module=r"(mir_eval|vemio\._cli)")
    measures = _available_measures()
    if not measures:
        print("[vm.] no quality measure available (pesq.exe, pystoi, mir_eval)")
    rows = []
    triples = list(zip(clean, noisy, enhanced))

    def both(triple):
        c, n, e = triple
        return _score_pair(measures, c, n), _score_pair(measures, c, e)

    with cf.ThreadPoolExecutor(min(4, os.cpu_count() or 1)) as pool:
        with contextlib.closing(
            _run_all(pool, [(both, t) for t in triples], "[vm.] Scoring")
        ) as scored:
            for (c, n, e), (fn, fe) in zip(triples, scored):
                rows.append(
                    {
                        "clean": str(c),
                        "noisy": str(n),
                        "enhanced": str(e),
                        **{f"noisy_{k}": v for k, v in fn.items()},
                        **{f"{method}_{k}": v for k, v in fe.items()},
                    }
                )
    per_file = pd.DataFrame(rows)
    means = {"Enh_method": [method, "Baseline"]}
    for m in measures:
        means[m] = [
            np.around(np.nanmean(per_file[f"{method}_{m}"]), 4) if rows else np.nan,
            np.around(np.nanmean(per_file[f"noisy_{m}"]), 4) if rows else np.nan,
        ]
    return per_file, pd.DataFrame.from_dict(means, orient="columns")


# ---------------------------------------------------------------- subcommands


def cmd_demo(args):
    import numpy as np

    from vemio.core.synth import Synthesizer

    out = _writable_folder(args.out.resolve())
    clean_dir, noise_dir = DATA / "clean", DATA / "noise"
    noisy_dir, enh_dir, fig_dir = out / "noisy", out / "enhanced", out / "figs"
    print(f"[vm.] demo: bundled speech {_shown(clean_dir)}, noise {_shown(noise_dir)}")
    np.random.seed(0)
    syn = Synthesizer(str(clean_dir), str(noise_dir), str(noisy_dir), (-5, 0, 5))
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
    per_file, means = score_table(clean, noisy, enhanced, method="trad_enhance")
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


def cmd_score(args):
    clean, _ = _resolve_wavs(args.clean, "--clean")
    noisy, _ = _resolve_wavs(args.noisy, "--noisy")
    enhanced, _ = _resolve_wavs(args.enhanced, "--enhanced")
    if not (len(clean) == len(noisy) == len(enhanced)):
        raise UserError(
            f"file counts differ: {len(clean)} clean, {len(noisy)} noisy, {len(enhanced)} enhanced"
        )
    by_stem = {}
    for e in enhanced:
        by_stem.setdefault(e.stem, e)
    missing = [n for n in noisy if n.stem not in by_stem]
    if missing:
        raise UserError(f"no enhanced file named like {_shown(missing[0].name)}")
    enhanced = [by_stem[n.stem] for n in noisy]
    per_file, means = score_table(clean, noisy, enhanced, method=args.method)
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

    c = sub.add_parser("score", help="score noisy and enhanced files against clean references")
    c.add_argument("--clean", nargs="+", type=Path, required=True)
    c.add_argument("--noisy", nargs="+", type=Path, required=True)
    c.add_argument("--enhanced", nargs="+", type=Path, required=True)
    c.add_argument("--method", default="enhanced", help="row label of the enhanced files")
    c.add_argument("--csv", type=Path, help="write the per-file scores here")
    c.set_defaults(func=cmd_score)

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

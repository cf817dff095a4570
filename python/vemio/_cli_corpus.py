"""``vemio corpus plan|render``: paired training corpora from the shell (vemio.corpus)."""

import re
from pathlib import Path


def _user_error(e):
    from vemio._cli import UserError, _shown

    text = str(e)
    if isinstance(e, OSError) and e.strerror and e.filename is not None:
        text = f"{e.strerror}: {_shown(e.filename)}"
    # the module's messages carry their own prefix; the command line names itself already
    return UserError(re.sub(r"^\[vm\.corpus\] ", "", text))


def cmd_plan(args):
    from vemio import VemioError, corpus
    from vemio._cli import UserError, _atomic_write_text, _shown

    if args.mode == "sample" and args.count is None:
        raise UserError("--mode sample needs --count N")
    if args.mode == "all" and args.count is not None:
        raise UserError("--count is for --mode sample")
    if args.rir_share and args.rir is None:
        raise UserError("--rir-share needs --rir")
    snr = tuple(args.snr_range) if args.snr_range else (args.snr or [-5.0, 0.0, 5.0])
    level = tuple(args.level_range) if args.level_range else args.level
    try:
        manifest = corpus.plan(
            str(args.clean),
            str(args.noise),
            snr,
            mode=args.mode,
            count=args.count,
            seed=args.seed,
            rir=None if args.rir is None else str(args.rir),
            rir_share=args.rir_share
            if args.rir is not None and args.rir_share is not None
            else 0.0,
            level=level,
            rate=args.rate,
        )
    except (OSError, VemioError, ValueError, TypeError) as e:
        raise _user_error(e) from None
    if args.output.is_dir():
        raise UserError(f"cannot write {_shown(args.output)}: is a folder")
    _atomic_write_text(args.output, manifest.to_csv(index=False))
    print(f"[vm.corpus] {len(manifest)} mixtures planned: {_shown(args.output)}")
    return 0


def cmd_render(args):
    from vemio import VemioError, corpus
    from vemio._cli import UserError, _shown

    if not args.manifest.is_file():
        raise UserError(f"manifest not found: {_shown(args.manifest)}")
    try:
        manifest = corpus.read_manifest(str(args.manifest))
    except (ValueError, UnicodeDecodeError) as e:
        raise UserError(f"cannot read the manifest {_shown(args.manifest)}: {e}") from None
    client = None
    if args.scheduler:
        try:
            from dask.distributed import Client
        except ImportError:
            raise UserError(
                "--scheduler needs dask.distributed: pip install 'vemio[cluster]'"
            ) from None
        try:
            client = Client(args.scheduler, timeout=args.timeout)
        except OSError as e:
            raise UserError(f"cannot reach the scheduler {args.scheduler}: {e}") from None
    try:
        result = corpus.render(
            manifest,
            str(args.out),
            workers=args.workers,
            executor=client,
            resume=not args.no_resume,
        )
    except (OSError, VemioError, ValueError, TypeError) as e:
        raise _user_error(e) from None
    finally:
        if client is not None:
            client.close()
    clipped = int(result["clipped_avoided"].sum())
    print(
        f"[vm.corpus] {len(result)} mixtures in {_shown(args.out)}"
        + (f" ({clipped} scaled down to avoid clipping)" if clipped else "")
    )
    return 0


def register(sub):
    """The ``corpus`` subcommand and its own subcommands on the ``vemio`` parser."""
    c = sub.add_parser("corpus", help="plan and render paired training corpora (vemio.corpus)")
    steps = c.add_subparsers(dest="step", required=True, metavar="STEP")

    p = steps.add_parser("plan", help="draw the manifest of a corpus")
    p.add_argument("clean", type=Path, help="clean speech: a .wav file, folder or .txt list")
    p.add_argument("noise", type=Path, help="noise: a .wav file, folder or .txt list")
    snr = p.add_mutually_exclusive_group()
    snr.add_argument("--snr", type=float, nargs="+", help="SNRs in dB (default -5 0 5)")
    snr.add_argument("--snr-range", type=float, nargs=2, metavar=("LO", "HI"), help="uniform SNR")
    p.add_argument("--mode", choices=["all", "sample"], default="all")
    p.add_argument("--count", type=int, help="rows to draw with --mode sample")
    p.add_argument("--rir", type=Path, help="room impulse responses: file, folder or .txt list")
    p.add_argument("--rir-share", type=float, help="fraction of rows that get a room response")
    level = p.add_mutually_exclusive_group()
    level.add_argument("--level", type=float, help="speech level in dBFS")
    level.add_argument("--level-range", type=float, nargs=2, metavar=("LO", "HI"))
    p.add_argument("--seed", type=int, default=0, help="seed of the manifest's draws (default 0)")
    p.add_argument("--rate", type=int, default=16000, help="sampling rate of the corpus")
    p.add_argument("-o", "--output", type=Path, required=True, help="manifest CSV to write")
    p.set_defaults(func=cmd_plan)

    r = steps.add_parser("render", help="write the files of a manifest")
    r.add_argument("manifest", type=Path, help="manifest CSV from 'vemio corpus plan'")
    r.add_argument("-o", "--out", type=Path, required=True, help="output folder")
    r.add_argument("--workers", type=int, help="native threads (default: one per core)")
    r.add_argument("--scheduler", help="address of a running Dask scheduler (tcp://host:8786)")
    r.add_argument("--timeout", type=float, default=30, help="seconds to reach the scheduler")
    r.add_argument("--no-resume", action="store_true", help="render every row again")
    r.set_defaults(func=cmd_render)
    return c

"""Command line of vemio: ``python -m vemio demo [--out DIR]``."""

import argparse
import sys
from pathlib import Path


def _demo(out: Path) -> int:
    import numpy as np

    from vemio.core import io

    rng = np.random.default_rng(0)
    src = out / "generated"
    t = np.arange(3 * 16000) / 16000
    for k in range(4):
        tone = 0.3 * np.sin(2 * np.pi * (200 + 100 * k) * t) * (1 + np.sin(2 * np.pi * 3 * t)) / 2
        noise = 0.05 * rng.standard_normal(t.size)
        io.save_wave(src / f"utt{k}.wav", (tone + noise).astype(np.float32), 16000)
    print(f"[vm.] wrote 4 generated 3-second files at 16000 Hz into {src}")
    right, wrong = io.check_input([str(src), "missing.wav"])
    print(f"[vm.] resolved {len(right)} .wav files; rejected: {wrong}")
    waves, sr, n = io.load_waves(src, std_len=True)
    print(f"[vm.] loaded {len(waves)} waves at {sr} Hz, {n} samples each")
    for path in right:
        wave, rate = io.file_load(path, sr=8000)
        io.save_wave(out / "8k" / path.name, wave, rate)
    print(f"[vm.] resampled every file to 8000 Hz and saved them into {out / '8k'}")
    return 0


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="vemio", description=__doc__)
    sub = parser.add_subparsers(dest="command", required=True)
    demo = sub.add_parser("demo", help="run the main job on generated data")
    demo.add_argument("--out", type=Path, default=Path("out/demo"), help="output folder")
    args = parser.parse_args(argv)
    if args.command == "demo":
        return _demo(args.out)
    return 2


if __name__ == "__main__":
    sys.exit(main())

"""Smoke test of an installed vemio wheel, run by scripts/wheel.sh inside a fresh virtual
environment (never collected by pytest): load a bundled file and a 24-bit copy of it (the latter
decoded by libsndfile), resample it (libsoxr), enhance it, score it with vemio.metrics, draw a
figure and list the audio devices. Afterwards every native library of the bundle that the
process mapped must come from inside the installed package.

    python smoke.py --out DIR [--audio present|absent|auto]

--audio absent: ALSA is hidden from this process, so the device check must report that there is
no audio system, while everything else works as usual; present: a virtual capture device must be
listed; auto (the default): present when ALSA's library loads.
"""

import argparse
import contextlib
import ctypes
import io as text_io
import os
import sys
import sysconfig
import wave
from pathlib import Path

BUNDLED = ("libsndfile", "libsoxr", "libportaudio", "libFLAC", "libogg", "libvorbis", "libopus")


def mapped_libraries():
    with open("/proc/self/maps") as f:
        return {line.split()[-1] for line in f if ".so" in line.rsplit("/", 1)[-1]}


def write_24bit(path, samples, sr):
    import numpy as np

    ints = np.clip(np.round(samples * 8388607.0), -8388608, 8388607).astype("<i4")
    raw = ints.view(np.uint8).reshape(-1, 4)[:, :3].tobytes()
    with wave.open(str(path), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(3)
        w.setframerate(sr)
        w.writeframes(raw)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--out", required=True)
    ap.add_argument("--audio", choices=["present", "absent", "auto"], default="auto")
    args = ap.parse_args()
    if args.audio == "auto":
        try:
            ctypes.CDLL("libasound.so.2")
            args.audio = "present"
        except OSError:
            args.audio = "absent"
    absent = args.audio == "absent"
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)

    import numpy as np
    import vemio
    from vemio import metrics
    from vemio._enh import trad
    from vemio.core import io
    from vemio.util import check, visual

    site = Path(sysconfig.get_paths()["purelib"]).resolve()
    package = Path(vemio.__file__).resolve().parent
    assert package.parent == site, f"vemio imported from {package}, not from {site}"

    clean = package / "data" / "clean" / "sp01.wav"
    y, sr = io.file_load(clean)
    assert sr == 16000 and y.dtype == np.float32 and len(y) > sr, (sr, y.dtype, len(y))
    deep = out / "sp01_24bit.wav"
    write_24bit(deep, y, sr)
    y24, _ = io.file_load(deep)
    assert np.max(np.abs(y24 - y)) < 1e-4
    y8k, sr8 = io.file_load(clean, sr=8000)
    assert sr8 == 8000 and abs(len(y8k) - len(y) // 2) <= 1

    noisy = y + np.random.default_rng(1).normal(0, 0.02, len(y)).astype(np.float32)
    enhanced = np.asarray(trad.trad_enhance(noisy, sr), dtype=np.float32)
    n = min(len(y), len(enhanced))
    pesq = metrics.pesq(y[:n], enhanced[:n], sr)
    stoi = metrics.stoi(y[:n], enhanced[:n], sr)
    assert 1.0 <= pesq <= 4.7 and 0.0 < stoi <= 1.0, (pesq, stoi)
    io.save_wave(out / "enhanced.wav", enhanced, sr)

    figure = out / "enhanced.png"
    visual.basic_analyze(out / "enhanced.wav", save_dir=figure)  # the figure's file name
    assert figure.stat().st_size > 10000, figure.stat()

    # a virtual capture device (ALSA's null plugin) stands in for a sound card
    conf = out / "alsa.conf"
    conf.write_text(
        'pcm.vemio_null { type null }\npcm.!default { type plug; slave.pcm "vemio_null" }\n'
    )
    os.environ["ALSA_CONFIG_PATH"] = str(conf)
    printed = text_io.StringIO()
    with contextlib.redirect_stdout(printed):
        found = check.check_device()
    text = printed.getvalue()
    if absent:
        assert found is False and "no audio system" in text, text[-2000:]
    else:
        with check.CheckDevice() as cd:
            devices = cd.system_devices()
        assert devices, text[-2000:]

    foreign = sorted(
        p
        for p in mapped_libraries()
        if Path(p).name.startswith(BUNDLED) and not str(Path(p).resolve()).startswith(str(site))
    )
    assert not foreign, f"system copies were loaded: {foreign}"
    loaded = sorted(Path(p).name for p in mapped_libraries() if Path(p).name.startswith(BUNDLED))
    want = ("libsndfile", "libsoxr") + (() if absent else ("libportaudio",))
    for name in want:
        assert any(x.startswith(name) for x in loaded), f"{name} was never loaded: {loaded}"
    print(
        f"[vm.] smoke test passed on Python {sys.version.split()[0]}: PESQ {pesq:.2f}, "
        f"STOI {stoi:.2f}, audio system {'absent' if absent else 'present'}, "
        f"bundled libraries in use: {', '.join(loaded)}"
    )


if __name__ == "__main__":
    main()

"""Speed of vemio._enh.trad against vectorised numpy and PyWavelets, on the same data.

Run:  PYTHONPATH=python python3 bench/bench_trad.py
Prints trad_enhance against a vectorised numpy transcription (one numpy call per frame step)
and in multiples of real time, 8 signals on 2 threads against 1, and the wavelet filter
against pywt.wavedec/threshold/waverec.
"""

import os
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pywt
from vemio._enh import trad

SR = 16000
SECONDS = 60


def noisy_speech(n, seed=0):
    rng = np.random.default_rng(seed)
    t = np.arange(n) / SR
    phase = 2 * np.pi * np.cumsum(120 + 40 * np.sin(2 * np.pi * 0.7 * t)) / SR
    voiced = sum(np.sin(h * phase) / h for h in range(1, 12))
    envelope = np.clip(np.sin(2 * np.pi * 2.3 * t), 0, None) ** 2
    return 0.3 * envelope * voiced + 0.05 * rng.standard_normal(n)


def numpy_trad(y):
    """The enhancement algorithm, vectorised over bins with numpy, one frame at a time."""
    win = np.hamming(512)
    win_gain = 256 / win.sum()
    nframes = len(y) // 256 - 1
    out = np.zeros((nframes + 1) * 256)
    x_old = np.zeros(256)
    with np.errstate(all="ignore"):
        for n in range(nframes):
            spec = np.fft.fft(win * y[n * 256 : n * 256 + 512])
            ps = np.abs(spec) ** 2
            if n == 0:
                P = Pmin = Ptmp = noise = ps
                pk = np.zeros(512)
                count = 2
            else:
                P = 0.8 * P + 0.2 * ps
                if count % 100 == 0:
                    Pmin, Ptmp = np.minimum(Ptmp, P), P
                else:
                    Pmin, Ptmp = np.minimum(Pmin, P), np.minimum(Ptmp, P)
                pk = 0.2 * pk + 0.8 * (P / Pmin > 5)
                adk = 0.95 + 0.05 * pk
                noise = adk * noise + (1 - adk) * ps
                count += 1
            snr_pos = 10 * np.log10(ps.sum() / noise.sum())
            alpha = 5 if snr_pos < -5 else 1 if snr_pos > 20 else 4 - snr_pos * 3 / 20
            sub = ps - alpha * noise
            sub = np.where(sub - 0.002 * noise < 0, 0.002 * noise, sub)
            snr_pri = 10 * np.log10(sub.sum() / noise.sum())
            mel = 10 if snr_pri < -5 else 1 if snr_pri > 20 else 8.2 - snr_pri / (25 / 9)
            xi = np.fft.ifft(sub / (sub + mel * noise) * spec).real
            out[n * 256 : n * 256 + 256] = x_old + xi[:256]
            x_old = xi[256:]
    return win_gain * out


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def pywt_filter(y):
    coeff = pywt.wavedec(y, "db2", mode="periodization")
    coeff[1:] = [pywt.threshold(i, value=0.8 * np.nanmax(i), mode="soft") for i in coeff[1:]]
    return pywt.waverec(coeff, "db2", mode="periodization")


def main():
    y = noisy_speech(SR * SECONDS)
    ref = numpy_trad(y)
    out = trad.trad_enhance(y, SR)
    assert np.allclose(out, ref, rtol=0, atol=1e-9 * np.abs(ref).max())
    t_np = best(lambda: numpy_trad(y), 2)
    t_v = best(lambda: trad.trad_enhance(y, SR), 7)
    print(f"machine: {os.cpu_count()} cores; FFT backend: {trad._fft_backend()}")
    print(
        f"trad_enhance, {SECONDS} s at {SR} Hz: vemio {t_v * 1e3:.1f} ms ({SECONDS / t_v:.0f}x real time), "
        f"numpy {t_np * 1e3:.0f} ms ({SECONDS / t_np:.0f}x real time): {t_np / t_v:.1f}x faster"
    )

    signals = [noisy_speech(SR * SECONDS, seed=s) for s in range(8)]

    def run(workers):
        with ThreadPoolExecutor(workers) as pool:
            list(pool.map(lambda s: trad.trad_enhance(s, SR), signals))

    cpu = time.process_time()
    t1, t2 = best(lambda: run(1), 3), best(lambda: run(2), 3)
    cpu = (time.process_time() - cpu) / 6
    print(
        f"8 signals: 1 thread {t1 * 1e3:.0f} ms, 2 threads {t2 * 1e3:.0f} ms: {t1 / t2:.2f}x "
        f"(process CPU {cpu * 1e3:.0f} ms per run; load average {os.getloadavg()[0]:.1f})"
    )

    assert np.allclose(trad.wavelet_low_pass_filter(y), pywt_filter(y), rtol=0, atol=1e-10)
    t_w = best(lambda: trad.wavelet_low_pass_filter(y), 7)
    t_p = best(lambda: pywt_filter(y), 7)
    print(
        f"wavelet_low_pass_filter (db2): vemio {t_w * 1e3:.1f} ms, pywt {t_p * 1e3:.1f} ms: {t_p / t_w:.2f}x"
    )


if __name__ == "__main__":
    main()

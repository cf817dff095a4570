import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
import pywt
from vemio._enh import trad
from vemio._enh.trad import EST, INIT

# ---------------------------------------------------------------- oracle: the algorithm in numpy


class OInit:
    def __init__(self, ns_ps, fs):
        self.ns_ps, self.fs = ns_ps, fs

    def weight(self):
        S = self.ns_ps
        return {"ass": 0.85, "beta": 1.5, "noise_ps": S, "P": S}

    def com_min_track(self):
        S = self.ns_ps
        return {
            "n": 2,
            "leng": len(S),
            "alpha": 0.7,
            "beta": 0.96,
            "gamma": 0.998,
            "noise_ps": S,
            "pxk_old": S,
            "pxk": S,
            "pnk_old": S,
            "pnk": S,
        }

    def mcra(self):
        S = self.ns_ps
        return {
            "n": 2,
            "ad": 0.95,
            "ass": 0.8,
            "L": 100,
            "delta": 5,
            "ap": 0.2,
            "leng": len(S),
            "P": S,
            "Pmin": S,
            "Ptmp": S,
            "pk": np.zeros(len(S)),
            "noise_ps": S,
        }

    def mcra2(self):
        S, n = self.ns_ps, len(self.ns_ps)
        freq_res = self.fs / n
        k1, k3 = int(np.floor(1000 / freq_res)), int(np.floor(3000 / freq_res))
        low_1, low_2 = 2 * np.ones(k1, dtype=int), 2 * np.ones(k3 - k1, dtype=int)
        high = 5 * np.ones(n // 2 - k3, dtype=int)
        delta = np.concatenate([low_1, low_2, high, high, low_2, low_1])
        return {
            "n": 2,
            "leng": n,
            "ad": 0.95,
            "ass": 0.8,
            "ap": 0.2,
            "beta": 0.8,
            "beta1": 0.98,
            "gamma": 0.998,
            "alpha": 0.7,
            "delta": delta,
            "pk": np.zeros(n),
            "noise_ps": S,
            "pxk_old": S,
            "pxk": S,
            "pnk_old": S,
            "pnk": S,
        }


class OEst:
    def __init__(self, ns_ps, para):
        self.ns_ps, self.para = ns_ps, para

    def weight(self):
        p = self.para
        ass, beta, noise_ps, P = p["ass"], p["beta"], p["noise_ps"], p["P"]
        P = ass * P + (1 - ass) * self.ns_ps
        for i in range(len(noise_ps)):
            if P[i] < beta * noise_ps[i]:
                noise_ps[i] = ass * noise_ps[i] + (1 - ass) * P[i]
        p["P"], p["noise_ps"] = P, noise_ps
        return p

    def com_min_track(self):
        p = self.para
        n, leng, alpha, beta, gamma = p["n"], p["leng"], p["alpha"], p["beta"], p["gamma"]
        pxk_old, pnk_old, pnk = p["pxk_old"], p["pnk_old"], p["pnk"]
        pxk = alpha * pxk_old + (1 - alpha) * self.ns_ps
        for t in range(leng):
            if pnk_old[t] <= pxk[t]:
                pnk[t] = gamma * pnk_old[t] + ((1 - gamma) / (1 - beta)) * (
                    pxk[t] - beta * pxk_old[t]
                )
            else:
                pnk[t] = pxk[t]
        p["n"] = n + 1
        p["noise_ps"] = p["pnk"] = p["pnk_old"] = pnk
        p["pxk"] = p["pxk_old"] = pxk
        return p

    def mcra(self):
        p = self.para
        X = self.ns_ps
        P = p["ass"] * p["P"] + (1 - p["ass"]) * X
        if p["n"] % p["L"] == 0:
            Pmin, Ptmp = np.minimum(p["Ptmp"], P), P
        else:
            Pmin, Ptmp = np.minimum(p["Pmin"], P), np.minimum(p["Ptmp"], P)
        with np.errstate(all="ignore"):
            Srk = P / Pmin
        Ikl = np.zeros(p["leng"])
        Ikl[Srk > p["delta"]] = 1
        pk = p["ap"] * p["pk"] + (1 - p["ap"]) * Ikl
        adk = p["ad"] + (1 - p["ad"]) * pk
        noise_ps = adk * p["noise_ps"] + (1 - adk) * X
        p["pk"], p["n"], p["noise_ps"], p["P"], p["Pmin"], p["Ptmp"] = (
            pk,
            p["n"] + 1,
            noise_ps,
            P,
            Pmin,
            Ptmp,
        )
        return p

    def mcra2(self):
        p = self.para
        beta, gamma = p["beta"], p["gamma"]
        pxk_old, pnk_old, pnk = p["pxk_old"], p["pnk_old"], p["pnk"]
        pxk = p["alpha"] * pxk_old + (1 - p["alpha"]) * self.ns_ps
        for i in range(len(pnk)):
            if pnk_old[i] < pxk[i]:
                pnk[i] = gamma * pnk_old[i] + ((1 - gamma) / (1 - beta)) * (
                    pxk[i] - beta * pxk_old[i]
                )
        with np.errstate(all="ignore"):
            Srk = pxk / pnk
        Ikl = np.zeros(p["leng"])
        for i in range(p["leng"]):
            if Srk[i] > p["delta"][i]:
                Ikl[i] = 1
        pk = p["ap"] * p["pk"] + (1 - p["ap"]) * Ikl
        adk = p["ad"] + (1 - p["ad"]) * pk
        p["n"], p["pk"], p["noise_ps"] = p["n"] + 1, pk, adk * p["noise_ps"] + (1 - adk) * pxk
        p["pnk"] = p["pnk_old"] = pnk
        p["pxk"] = p["pxk_old"] = pxk
        return p


def oracle_trad(y, sr):
    len_, perc = 512, 50
    len1 = len_ * perc // 100
    len2 = len_ - len1
    win = np.hamming(len_)
    win_gain = len2 / np.sum(win)
    expnt, beta, mel_max = 2.0, 0.002, 10
    mel_0, s = (1 + 4 * mel_max) / 5, 25 / (mel_max - 1)
    nframes = len(y) // len2 - 1
    xfinal = np.zeros((nframes + 1) * len2)
    x_old = np.zeros(len1)
    k = 1
    with np.errstate(all="ignore"):
        for n in range(nframes):
            insign = win * y[k - 1 : k - 1 + len_]
            spec = np.fft.fft(insign, len_)
            sig = np.abs(spec)
            ns_ps = sig**2
            theta = np.angle(spec)
            para = OInit(ns_ps, sr).mcra() if n == 0 else OEst(ns_ps, para).mcra()  # noqa: F821
            noise_mu = np.sqrt(para["noise_ps"])
            snr_pos = 10 * np.log10(np.linalg.norm(sig) ** 2 / np.linalg.norm(noise_mu) ** 2)
            alpha = 5 if snr_pos < -5.0 else 1 if snr_pos > 20 else 4 - snr_pos * 3 / 20
            sub = sig**expnt - alpha * noise_mu**expnt
            diffw = sub - beta * noise_mu**expnt
            idx = np.where(diffw < 0)[0]
            sub[idx] = beta * noise_mu[idx] ** expnt
            snr_pri = 10 * np.log10(
                np.linalg.norm(sub ** (1 / expnt)) ** 2 / np.linalg.norm(noise_mu) ** 2
            )
            mel = mel_max if snr_pri < -5.0 else 1 if snr_pri > 20 else mel_0 - snr_pri / s
            g = sub / (sub + mel * noise_mu**expnt)
            xi = np.fft.ifft(g * sig * np.exp(1j * theta)).real
            xfinal[k - 1 : k - 1 + len2] = x_old + xi[:len1]
            x_old = xi[len1:len_]
            k += len2
    return win_gain * xfinal


def speech_like(n, sr=16000, seed=0):
    rng = np.random.default_rng(seed)
    t = np.arange(n) / sr
    f0 = 120 + 40 * np.sin(2 * np.pi * 0.7 * t)
    phase = 2 * np.pi * np.cumsum(f0) / sr
    voiced = sum(np.sin(h * phase) / h for h in range(1, 12))
    envelope = np.clip(np.sin(2 * np.pi * 2.3 * t), 0, None) ** 2
    return 0.3 * envelope * voiced + 0.02 * rng.standard_normal(n)


def assert_close_to_peak(out, ref, tol=1e-9):
    assert out.dtype == np.float64 and out.shape == ref.shape
    peak = np.nanmax(np.abs(ref)) if ref.size and not np.all(np.isnan(ref)) else 1.0
    np.testing.assert_allclose(out, ref, rtol=0, atol=tol * max(peak, 1e-300), equal_nan=True)


# ---------------------------------------------------------------- module surface


def test_stub_lists_the_public_names():
    import ast
    import pathlib

    stub = pathlib.Path(trad.__file__).with_name("trad.pyi")
    tree = ast.parse(stub.read_text())
    names = {n.name for n in tree.body if isinstance(n, (ast.FunctionDef, ast.ClassDef))}
    assert names == {"trad_enhance", "wavelet_low_pass_filter", "INIT", "EST"}
    for cls in (INIT, EST):
        stub_cls = next(
            n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == cls.__name__
        )
        methods = {n.name for n in stub_cls.body if isinstance(n, ast.FunctionDef)} - {"__init__"}
        assert methods == {"weight", "com_min_track", "mcra", "mcra2"}
        assert all(callable(getattr(cls, m)) for m in methods)


def test_module_surface():
    assert trad.__all__ == ["trad_enhance"]
    for name in ("INIT", "EST", "wavelet_low_pass_filter", "trad_enhance"):
        assert getattr(trad, name).__doc__
    S = np.ones(4)
    assert repr(INIT(S, 16000)) == "INIT(ns_ps=<float64 array (4,)>, fs=16000)"
    assert repr(EST(S, {"a": 1})) == "EST(ns_ps=<float64 array (4,)>, para=<dict of 1 entries>)"
    e = EST(S, {})
    assert e.ns_ps is S and e.para == {}


# ---------------------------------------------------------------- INIT


def test_init_dictionaries_share_the_first_spectrum():
    S = np.random.default_rng(1).random(512)
    init = INIT(S, 16000)
    assert init.ns_ps is S and init.fs == 16000
    w = init.weight()
    assert list(w) == ["ass", "beta", "noise_ps", "P"] and w["noise_ps"] is S and w["P"] is S
    for method in ("weight", "com_min_track", "mcra", "mcra2"):
        got, want = getattr(init, method)(), getattr(OInit(S, 16000), method)()
        assert list(got) == list(want)
        for key, value in want.items():
            if value is S:
                assert got[key] is S, key
            elif isinstance(value, np.ndarray):
                assert got[key].dtype == value.dtype and np.array_equal(got[key], value), key
            else:
                assert type(got[key]) is type(value) and got[key] == value, key
    a, b = init.mcra(), init.mcra()
    assert a is not b and a["P"] is b["P"] is S and a["pk"] is not b["pk"]


@pytest.mark.parametrize(
    "fs, counts", [(16000, (96, 320, 96)), (8000, (192, 128, 192)), (6000, (256, 0, 256))]
)
def test_mcra2_thresholds(fs, counts):
    delta = INIT(np.ones(512), fs).mcra2()["delta"]
    assert delta.dtype == np.int_ and len(delta) == 512
    lo, hi, lo2 = counts
    assert np.array_equal(delta, np.r_[np.full(lo, 2), np.full(hi, 5), np.full(lo2, 2)])


def test_mcra2_init_failures():
    with pytest.raises(ValueError):  # a negative run of thresholds
        INIT(np.ones(512), 5976).mcra2()
    with pytest.raises(ZeroDivisionError):
        INIT(np.ones(512), 0).mcra2()
    with pytest.raises(TypeError):
        INIT(3.0, 16000).mcra()
    # odd bin count: the vector is one short and the update fails at the last bin
    para = INIT(np.ones(513), 16000).mcra2()
    assert len(para["delta"]) == 512
    with pytest.raises(IndexError, match="index 512 is out of bounds"):
        EST(np.ones(513), para).mcra2()


# ---------------------------------------------------------------- EST against the oracle


def spectra(frames, bins=512, seed=3):
    rng = np.random.default_rng(seed)
    level = 1 + 50 * (np.sin(np.arange(frames) / 9.0)[:, None] > 0.6) * rng.random((frames, bins))
    return level * rng.exponential(1.0, (frames, bins))


def assert_same_state(got, want, S_got, S_want):
    assert list(got) == list(want)
    keys = list(want)
    for key in keys:
        g, w = got[key], want[key]
        if isinstance(w, np.ndarray):
            assert isinstance(g, np.ndarray) and g.dtype == w.dtype, key
            np.testing.assert_allclose(g, w, rtol=1e-12, atol=0, err_msg=key)
            assert (g is S_got) == (w is S_want), key
        else:
            assert type(g) is type(w) and g == w, key
    arrays = [k for k in keys if isinstance(want[k], np.ndarray)]
    for a in arrays:  # the same arrays are shared under the same keys
        for b in arrays:
            assert (got[a] is got[b]) == (want[a] is want[b]), (a, b)


@pytest.mark.parametrize("method", ["weight", "com_min_track", "mcra", "mcra2"])
def test_estimators_follow_the_oracle_for_200_frames(method):
    X = spectra(200)
    S_got, S_want = X[0].copy(), X[0].copy()
    got = getattr(INIT(S_got, 16000), method)()
    want = getattr(OInit(S_want, 16000), method)()
    for frame in X[1:]:
        ret = getattr(EST(frame.copy(), got), method)()
        assert ret is got
        getattr(OEst(frame.copy(), want), method)()
        assert_same_state(got, want, S_got, S_want)
    if method == "mcra":
        assert got["n"] == 201
    if method in ("weight", "com_min_track"):  # the first spectrum holds the running estimate
        assert got["noise_ps"] is S_got


def test_mcra_window_restart():
    X = spectra(120)
    para = INIT(X[0].copy(), 16000).mcra()
    for frame in X[1:98]:
        EST(frame, para).mcra()
    assert para["n"] == 99
    EST(X[98], para).mcra()
    old_tmp = para["Ptmp"]
    EST(X[99], para).mcra()  # the update where n is 100
    assert para["Ptmp"] is para["P"]
    assert np.array_equal(para["Pmin"], np.minimum(old_tmp, para["P"]))


def test_mcra_window_restart_reads_only_the_temporary_minimum():
    X = spectra(3)
    for n, L in [(100, 100), (6.0, 3), (np.int64(-4), 2), (True, 1)]:
        para = INIT(X[0].copy(), 16000).mcra() | {"n": n, "L": L, "Pmin": "not read at a restart"}
        old_tmp = para["Ptmp"]
        EST(X[1], para).mcra()
        assert para["Ptmp"] is para["P"] and para["n"] == n + 1
        assert np.array_equal(para["Pmin"], np.minimum(old_tmp, para["P"]))
    para = INIT(X[0].copy(), 16000).mcra() | {"n": 3, "Pmin": np.ones(5)}
    with pytest.raises(ValueError, match="broadcast"):
        EST(X[1], para).mcra()
    with pytest.raises(ZeroDivisionError):
        EST(X[1], INIT(X[0].copy(), 16000).mcra() | {"L": 0}).mcra()


def test_estimator_comparisons_and_edge_branches():
    # weight: equality with beta * noise is not an update; silence pulls the estimate down
    S = np.array([2.0, 4.0])
    para = INIT(S, 16000).weight()
    para["P"] = np.array([3.0 / 0.85, 1.0])
    EST(np.zeros(2), para).weight()
    assert para["P"][0] == 3.0 and S[0] == 2.0  # 3.0 == 1.5 * 2: kept
    assert S[1] == pytest.approx(0.85 * 4 + 0.15 * 0.85)
    # com_min_track: equal takes the recursive branch, a drop is followed exactly
    S = np.array([1.0, 5.0])
    para = INIT(S, 16000).com_min_track()
    EST(np.array([1.0, 0.5]), para).com_min_track()
    assert (
        para["pnk"][0] == pytest.approx(0.998 + 0.05 * (1 - 0.96))
        and para["pnk"][1] == 0.7 * 5 + 0.3 * 0.5
    )
    assert para["n"] == 3 and para["pnk"] is para["pnk_old"] is para["noise_ps"] is S
    assert para["pxk"] is para["pxk_old"]
    # mcra: a ratio of exactly delta is not speech; above it, pk = 0.8
    S = np.array([1.0, 1.0, 1.0])
    para = INIT(S, 16000).mcra()
    para["Pmin"] = para["Ptmp"] = np.array([1.0, 1.0, 1.0])
    para["P"] = np.array([1.0, 1.0, 1.0])
    EST(np.array([1.0, 21.0, 26.0]), para).mcra()  # P = 1, 5, 6 over Pmin 1
    assert list(para["pk"]) == [0.0, 0.0, pytest.approx(0.8)]
    # mcra2: falling power keeps the old minimum; a ratio of 3 is speech below 3 kHz only
    S = np.full(512, 1.0)
    para = INIT(S, 16000).mcra2()
    EST(np.full(512, 1.0), para).mcra2()
    assert np.all(S == 1.0)  # pxk == pnk_old: not written
    EST(np.full(512, 1.0 + 2.0 / 0.3 * 1.0), para).mcra2()
    speech = para["pk"] > 0
    assert speech[:96].all() and speech[416:].all() and not speech[96:416].any()


def test_estimator_state_failures():
    S = np.ones(8)
    with pytest.raises(KeyError, match="pxk_old"):
        EST(
            S, INIT(S, 16000).weight() | {"n": 2, "leng": 8, "alpha": 0.7, "gamma": 0.9}
        ).com_min_track()
    with pytest.raises(KeyError):
        EST(S, INIT(S, 16000).weight()).mcra()
    with pytest.raises(ValueError):
        EST(np.ones(7), INIT(S, 16000).mcra()).mcra()


def test_in_place_writes_into_other_array_types():
    S32 = np.array([1.0, 4.0], dtype=np.float32)
    para = INIT(S32, 16000).weight()
    EST(np.zeros(2), para).weight()
    assert para["noise_ps"] is S32 and S32.dtype == np.float32
    assert S32[0] == np.float32(0.85 * 1 + 0.15 * 0.85)
    frozen = np.ones(4)
    frozen.flags.writeable = False
    para = INIT(frozen, 16000).com_min_track()
    with pytest.raises(ValueError, match="read-only"):
        EST(np.ones(4), para).com_min_track()
    para = INIT(frozen, 16000).weight()  # no bin below 1.5 times the estimate: nothing written
    EST(np.full(4, 100.0), para).weight()
    assert para["noise_ps"] is frozen
    as_list = [1.0, 2.0, 5]
    para = INIT(as_list, 16000).weight()
    para["P"] = np.array([1.0, 2.0, 5.0])
    EST(np.array([0.0, 0.0, 5.0]), para).weight()
    assert as_list == [0.9775, 1.955, 5]


# ---------------------------------------------------------------- trad_enhance


@pytest.mark.parametrize("n", [0, 255, 256, 511, 512, 513, 3000])
def test_trad_enhance_matches_oracle_on_noise(n):
    y = np.random.default_rng(n).standard_normal(n)
    out = trad.trad_enhance(y, 16000)
    assert len(out) == n // 256 * 256
    assert_close_to_peak(out, oracle_trad(y, 16000))
    assert np.all(out[len(out) - 256 :] == 0)


def test_trad_enhance_matches_oracle_on_ten_seconds_of_speech_and_int16():
    y = speech_like(160000)
    assert_close_to_peak(trad.trad_enhance(y, 16000), oracle_trad(y, 16000))
    pcm = (y[:40000] * 20000).astype(np.int16)
    assert_close_to_peak(trad.trad_enhance(pcm, 16000), oracle_trad(pcm, 16000))
    assert_close_to_peak(trad.trad_enhance(list(pcm[:2048]), 8000), oracle_trad(pcm[:2048], 8000))


def test_trad_enhance_one_frame_silence_and_rate():
    y = np.random.default_rng(5).standard_normal(512)
    out = trad.trad_enhance(y, 16000)
    win = np.hamming(512)
    np.testing.assert_allclose(
        out[:256], 256 / win.sum() * 0.002 / 10.002 * win[:256] * y[:256], atol=1e-15
    )
    assert np.all(out[256:] == 0)
    assert np.array_equal(trad.trad_enhance(y, 8000), trad.trad_enhance(y, 48000))
    z = trad.trad_enhance(np.zeros(2048), 16000)
    assert np.isnan(z[:1792]).all() and np.all(z[1792:] == 0)
    # silence after sound: the estimate stays positive, no NaN
    mixed = np.r_[np.random.default_rng(6).standard_normal(4096), np.zeros(4096)]
    assert_close_to_peak(trad.trad_enhance(mixed, 16000), oracle_trad(mixed, 16000))


def test_trad_enhance_strided_and_float32_inputs():
    y = speech_like(8192, seed=9)
    assert np.array_equal(trad.trad_enhance(y[::2], 16000), trad.trad_enhance(y[::2].copy(), 16000))
    y32 = y.astype(np.float32)
    assert np.array_equal(
        trad.trad_enhance(y32, 16000), trad.trad_enhance(y32.astype(np.float64), 16000)
    )


def test_trad_enhance_rejects_non_1d():
    with pytest.raises(ValueError, match="1-D signal"):
        trad.trad_enhance(np.zeros((2, 600)), 16000)
    with pytest.raises(ValueError, match="1-D signal"):
        trad.trad_enhance(3.0, 16000)


def test_trad_enhance_on_threads_equals_serial():
    signals = [speech_like(64000, seed=s) for s in range(6)]
    serial = [trad.trad_enhance(s, 16000) for s in signals]
    with ThreadPoolExecutor(3) as pool:
        threaded = list(pool.map(lambda s: trad.trad_enhance(s, 16000), signals))
    assert all(np.array_equal(a, b) for a, b in zip(serial, threaded))
    assert threading.active_count() >= 1


# ---------------------------------------------------------------- wavelet_low_pass_filter


def pywt_filter(y, thres=0.8, wavelet="db2"):
    coeff = pywt.wavedec(y, wavelet, mode="periodization")
    coeff[1:] = [pywt.threshold(i, value=thres * np.nanmax(i), mode="soft") for i in coeff[1:]]
    return pywt.waverec(coeff, wavelet, mode="periodization")


@pytest.mark.parametrize("wavelet", ["db2", "haar", "sym8", "coif3", "bior3.5", "dmey"])
@pytest.mark.parametrize("n", [4096, 4095, 1001, 160])
def test_wavelet_filter_matches_pywavelets(wavelet, n):
    y = speech_like(n, seed=n)
    out = trad.wavelet_low_pass_filter(y, 0.8, wavelet)
    ref = pywt_filter(y, 0.8, wavelet)
    assert out.shape == ref.shape and out.dtype == np.float64
    np.testing.assert_allclose(out, ref, rtol=0, atol=1e-10)


def test_wavelet_filter_every_discrete_wavelet():
    y = np.random.default_rng(2).standard_normal(777)
    for name in pywt.wavelist(kind="discrete"):
        np.testing.assert_allclose(
            trad.wavelet_low_pass_filter(y, 0.5, name),
            pywt_filter(y, 0.5, name),
            rtol=0,
            atol=1e-10,
            err_msg=name,
        )
    assert trad._wavelet_names() == pywt.wavelist(kind="discrete")


def test_wavelet_filter_thresholds_and_arguments():
    y = np.random.default_rng(4).standard_normal(1024)
    np.testing.assert_allclose(trad.wavelet_low_pass_filter(y, 0.0), y, atol=1e-12)
    np.testing.assert_allclose(
        trad.wavelet_low_pass_filter(y, 1.0, "sym4"), pywt_filter(y, 1.0, "sym4"), atol=1e-10
    )
    assert np.array_equal(
        trad.wavelet_low_pass_filter(y), trad.wavelet_low_pass_filter(y, 0.8, "db2")
    )
    assert np.array_equal(
        trad.wavelet_low_pass_filter(y, wavelet="DB4"),
        trad.wavelet_low_pass_filter(y, wavelet="db4"),
    )
    assert np.array_equal(
        trad.wavelet_low_pass_filter(y, wavelet=pywt.Wavelet("coif2")),
        trad.wavelet_low_pass_filter(y, wavelet="coif2"),
    )
    # a band of only negative coefficients: its signed maximum is negative, magnitudes grow
    ramp = np.cumsum(np.ones(64))
    np.testing.assert_allclose(
        trad.wavelet_low_pass_filter(ramp, 0.8, "haar"), pywt_filter(ramp, 0.8, "haar"), atol=1e-10
    )
    # a zero coefficient in a band whose maximum is zero stays zero (0/0 would make it NaN)
    y4 = np.array([1.0, 1.0, 3.0, 3.5])
    coeff = pywt.wavedec(y4, "haar", mode="periodization")
    coeff[1:] = [np.sign(c) * np.maximum(np.abs(c) - 0.8 * np.nanmax(c), 0) for c in coeff[1:]]
    expected = pywt.waverec(coeff, "haar", mode="periodization")
    assert np.all(np.isfinite(expected))
    np.testing.assert_allclose(trad.wavelet_low_pass_filter(y4, 0.8, "haar"), expected, atol=1e-12)
    for bad in ("morl", "db99", "xyz"):
        with pytest.raises(ValueError, match="wavelet"):
            trad.wavelet_low_pass_filter(y, 0.8, bad)
    with pytest.raises(ValueError, match="1-D"):
        trad.wavelet_low_pass_filter(np.zeros((2, 64)))
    assert trad.wavelet_low_pass_filter(np.arange(3), 0.8).tolist() == [
        0.0,
        1.0,
        2.0,
    ]  # too short for a level
    assert trad.wavelet_low_pass_filter(np.zeros(0)).size == 0

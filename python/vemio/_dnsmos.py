"""The DNSMOS networks behind vemio.metrics.dnsmos and the "dnsmos" measure of score.

The native side cuts each signal into 9.01 s windows and computes their log-mel images; this
module runs the published ONNX models on them with onnxruntime and maps the raw outputs to the
MOS scale with the published calibration polynomials. The model files are those the speechmos
distribution installs; they are found through its metadata, without importing the package
(which would import librosa and requests). Sessions are made once per process and shared by
all threads; windows are run many at a time.
"""

import importlib.metadata
import os
import threading

import numpy as np

__all__ = ["require", "predict", "BATCH"]

EXTRA = 'pip install "vemio[dnsmos]"'

# Windows per run call. On CPU the time per window is the same from 1 to 16 windows a call (the
# convolutions of one window already keep every core busy); 8 keeps the calls few and the
# memory of a batch small.
BATCH = 8

_MODELS = {
    False: "speechmos/dnsmos_models/sig_bak_ovr.onnx",
    True: "speechmos/pdnsmos_models/sig_bak_ovr.onnx",
}
_P808 = "speechmos/dnsmos_models/model_v8.onnx"

# Raw SIG, BAK, OVRL of the network to the MOS scale: numpy.poly1d coefficients, highest power
# first, for the general model and for the personalized one.
_CALIBRATION = {
    False: {
        "sig": (-0.08397278, 1.22083953, 0.0052439),
        "bak": (-0.13166888, 1.60915514, -0.39604546),
        "ovrl": (-0.06766283, 1.11546468, 0.04602535),
    },
    True: {
        "sig": (-0.01019296, 0.02751166, 1.19576786, -0.24348726),
        "bak": (-0.04976499, 0.44276479, -0.1644611, 0.96883132),
        "ovrl": (-0.00533021, 0.005101, 1.18058466, -0.11236046),
    },
}

_lock = threading.Lock()
_sessions = {}


def _onnxruntime():
    try:
        import onnxruntime
    except ImportError as e:
        raise ImportError(f"[vm.] dnsmos needs onnxruntime: {EXTRA}") from e
    return onnxruntime


def model_path(relative: str) -> str:
    """The installed file `relative` (a path inside the speechmos distribution)."""
    try:
        dist = importlib.metadata.distribution("speechmos")
    except importlib.metadata.PackageNotFoundError:
        raise ImportError(
            f"[vm.] dnsmos needs the models of the speechmos package: {EXTRA}"
        ) from None
    path = os.fspath(dist.locate_file(relative))
    if not os.path.isfile(path):
        raise ImportError(
            f"[vm.] dnsmos: the speechmos installation has no {relative} ({path}); "
            f"reinstall it: {EXTRA}"
        )
    return path


def _session(relative: str):
    with _lock:
        s = _sessions.get(relative)
        if s is None:
            ort = _onnxruntime()
            options = ort.SessionOptions()
            options.graph_optimization_level = ort.GraphOptimizationLevel.ORT_ENABLE_ALL
            s = ort.InferenceSession(
                model_path(relative), options, providers=["CPUExecutionProvider"]
            )
            _sessions[relative] = s
        return s


def _polyval(coefficients, x):
    # Horner's rule in float64, as numpy.poly1d evaluates
    y = np.zeros_like(x, dtype=np.float64)
    for c in coefficients:
        y = y * x + c
    return y


def require(personalized=False):
    """Loads the two sessions `predict` needs, so that a missing extra is reported (ImportError)
    before any work starts."""
    _session(_MODELS[bool(personalized)])
    _session(_P808)


def predict(audio, mel, personalized=False):
    """Scores of windows: `audio` (n, 144160) and `mel` (n, 900, 120) float32 arrays give an
    (n, 4) float64 array of calibrated SIG, BAK, OVRL and the P.808 MOS, window by window."""
    personalized = bool(personalized)
    primary, p808 = _session(_MODELS[personalized]), _session(_P808)
    n = len(audio)
    raw = np.empty((n, 3), np.float32)
    mos = np.empty(n, np.float32)
    for b in range(0, n, BATCH):
        e = min(n, b + BATCH)
        raw[b:e] = primary.run(None, {"input_1": audio[b:e]})[0]
        mos[b:e] = p808.run(None, {"input_1": mel[b:e]})[0][:, 0]
    out = np.empty((n, 4), np.float64)
    calibration = _CALIBRATION[personalized]
    for k, name in enumerate(("sig", "bak", "ovrl")):
        out[:, k] = _polyval(calibration[name], raw[:, k])
    out[:, 3] = mos
    return out

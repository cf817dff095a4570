import numpy as np
import pytest


def pytest_report_header(config):
    try:
        from vemio.core import io

        versions = io._native_versions()
        return "vemio native: " + ", ".join(f"{k} {v}" for k, v in versions.items())
    except Exception as e:  # the header must never stop the run
        return f"vemio native: unavailable ({e})"


@pytest.fixture
def write_wav(tmp_path):
    """Write a 16-bit WAV through scipy (an independent writer) and return its path."""
    from scipy.io import wavfile

    def _write(name, data, sr=16000):
        p = tmp_path / name
        p.parent.mkdir(parents=True, exist_ok=True)
        data = np.asarray(data)
        if data.dtype != np.int16:
            data = (np.clip(data, -1, 1) * 32767).astype(np.int16)
        wavfile.write(p, sr, data)
        return p

    return _write

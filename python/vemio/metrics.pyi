from os import PathLike
from typing import Dict, List, Optional, Sequence, Tuple, Union

import numpy.typing as npt
import pandas as pd

__all__ = [
    "pesq",
    "stoi",
    "sdr",
    "si_sdr",
    "ssnr",
    "fwsnrseg",
    "llr",
    "wss",
    "cepstral_distance",
    "composite",
    "dnsmos",
    "score",
]

_Signal = npt.ArrayLike
_PathLike = Union[str, "PathLike[str]"]

def pesq(ref: _Signal, deg: _Signal, sr: int, mode: str = "wb") -> float:
    """PESQ MOS-LQO of `deg` against `ref` ("wb": sr 16000; "nb": sr 8000 or 16000)."""

def stoi(ref: _Signal, deg: _Signal, sr: int, extended: bool = False) -> float:
    """STOI (extended STOI with extended=True) at any rate."""

def sdr(ref: _Signal, est: _Signal) -> float:
    """Single-source BSS-eval SDR in dB (512-tap distortion filter)."""

def si_sdr(ref: _Signal, est: _Signal) -> float:
    """Scale-invariant SDR in dB (plain projection, no mean removal)."""

def ssnr(ref: _Signal, deg: _Signal, sr: int) -> float:
    """Segmental SNR in dB."""

def fwsnrseg(ref: _Signal, deg: _Signal, sr: int) -> float:
    """Frequency-weighted segmental SNR in dB."""

def llr(ref: _Signal, deg: _Signal, sr: int) -> float:
    """Log-likelihood ratio of LPC models (best 95 % of frames)."""

def wss(ref: _Signal, deg: _Signal, sr: int) -> float:
    """Weighted spectral slope distance (best 95 % of frames)."""

def cepstral_distance(ref: _Signal, deg: _Signal, sr: int) -> float:
    """LPC-cepstrum distance (best 95 % of frames)."""

def composite(ref: _Signal, deg: _Signal, sr: int) -> Tuple[float, float, float]:
    """(CSIG, CBAK, COVL), sr 8000 or 16000."""

def dnsmos(deg: _Signal, sr: int, personalized: bool = False) -> Dict[str, float]:
    """Reference-free DNSMOS: keys sig, bak, ovrl and p808 (resampled to 16 kHz first)."""

def score(
    refs: Optional[Union[_PathLike, Sequence[Union[_PathLike, _Signal]]]],
    degs: Union[_PathLike, Sequence[Union[_PathLike, _Signal]]],
    measures: Optional[Union[str, List[str]]] = None,
    workers: Optional[int] = None,
    progress: bool = True,
    *,
    sr: Optional[int] = None,
    personalized: bool = False,
) -> pd.DataFrame:
    """One row per pair: reference, degraded, a column per measure, error."""

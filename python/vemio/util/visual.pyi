from os import PathLike
from typing import Any, Callable, List, Optional, Sequence, Tuple, Union

import numpy as np
from matplotlib.axes import Axes
from matplotlib.collections import PolyCollection, QuadMesh
from matplotlib.figure import Figure
from matplotlib.ticker import Formatter

from vemio.core.io import copy_waves as copy_waves
from vemio.core.io import file_load as file_load

__all__ = ["Common", "WaveVisualizer", "history_plot"]
plt: Any  # matplotlib.pyplot, imported on first use

_PathLike = Union[str, "PathLike[str]"]

class Common:
    """One matplotlib figure (7 x 5 inches) with loss-curve, show, save and close helpers."""

    is_save: Any
    plt: Any
    fig: Figure
    def __init__(self, fig_dir: str = "vm_figs", is_save: Any = False) -> None: ...
    def loss_plot(self, loss: Sequence[float], val_loss: Sequence[float]) -> None: ...
    def show(self) -> None: ...
    def save(self, dir: _PathLike) -> None: ...
    def close(self) -> None: ...
    @staticmethod
    def plot_stft_w_2mfe(f: _PathLike, n_mels: int = 40, sub_mfe_fq: int = 48000) -> None: ...

class WaveVisualizer(Common):
    """Rows of waveform | linear STFT spectrogram panels, one row per file."""

    row_len: Optional[int]
    ax: np.ndarray
    wave_length: int
    def __init__(
        self,
        fig_size: Tuple[float, float] = (7, 5),
        dpi: float = 200,
        subplots: Optional[int] = None,
    ) -> None: ...
    def plot(
        self, wave_list: Sequence[_PathLike], title: Optional[Sequence[Any]] = None
    ) -> None: ...
    def multi_hide_xlabel(self) -> None: ...
    def save(self, path: _PathLike) -> None: ...  # type: ignore[override]
    def copy_wave(self, path: _PathLike, wave_list: Union[_PathLike, List[Any]]) -> None: ...

def history_plot(history: Any, metrics: str = "loss", save_fig: Optional[str] = None) -> None: ...
def hist_plt(hist: Any, fig_dir: Optional[_PathLike] = None, show: bool = False) -> None: ...
def normalize(x: Any, axis: int = 0) -> np.ndarray: ...
def plot_spectral_centroid(
    ax: Axes, y: np.ndarray, sr: float, color: Any = "r", label: Optional[str] = None
) -> None: ...
def plot_spectral_rolloff(
    ax: Axes, y: np.ndarray, sr: float, color: Any = "r", label: Optional[str] = None
) -> None: ...
def plot_zcr(
    ax: Axes, y: np.ndarray, sr: float, color: Any = "r", label: Optional[str] = None
) -> None: ...
def plot_power_spectral_density(
    ax: Axes, y: np.ndarray, sr: float, color: Any = "b", label: Optional[str] = None
) -> None: ...
def basic_analyze(
    file: _PathLike, show: bool = False, save_dir: Optional[_PathLike] = None
) -> None: ...
def plot_3_features(
    file: _PathLike, show: bool = False, save_dir: Optional[_PathLike] = None, dpi: float = 200
) -> None: ...
def plot_4_features(
    file: _PathLike, show: bool = False, save_dir: Optional[_PathLike] = None, dpi: float = 200
) -> None: ...
def plot_PSD(
    file: _PathLike, show: bool = False, save_dir: Optional[_PathLike] = None, dpi: float = 200
) -> None: ...

# native features (frames centred with zero padding, periodic windows)
def _stft(
    y: np.ndarray,
    n_fft: int = 2048,
    hop_length: int = 512,
    win_length: Optional[int] = None,
    window: str = "hann",
    center: bool = True,
) -> np.ndarray: ...
def _spectrogram(
    y: np.ndarray,
    n_fft: int = 2048,
    hop_length: int = 512,
    win_length: Optional[int] = None,
    window: str = "hann",
    center: bool = True,
    power: float = 1.0,
) -> np.ndarray: ...
def _amplitude_to_db(
    S: np.ndarray,
    ref: Union[float, Callable[..., Any]] = 1.0,
    amin: float = 1e-5,
    top_db: Optional[float] = 80.0,
) -> np.ndarray: ...
def _power_to_db(
    S: np.ndarray,
    ref: Union[float, Callable[..., Any]] = 1.0,
    amin: float = 1e-10,
    top_db: Optional[float] = 80.0,
) -> np.ndarray: ...
def _mel_filters(
    sr: float, n_fft: int = 2048, n_mels: int = 128, fmin: float = 0.0, fmax: Optional[float] = None
) -> np.ndarray: ...
def _melspectrogram(
    y: np.ndarray,
    sr: float,
    n_fft: int = 2048,
    hop_length: int = 512,
    n_mels: int = 128,
    fmin: float = 0.0,
    fmax: Optional[float] = None,
) -> np.ndarray: ...
def _spectral_centroid(y: np.ndarray, sr: float) -> np.ndarray: ...
def _spectral_rolloff(y: np.ndarray, sr: float, roll_percent: float = 0.85) -> np.ndarray: ...
def _zero_crossing_rate(
    y: np.ndarray, frame_length: int = 2048, hop_length: int = 512, center: bool = True
) -> np.ndarray: ...
def _welch(
    x: np.ndarray, fs: float, nperseg: int = 256, nfft: int = 1024
) -> Tuple[np.ndarray, np.ndarray]: ...
def _envelope(
    y: np.ndarray, sr: int, max_points: int = 50000, max_sr: int = 1000
) -> Tuple[np.ndarray, np.ndarray]: ...
def _waveplot(
    y: np.ndarray, sr: int = 22050, ax: Optional[Axes] = None, **kwargs: Any
) -> PolyCollection: ...
def _specshow(
    data: np.ndarray,
    sr: float = 22050,
    hop_length: int = 512,
    x_axis: Optional[str] = None,
    y_axis: Optional[str] = None,
    fmax: Optional[float] = None,
    cmap: Any = None,
    ax: Optional[Axes] = None,
) -> QuadMesh: ...

class _TimeFormatter(Formatter):
    def __call__(self, x: float, pos: Optional[int] = None) -> str: ...

class _HzFormatter(Formatter):
    def __call__(self, x: float, pos: Optional[int] = None) -> str: ...

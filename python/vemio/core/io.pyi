from os import PathLike
from pathlib import Path
from typing import Any, List, Optional, Sequence, Tuple, Union

import numpy as np

__all__ = [
    "check_path",
    "check_file",
    "check_input",
    "save_wave",
    "file_load",
    "load_wave",
    "load_waves",
    "copy_waves",
    "LoadAudio",
]
__exp__: str

_PathLike = Union[str, "PathLike[str]"]
_Spec = Union[_PathLike, Sequence[Any]]
_Loaded = Tuple[np.ndarray, int]

class AudioError(OSError): ...

def check_path(path: _PathLike, exist_ok: bool = False, sep: str = "") -> str:
    """Return `path` when free (or exist_ok), else path + sep + the next free number."""

def check_file(file_dir: _PathLike, rename: bool = True, sep: str = "") -> str:
    """Output file name with a .wav suffix, its folder created; numbered when it exists."""

def check_input(input: Any) -> Tuple[List[Path], List[Union[str, Any]]]:
    """(accepted .wav Paths, rejected entries) for a file, folder, .txt list or nested lists."""

def save_wave(path: _PathLike, wave: np.ndarray, sr: int, d_sample: Optional[int] = None) -> None:
    """Write a 16-bit PCM WAV file (atomically), resampling to d_sample first when given."""

def file_load(wav_dir: _PathLike, sr: Optional[int] = None, mono: bool = True) -> Optional[_Loaded]:
    """(float32 samples in [-1, 1], rate), or None after printing a line when unreadable."""

def load_wave(wave: Union[_PathLike, Sequence[Any]], num: Optional[int] = None) -> Any:
    """A loaded wave, or a list (nested like the input) of loaded waves."""

def load_waves(
    wave: Any, use_pool: bool = False, std_len: bool = False, core_: int = 8
) -> Union[List[Optional[_Loaded]], Tuple[List[np.ndarray], int, int]]:
    """Every accepted file loaded at its own rate; with std_len (waves, rate, min_len)."""

def copy_waves(path: _PathLike, wave_: Union[_PathLike, List[Any]]) -> None:
    """Copy one file or a (nested) list of files into the folder `path`."""

class LoadAudio:
    sr_pth: Path
    files: List[Path]
    nf: int
    count: int
    def __init__(self, waves_dirs: _PathLike) -> None: ...
    def __iter__(self) -> "LoadAudio": ...
    def __next__(self) -> int: ...
    def __len__(self) -> int: ...
    @staticmethod
    def check_input(*args: Any) -> Tuple[List[Path], List[Union[str, Any]]]: ...
    @staticmethod
    def file_load(*args: Any, **kwargs: Any) -> Optional[_Loaded]: ...
    @staticmethod
    def load_wave(*args: Any, **kwargs: Any) -> Any: ...
    @staticmethod
    def load_waves(*args: Any, **kwargs: Any) -> Any: ...
    @staticmethod
    def copy_waves(*args: Any, **kwargs: Any) -> None: ...
